// What get, put, cp, mv and rm hand the module: one file at a time, so that
// the shell can report each file that arrives, stop at a Ctrl-C between two
// files, and tell what a failure left behind.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device_paths.h"

namespace merlo {

enum class TransferKind {
  Get,     // device to PC (GetFiles with a PC folder)
  Put,     // PC to device (PutFiles)
  Within,  // device to device (GetFiles with a device folder)
  Remove,  // deletion on the device (DeleteFiles)
};

struct TransferPlan;

struct FileJob {
  FolderParts Folder;           // where the panel must be: the source's folder (put: unused)
  PanelItem Item;               // as listed, or as built from the PC file (put)
  std::filesystem::path Local;  // get: the PC folder it goes to; put: the one that holds it
  std::string Shown;            // its name in progress lines and messages
  bool OwnTarget = false;       // put -r, mirror: Into is this file's device folder
  FolderParts Into;

  // The device folder this file goes to (put, cp, mv).
  const FolderParts& Target(const TransferPlan& plan) const;
};

struct TransferPlan {
  TransferKind Kind = TransferKind::Get;
  const char* Command = "";
  bool Move = false;
  std::vector<FileJob> Jobs;
  FolderParts Target;                               // put, cp, mv: where the files go
  std::vector<std::filesystem::path> LocalFolders;  // get -r: PC folders to make first
  std::vector<FolderParts> DeviceFolders;           // put -r: device folders to make first
  uint64_t SkippedFolders = 0;
  uint64_t SkippedLinks = 0;        // PC links met in a tree: named, never walked
  uint64_t Done = 0;                // Execute: the files copied, moved or deleted
  bool TimesUnkept = false;         // the library lacks a call that keeps file times: said once
  uint64_t TimesFailed = 0;         // copies whose time the device refused
  std::vector<std::string> Unread;  // get -r: why each folder left out could not be read
};

inline const FolderParts& FileJob::Target(const TransferPlan& plan) const {
  return OwnTarget ? Into : plan.Target;
}

// Removes the old versions of PC files that copies replaced, on a thread of
// its own: a removal waits for the file system to free the old file's
// space, and the next copy need not wait with it. Finish waits for the last
// removal and tells those that failed.
class OldFileRemover {
 public:
  OldFileRemover() = default;
  OldFileRemover(const OldFileRemover&) = delete;
  OldFileRemover& operator=(const OldFileRemover&) = delete;
  ~OldFileRemover() { Finish(); }

  // shown names the file that replaced it, for the message should it fail.
  void Remove(const std::filesystem::path& old, const std::string& shown);

  // Waits until no removal of that path is pending: a copy in the same
  // batch may land on the very name an old version was set aside under.
  void Settle(const std::filesystem::path& path);

  struct Failure {
    std::filesystem::path Old;
    std::string Shown;
    std::string Error;
  };
  std::vector<Failure> Finish();

 private:
  void Work();

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_, settled_;
  std::deque<std::pair<std::filesystem::path, std::string>> queue_;
  std::multiset<std::string> pending_;  // PcNameKey of each path queued or being removed
  std::vector<Failure> failures_;
  bool finishing_ = false;
};

// Why the module cannot be given a PC path, or empty when it can.
std::string PcPathProblem(const std::string& path);

// How an entry is named in messages: below the current folder relative to it, else in full.
std::string ShownName(const FolderParts& here, const FolderParts& folder, const std::string& name);

// A PC file's last-write time as a file time (100 ns since 1601, two halves).
bool PcWriteTime(const std::filesystem::path& path, uint64_t* written);

// A PC entry's status in one look: whether it is there, a folder, its size
// and last-write time (a file time). False when it cannot be told.
struct PcFile {
  bool Exists = false;
  bool Folder = false;
  uint64_t Size = 0;
  uint64_t Written = 0;
};
bool PcFileState(const std::filesystem::path& path, PcFile* file);

// The entry of that name in a listing: the exact name, else one that differs in case.
const PanelItem* FindEntry(const std::vector<PanelItem>& entries, const std::string& name);

// A new, empty folder inside a PC folder, private to this command.
bool MakePrivatePcFolder(const std::filesystem::path& folder, std::filesystem::path* made);

// Whether the device has an entry of that name in the folder: asked of that
// one path where the library can tell, else read from the panel's listing.
// False with the reason when neither can tell; *spelled gets the name as the
// device spells it, *entry (when given) whether it is a folder and read-only.
bool DeviceHas(Panel& panel, const FolderParts& folder, const std::string& name, bool* there,
               std::string* spelled, std::string* error, device::EntryState* entry = nullptr);

// Whether a copy the module reported done is there, asked of that one file:
// a file of the source's size. Empty when it is; else what was seen. Where
// the device library cannot be asked of one file, the module's word stands.
// With `time` (a device file's time just set), *timeLost tells whether the
// device kept another (a storage card keeps times to 2 s).
std::string NotArrived(const TransferPlan& plan, const FileJob& job,
                       const std::filesystem::path& pcFile, uint64_t size, uint64_t time = 0,
                       bool* timeLost = nullptr);

// Folders for a message: "\a, \b\c".
std::string FolderList(const std::vector<FolderParts>& folders);

// Checks a whole plan before its first copy. An entry named twice is taken
// once, the first time. Two sources that would land on one destination name,
// compared as the destination compares names, or a device name that the
// module could not convert, make it false with a message that names them.
bool CheckPlan(TransferPlan* plan, std::string* error);

}  // namespace merlo
