// A small host for the integration tests: it loads the built module by path,
// resolves its thirteen entry points by name and drives them as the host file
// manager does, with recording host services, a real settings store, the
// emulated device library over a temporary folder, and real PC files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/entry_points.h"
#include "panel/panel_item.h"
#include "platform/records.h"

namespace merlo_test {

namespace fs = std::filesystem;

// ---- The module --------------------------------------------------------------

// The entry points of the loaded module. The module is loaded once per process
// and stays loaded, as the host keeps it.
using EntryPoints = ModuleEntryPoints;

// Loads the module (first call) and returns its entry points; null when the
// module or one of its entry points cannot be found (the reason is in `error`).
const EntryPoints* Module(std::string* error = nullptr);

// ---- Host services -----------------------------------------------------------

constexpr int32_t kModuleId = 4711;
// The host's registry path for plug-in settings; the module reads <root>\MERLO.
extern const char* const kSettingsRoot;

// One call of HostMessageBox.
struct Box {
  int32_t moduleId = 0;
  uint32_t flags = 0;
  bool hasHelp = false;
  std::string help;
  std::vector<std::string> items;
  int32_t itemCount = 0;
  int32_t buttonCount = 0;
};

// The boxes shown since the last ClearBoxes.
const std::vector<Box>& Boxes();
void ClearBoxes();

// What HostText answers for a message id: "text<id>", and format texts for the
// two operation errors.
std::string HostTextFor(int32_t messageId);
constexpr const char* kCopyFailedFormat = "Cannot copy %s";
constexpr const char* kDeleteFailedFormat = "Cannot delete %s";

// Calls SetStartupInfo with a zero-filled StartupRecord that carries the
// recording services and kSettingsRoot. The module reads its settings here, so
// a test that changes them calls it again.
void StartModule();

// ---- Settings ----------------------------------------------------------------

enum SettingType : uint32_t { kSettingString = 1, kSettingBinary = 3, kSettingDword = 4 };

// Removes the module's settings key (on Linux the settings file, and
// MERLO_REGISTRY_FILE until the next StartModule).
void ClearSettings();
// Stores one value under <kSettingsRoot>\MERLO: the registry on Windows, the
// REGEDIT4 file at $MERLO_REGISTRY_FILE on Linux.
void WriteSetting(const std::string& name, const std::string& bytes, SettingType type);
std::string DwordBytes(uint32_t value);

// ---- The emulated device -----------------------------------------------------

// Sets MERLO_DEVICE_ROOT and MERLO_DEVICE_FAULTS for the next OpenPlugin; an
// empty value removes the variable.
void SetDeviceEnvironment(const fs::path& root, const std::string& faults);

// ---- Files -------------------------------------------------------------------

// A fresh, empty folder that is removed with everything in it (read-only
// entries included) when the object goes.
class TempFolder {
 public:
  explicit TempFolder(const std::string& tag);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& relative) const { return path_ / fs::u8path(relative); }

 private:
  fs::path path_;
};

// Removes a file or folder tree, giving write permission back first.
void RemoveTree(const fs::path& path);

void WriteFile(const fs::path& path, const std::string& contents);
std::string ReadFile(const fs::path& path);
// `size` bytes of a pattern that differs from chunk to chunk and file to file.
std::string Pattern(size_t size, unsigned seed);
// Sets a file's last-write time, given as a Windows file time (100 ns since 1601).
void SetLastWriteTime(const fs::path& path, uint64_t fileTime);
// Takes every write permission away (Windows: the read-only attribute), or gives it back.
void MakeReadOnly(const fs::path& path, bool readOnly);
// Whether a read-only file refuses to be opened for writing here. Wine run as
// root opens it all the same, as root may on Linux.
bool ReadOnlyFilesAreEnforced();

// A real local path in the module's PC-path form: the path itself on Windows;
// "Z:" and the absolute path with "\" for "/" on Linux (narrow text is UTF-8).
std::string PcPath(const fs::path& path);

// Holds a PC file open exclusively, as another program would: an open without
// sharing on Windows, the exclusive lock of the Linux file layer elsewhere.
class ExclusiveHold {
 public:
  explicit ExclusiveHold(const fs::path& path);
  ~ExclusiveHold();
  ExclusiveHold(const ExclusiveHold&) = delete;
  ExclusiveHold& operator=(const ExclusiveHold&) = delete;
  bool held() const { return held_; }

 private:
  intptr_t handle_;
  bool held_ = false;
};

// Makes a folder the process's current directory for its lifetime.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const fs::path& folder);
  ~CurrentDirectory();
  CurrentDirectory(const CurrentDirectory&) = delete;
  CurrentDirectory& operator=(const CurrentDirectory&) = delete;

 private:
  fs::path previous_;
};

// ---- Panels ------------------------------------------------------------------

// A zero-filled item as the host's own PC panel builds it, selected.
PanelItem PcItem(const std::string& name, uint32_t attributes = 0);
std::string ItemName(const PanelItem& item);

// One open panel, closed through ClosePlugin when the object goes.
class Panel {
 public:
  // Opens a panel on `root` with the given faults; handle() is MERLO_NO_PANEL
  // when OpenPlugin refused.
  Panel(const fs::path& root, const std::string& faults = "");
  ~Panel();
  Panel(const Panel&) = delete;
  Panel& operator=(const Panel&) = delete;

  PanelHandle handle() const { return handle_; }
  bool open() const { return handle_ != MERLO_NO_PANEL && handle_ != nullptr; }
  // ClosePlugin now rather than when the object goes.
  void Close();

  // GetFindData's array, copied, and handed back through FreeFindData.
  std::vector<PanelItem> List() const;
  // Items copied from the listing by name, in the order given, selected.
  std::vector<PanelItem> Select(const std::vector<std::string>& names) const;
  int32_t Cd(const char* folder) const;

  int32_t Get(std::vector<PanelItem>& items, bool move, const std::string& destination) const;
  // PutFiles with `pcFolder` as the current directory.
  int32_t Put(std::vector<PanelItem>& items, bool move, const fs::path& pcFolder) const;
  int32_t Delete(std::vector<PanelItem>& items) const;

 private:
  PanelHandle handle_;
};

// ---- Fixture -----------------------------------------------------------------

// A device root and a PC folder per test, default settings, no boxes, no faults.
class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  const EntryPoints& api() const { return *api_; }
  const fs::path& device() const { return device_->path(); }
  const fs::path& pc() const { return pc_->path(); }
  fs::path Device(const std::string& relative) const { return *device_ / relative; }
  fs::path Pc(const std::string& relative) const { return *pc_ / relative; }

  // The one box shown; fails the test when there was not exactly one.
  Box OnlyBox() const;
  // The text an operation error box carries for `path`.
  static std::string CopyFailedText(const std::string& path);
  static std::string DeleteFailedText(const std::string& path);
  // Checks the one operation error box shown: title, `text`, one button.
  void ExpectOperationBox(const std::string& text) const;

 private:
  const EntryPoints* api_ = nullptr;
  std::unique_ptr<TempFolder> device_;
  std::unique_ptr<TempFolder> pc_;
};

}  // namespace merlo_test
