#include "module_host.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#if defined(_WIN32)
#include <process.h>
// winbase.h declares a function LocalHandle(), which would clash with the
// shared type of the same name; the host never calls the function.
#define LocalHandle WinBase_LocalHandle
#include <windows.h>
#undef LocalHandle
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace merlo_test {

const char* const kSettingsRoot = "Software\\MerloIntegrationTests\\Plugins";

namespace {

int ProcessId() {
#if defined(_WIN32)
  return _getpid();
#else
  return static_cast<int>(getpid());
#endif
}

// ---- Loading -----------------------------------------------------------------

#if defined(_WIN32)
using LibraryHandle = HMODULE;

LibraryHandle LoadByPath(const std::string& path) {
  LibraryHandle library = LoadLibraryA(path.c_str());
  if (library == nullptr && !path.empty() && path[0] == '/') {
    // A path from the build system, seen from Wine: the file-system root is Z:.
    std::string windowsPath = "Z:" + path;
    for (char& c : windowsPath) {
      if (c == '/') c = '\\';
    }
    library = LoadLibraryA(windowsPath.c_str());
  }
  return library;
}

void* Resolve(LibraryHandle library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(library, name));
}

std::string LoadError() { return "error " + std::to_string(GetLastError()); }
#else
using LibraryHandle = void*;

LibraryHandle LoadByPath(const std::string& path) {
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* Resolve(LibraryHandle library, const char* name) { return dlsym(library, name); }

std::string LoadError() {
  const char* error = dlerror();
  return error != nullptr ? error : "unknown error";
}
#endif

struct LoadedModule {
  bool tried = false;
  bool ok = false;
  std::string error;
  EntryPoints api;
};

LoadedModule gLoaded;

// ---- Host services -----------------------------------------------------------

std::vector<Box> gBoxes;
std::vector<std::string> gTexts;
const char* const kUnknownText = "";

const char* MERLO_STDCALL HostText(int32_t moduleId, int32_t messageId) {
  if (moduleId != kModuleId) ADD_FAILURE() << "HostText got module id " << moduleId;
  if (messageId < 0 || static_cast<size_t>(messageId) >= gTexts.size()) {
    ADD_FAILURE() << "HostText asked for message id " << messageId;
    return kUnknownText;
  }
  return gTexts[static_cast<size_t>(messageId)].c_str();
}

int32_t MERLO_STDCALL HostMessageBox(int32_t moduleId, uint32_t flags, const char* helpTopic,
                                     const char* const* items, int32_t itemCount,
                                     int32_t buttonCount) {
  Box box;
  box.moduleId = moduleId;
  box.flags = flags;
  box.hasHelp = helpTopic != nullptr;
  if (helpTopic != nullptr) box.help = helpTopic;
  box.itemCount = itemCount;
  box.buttonCount = buttonCount;
  for (int32_t i = 0; i < itemCount && items != nullptr; ++i) {
    box.items.push_back(items[i] != nullptr ? items[i] : "<null>");
  }
  gBoxes.push_back(std::move(box));
  return 0;
}

// ---- Settings ----------------------------------------------------------------

struct Setting {
  std::string name;
  std::string bytes;
  SettingType type;
};
std::vector<Setting> gSettings;

std::string SettingsKey() { return std::string(kSettingsRoot) + "\\MERLO"; }

#if !defined(_WIN32)
fs::path RegistryFile() {
  static const fs::path file =
      fs::temp_directory_path() / ("merlo-it-registry-" + std::to_string(ProcessId()) + ".reg");
  return file;
}

void RewriteRegistryFile() {
  std::ostringstream text;
  text << "REGEDIT4\n\n[HKEY_CURRENT_USER\\" << SettingsKey() << "]\n";
  for (const Setting& setting : gSettings) {
    text << '"' << setting.name << "\"=";
    if (setting.type == kSettingDword && setting.bytes.size() == 4) {
      uint32_t value = 0;
      for (size_t i = 0; i < 4; ++i) {
        value |= static_cast<uint32_t>(static_cast<unsigned char>(setting.bytes[i])) << (8 * i);
      }
      char hex[16];
      std::snprintf(hex, sizeof hex, "dword:%08x", value);
      text << hex;
    } else if (setting.type == kSettingString && !setting.bytes.empty() &&
               setting.bytes.back() == '\0') {
      text << '"' << setting.bytes.substr(0, setting.bytes.size() - 1) << '"';
    } else {
      text << (setting.type == kSettingBinary ? std::string("hex:")
                                              : "hex(" + std::to_string(setting.type) + "):");
      for (size_t i = 0; i < setting.bytes.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(setting.bytes[i]));
        text << (i == 0 ? "" : ",") << hex;
      }
    }
    text << "\n";
  }
  std::ofstream(RegistryFile(), std::ios::binary | std::ios::trunc) << text.str();
}
#endif

}  // namespace

const EntryPoints* Module(std::string* error) {
  if (!gLoaded.tried) {
    gLoaded.tried = true;
    LibraryHandle library = LoadByPath(MERLO_MODULE_PATH);
    if (library == nullptr) {
      gLoaded.error = std::string("cannot load ") + MERLO_MODULE_PATH + ": " + LoadError();
    } else {
      std::string missing;
      const bool ok = ResolveEntryPoints(
          [&](const char* name) { return Resolve(library, name); },
          [&](const char* name) { missing += (missing.empty() ? "" : ", ") + std::string(name); },
          &gLoaded.api);
      gLoaded.ok = ok;
      if (!ok) gLoaded.error = "entry points not found: " + missing;
    }
  }
  if (error != nullptr) *error = gLoaded.error;
  return gLoaded.ok ? &gLoaded.api : nullptr;
}

const std::vector<Box>& Boxes() { return gBoxes; }
void ClearBoxes() { gBoxes.clear(); }

std::string HostTextFor(int32_t messageId) {
  if (messageId == 10) return kCopyFailedFormat;
  if (messageId == 11) return kDeleteFailedFormat;
  return "text" + std::to_string(messageId);
}

void StartModule() {
  if (gTexts.empty()) {
    for (int32_t id = 0; id < 16; ++id) gTexts.push_back(HostTextFor(id));
  }
#if !defined(_WIN32)
  const std::string file = RegistryFile().string();
  setenv("MERLO_REGISTRY_FILE", file.c_str(), 1);
#endif
  const EntryPoints* api = Module();
  if (api == nullptr) return;
  static char root[128];
  std::snprintf(root, sizeof root, "%s", kSettingsRoot);
  StartupRecord record;
  std::memset(&record, 0, sizeof record);
  record.ModuleId = kModuleId;
  record.SettingsRoot = root;
  record.HostMessageBox = HostMessageBox;
  record.HostText = HostText;
  api->SetStartupInfo(&record);
}

// ---- Settings ----------------------------------------------------------------

void ClearSettings() {
  gSettings.clear();
#if defined(_WIN32)
  RegDeleteKeyA(HKEY_CURRENT_USER, SettingsKey().c_str());
  RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsRoot);
  RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\MerloIntegrationTests");
#else
  std::error_code ignored;
  fs::remove(RegistryFile(), ignored);
  unsetenv("MERLO_REGISTRY_FILE");
#endif
}

void WriteSetting(const std::string& name, const std::string& bytes, SettingType type) {
  for (auto it = gSettings.begin(); it != gSettings.end(); ++it) {
    if (it->name == name) {
      gSettings.erase(it);
      break;
    }
  }
  gSettings.push_back({name, bytes, type});
#if defined(_WIN32)
  HKEY key = nullptr;
  LONG created = RegCreateKeyExA(HKEY_CURRENT_USER, SettingsKey().c_str(), 0, nullptr, 0,
                                 KEY_SET_VALUE, nullptr, &key, nullptr);
  ASSERT_EQ(ERROR_SUCCESS, created) << "cannot create HKCU\\" << SettingsKey();
  LONG set = RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                            static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
  ASSERT_EQ(ERROR_SUCCESS, set) << "cannot set " << name;
#else
  RewriteRegistryFile();
#endif
}

std::string DwordBytes(uint32_t value) {
  std::string bytes(4, '\0');
  for (size_t i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

// ---- The emulated device -----------------------------------------------------

namespace {
void SetEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
  SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
  _putenv((std::string(name) + "=" + value).c_str());
#else
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
#endif
}
}  // namespace

void SetDeviceEnvironment(const fs::path& root, const std::string& faults) {
  SetEnvironment("MERLO_DEVICE_ROOT", root.string());
  SetEnvironment("MERLO_DEVICE_FAULTS", faults);
}

// ---- Files -------------------------------------------------------------------

TempFolder::TempFolder(const std::string& tag) {
  static std::atomic<unsigned> counter{0};
  const std::string name =
      "merlo-it-" + tag + "-" + std::to_string(ProcessId()) + "-" + std::to_string(counter++);
  path_ = fs::absolute(fs::temp_directory_path() / name);
  RemoveTree(path_);
  fs::create_directories(path_);
}

TempFolder::~TempFolder() { RemoveTree(path_); }

void RemoveTree(const fs::path& path) {
  std::error_code error;
  if (!fs::exists(fs::symlink_status(path, error))) return;
  if (fs::is_directory(fs::symlink_status(path, error))) {
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, error);
    for (auto it = fs::recursive_directory_iterator(path, error);
         it != fs::recursive_directory_iterator(); it.increment(error)) {
      if (error) break;
      if (!it->is_symlink(error)) {
        fs::permissions(it->path(), fs::perms::owner_read | fs::perms::owner_write,
                        fs::perm_options::add, error);
        if (it->is_directory(error)) {
          fs::permissions(it->path(), fs::perms::owner_exec, fs::perm_options::add, error);
        }
      }
    }
  } else {
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, error);
  }
  fs::remove_all(path, error);
}

void WriteFile(const fs::path& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path.string();
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t state = 0x9E3779B9u ^ (seed * 0x85EBCA6Bu);
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(state >> 16);
  }
  return bytes;
}

void SetLastWriteTime(const fs::path& path, uint64_t fileTime) {
#if defined(_WIN32)
  HANDLE file = CreateFileW(path.wstring().c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << "cannot open " << path.string();
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(fileTime);
  time.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
  const BOOL set = SetFileTime(file, nullptr, nullptr, &time);
  CloseHandle(file);
  ASSERT_TRUE(set) << "cannot set the time of " << path.string();
#else
  constexpr int64_t kEpochDelta = 11644473600;  // seconds from 1601 to 1970
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(static_cast<int64_t>(fileTime / 10000000u) - kEpochDelta);
  times[1].tv_nsec = static_cast<long>((fileTime % 10000000u) * 100u);
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0)) << "cannot set the time of " << path;
#endif
}

void MakeReadOnly(const fs::path& path, bool readOnly) {
  const fs::perms write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  fs::permissions(path, readOnly ? write : fs::perms::owner_write,
                  readOnly ? fs::perm_options::remove : fs::perm_options::add);
}

bool ReadOnlyFilesAreEnforced() {
#if defined(_WIN32)
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr;
#else
  return true;  // the Linux file layer refuses a file without write bits, also for root
#endif
}

std::string PcPath(const fs::path& path) {
#if defined(_WIN32)
  return fs::absolute(path).string();
#else
  // The drive-letter form; the bytes of the names as they are (UTF-8).
  std::string pc = "Z:" + fs::absolute(path).string();
  for (char& c : pc) {
    if (c == '/') c = '\\';
  }
  return pc;
#endif
}

ExclusiveHold::ExclusiveHold(const fs::path& path) {
#if defined(_WIN32)
  HANDLE file = CreateFileA(path.string().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  handle_ = reinterpret_cast<intptr_t>(file);
  held_ = file != INVALID_HANDLE_VALUE;
#else
  // The Linux file layer keeps share mode 0 as an exclusive flock(2).
  handle_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  held_ = handle_ >= 0 && flock(static_cast<int>(handle_), LOCK_EX | LOCK_NB) == 0;
#endif
}

ExclusiveHold::~ExclusiveHold() {
#if defined(_WIN32)
  if (held_) CloseHandle(reinterpret_cast<HANDLE>(handle_));
#else
  if (handle_ >= 0) close(static_cast<int>(handle_));
#endif
}

CurrentDirectory::CurrentDirectory(const fs::path& folder) : previous_(fs::current_path()) {
  fs::current_path(folder);
}

CurrentDirectory::~CurrentDirectory() {
  std::error_code ignored;
  fs::current_path(previous_, ignored);
}

// ---- Panels ------------------------------------------------------------------

PanelItem PcItem(const std::string& name, uint32_t attributes) {
  PanelItem item;
  std::memset(&item, 0, sizeof item);
  item.Attributes = attributes;
  std::snprintf(item.Name, sizeof item.Name, "%s", name.c_str());
  item.ItemFlags = kItemSelected;
  return item;
}

std::string ItemName(const PanelItem& item) {
  return std::string(item.Name, strnlen(item.Name, sizeof item.Name));
}

Panel::Panel(const fs::path& root, const std::string& faults) : handle_(MERLO_NO_PANEL) {
  const EntryPoints* api = Module();
  if (api == nullptr) return;
  SetDeviceEnvironment(root, faults);
  handle_ = api->OpenPlugin(0, 0);
}

Panel::~Panel() { Close(); }

void Panel::Close() {
  if (open()) Module()->ClosePlugin(handle_);
  handle_ = MERLO_NO_PANEL;
}

std::vector<PanelItem> Panel::List() const {
  PanelItem* items = nullptr;
  int32_t count = -1;
  const int32_t result = Module()->GetFindData(handle_, &items, &count, 0);
  EXPECT_EQ(1, result);
  EXPECT_NE(nullptr, items);
  std::vector<PanelItem> copy;
  if (items != nullptr && count > 0) copy.assign(items, items + count);
  Module()->FreeFindData(handle_, items, count);
  return copy;
}

std::vector<PanelItem> Panel::Select(const std::vector<std::string>& names) const {
  const std::vector<PanelItem> listing = List();
  std::vector<PanelItem> selection;
  for (const std::string& name : names) {
    bool found = false;
    for (const PanelItem& item : listing) {
      if (ItemName(item) == name) {
        selection.push_back(item);
        selection.back().ItemFlags |= kItemSelected;
        found = true;
        break;
      }
    }
    if (!found) ADD_FAILURE() << "the listing has no \"" << name << "\"";
  }
  return selection;
}

int32_t Panel::Cd(const char* folder) const { return Module()->SetDirectory(handle_, folder, 0); }

int32_t Panel::Get(std::vector<PanelItem>& items, bool move, const std::string& destination) const {
  return Module()->GetFiles(handle_, items.data(), static_cast<int32_t>(items.size()), move ? 1 : 0,
                            destination.c_str(), 0);
}

int32_t Panel::Put(std::vector<PanelItem>& items, bool move, const fs::path& pcFolder) const {
  CurrentDirectory current(pcFolder);
  return Module()->PutFiles(handle_, items.data(), static_cast<int32_t>(items.size()), move ? 1 : 0,
                            0);
}

int32_t Panel::Delete(std::vector<PanelItem>& items) const {
  return Module()->DeleteFiles(handle_, items.data(), static_cast<int32_t>(items.size()), 0);
}

// ---- Fixture -----------------------------------------------------------------

void ModuleTest::SetUp() {
  std::string error;
  api_ = Module(&error);
  ASSERT_NE(nullptr, api_) << error;
  ClearSettings();
  StartModule();
  ClearBoxes();
  device_ = std::make_unique<TempFolder>("device");
  pc_ = std::make_unique<TempFolder>("pc");
  SetDeviceEnvironment(device(), "");
}

void ModuleTest::TearDown() {
  device_.reset();
  pc_.reset();
  SetDeviceEnvironment(fs::path(), "");
  ClearSettings();
  ClearBoxes();
}

Box ModuleTest::OnlyBox() const {
  EXPECT_EQ(1u, Boxes().size()) << "boxes shown";
  return Boxes().empty() ? Box() : Boxes().front();
}

void ModuleTest::ExpectOperationBox(const std::string& text) const {
  const Box box = OnlyBox();
  EXPECT_EQ(kModuleId, box.moduleId);
  EXPECT_EQ(3u, box.flags);
  EXPECT_FALSE(box.hasHelp);
  EXPECT_EQ(3, box.itemCount);
  EXPECT_EQ(1, box.buttonCount);
  EXPECT_EQ((std::vector<std::string>{"text2", text, "text0"}), box.items);
}

std::string ModuleTest::CopyFailedText(const std::string& path) { return "Cannot copy " + path; }

std::string ModuleTest::DeleteFailedText(const std::string& path) {
  return "Cannot delete " + path;
}

}  // namespace merlo_test
