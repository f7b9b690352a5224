#include "seam_fakes.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/text.h"

namespace {

FakeWorld* world = nullptr;

std::string Hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%x", v);
  return b;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void Log(const std::string& s) { world->Calls.push_back(s); }

// Open files of both sides share one table; handles start at 100.
struct OpenFile {
  std::string Path;
  bool Device;
  bool Write;
  size_t Position;
};
std::map<intptr_t, OpenFile> openFiles;
intptr_t nextHandle = 100;

std::string& Contents(const OpenFile& f) {
  return f.Device ? world->DeviceFiles[f.Path] : world->PcFiles[f.Path];
}

intptr_t Open(const std::string& path, bool device, uint32_t access, uint32_t disposition) {
  auto& files = device ? world->DeviceFiles : world->PcFiles;
  const bool write = access == kGenericWrite;
  if (write ? (device ? world->DeviceCreateRefused : world->PcCreateRefused) : false) return -1;
  if (disposition == kOpenExisting && files.count(path) == 0) return -1;
  if (disposition == kCreateAlways) files[path].clear();
  openFiles[nextHandle] = OpenFile{path, device, write, 0};
  return nextHandle++;
}

int32_t Read(intptr_t handle, void* buffer, uint32_t count, uint32_t* done) {
  const int n = ++world->Reads;
  auto it = openFiles.find(handle);
  if (it == openFiles.end() || n == world->FailRead) return 0;
  std::string& data = Contents(it->second);
  size_t available = data.size() - std::min(data.size(), it->second.Position);
  size_t moved = std::min<size_t>(count, available);
  if (n == world->ShortRead && moved > 0) moved -= 1;
  std::memcpy(buffer, data.data() + it->second.Position, moved);
  it->second.Position += moved;
  *done = static_cast<uint32_t>(moved);
  return 1;
}

int32_t Write(intptr_t handle, const void* buffer, uint32_t count, uint32_t* done) {
  const int n = ++world->Writes;
  auto it = openFiles.find(handle);
  if (it == openFiles.end() || n == world->FailWrite) return 0;
  size_t moved = count;
  if (n == world->ShortWrite && moved > 0) moved -= 1;
  Contents(it->second).append(static_cast<const char*>(buffer), moved);
  *done = static_cast<uint32_t>(moved);
  return 1;
}

uint32_t Size(intptr_t handle, uint32_t* high) {
  auto it = openFiles.find(handle);
  if (it == openFiles.end()) return 0xFFFFFFFFu;
  if (high != nullptr) {
    auto h = world->SizeHigh.find(it->second.Path);
    *high = h != world->SizeHigh.end() ? h->second : 0;
  }
  return static_cast<uint32_t>(Contents(it->second).size());
}

// Device library.
DeviceResult MERLO_STDCALL FakeInit(ConnectRecord* record) {
  Log("CeRapiInitEx(" + std::to_string(record->Size) + ")");
  if (world->InitResult == 0) {
    record->CompletionEvent = 7;
    record->Result = world->ConnectResult;
  }
  return world->InitResult;
}
DeviceResult MERLO_STDCALL FakeUninit() {
  Log("CeRapiUninit");
  return 0;
}
DeviceBool MERLO_STDCALL FakeFindAll(const DeviceChar* pattern, uint32_t flags, uint32_t* count,
                                     DeviceFindRecord** records) {
  Log("CeFindAllFiles(" + Narrow(pattern) + "," + Hex(flags) + ")");
  ++world->FindCalls;
  if (world->FindLeavesCountUntouched) return 0;
  *count = static_cast<uint32_t>(world->Records.size());
  auto* copy = new DeviceFindRecord[world->Records.size() + 1];
  for (size_t i = 0; i < world->Records.size(); ++i) copy[i] = world->Records[i];
  *records = copy;
  return 1;
}
DeviceResult MERLO_STDCALL FakeFree(void* buffer) {
  Log("CeRapiFreeBuffer");
  delete[] static_cast<DeviceFindRecord*>(buffer);
  return 0;
}
DeviceHandle MERLO_STDCALL FakeCeCreate(const DeviceChar* path, uint32_t access, uint32_t share,
                                        void* security, uint32_t disposition, uint32_t attributes,
                                        DeviceHandle templateFile) {
  Log("CeCreateFile(" + Narrow(path) + "," + Hex(access) + "," + Hex(share) + "," +
      Hex(disposition) + "," + Hex(attributes) + (security || templateFile ? ",extra" : "") + ")");
  return static_cast<DeviceHandle>(Open(Narrow(path), true, access, disposition));
}
uint32_t MERLO_STDCALL FakeCeSize(DeviceHandle file, uint32_t* high) {
  Log(std::string("CeGetFileSize(") + (high ? "high" : "null") + ")");
  return Size(file, high);
}
DeviceBool MERLO_STDCALL FakeCeRead(DeviceHandle file, void* buffer, uint32_t count, uint32_t* done,
                                    void*) {
  Log("CeReadFile(" + std::to_string(count) + ")");
  return Read(file, buffer, count, done);
}
DeviceBool MERLO_STDCALL FakeCeWrite(DeviceHandle file, const void* buffer, uint32_t count,
                                     uint32_t* done, void*) {
  Log("CeWriteFile(" + std::to_string(count) + ")");
  return Write(file, buffer, count, done);
}
DeviceBool MERLO_STDCALL FakeCeClose(DeviceHandle file) {
  Log("CeCloseHandle");
  return openFiles.erase(file) != 0 && !world->DeviceCloseFails;
}
DeviceBool MERLO_STDCALL FakeCeCopy(const DeviceChar* from, const DeviceChar* to,
                                    DeviceBool failIfExists) {
  Log("CeCopyFile(" + Narrow(from) + "," + Narrow(to) + "," + std::to_string(failIfExists) + ")");
  return world->CopyResult;
}
DeviceBool MERLO_STDCALL FakeCeMove(const DeviceChar* from, const DeviceChar* to) {
  Log("CeMoveFile(" + Narrow(from) + "," + Narrow(to) + ")");
  return world->MoveResult;
}
DeviceBool MERLO_STDCALL FakeCeDelete(const DeviceChar* path) {
  Log("CeDeleteFile(" + Narrow(path) + ")");
  if (world->DeviceDeleteRefused) return 0;
  world->DeviceFiles.erase(Narrow(path));
  return 1;
}

// PC files.
LocalHandle FakeCreate(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                       uint32_t attributes) {
  Log(std::string("CreateFileA(") + path + "," + Hex(access) + "," + Hex(share) + "," +
      Hex(disposition) + "," + Hex(attributes) + ")");
  return Open(path, false, access, disposition);
}
int32_t FakeRead(LocalHandle file, void* buffer, uint32_t count, uint32_t* done) {
  Log("ReadFile(" + std::to_string(count) + ")");
  return Read(file, buffer, count, done);
}
int32_t FakeWrite(LocalHandle file, const void* buffer, uint32_t count, uint32_t* done) {
  Log("WriteFile(" + std::to_string(count) + ")");
  return Write(file, buffer, count, done);
}
uint32_t FakeSize(LocalHandle file, uint32_t* high) {
  Log(std::string("GetFileSize(") + (high ? "high" : "null") + ")");
  return Size(file, high);
}
int32_t FakeClose(LocalHandle file) {
  Log("CloseHandle");
  return openFiles.erase(file) != 0 && !world->PcCloseFails;
}
int32_t FakeDelete(const char* path) {
  Log(std::string("DeleteFileA(") + path + ")");
  if (world->PcDeleteRefused) return 0;
  world->PcFiles.erase(path);
  return 1;
}

// Settings store.
std::map<RegistryKey, std::string> openKeys;
RegistryKey nextKey = 500;
int32_t FakeOpenKey(RegistryKey root, const char* subkey, uint32_t options, uint32_t access,
                    RegistryKey* key) {
  Log("RegOpenKeyExA(" + Hex(static_cast<uint32_t>(root)) + "," + subkey + "," + Hex(options) +
      "," + Hex(access) + ")");
  auto it = world->Keys.find(Lower(subkey));
  if (root != kHkeyCurrentUser || it == world->Keys.end()) return 2;
  *key = nextKey;
  openKeys[nextKey++] = it->first;
  return 0;
}
int32_t FakeQuery(RegistryKey key, const char* name, uint32_t* type, uint8_t* data,
                  uint32_t* size) {
  Log(std::string("RegQueryValueExA(") + (key ? "key" : "null") + "," + name + "," +
      std::to_string(*size) + ")");
  auto k = openKeys.find(key);
  if (k == openKeys.end()) return 6;
  auto& values = world->Keys[k->second];
  auto v = values.find(name);
  if (v == values.end()) return 2;
  if (v->second.size() > *size) return 234;
  std::memcpy(data, v->second.data(), v->second.size());
  *size = static_cast<uint32_t>(v->second.size());
  *type = 3;
  return 0;
}
int32_t FakeCloseKey(RegistryKey key) {
  Log(std::string("RegCloseKey(") + (key ? "key" : "null") + ")");
  return openKeys.erase(key) != 0 ? 0 : 6;
}

// Process.
uint32_t FakeWait(int32_t event, uint32_t ms) {
  Log("WaitForSingleObject(" + std::to_string(event) + "," + std::to_string(ms) + ")");
  return world->WaitResult;
}
uint32_t FakeCwd(uint32_t size, char* buffer) {
  Log("GetCurrentDirectoryA(" + std::to_string(size) + ")");
  const std::string& cwd = world->CurrentDirectory;
  if (cwd.size() + 1 > size) return static_cast<uint32_t>(cwd.size() + 1);
  std::memcpy(buffer, cwd.c_str(), cwd.size() + 1);
  return world->CurrentDirectoryResult != 0 ? world->CurrentDirectoryResult
                                            : static_cast<uint32_t>(cwd.size());
}

// Host services.
const char* MERLO_STDCALL FakeText(int32_t moduleId, int32_t id) {
  Log("HostText(" + std::to_string(moduleId) + "," + std::to_string(id) + ")");
  if (world->NullTexts) return nullptr;
  auto it = world->Texts.find(id);
  if (it == world->Texts.end()) it = world->Texts.emplace(id, "text" + std::to_string(id)).first;
  return it->second.c_str();
}
int32_t MERLO_STDCALL FakeBoxFn(int32_t moduleId, uint32_t flags, const char* help,
                                const char* const* items, int32_t count, int32_t buttons) {
  Log("HostMessageBox(" + std::to_string(moduleId) + ")");
  FakeBox box{flags, help ? help : "<null>", {}, buttons};
  for (int32_t i = 0; i < count; ++i) box.Items.push_back(items[i]);
  world->Boxes.push_back(box);
  return 0;
}

}  // namespace

std::string Narrow(const DeviceChar* text) {
  std::string s;
  for (; *text != 0; ++text) s += *text < 256 ? static_cast<char>(*text) : '#';
  return s;
}

DeviceFindRecord MakeRecord(const std::u16string& name, uint32_t attributes, uint32_t sizeLow) {
  DeviceFindRecord r;
  std::memset(&r, 0, sizeof r);
  r.Attributes = attributes;
  r.SizeLow = sizeLow;
  std::memcpy(r.Name, name.c_str(), (name.size() + 1) * sizeof(DeviceChar));
  return r;
}

FakeWorld::FakeWorld()
    : savedDevice_(gDeviceLibrary),
      savedLocal_(gLocalFiles),
      savedRegistry_(gRegistry),
      savedProcess_(gProcess),
      savedModule_(gModule) {
  world = this;
  openFiles.clear();
  openKeys.clear();
  std::memset(&Startup, 0, sizeof Startup);
  Startup.ModuleId = 42;
  Startup.HostText = FakeText;
  Startup.HostMessageBox = FakeBoxFn;
  gModule.Startup = Startup;
  gDeviceLibrary =
      DeviceLibrary{FakeInit,   FakeUninit,  FakeFindAll, FakeFree,   FakeCeCreate, FakeCeSize,
                    FakeCeRead, FakeCeWrite, FakeCeClose, FakeCeCopy, FakeCeMove,   FakeCeDelete};
  gLocalFiles = LocalFiles{FakeCreate, FakeRead, FakeWrite, FakeSize, FakeClose, FakeDelete};
  gRegistry = Registry{FakeOpenKey, FakeQuery, FakeCloseKey};
  gProcess = ProcessCalls{FakeWait, FakeCwd, nullptr};
}

FakeWorld::~FakeWorld() {
  gDeviceLibrary = savedDevice_;
  gLocalFiles = savedLocal_;
  gRegistry = savedRegistry_;
  gProcess = savedProcess_;
  gModule = savedModule_;
  world = nullptr;
}

std::vector<std::string> FakeWorld::CallsOf(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const auto& c : Calls)
    if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
  return out;
}

void FakeWorld::StartModule() {
  Startup.SettingsRoot = SettingsRoot.c_str();
  ::StartModule(&Startup);
  Calls.clear();
}
