// The emulated device library (librapi.so, rapi.dll) on its own: loaded by
// path and driven by its plain call names against real temporary folders. The
// same cases run on Linux and on Windows: the device is one device on both.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <process.h>
// winbase.h declares a function LocalHandle(), which would clash with the
// shared type of the same name; the tests never call the function.
#define LocalHandle WinBase_LocalHandle
#include <windows.h>
#undef LocalHandle
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/device_library.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kRead = 0x80000000u, kWrite = 0x40000000u;
constexpr uint32_t kCreateNew = 1, kCreateAlways = 2, kOpenExisting = 3, kOpenAlways = 4,
                   kTruncateExisting = 5;
constexpr int32_t kSentinel = 0x5A5A5A5A;
// The event value that "bad-event" hands out: a descriptor or handle that cannot be waited on.
#if defined(_WIN32)
constexpr int32_t kBadEvent = 0;
#else
constexpr int32_t kBadEvent = -1;
#endif

// ---- What differs between the platforms ----------------------------------------------

#if defined(_WIN32)
using Library = HMODULE;

Library LoadLibraryAt(const std::string& path) {
  // A path from the build system, seen from Wine: the file-system root is Z:.
  std::string windowsPath = path[0] == '/' ? "Z:" + path : path;
  std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
  return LoadLibraryA(windowsPath.c_str());
}

void* Symbol(Library library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(library, name));
}

std::string LoadError() { return "error " + std::to_string(GetLastError()); }

const char* const kLibraryName = "/rapi.dll";

void SetEnv(const char* name, const fs::path& value) {
  std::wstring wide(name, name + std::strlen(name));
  SetEnvironmentVariableW(wide.c_str(), value.wstring().c_str());
}

void UnsetEnv(const char* name) {
  std::wstring wide(name, name + std::strlen(name));
  SetEnvironmentVariableW(wide.c_str(), nullptr);
}

HANDLE EventHandle(int32_t event) { return reinterpret_cast<HANDLE>(intptr_t(event)); }

// Signalled within `ms`: 1; not: 0; a handle that cannot be waited on: -1.
int WaitReadable(int32_t event, int ms) {
  DWORD r = WaitForSingleObject(EventHandle(event), DWORD(ms));
  return r == WAIT_OBJECT_0 ? 1 : r == WAIT_TIMEOUT ? 0 : -1;
}

bool IsOpenEvent(int32_t event) {
  DWORD flags = 0;
  return event != 0 && GetHandleInformation(EventHandle(event), &flags) != 0;
}

int ProcessId() { return _getpid(); }
#else
using Library = void*;

Library LoadLibraryAt(const std::string& path) {
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* Symbol(Library library, const char* name) { return dlsym(library, name); }

std::string LoadError() { return dlerror(); }

const char* const kLibraryName = "/librapi.so";

void SetEnv(const char* name, const fs::path& value) { setenv(name, value.c_str(), 1); }

void UnsetEnv(const char* name) { unsetenv(name); }

// Readable within `ms`: 1; not: 0; a bad descriptor or an error: -1.
int WaitReadable(int32_t fd, int ms) {
  if (fd < 0) return -1;
  pollfd p{fd, POLLIN, 0};
  int r = poll(&p, 1, ms);
  if (r < 0 || (r == 1 && (p.revents & (POLLNVAL | POLLERR)))) return -1;
  return r == 1 ? 1 : 0;
}

bool IsOpenEvent(int32_t fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

int ProcessId() { return int(getpid()); }
#endif

void SetEnv(const char* name, const char* value) { SetEnv(name, fs::u8path(value)); }

// The library, loaded once for the whole test program and never unloaded.
const DeviceLibrary& Rapi() {
  static DeviceLibrary lib = [] {
    DeviceLibrary l{};
    Library h = LoadLibraryAt(std::string(MERLO_BUILD_DIR) + kLibraryName);
    if (h == nullptr) {
      ADD_FAILURE() << "cannot load the device library: " << LoadError();
      return l;
    }
#define RESOLVE(Return, Name, Parameters, Arguments, Bytes) \
  l.Name = reinterpret_cast<decltype(l.Name)>(Symbol(h, #Name));
    MERLO_DEVICE_CALLS(RESOLVE)
#undef RESOLVE
    return l;
  }();
  return lib;
}

// The further calls, that merlo makes itself; null where the library lacks one.
struct FurtherCalls {
#define FURTHER_CALL(Return, Name, Parameters, Arguments, Bytes) \
  Return(MERLO_STDCALL* Name) Parameters = nullptr;
  MERLO_FURTHER_DEVICE_CALLS(FURTHER_CALL)
#undef FURTHER_CALL
};

const FurtherCalls& Further() {
  static FurtherCalls calls = [] {
    FurtherCalls c;
    Library h = LoadLibraryAt(std::string(MERLO_BUILD_DIR) + kLibraryName);
    if (h == nullptr) return c;
#define RESOLVE(Return, Name, Parameters, Arguments, Bytes) \
  c.Name = reinterpret_cast<decltype(c.Name)>(Symbol(h, #Name));
    MERLO_FURTHER_DEVICE_CALLS(RESOLVE)
#undef RESOLVE
    return c;
  }();
  return calls;
}

// The result field, written by the library's thread.
int32_t ResultOf(const ConnectRecord& record) {
  return __atomic_load_n(&record.Result, __ATOMIC_ACQUIRE);
}

void PutFile(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A file's read-only attribute: the write permission bits on Linux.
void SetReadOnly(const fs::path& path, bool readOnly) {
#if defined(_WIN32)
  DWORD attributes = GetFileAttributesW(path.wstring().c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  attributes =
      readOnly ? attributes | FILE_ATTRIBUTE_READONLY : attributes & ~FILE_ATTRIBUTE_READONLY;
  ASSERT_TRUE(SetFileAttributesW(path.wstring().c_str(), attributes));
#else
  const fs::perms write = fs::perms::owner_write | fs::perms::group_write;
  fs::permissions(path, write, readOnly ? fs::perm_options::remove : fs::perm_options::add);
#endif
}

// A file's times as the device reports them (FILETIME values): creation (the
// status change on Linux), last access, last write.
struct Times {
  uint64_t created = 0, accessed = 0, written = 0;
};

#if defined(_WIN32)
uint64_t FromFileTime(const FILETIME& t) {
  return uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime;
}

FILETIME ToFileTime(uint64_t t) { return FILETIME{DWORD(t), DWORD(t >> 32)}; }

Times TimesOf(const fs::path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  EXPECT_TRUE(GetFileAttributesExW(path.wstring().c_str(), GetFileExInfoStandard, &data));
  return Times{FromFileTime(data.ftCreationTime), FromFileTime(data.ftLastAccessTime),
               FromFileTime(data.ftLastWriteTime)};
}

void SetTimes(const fs::path& path, uint64_t accessed, uint64_t written) {
  HANDLE h = CreateFileW(path.wstring().c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                         0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FILETIME a = ToFileTime(accessed), w = ToFileTime(written);
  EXPECT_TRUE(SetFileTime(h, nullptr, &a, &w));
  CloseHandle(h);
}
#else
uint64_t FromTimespec(const timespec& t) {
  return uint64_t(t.tv_sec + 11644473600LL) * 10000000u + uint64_t(t.tv_nsec) / 100u;
}

timespec ToTimespec(uint64_t t) {
  return timespec{time_t(t / 10000000u) - 11644473600LL, long(t % 10000000u) * 100};
}

Times TimesOf(const fs::path& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  return Times{FromTimespec(st.st_ctim), FromTimespec(st.st_atim), FromTimespec(st.st_mtim)};
}

void SetTimes(const fs::path& path, uint64_t accessed, uint64_t written) {
  timespec times[2] = {ToTimespec(accessed), ToTimespec(written)};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}
#endif

// Holds a file open from outside the device as the PC side would, sharing
// nothing: an exclusive lock of the PC-file layer on Linux, share mode 0 on Windows.
class HeldFile {
 public:
  explicit HeldFile(const fs::path& path) {
#if defined(_WIN32)
    handle_ =
        CreateFileW(path.wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    held_ = handle_ != INVALID_HANDLE_VALUE;
#else
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    held_ = fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0;
#endif
  }
  ~HeldFile() {
#if defined(_WIN32)
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
#else
    if (fd_ >= 0) close(fd_);
#endif
  }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  bool held() const { return held_; }

 private:
#if defined(_WIN32)
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
  int fd_ = -1;
#endif
  bool held_ = false;
};

#if defined(_WIN32)
// Wine's name of a Windows path on the Unix side; empty outside Wine.
std::string UnixPath(const fs::path& path) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  static const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == nullptr) return std::string();
  char* name = unixName(path.wstring().c_str());
  std::string result = name != nullptr ? name : "";
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Runs a command of the Unix shell under Wine and waits until it has done
// its work. Wine hands out no handle of a Unix process to wait on: a marker
// file that the command leaves on success tells. False when it failed, or
// outside Wine. Paths in `command` are single-quoted and hold no quote.
bool RunUnix(const std::string& command) {
  static std::atomic<unsigned> counter{0};
  const fs::path marker =
      fs::temp_directory_path() /
      ("merlo-emu-done-" + std::to_string(ProcessId()) + "-" + std::to_string(counter++));
  const std::string unixMarker = UnixPath(marker);
  if (unixMarker.empty()) return false;
  const std::string line = "Z:\\bin\\sh -c \"" + command + " && : > '" + unixMarker + "'\"";
  std::wstring wide(line.begin(), line.end());  // the test's paths are ASCII
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, &wide[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    return false;
  }
  if (pi.hProcess != nullptr) CloseHandle(pi.hProcess);
  if (pi.hThread != nullptr) CloseHandle(pi.hThread);
  for (int i = 0; i < 200; ++i) {
    if (DeleteFileW(marker.wstring().c_str())) return true;
    Sleep(25);
  }
  return false;
}
#endif

// A symbolic link, made as the platform makes one; false when it cannot be made
// here. Under Wine, which makes none of its own, the Unix ln makes it.
bool MakeLink(const fs::path& target, const fs::path& link, bool folder) {
#if defined(_WIN32)
  const std::string from = UnixPath(target), at = UnixPath(link);
  if (!from.empty() && !at.empty()) return RunUnix("ln -s '" + from + "' '" + at + "'");
  DWORD flags = (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2;  // unprivileged
  return CreateSymbolicLinkW(link.wstring().c_str(), target.wstring().c_str(), flags) != 0;
#else
  std::error_code ec;
  if (folder) {
    fs::create_directory_symlink(target, link, ec);
  } else {
    fs::create_symlink(target, link, ec);
  }
  return !ec;
#endif
}

// Removes a test's folder, links and all (under Wine the Unix rm does it: the
// Windows calls cannot remove a Unix link).
void RemoveTree(const fs::path& path) {
  std::error_code ec;
#if defined(_WIN32)
  const std::string unixPath = UnixPath(path);
  if (!unixPath.empty() && RunUnix("rm -rf '" + unixPath + "'")) return;
#endif
  // Read-only files and folders become writable first.
  for (auto it = fs::recursive_directory_iterator(path, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_symlink()) continue;
#if defined(_WIN32)
    SetFileAttributesW(it->path().wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
#else
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
#endif
  }
  fs::remove_all(path, ec);
}

#define MAKE_LINK(target, link, folder)                                      \
  do {                                                                       \
    if (!MakeLink(target, link, folder)) {                                   \
      GTEST_SKIP() << "this system makes no symbolic link here: " << (link); \
    }                                                                        \
  } while (0)

// UTF-16 <-> UTF-8 for the test's own checks (std::wstring_convert is deprecated).
std::string ToUtf8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(s[++i]) - 0xDC00);
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

uint64_t Join(const uint32_t halves[2]) { return uint64_t(halves[1]) << 32 | halves[0]; }

bool AllZero(const void* p, size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

// A listing, copied out of the library's array (which is then given back).
struct Listing {
  bool ok = false;
  std::vector<DeviceFindRecord> records;

  const DeviceFindRecord* Find(const std::u16string& name) const {
    for (const DeviceFindRecord& r : records) {
      if (std::u16string(r.Name) == name) return &r;
    }
    return nullptr;
  }
  std::set<std::u16string> Names() const {
    std::set<std::u16string> names;
    for (const DeviceFindRecord& r : records) names.insert(r.Name);
    return names;
  }
};

Listing List(const std::u16string& pattern, uint32_t flags = kFindAllFlags) {
  Listing listing;
  uint32_t count = 0;
  DeviceFindRecord* array = nullptr;
  listing.ok = Rapi().CeFindAllFiles(pattern.c_str(), flags, &count, &array) != 0;
  if (listing.ok) {
    EXPECT_NE(array, nullptr);
    listing.records.assign(array, array + count);
    Rapi().CeRapiFreeBuffer(array);
  }
  return listing;
}

// A device root in a fresh temporary folder, connected for the test.
class EmulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Rapi().CeRapiInitEx, nullptr);
    static std::atomic<unsigned> counter{0};
    base_ = fs::absolute(fs::temp_directory_path() / ("merlo-emu-" + std::to_string(ProcessId()) +
                                                      "-" + std::to_string(counter++)));
    fs::remove_all(base_);
    fs::create_directories(base_);
    root_ = base_ / "device";
    outside_ = base_ / "outside";
    fs::create_directories(root_);
    fs::create_directories(outside_);
    PutFile(outside_ / "secret.txt", "secret");
    SetEnv("MERLO_DEVICE_ROOT", root_);
    UnsetEnv("MERLO_DEVICE_FAULTS");
    // Start from no open session, whatever ran before in this process.
    while (Rapi().CeRapiUninit() == 0) {
    }
    ASSERT_EQ(Connect(), 0);
  }

  void TearDown() override {
    while (sessions_ > 0) Disconnect();
    UnsetEnv("MERLO_DEVICE_FAULTS");
    UnsetEnv("MERLO_DEVICE_ROOT");
    RemoveTree(base_);
  }

  // CeRapiInitEx with `faults`, then the wait for completion; the record's result.
  int32_t Connect(const char* faults = nullptr) {
    if (faults != nullptr) SetEnv("MERLO_DEVICE_FAULTS", faults);
    ConnectRecord& record = records_[sessions_ % 8];
    record = ConnectRecord{12, kSentinel, kSentinel};
    int32_t started = Rapi().CeRapiInitEx(&record);
    ++sessions_;
    if (started != 0) return started;
    EXPECT_EQ(WaitReadable(record.CompletionEvent, 5000), 1);
    return ResultOf(record);
  }

  int32_t Disconnect() {
    --sessions_;
    return Rapi().CeRapiUninit();
  }

  // The fault list takes effect at the next CeRapiInitEx: reconnect with it.
  void Reconnect(const char* faults) {
    while (sessions_ > 0) Disconnect();
    ASSERT_EQ(Connect(faults), 0);
  }

  DeviceHandle Open(const std::u16string& path, uint32_t access, uint32_t disposition,
                    uint32_t share = 0) {
    return Rapi().CeCreateFile(path.c_str(), access, share, nullptr, disposition, 0x80, 0);
  }

  bool Close(DeviceHandle h) { return Rapi().CeCloseHandle(h) != 0; }

  bool Write(DeviceHandle h, const std::string& data, uint32_t* done) {
    return Rapi().CeWriteFile(h, data.data(), uint32_t(data.size()), done, nullptr) != 0;
  }

  fs::path base_, root_, outside_;
  ConnectRecord records_[8];
  int sessions_ = 0;
};

// ---- Listing -------------------------------------------------------------------------

TEST_F(EmulatorTest, ListingFillsOnlyTheAskedFields) {
  PutFile(root_ / "a.txt", "hello");
  fs::create_directory(root_ / "sub");
  const Times times = TimesOf(root_ / "a.txt");

  for (uint32_t flag = 1; flag <= 0x80; flag <<= 1) {
    SCOPED_TRACE(flag);
    Listing l = List(u"\\*.*", flag);
    ASSERT_TRUE(l.ok);
    ASSERT_EQ(l.records.size(), 2u);
    for (const DeviceFindRecord& r : l.records) {
      DeviceFindRecord expect{};
      if (flag == kFindName) std::memcpy(expect.Name, r.Name, sizeof r.Name);
      if (flag == kFindAttributes) expect.Attributes = r.Attributes;
      if (flag == kFindSizeLow) expect.SizeLow = r.SizeLow;
      if (flag == kFindCreationTime) std::memcpy(expect.CreationTime, r.CreationTime, 8);
      if (flag == kFindLastAccessTime) std::memcpy(expect.LastAccessTime, r.LastAccessTime, 8);
      if (flag == kFindLastWriteTime) std::memcpy(expect.LastWriteTime, r.LastWriteTime, 8);
      if (flag == kFindObjectId) expect.ObjectId = r.ObjectId;
      EXPECT_EQ(std::memcmp(&expect, &r, sizeof r), 0);
    }
  }

  // 0xA5, as the module asks: attributes, creation time, size low and name only.
  Listing l = List(u"\\*.*", 0xA5);
  ASSERT_TRUE(l.ok);
  const DeviceFindRecord* a = l.Find(u"a.txt");
  const DeviceFindRecord* sub = l.Find(u"sub");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(a->Attributes, 0x20u);
  EXPECT_EQ(sub->Attributes, 0x10u);
  EXPECT_EQ(a->SizeLow, 5u);
  EXPECT_EQ(Join(a->CreationTime), times.created);
  EXPECT_TRUE(AllZero(a->LastAccessTime, 16));  // last-access and last-write times
  EXPECT_EQ(a->SizeHigh, 0u);
  EXPECT_EQ(a->ObjectId, 0u);

  // Everything.
  l = List(u"\\*.*", 0xFF);
  a = l.Find(u"a.txt");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(Join(a->LastAccessTime), times.accessed);
  EXPECT_EQ(Join(a->LastWriteTime), times.written);
  EXPECT_NE(a->ObjectId, 0u);
  EXPECT_TRUE(AllZero(a->Name + 6, sizeof a->Name - 12));
}

TEST_F(EmulatorTest, ListingTimesAreFileTimesAndSizesHaveTwoHalves) {
  PutFile(root_ / "old.txt", "x");
  const uint64_t accessed = (1000000000ull + 11644473600ull) * 10000000u + 1234567;  // 2001
  const uint64_t written = 125911584000000005ull;  // 2000-01-01 00:00:00 UTC and 500 ns
  SetTimes(root_ / "old.txt", accessed, written);
  PutFile(root_ / "big.bin", "");
  fs::resize_file(root_ / "big.bin", (5ull << 30) + 7);  // sparse: 5 GiB + 7
  Listing l = List(u"\\*.*");
  const DeviceFindRecord* old = l.Find(u"old.txt");
  const DeviceFindRecord* big = l.Find(u"big.bin");
  ASSERT_NE(old, nullptr);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(Join(old->LastWriteTime), written);
  EXPECT_EQ(Join(old->LastAccessTime), accessed);
  EXPECT_EQ(big->SizeHigh, 1u);
  EXPECT_EQ(big->SizeLow, 0x40000007u);

  DeviceHandle h = Open(u"\\big.bin", kRead, kOpenExisting);
  ASSERT_NE(h, -1);
  uint32_t high = 0xDEAD;
  EXPECT_EQ(Rapi().CeGetFileSize(h, &high), 0x40000007u);
  EXPECT_EQ(high, 1u);
  EXPECT_EQ(Rapi().CeGetFileSize(h, nullptr), 0x40000007u);
  Close(h);
  EXPECT_EQ(Rapi().CeGetFileSize(h, &high), 0xFFFFFFFFu);
  EXPECT_EQ(Rapi().CeGetFileSize(12345, nullptr), 0xFFFFFFFFu);
}

TEST_F(EmulatorTest, ListingAttributesAndNoDotEntries) {
  PutFile(root_ / "rw.txt", "a");
  PutFile(root_ / "ro.txt", "b");
  SetReadOnly(root_ / "ro.txt", true);
  fs::create_directory(root_ / "folder");
  Listing l = List(u"\\*.*", kFindAttributes | kFindName);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.Names(), (std::set<std::u16string>{u"rw.txt", u"ro.txt", u"folder"}));
  EXPECT_EQ(l.Find(u"rw.txt")->Attributes, 0x20u);
  EXPECT_EQ(l.Find(u"ro.txt")->Attributes, 0x21u);
  EXPECT_EQ(l.Find(u"folder")->Attributes, 0x10u);
  EXPECT_EQ(l.Find(u"folder")->SizeLow, 0u);
}

TEST_F(EmulatorTest, ListingMatchesWildcards) {
  for (const char* name : {"a.txt", "B.TXT", "c.dat", "noext", "ab.txt.bak"}) {
    PutFile(root_ / name, "");
  }
  auto names = [](const std::u16string& pattern) { return List(pattern, kFindName).Names(); };
  using Set = std::set<std::u16string>;
  Set all{u"a.txt", u"B.TXT", u"c.dat", u"noext", u"ab.txt.bak"};
  EXPECT_EQ(names(u"\\*.*"), all);
  EXPECT_EQ(names(u"\\*"), all);
  EXPECT_EQ(names(u"\\*.txt"), (Set{u"a.txt", u"B.TXT"}));
  EXPECT_EQ(names(u"\\?.dat"), (Set{u"c.dat"}));
  EXPECT_EQ(names(u"\\*.txt*"), (Set{u"a.txt", u"B.TXT", u"ab.txt.bak"}));
  EXPECT_EQ(names(u"\\NOEXT"), (Set{u"noext"}));
  EXPECT_EQ(names(u"\\a?*"), (Set{u"a.txt", u"ab.txt.bak"}));
  Listing none = List(u"\\*.zip");
  EXPECT_TRUE(none.ok);
  EXPECT_TRUE(none.records.empty());
}

TEST_F(EmulatorTest, ListingOfASubfolder) {
  fs::create_directories(root_ / "dir" / "sub");
  PutFile(root_ / "dir" / "sub" / "deep.txt", "123");
  PutFile(root_ / "dir" / "top.txt", "1");
  Listing l = List(u"\\dir\\sub\\*.*");
  ASSERT_TRUE(l.ok);
  ASSERT_EQ(l.records.size(), 1u);
  EXPECT_EQ(std::u16string(l.records[0].Name), u"deep.txt");
  EXPECT_EQ(l.records[0].SizeLow, 3u);
  EXPECT_EQ(List(u"\\dir\\*.*").Names(), (std::set<std::u16string>{u"sub", u"top.txt"}));
  Listing empty = List(u"\\dir\\sub\\*.none");
  EXPECT_TRUE(empty.ok);
}

TEST_F(EmulatorTest, FailedListingLeavesCountAndArrayUntouched) {
  PutFile(root_ / "file.txt", "x");
  for (const char16_t* pattern : {u"\\missing\\*.*", u"\\file.txt\\*.*", u"\\..\\*.*", u"\\.\\*.*",
                                  u"\\\\*.*", u"", u"\\", u"\\a*\\*.*", u"\\a:b\\*.*"}) {
    SCOPED_TRACE(ToUtf8(pattern));
    uint32_t count = 77;
    DeviceFindRecord* array = reinterpret_cast<DeviceFindRecord*>(uintptr_t(0x1234));
    EXPECT_EQ(Rapi().CeFindAllFiles(pattern, kFindAllFlags, &count, &array), 0);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(array, reinterpret_cast<DeviceFindRecord*>(uintptr_t(0x1234)));
  }
}

TEST_F(EmulatorTest, ListingGrowsPastManyEntries) {
  for (int i = 0; i < 3000; ++i) PutFile(root_ / ("f" + std::to_string(i)), "");
  Listing l = List(u"\\*.*", kFindName | kFindSizeLow);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.records.size(), 3000u);
  EXPECT_EQ(l.Names().size(), 3000u);
}

// ---- Names ---------------------------------------------------------------------------

TEST_F(EmulatorTest, NonAsciiAndAstralNamesRoundTrip) {
  const std::u16string names[] = {
      u"caf\u00e9.txt", u"\u65e5\u672c\u8a9e",    u"\U0001D11E clef", u"\U0001F600\U0001F601",
      u"\u00ff",        std::u16string(255, u'l')};  // as long as a file name may be
  for (const std::u16string& name : names) {
    SCOPED_TRACE(ToUtf8(name));
    DeviceHandle h = Open(u"\\" + name, kWrite, kCreateAlways);
    ASSERT_NE(h, -1);
    uint32_t done = 0;
    EXPECT_TRUE(Write(h, ToUtf8(name), &done));
    Close(h);
    EXPECT_EQ(ReadAll(root_ / name), ToUtf8(name));  // the same name on disk
  }
  fs::create_directory(root_ / u"d\u00e9j\u00e0");
  PutFile(root_ / u"d\u00e9j\u00e0" / u"\U0001F4A9.bin", "p");
  Listing l = List(u"\\*.*");
  EXPECT_EQ(l.records.size(), 7u);
  for (const std::u16string& name : names) EXPECT_NE(l.Find(name), nullptr) << ToUtf8(name);
  Listing inner = List(u"\\d\u00e9j\u00e0\\*.*");
  ASSERT_EQ(inner.records.size(), 1u);
  EXPECT_EQ(std::u16string(inner.records[0].Name), u"\U0001F4A9.bin");
  EXPECT_EQ(inner.records[0].Name[0], 0xD83D);  // a surrogate pair
  EXPECT_EQ(inner.records[0].Name[1], 0xDCA9);
}

TEST_F(EmulatorTest, NamesTheDeviceCannotHoldAreNotListed) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows itself makes no file of such a name";
#endif
  PutFile(root_ / "ok.txt", "");
  PutFile(root_ / "a:b", "");
  PutFile(root_ / "q?", "");
  PutFile(root_ / "back\\slash", "");
  PutFile(root_ / std::string("bad\xff"), "");
  EXPECT_EQ(List(u"\\*.*").Names(), (std::set<std::u16string>{u"ok.txt"}));
}

// ---- Confinement ---------------------------------------------------------------------

TEST_F(EmulatorTest, RefusedPathsFail) {
  fs::create_directory(root_ / "dir");
  PutFile(root_ / "dir" / "f.txt", "data");
  const std::u16string refused[] = {u"\\..\\outside\\secret.txt",
                                    u"\\dir\\..\\dir\\f.txt",
                                    u"\\.\\dir\\f.txt",
                                    u"\\dir\\.\\f.txt",
                                    u"\\dir\\\\f.txt",
                                    u"\\\\dir\\f.txt",
                                    u"\\dir\\f.txt\\",
                                    u"\\dir/f.txt",
                                    u"\\dir\\f:txt",
                                    u"\\dir\\f*.txt",
                                    u"\\dir\\f?.txt",
                                    u"\\dir\\\"f\".txt",
                                    u"\\dir\\<f>.txt",
                                    u"\\dir\\f|.txt",
                                    u"\\dir\\f\x01.txt",
                                    u"\\dir\\f\x1f.txt",
                                    u"\\",
                                    u"",
                                    std::u16string(u"\\dir\\f") + char16_t(0xD800) + u".txt",
                                    std::u16string(u"\\dir\\f") + char16_t(0xDC00) + u".txt"};
  for (const std::u16string& path : refused) {
    SCOPED_TRACE(ToUtf8(path));
    EXPECT_EQ(Open(path, kRead, kOpenExisting), -1);
    EXPECT_EQ(Open(path, kWrite, kCreateAlways), -1);
    EXPECT_EQ(Rapi().CeCopyFile(u"\\dir\\f.txt", path.c_str(), 0), 0);
    EXPECT_EQ(Rapi().CeMoveFile(path.c_str(), u"\\moved"), 0);
    EXPECT_EQ(Rapi().CeDeleteFile(path.c_str()), 0);
  }
  EXPECT_EQ(ReadAll(outside_ / "secret.txt"), "secret");
  EXPECT_TRUE(fs::exists(root_ / "dir" / "f.txt"));
  EXPECT_FALSE(fs::exists(root_ / "moved"));
  // The same file through an accepted spelling (no leading backslash is the root too).
  DeviceHandle h = Open(u"dir\\f.txt", kRead, kOpenExisting);
  EXPECT_NE(h, -1);
  Close(h);
}

// A device has no links: the emulated one shows none, wherever one leads (out
// of the root, to another of its folders, nowhere), and every call that takes
// a path refuses one through or to a link, so nothing behind it changes.
TEST_F(EmulatorTest, LinksAreNeitherShownNorFollowed) {
  fs::create_directory(root_ / "in");
  PutFile(root_ / "in" / "inner.txt", "inner");
  PutFile(root_ / "src.txt", "source");
  MAKE_LINK(outside_, root_ / "out-dir", true);
  MAKE_LINK(outside_ / "secret.txt", root_ / "out-file", false);
  MAKE_LINK(outside_ / "new.txt", root_ / "dangling", false);
  MAKE_LINK(root_ / "in" / "inner.txt", root_ / "in-file", false);
  MAKE_LINK(root_ / "in", root_ / "in-dir", true);

  EXPECT_EQ(List(u"\\*.*").Names(), (std::set<std::u16string>{u"in", u"src.txt"}));
  EXPECT_TRUE(List(u"\\in-*").Names().empty());

  uint64_t space = 0;
  const struct {
    const char* What;
    std::function<bool()> Call;  // true when the device did it
  } calls[] = {
      {"list through", [] { return List(u"\\in-dir\\*.*").ok; }},
      {"open through", [&] { return Open(u"\\in-dir\\inner.txt", kRead, kOpenExisting) != -1; }},
      {"create through", [&] { return Open(u"\\in-dir\\new.txt", kWrite, kCreateNew) != -1; }},
      {"open", [&] { return Open(u"\\in-file", kRead, kOpenExisting) != -1; }},
      {"overwrite", [&] { return Open(u"\\in-file", kWrite, kCreateAlways) != -1; }},
      {"open always", [&] { return Open(u"\\dangling", kWrite, kOpenAlways) != -1; }},
      {"delete through", [] { return Rapi().CeDeleteFile(u"\\in-dir\\inner.txt") != 0; }},
      {"delete", [] { return Rapi().CeDeleteFile(u"\\in-file") != 0; }},
      {"copy from", [] { return Rapi().CeCopyFile(u"\\in-file", u"\\copy.txt", 0) != 0; }},
      {"copy onto", [] { return Rapi().CeCopyFile(u"\\src.txt", u"\\in-file", 0) != 0; }},
      {"copy into", [] { return Rapi().CeCopyFile(u"\\src.txt", u"\\in-dir\\c.txt", 0) != 0; }},
      {"move from", [] { return Rapi().CeMoveFile(u"\\in-dir\\inner.txt", u"\\moved") != 0; }},
      {"move link", [] { return Rapi().CeMoveFile(u"\\in-dir", u"\\moved") != 0; }},
      {"move into", [] { return Rapi().CeMoveFile(u"\\src.txt", u"\\in-dir\\m.txt") != 0; }},
      {"move onto", [] { return Rapi().CeMoveFile(u"\\src.txt", u"\\dangling") != 0; }},
      {"make folder through",
       [] { return Further().CeCreateDirectory(u"\\in-dir\\d", nullptr) != 0; }},
      {"make folder", [] { return Further().CeCreateDirectory(u"\\dangling", nullptr) != 0; }},
      {"remove folder", [] { return Further().CeRemoveDirectory(u"\\in-dir") != 0; }},
      {"attributes", [] { return Further().CeGetFileAttributes(u"\\in-file") != 0xFFFFFFFFu; }},
      {"attributes through",
       [] { return Further().CeGetFileAttributes(u"\\in-dir\\inner.txt") != 0xFFFFFFFFu; }},
      {"set attributes", [] { return Further().CeSetFileAttributes(u"\\in-file", 1) != 0; }},
      {"set attributes through",
       [] { return Further().CeSetFileAttributes(u"\\out-dir\\secret.txt", 1) != 0; }},
      {"free space",
       [&] { return Further().CeGetDiskFreeSpaceEx(u"\\in-dir", &space, nullptr, nullptr) != 0; }},
  };
  for (const auto& c : calls) {
    EXPECT_FALSE(c.Call()) << c.What;
    EXPECT_NE(Further().CeGetLastError(), 0u) << c.What;
  }
  EXPECT_EQ(ReadAll(root_ / "in" / "inner.txt"), "inner");
  EXPECT_EQ(ReadAll(root_ / "src.txt"), "source");
  EXPECT_EQ(ReadAll(outside_ / "secret.txt"), "secret");
  EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(root_ / "in"), fs::directory_iterator()),
            std::vector<fs::path>{root_ / "in" / "inner.txt"});
  EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(outside_), fs::directory_iterator()),
            std::vector<fs::path>{outside_ / "secret.txt"});
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(root_))
    names.insert(entry.path().filename().string());
  names.erase("dangling");  // which Wine's listing passes over
  EXPECT_EQ(names,
            (std::set<std::string>{"in", "src.txt", "in-file", "in-dir", "out-dir", "out-file"}));
}

TEST_F(EmulatorTest, ARootThatIsALinkStillConfines) {
  MAKE_LINK(root_, base_ / "root-link", true);
  SetEnv("MERLO_DEVICE_ROOT", base_ / "root-link");
  Reconnect("");
  PutFile(root_ / "here.txt", "here");
  EXPECT_EQ(List(u"\\*.*").Names(), (std::set<std::u16string>{u"here.txt"}));
  EXPECT_EQ(Open(u"\\..\\outside\\secret.txt", kRead, kOpenExisting), -1);
}

TEST_F(EmulatorTest, ASiblingFolderNamedLikeTheRootIsOutside) {
  const fs::path sibling = base_ / "device2";  // the root's own name is a prefix of it
  fs::create_directory(sibling);
  PutFile(sibling / "secret.txt", "secret");
  MAKE_LINK(sibling, root_ / "sib-dir", true);
  MAKE_LINK(sibling / "secret.txt", root_ / "sib-file", false);

  EXPECT_TRUE(List(u"\\*.*").Names().empty());
  EXPECT_FALSE(List(u"\\sib-dir\\*.*").ok);
  EXPECT_EQ(Open(u"\\sib-dir\\secret.txt", kRead, kOpenExisting), -1);
  EXPECT_EQ(Open(u"\\sib-file", kRead, kOpenExisting), -1);
  EXPECT_EQ(Open(u"\\sib-dir\\new.txt", kWrite, kCreateAlways), -1);
  EXPECT_EQ(Rapi().CeCopyFile(u"\\sib-file", u"\\copy.txt", 0), 0);
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\sib-dir\\secret.txt"), 0);
  EXPECT_EQ(ReadAll(sibling / "secret.txt"), "secret");
  EXPECT_FALSE(fs::exists(sibling / "new.txt"));
  EXPECT_FALSE(fs::exists(root_ / "copy.txt"));
}

// ---- Copy, move, delete --------------------------------------------------------------

TEST_F(EmulatorTest, CopyFileCopiesAndOverwritesUnlessAskedNotTo) {
  PutFile(root_ / "src.txt", "source");
  fs::create_directory(root_ / "dir");
  EXPECT_NE(Rapi().CeCopyFile(u"\\src.txt", u"\\dir\\dst.txt", 1), 0);
  EXPECT_EQ(ReadAll(root_ / "dir" / "dst.txt"), "source");
  PutFile(root_ / "other.txt", "a longer previous content");
  EXPECT_EQ(Rapi().CeCopyFile(u"\\src.txt", u"\\other.txt", 1), 0);
  EXPECT_EQ(ReadAll(root_ / "other.txt"), "a longer previous content");
  EXPECT_NE(Rapi().CeCopyFile(u"\\src.txt", u"\\other.txt", 0), 0);
  EXPECT_EQ(ReadAll(root_ / "other.txt"), "source");
  EXPECT_EQ(ReadAll(root_ / "src.txt"), "source");

  EXPECT_EQ(Rapi().CeCopyFile(u"\\missing.txt", u"\\x.txt", 0), 0);
  EXPECT_FALSE(fs::exists(root_ / "x.txt"));
  EXPECT_EQ(Rapi().CeCopyFile(u"\\dir", u"\\x.txt", 0), 0);
  EXPECT_EQ(Rapi().CeCopyFile(u"\\src.txt", u"\\dir", 0), 0);
  EXPECT_EQ(Rapi().CeCopyFile(u"\\src.txt", u"\\src.txt", 0), 0);
  EXPECT_EQ(ReadAll(root_ / "src.txt"), "source");
  EXPECT_EQ(Rapi().CeCopyFile(u"\\src.txt", u"\\nofolder\\x.txt", 0), 0);

  // A large file, byte for byte.
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 31 + 7);
  PutFile(root_ / "big.bin", big);
  EXPECT_NE(Rapi().CeCopyFile(u"\\big.bin", u"\\big2.bin", 0), 0);
  EXPECT_EQ(ReadAll(root_ / "big2.bin"), big);
}

TEST_F(EmulatorTest, MoveFileRenamesButNeverReplaces) {
  PutFile(root_ / "a.txt", "A");
  PutFile(root_ / "b.txt", "B");
  fs::create_directories(root_ / "dir" / "sub");
  PutFile(root_ / "dir" / "sub" / "in.txt", "in");

  EXPECT_EQ(Rapi().CeMoveFile(u"\\a.txt", u"\\b.txt"), 0);
  EXPECT_EQ(ReadAll(root_ / "a.txt"), "A");
  EXPECT_EQ(ReadAll(root_ / "b.txt"), "B");

  EXPECT_NE(Rapi().CeMoveFile(u"\\a.txt", u"\\dir\\a2.txt"), 0);
  EXPECT_FALSE(fs::exists(root_ / "a.txt"));
  EXPECT_EQ(ReadAll(root_ / "dir" / "a2.txt"), "A");

  EXPECT_NE(Rapi().CeMoveFile(u"\\dir\\sub", u"\\moved"), 0);  // folders too
  EXPECT_EQ(ReadAll(root_ / "moved" / "in.txt"), "in");
  EXPECT_EQ(Rapi().CeMoveFile(u"\\dir", u"\\moved"), 0);
  EXPECT_EQ(Rapi().CeMoveFile(u"\\dir", u"\\dir\\inside"), 0);
  EXPECT_EQ(Rapi().CeMoveFile(u"\\missing", u"\\x"), 0);
  EXPECT_EQ(Rapi().CeMoveFile(u"\\b.txt", u"\\nofolder\\b.txt"), 0);
  EXPECT_TRUE(fs::exists(root_ / "b.txt"));
}

TEST_F(EmulatorTest, DeleteFileDeletesFilesOnly) {
  PutFile(root_ / "f.txt", "x");
  fs::create_directory(root_ / "dir");
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\dir"), 0);
  EXPECT_TRUE(fs::is_directory(root_ / "dir"));
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\missing.txt"), 0);
  EXPECT_NE(Rapi().CeDeleteFile(u"\\f.txt"), 0);
  EXPECT_FALSE(fs::exists(root_ / "f.txt"));
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\f.txt"), 0);

  // As on the device: a read-only file, or one held open, is not deleted.
  PutFile(root_ / "ro.txt", "x");
  SetReadOnly(root_ / "ro.txt", true);
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\ro.txt"), 0);
  EXPECT_TRUE(fs::exists(root_ / "ro.txt"));
  PutFile(root_ / "open.txt", "x");
  DeviceHandle h = Open(u"\\open.txt", kRead, kOpenExisting);
  ASSERT_NE(h, -1);
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\open.txt"), 0);
  EXPECT_EQ(Rapi().CeMoveFile(u"\\open.txt", u"\\elsewhere.txt"), 0);
  Close(h);
  EXPECT_NE(Rapi().CeDeleteFile(u"\\open.txt"), 0);
}

// ---- Handles, reading and writing ----------------------------------------------------

TEST_F(EmulatorTest, ShareModeZeroOpensExclusively) {
  PutFile(root_ / "f.txt", "content");
  DeviceHandle a = Open(u"\\f.txt", kRead, kOpenExisting);
  ASSERT_NE(a, -1);
  EXPECT_EQ(Open(u"\\f.txt", kRead, kOpenExisting), -1);
  EXPECT_EQ(Open(u"\\f.txt", kWrite, kCreateAlways), -1);
  PutFile(root_ / "other.txt", "other");
  EXPECT_EQ(Rapi().CeCopyFile(u"\\other.txt", u"\\f.txt", 0), 0);  // onto the open file
  EXPECT_EQ(Rapi().CeCopyFile(u"\\f.txt", u"\\third.txt", 0), 0);  // from it
  EXPECT_FALSE(fs::exists(root_ / "third.txt"));
  EXPECT_TRUE(Close(a));
  EXPECT_FALSE(Close(a));  // already closed
  // (Read once closed: on Windows the PC cannot read it while it is open.)
  EXPECT_EQ(ReadAll(root_ / "f.txt"), "content");  // the refused calls changed nothing
  DeviceHandle b = Open(u"\\f.txt", kWrite, kCreateAlways);
  EXPECT_NE(b, -1);
  EXPECT_EQ(ReadAll(root_ / "f.txt"), "");
  Close(b);

  // Sharing as Windows decides it.
  DeviceHandle r1 = Open(u"\\f.txt", kRead, kOpenExisting, 1 /* FILE_SHARE_READ */);
  DeviceHandle r2 = Open(u"\\f.txt", kRead, kOpenExisting, 1);
  EXPECT_NE(r1, -1);
  EXPECT_NE(r2, -1);
  EXPECT_EQ(Open(u"\\f.txt", kWrite, kOpenExisting, 1), -1);
  Close(r1);
  Close(r2);
}

TEST_F(EmulatorTest, OpenFilesHoldTheLockOfThePcFileLayer) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows keeps share modes itself; the PC-file layer's lock is Linux's";
#else
  // That layer keeps share mode 0 as an exclusive flock(2), any other as a shared one.
  PutFile(root_ / "f.txt", "content");
  const auto lockable = [&](int operation) {
    const int fd = open((root_ / "f.txt").c_str(), O_RDONLY | O_CLOEXEC);
    const bool locked = flock(fd, operation | LOCK_NB) == 0;
    close(fd);
    return locked;
  };
  DeviceHandle h = Open(u"\\f.txt", kRead, kOpenExisting);
  EXPECT_FALSE(lockable(LOCK_SH));
  Close(h);
  h = Open(u"\\f.txt", kRead, kOpenExisting, 1 /* FILE_SHARE_READ */);
  EXPECT_TRUE(lockable(LOCK_SH));
  EXPECT_FALSE(lockable(LOCK_EX));
  Close(h);
  EXPECT_TRUE(lockable(LOCK_EX));
#endif
}

TEST_F(EmulatorTest, AFileHeldOpenOnThePcIsLeftAlone) {
  // Held from outside, the file is neither opened, nor truncated, nor copied to or
  // from, nor deleted, nor moved.
  PutFile(root_ / "f.txt", "content");
  PutFile(root_ / "other.txt", "other");
  {
    HeldFile held(root_ / "f.txt");
    ASSERT_TRUE(held.held());
    EXPECT_EQ(Open(u"\\f.txt", kRead, kOpenExisting, 1), -1);
    EXPECT_EQ(Open(u"\\f.txt", kWrite, kCreateAlways), -1);
    EXPECT_EQ(Rapi().CeCopyFile(u"\\other.txt", u"\\f.txt", 0), 0);
    EXPECT_EQ(Rapi().CeCopyFile(u"\\f.txt", u"\\third.txt", 0), 0);
    EXPECT_FALSE(fs::exists(root_ / "third.txt"));
    EXPECT_EQ(Rapi().CeDeleteFile(u"\\f.txt"), 0);
    EXPECT_EQ(Rapi().CeMoveFile(u"\\f.txt", u"\\moved.txt"), 0);
  }
  EXPECT_EQ(ReadAll(root_ / "f.txt"), "content");
  DeviceHandle h = Open(u"\\f.txt", kWrite, kCreateAlways);
  EXPECT_NE(h, -1);
  Close(h);
}

TEST_F(EmulatorTest, DispositionsAndFolders) {
  fs::create_directory(root_ / "dir");
  EXPECT_EQ(Open(u"\\dir", kRead, kOpenExisting), -1);
  EXPECT_EQ(Open(u"\\dir", kWrite, kCreateAlways), -1);
  EXPECT_EQ(Open(u"\\missing.txt", kRead, kOpenExisting), -1);
  EXPECT_EQ(Open(u"\\missing.txt", kWrite, kTruncateExisting), -1);
  EXPECT_FALSE(fs::exists(root_ / "missing.txt"));
  EXPECT_EQ(Open(u"\\nofolder\\x.txt", kWrite, kCreateAlways), -1);

  DeviceHandle h = Open(u"\\new.txt", kWrite, kCreateNew);
  ASSERT_NE(h, -1);
  Close(h);
  EXPECT_EQ(Open(u"\\new.txt", kWrite, kCreateNew), -1);
  PutFile(root_ / "new.txt", "12345");
  h = Open(u"\\new.txt", kRead | kWrite, kOpenAlways);
  ASSERT_NE(h, -1);
  EXPECT_EQ(Rapi().CeGetFileSize(h, nullptr), 5u);
  Close(h);
  h = Open(u"\\made.txt", kWrite, kOpenAlways);
  EXPECT_NE(h, -1);
  Close(h);
  EXPECT_TRUE(fs::exists(root_ / "made.txt"));
  h = Open(u"\\new.txt", kWrite, kTruncateExisting);
  ASSERT_NE(h, -1);
  Close(h);
  EXPECT_EQ(fs::file_size(root_ / "new.txt"), 0u);
  EXPECT_EQ(Open(u"\\new.txt", 0x12345, 99), -1);  // unknown disposition

  // A read-only file opens for reading, not for writing.
  PutFile(root_ / "ro.txt", "ro");
  SetReadOnly(root_ / "ro.txt", true);
  EXPECT_EQ(Open(u"\\ro.txt", kWrite, kCreateAlways), -1);
  EXPECT_EQ(Open(u"\\ro.txt", kWrite, kOpenExisting), -1);
  h = Open(u"\\ro.txt", kRead, kOpenExisting);
  EXPECT_NE(h, -1);
  Close(h);
  EXPECT_EQ(ReadAll(root_ / "ro.txt"), "ro");
}

TEST_F(EmulatorTest, ReadAndWriteMoveBytesAndZeroCountsSucceed) {
  DeviceHandle w = Open(u"\\data.bin", kWrite, kCreateAlways);
  ASSERT_NE(w, -1);
  EXPECT_GT(w, 0);
  uint32_t done = 99;
  EXPECT_NE(Rapi().CeWriteFile(w, "", 0, &done, nullptr), 0);
  EXPECT_EQ(done, 0u);
  std::string data(5000, 'q');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i);
  EXPECT_TRUE(Write(w, data, &done));
  EXPECT_EQ(done, 5000u);
  EXPECT_EQ(Rapi().CeGetFileSize(w, nullptr), 5000u);
  char byte;
  EXPECT_EQ(Rapi().CeReadFile(w, &byte, 1, &done, nullptr), 0);  // opened for writing only
  Close(w);

  DeviceHandle r = Open(u"\\data.bin", kRead, kOpenExisting);
  ASSERT_NE(r, -1);
  std::string back;
  char chunk[2048];
  for (int i = 0; i < 2; ++i) {
    EXPECT_NE(Rapi().CeReadFile(r, chunk, 2048, &done, nullptr), 0);
    EXPECT_EQ(done, 2048u);
    back.append(chunk, done);
  }
  EXPECT_NE(Rapi().CeReadFile(r, chunk, 904, &done, nullptr), 0);
  EXPECT_EQ(done, 904u);
  back.append(chunk, done);
  EXPECT_EQ(back, data);
  done = 99;
  EXPECT_NE(Rapi().CeReadFile(r, chunk, 0, &done, nullptr), 0);
  EXPECT_EQ(done, 0u);
  EXPECT_NE(Rapi().CeReadFile(r, chunk, 10, &done, nullptr), 0);  // at the end: 0 bytes
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(Rapi().CeWriteFile(r, "x", 1, &done, nullptr), 0);  // opened for reading only
  Close(r);

  EXPECT_EQ(Rapi().CeReadFile(r, chunk, 0, &done, nullptr), 0);  // closed handle
  EXPECT_EQ(Rapi().CeReadFile(-1, chunk, 1, &done, nullptr), 0);
  EXPECT_EQ(Rapi().CeWriteFile(0, "x", 1, &done, nullptr), 0);
  EXPECT_EQ(Rapi().CeCloseHandle(-1), 0);
}

TEST_F(EmulatorTest, HandlesAreTheLibrarysOwnNumbers) {
  PutFile(root_ / "a", "");
  PutFile(root_ / "b", "");
  DeviceHandle a = Open(u"\\a", kRead, kOpenExisting);
  DeviceHandle b = Open(u"\\b", kRead, kOpenExisting);
  ASSERT_NE(a, -1);
  ASSERT_NE(b, -1);
  EXPECT_NE(a, b);
  EXPECT_LT(a, 100);
  EXPECT_LT(b, 100);
  Close(a);
  Close(b);
}

// ---- The connection ------------------------------------------------------------------

TEST_F(EmulatorTest, ConnectionCompletesFromAnotherThreadAfterTheStartCall) {
  Disconnect();
  SetEnv("MERLO_DEVICE_FAULTS", "connect-delay=300");
  ConnectRecord record{12, kSentinel, kSentinel};
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(Rapi().CeRapiInitEx(&record), 0);
  ++sessions_;
  EXPECT_NE(record.CompletionEvent, kSentinel);
  EXPECT_TRUE(IsOpenEvent(record.CompletionEvent));
  EXPECT_EQ(ResultOf(record), kSentinel);  // not yet
  EXPECT_EQ(WaitReadable(record.CompletionEvent, 0), 0);
  EXPECT_EQ(WaitReadable(record.CompletionEvent, 5000), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(250));
  EXPECT_EQ(ResultOf(record), 0);
  int event = record.CompletionEvent;
  EXPECT_EQ(Disconnect(), 0);
  EXPECT_FALSE(IsOpenEvent(event));  // CeRapiUninit closed it

  // The default still completes after the call has returned.
  UnsetEnv("MERLO_DEVICE_FAULTS");
  record = ConnectRecord{12, kSentinel, kSentinel};
  ASSERT_EQ(Rapi().CeRapiInitEx(&record), 0);
  ++sessions_;
  EXPECT_EQ(ResultOf(record), kSentinel);
  EXPECT_EQ(WaitReadable(record.CompletionEvent, 5000), 1);
  EXPECT_EQ(ResultOf(record), 0);
}

TEST_F(EmulatorTest, StartCallRefusals) {
  Disconnect();
  ConnectRecord record{11, kSentinel, kSentinel};
  EXPECT_EQ(Rapi().CeRapiInitEx(&record), int32_t(0x80070057u));
  EXPECT_EQ(record.CompletionEvent, kSentinel);
  EXPECT_EQ(Rapi().CeRapiUninit(), 0);  // ends the failed start safely

  SetEnv("MERLO_DEVICE_FAULTS", "refuse-init");
  record = ConnectRecord{12, kSentinel, kSentinel};
  EXPECT_NE(Rapi().CeRapiInitEx(&record), 0);
  EXPECT_EQ(record.CompletionEvent, kSentinel);
  EXPECT_EQ(ResultOf(record), kSentinel);
  Rapi().CeRapiUninit();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ResultOf(record), kSentinel);

  SetEnv("MERLO_DEVICE_FAULTS", "no-such-fault");
  EXPECT_EQ(Rapi().CeRapiInitEx(&record), int32_t(0x80070057u));
  Rapi().CeRapiUninit();
  SetEnv("MERLO_DEVICE_FAULTS", "fail=CeNoSuchCall:1");
  EXPECT_NE(Rapi().CeRapiInitEx(&record), 0);
  Rapi().CeRapiUninit();
  UnsetEnv("MERLO_DEVICE_FAULTS");

  UnsetEnv("MERLO_DEVICE_ROOT");
  EXPECT_NE(Rapi().CeRapiInitEx(&record), 0);
  Rapi().CeRapiUninit();
  EXPECT_FALSE(List(u"\\*.*").ok);  // no root: device calls fail
  EXPECT_EQ(Open(u"\\x.txt", kWrite, kCreateAlways), -1);
  SetEnv("MERLO_DEVICE_ROOT", outside_ / "secret.txt");  // not a folder
  EXPECT_NE(Rapi().CeRapiInitEx(&record), 0);
  Rapi().CeRapiUninit();
  SetEnv("MERLO_DEVICE_ROOT", base_ / "missing");
  EXPECT_NE(Rapi().CeRapiInitEx(&record), 0);
  Rapi().CeRapiUninit();

  EXPECT_NE(Rapi().CeRapiUninit(), 0);  // nothing left to end: safe, reports failure
}

TEST_F(EmulatorTest, ConnectionFaults) {
  Disconnect();
  // Completes with an error code.
  EXPECT_EQ(Connect("connect-error=0x80070005"), int32_t(0x80070005u));
  Disconnect();
  EXPECT_EQ(Connect("connect-error"), int32_t(0x80004005u));
  Disconnect();
  EXPECT_EQ(Connect("connect-error=-7"), -7);
  Disconnect();

  // Never completes: the event is never signalled, the result never written.
  SetEnv("MERLO_DEVICE_FAULTS", "never-connect");
  ConnectRecord record{12, kSentinel, kSentinel};
  ASSERT_EQ(Rapi().CeRapiInitEx(&record), 0);
  EXPECT_TRUE(IsOpenEvent(record.CompletionEvent));
  EXPECT_EQ(WaitReadable(record.CompletionEvent, 300), 0);
  EXPECT_EQ(ResultOf(record), kSentinel);
  int event = record.CompletionEvent;
  EXPECT_EQ(Rapi().CeRapiUninit(), 0);
  EXPECT_FALSE(IsOpenEvent(event));

  // An event that cannot be waited on.
  SetEnv("MERLO_DEVICE_FAULTS", "bad-event");
  record = ConnectRecord{12, kSentinel, kSentinel};
  ASSERT_EQ(Rapi().CeRapiInitEx(&record), 0);
  EXPECT_EQ(record.CompletionEvent, kBadEvent);
  EXPECT_EQ(WaitReadable(record.CompletionEvent, 100), -1);
  Rapi().CeRapiUninit();

  SetEnv("MERLO_DEVICE_FAULTS", "bad-event=closed");
  record = ConnectRecord{12, kSentinel, kSentinel};
  ASSERT_EQ(Rapi().CeRapiInitEx(&record), 0);
  EXPECT_GE(record.CompletionEvent, 0);
  EXPECT_FALSE(IsOpenEvent(record.CompletionEvent));
  EXPECT_EQ(WaitReadable(record.CompletionEvent, 100), -1);
  Rapi().CeRapiUninit();

  // The record is never written after CeRapiUninit, even when it came before completion.
  SetEnv("MERLO_DEVICE_FAULTS", "connect-delay=10000");
  record = ConnectRecord{12, kSentinel, kSentinel};
  ASSERT_EQ(Rapi().CeRapiInitEx(&record), 0);
  EXPECT_EQ(WaitReadable(record.CompletionEvent, 200), 0);
  auto before = std::chrono::steady_clock::now();
  Rapi().CeRapiUninit();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ResultOf(record), kSentinel);
  UnsetEnv("MERLO_DEVICE_FAULTS");
}

TEST_F(EmulatorTest, SeveralConnectionsAtOnce) {
  // Two panels: two pairs, interleaved as the host may close them.
  ASSERT_EQ(Connect(""), 0);
  ConnectRecord first = records_[0], second = records_[1];
  EXPECT_NE(first.CompletionEvent, second.CompletionEvent);
  PutFile(root_ / "f.txt", "x");
  EXPECT_EQ(List(u"\\*.*").records.size(), 1u);
  EXPECT_EQ(Disconnect(), 0);
  EXPECT_EQ(List(u"\\*.*").records.size(), 1u);  // the device calls go on working
  ASSERT_EQ(Connect(""), 0);
  EXPECT_EQ(Disconnect(), 0);
  EXPECT_EQ(Disconnect(), 0);
  EXPECT_FALSE(IsOpenEvent(first.CompletionEvent));
  EXPECT_FALSE(IsOpenEvent(second.CompletionEvent));
  EXPECT_NE(Rapi().CeRapiUninit(), 0);
}

// ---- Call faults ---------------------------------------------------------------------

TEST_F(EmulatorTest, TheNthCallOfANamedFunctionFails) {
  PutFile(root_ / "f.txt", "x");
  Reconnect("fail=CeCreateFile:2");
  DeviceHandle h = Open(u"\\f.txt", kRead, kOpenExisting);
  EXPECT_NE(h, -1);
  Close(h);
  EXPECT_EQ(Open(u"\\f.txt", kRead, kOpenExisting), -1);
  h = Open(u"\\f.txt", kRead, kOpenExisting);
  EXPECT_NE(h, -1);
  Close(h);

  // The counters restart with every CeRapiInitEx.
  Reconnect("fail=CeCreateFile:1");
  EXPECT_EQ(Open(u"\\f.txt", kRead, kOpenExisting), -1);
  h = Open(u"\\f.txt", kRead, kOpenExisting);
  EXPECT_NE(h, -1);
  Close(h);

  Reconnect("fail=CeReadFile:2+, fail=CeCopyFile");
  h = Open(u"\\f.txt", kRead, kOpenExisting);
  char buffer[4];
  uint32_t done = 99;
  EXPECT_NE(Rapi().CeReadFile(h, buffer, 0, &done, nullptr), 0);
  EXPECT_EQ(Rapi().CeReadFile(h, buffer, 1, &done, nullptr), 0);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(Rapi().CeReadFile(h, buffer, 1, &done, nullptr), 0);
  Close(h);
  EXPECT_EQ(Rapi().CeCopyFile(u"\\f.txt", u"\\g.txt", 0), 0);
  EXPECT_FALSE(fs::exists(root_ / "g.txt"));

  Reconnect("fail=CeFindAllFiles:1,fail=CeGetFileSize:1,fail=CeMoveFile:1,fail=CeWriteFile:1");
  uint32_t count = 5;
  DeviceFindRecord* array = nullptr;
  EXPECT_EQ(Rapi().CeFindAllFiles(u"\\*.*", kFindAllFlags, &count, &array), 0);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(array, nullptr);
  EXPECT_TRUE(List(u"\\*.*").ok);
  EXPECT_EQ(Rapi().CeMoveFile(u"\\f.txt", u"\\g.txt"), 0);
  EXPECT_NE(Rapi().CeMoveFile(u"\\f.txt", u"\\g.txt"), 0);
  h = Open(u"\\g.txt", kWrite, kOpenExisting);
  EXPECT_EQ(Rapi().CeGetFileSize(h, nullptr), 0xFFFFFFFFu);
  EXPECT_EQ(Rapi().CeGetFileSize(h, nullptr), 1u);
  EXPECT_FALSE(Write(h, "yy", &done));
  EXPECT_EQ(done, 0u);
  EXPECT_TRUE(Write(h, "yy", &done));
  Close(h);
  EXPECT_EQ(ReadAll(root_ / "g.txt"), "yy");

  // The release calls still release when they report failure.
  Reconnect("fail=CeCloseHandle:1,fail=CeRapiFreeBuffer:1");
  h = Open(u"\\g.txt", kRead, kOpenExisting);
  EXPECT_EQ(Rapi().CeCloseHandle(h), 0);
  h = Open(u"\\g.txt", kRead, kOpenExisting);  // not held open any more
  EXPECT_NE(h, -1);
  EXPECT_NE(Rapi().CeCloseHandle(h), 0);
  ASSERT_NE(Rapi().CeFindAllFiles(u"\\*.*", kFindAllFlags, &count, &array), 0);
  EXPECT_NE(Rapi().CeRapiFreeBuffer(array), 0);

  Reconnect("fail=CeDeleteFile:1");
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\g.txt"), 0);
  EXPECT_NE(Rapi().CeDeleteFile(u"\\g.txt"), 0);
}

TEST_F(EmulatorTest, ShortReadsAndWritesStillSucceed) {
  std::string data(6000, 'd');
  PutFile(root_ / "in.bin", data);
  Reconnect("short-read=2,short-write=1");
  DeviceHandle r = Open(u"\\in.bin", kRead, kOpenExisting);
  char chunk[2048];
  uint32_t done = 0;
  EXPECT_NE(Rapi().CeReadFile(r, chunk, 2048, &done, nullptr), 0);
  EXPECT_EQ(done, 2048u);
  EXPECT_NE(Rapi().CeReadFile(r, chunk, 2048, &done, nullptr), 0);
  EXPECT_EQ(done, 1024u);
  EXPECT_NE(Rapi().CeReadFile(r, chunk, 2048, &done, nullptr), 0);
  EXPECT_EQ(done, 2048u);
  Close(r);

  DeviceHandle w = Open(u"\\out.bin", kWrite, kCreateAlways);
  EXPECT_TRUE(Write(w, std::string(100, 'w'), &done));
  EXPECT_EQ(done, 50u);
  EXPECT_TRUE(Write(w, std::string(100, 'w'), &done));
  EXPECT_EQ(done, 100u);
  Close(w);
  EXPECT_EQ(fs::file_size(root_ / "out.bin"), 150u);

  Reconnect("short-write=1+");
  w = Open(u"\\out.bin", kWrite, kCreateAlways);
  EXPECT_TRUE(Write(w, "x", &done));
  EXPECT_EQ(done, 0u);
  EXPECT_TRUE(Write(w, "xxxx", &done));
  EXPECT_EQ(done, 2u);
  Close(w);
}

TEST_F(EmulatorTest, TheReportCountsTheCallsAndTheHandlesLeftOpen) {
  const fs::path report = base_ / "report.txt";
  SetEnv("MERLO_DEVICE_REPORT", report);
  // Handles count for the whole process: what earlier tests left open stays.
  const auto openHandles = [&] {
    const std::string text = ReadAll(report);
    const size_t at = text.find("\nopen-handles ");
    return at == std::string::npos ? -1 : std::stoi(text.substr(at + 14));
  };
  PutFile(root_ / "f.txt", "x");
  Reconnect("fail=CeCloseHandle:2");  // the disconnect writes a report
  const int before = openHandles();
  ASSERT_GE(before, 0);
  DeviceHandle kept = Open(u"\\f.txt", kRead, kOpenExisting, 1);
  EXPECT_EQ(Open(u"\\missing.txt", kRead, kOpenExisting), -1);
  Close(Open(u"\\f.txt", kRead, kOpenExisting, 1));
  EXPECT_FALSE(Close(Open(u"\\f.txt", kRead, kOpenExisting, 1)));  // fails, and releases
  EXPECT_NE(List(u"\\*.*").records.size(), 0u);
  Disconnect();
  EXPECT_EQ(ReadAll(report),
            "CeRapiUninit 1\nCeFindAllFiles 1\nCeRapiFreeBuffer 1\nCeCreateFile 4\n"
            "CeGetFileSize 0\nCeReadFile 0\nCeWriteFile 0\nCeCloseHandle 2\nCeCopyFile 0\n"
            "CeMoveFile 0\nCeDeleteFile 0\nCeCreateDirectory 0\nCeRemoveDirectory 0\n"
            "CeGetFileAttributes 0\nCeSetFileAttributes 0\nCeSetFileTime 0\n"
            "CeGetDiskFreeSpaceEx 0\nCeGetStoreInformation 0\nCeGetLastError 0\nopen-handles " +
                std::to_string(before + 1) + "\n");
  // The counts start again with the next connection; the handle stays open across it.
  ASSERT_EQ(Connect(), 0);
  Close(kept);
  Disconnect();
  const std::string text = ReadAll(report);
  EXPECT_NE(text.find("CeCreateFile 0\nCeGetFileSize"), std::string::npos) << text;
  EXPECT_NE(text.find("CeCloseHandle 1\n"), std::string::npos) << text;
  EXPECT_EQ(openHandles(), before);
  UnsetEnv("MERLO_DEVICE_REPORT");
}

TEST_F(EmulatorTest, RefusedDeletes) {
  PutFile(root_ / "a.txt", "");
  PutFile(root_ / u"keep\u00e9.txt", "");
  Reconnect(u8"refuse-delete=keep\u00e9.txt");
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\keep\u00e9.txt"), 0);
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\KEEP\u00c9.TXT"), 0);  // the entry, under any case
  EXPECT_TRUE(fs::exists(root_ / u"keep\u00e9.txt"));
  EXPECT_NE(Rapi().CeDeleteFile(u"\\a.txt"), 0);

  PutFile(root_ / "a.txt", "");
  Reconnect("refuse-delete");
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\a.txt"), 0);
  EXPECT_TRUE(fs::exists(root_ / "a.txt"));
  Reconnect("");
  EXPECT_NE(Rapi().CeDeleteFile(u"\\a.txt"), 0);
}

// ---- One device on both platforms ----------------------------------------------------

// Names on disk, and the same names as a user may type them: every row differs
// only in case, by Unicode's simple case pairs.
struct CaseRow {
  const char16_t* folder;  // on disk
  const char16_t* file;
  const char16_t* askedFolder;  // as asked for
  const char16_t* askedFile;
  const char16_t* pattern;  // matches the file, in another case
};

const CaseRow kCaseRows[] = {
    {u"Docs", u"Readme.TXT", u"dOCS", u"readme.txt", u"READ*.t?t"},
    {u"Мои документы", u"Отчёт.txt", u"МОИ ДОКУМЕНТЫ", u"оТЧЁТ.TXT", u"отч?т.*"},
    {u"Έγγραφα", u"ΟΔΟΣ.txt", u"έγγραφα", u"οδος.TXT", u"*ς.txt"},  // final sigma folds to σ
    {u"Straße", u"Ärger.dat", u"STRAßE", u"äRGER.DAT", u"ä*"},
};

std::u16string DevicePath(const char16_t* folder, const char16_t* file) {
  return std::u16string(u"\\") + folder + u"\\" + file;
}

std::set<std::u16string> NamesOn(const fs::path& folder) {
  std::set<std::u16string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
    names.insert(e.path().filename().u16string());
  }
  return names;
}

TEST_F(EmulatorTest, NamesMatchWithoutRegardToCase) {
  for (const CaseRow& row : kCaseRows) {
    SCOPED_TRACE(ToUtf8(DevicePath(row.askedFolder, row.askedFile)));
    const fs::path folder = root_ / row.folder;
    fs::create_directory(folder);
    PutFile(folder / row.file, "contents");
    const std::u16string asked = DevicePath(row.askedFolder, row.askedFile);

    DeviceHandle h = Open(asked, kRead, kOpenExisting);
    ASSERT_NE(h, -1);
    char buffer[16];
    uint32_t done = 0;
    EXPECT_NE(Rapi().CeReadFile(h, buffer, sizeof buffer, &done, nullptr), 0);
    EXPECT_EQ(std::string(buffer, done), "contents");
    Close(h);

    using Set = std::set<std::u16string>;
    EXPECT_EQ(List(DevicePath(row.askedFolder, row.pattern)).Names(), Set{row.file});
    EXPECT_EQ(List(asked).Names(), Set{row.file});

    EXPECT_NE(Rapi().CeCopyFile(asked.c_str(), DevicePath(row.askedFolder, u"COPY").c_str(), 1), 0);
    EXPECT_EQ(ReadAll(folder / "COPY"), "contents");
    EXPECT_NE(Rapi().CeMoveFile(DevicePath(row.askedFolder, u"copy").c_str(),
                                DevicePath(row.askedFolder, u"moved").c_str()),
              0);
    EXPECT_EQ(NamesOn(folder), (Set{row.file, u"moved"}));
    EXPECT_NE(Rapi().CeDeleteFile(DevicePath(row.askedFolder, u"MOVED").c_str()), 0);
    EXPECT_NE(Rapi().CeDeleteFile(asked.c_str()), 0);
    EXPECT_TRUE(NamesOn(folder).empty());
  }
}

// Two backing names that differ only in case, which no device folder holds:
// a listing that would show both fails, and so does a path that names neither
// exactly. (Where the file system does not tell case apart there is no pair.)
TEST_F(EmulatorTest, TwoNamesThatDifferOnlyInCaseAreNotListed) {
  fs::create_directory(root_ / "pair");
  PutFile(root_ / "pair" / "other.txt", "other");
#if defined(_WIN32)
  const std::string folder = UnixPath(root_ / "pair");
  if (folder.empty() || !RunUnix("echo lower > '" + folder + "/x.txt' && echo upper > '" + folder +
                                 "/X.txt' && mkdir '" + folder + "/dir' '" + folder + "/DIR'")) {
    GTEST_SKIP() << "no Unix side here to make two names that differ only in case";
  }
#else
  PutFile(root_ / "pair" / "x.txt", "lower\n");
  PutFile(root_ / "pair" / "X.txt", "upper\n");
  fs::create_directory(root_ / "pair" / "dir");
  fs::create_directory(root_ / "pair" / "DIR");
#endif
  if (ReadAll(root_ / "pair" / "x.txt") != "lower\n") {
    GTEST_SKIP() << "this file system holds no two names that differ only in case";
  }
  constexpr uint32_t kCorrupt = 1392;
  for (const char16_t* pattern : {u"\\pair\\*.*", u"\\pair\\x.*", u"\\PAIR\\DI?"}) {
    EXPECT_FALSE(List(pattern).ok) << ToUtf8(pattern);
    EXPECT_EQ(Further().CeGetLastError(), kCorrupt) << ToUtf8(pattern);
  }
  EXPECT_EQ(List(u"\\pair\\o*").Names(), (std::set<std::u16string>{u"other.txt"}));
  // A name spelt as neither is refused; the exact name is that entry.
  EXPECT_EQ(Open(u"\\pair\\X.TXT", kRead, kOpenExisting), -1);
  EXPECT_EQ(Further().CeGetLastError(), kCorrupt);
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\pair\\x.TXT"), 0);
  EXPECT_FALSE(List(u"\\pair\\Dir\\*.*").ok);
  EXPECT_EQ(Further().CeGetLastError(), kCorrupt);
  EXPECT_TRUE(List(u"\\pair\\dir\\*.*").ok);
  DeviceHandle h = Open(u"\\pair\\X.txt", kRead, kOpenExisting);
  EXPECT_NE(h, -1);
  Close(h);
  EXPECT_EQ(ReadAll(root_ / "pair" / "x.txt"), "lower\n");
  EXPECT_EQ(ReadAll(root_ / "pair" / "X.txt"), "upper\n");
}

TEST_F(EmulatorTest, AnEntryWrittenUnderAnotherCaseKeepsItsName) {
  PutFile(root_ / "src", "copied");
  for (const CaseRow& row : kCaseRows) {
    SCOPED_TRACE(ToUtf8(DevicePath(row.askedFolder, row.askedFile)));
    const fs::path folder = root_ / row.folder;
    fs::create_directory(folder);
    PutFile(folder / row.file, "old");
    const std::u16string asked = DevicePath(row.askedFolder, row.askedFile);
    const std::set<std::u16string> one{row.file};

    EXPECT_EQ(Open(asked, kWrite, kCreateNew), -1);  // it exists
    DeviceHandle h = Open(asked, kWrite, kCreateAlways);
    ASSERT_NE(h, -1);
    uint32_t done = 0;
    EXPECT_TRUE(Write(h, "rewritten", &done));
    Close(h);
    EXPECT_EQ(NamesOn(folder), one);
    EXPECT_EQ(ReadAll(folder / row.file), "rewritten");

    EXPECT_NE(Rapi().CeCopyFile(u"\\src", asked.c_str(), 0), 0);
    EXPECT_EQ(NamesOn(folder), one);
    EXPECT_EQ(ReadAll(folder / row.file), "copied");
    EXPECT_EQ(Rapi().CeMoveFile(u"\\src", asked.c_str()), 0);  // never replaces

    // Moved onto itself under another case, an entry takes that spelling.
    const std::u16string exact = DevicePath(row.folder, row.file);
    EXPECT_NE(Rapi().CeMoveFile(exact.c_str(), asked.c_str()), 0);
    EXPECT_EQ(NamesOn(folder), std::set<std::u16string>{row.askedFile});
    EXPECT_EQ(Rapi().CeMoveFile(asked.c_str(), asked.c_str()), 0);
  }
}

TEST_F(EmulatorTest, AFailedCopyKeepsTheTarget) {
  std::string big(300000, 'n');
  PutFile(root_ / "new.bin", big);
  PutFile(root_ / "Target.bin", "the old target");
  const struct {
    const char* faults;
    const char16_t* target;
  } rows[] = {
      {"broken-copy=1", u"\\Target.bin"},
      {"broken-copy=1", u"\\tARGET.BIN"},
      {"broken-copy=1", u"\\fresh.bin"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.faults) + " " + ToUtf8(row.target));
    Reconnect(row.faults);
    EXPECT_EQ(Rapi().CeCopyFile(u"\\new.bin", row.target, 0), 0);
    EXPECT_EQ(ReadAll(root_ / "Target.bin"), "the old target");
    EXPECT_EQ(NamesOn(root_),
              (std::set<std::u16string>{u"new.bin", u"Target.bin"}));  // no leftovers
  }
  // A copy that does not break off replaces the target whole.
  EXPECT_NE(Rapi().CeCopyFile(u"\\new.bin", u"\\target.bin", 0), 0);
  EXPECT_EQ(ReadAll(root_ / "Target.bin"), big);
}

TEST_F(EmulatorTest, ReadsFillTheCount) {
  std::string data(200000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + i / 251);
  PutFile(root_ / "data.bin", data);
  DeviceHandle h = Open(u"\\data.bin", kRead, kOpenExisting);
  ASSERT_NE(h, -1);
  std::vector<char> buffer(data.size() + 10);
  std::string back;
  // Each read moves all it asks for, fewer only at the end of the file.
  const struct {
    uint32_t ask, moves;
  } reads[] = {{1, 1}, {65537, 65537}, {131072, 131072}, {5000, 3390}, {10, 0}};
  for (const auto& read : reads) {
    SCOPED_TRACE(read.ask);
    uint32_t done = 12345;
    EXPECT_NE(Rapi().CeReadFile(h, buffer.data(), read.ask, &done, nullptr), 0);
    EXPECT_EQ(done, read.moves);
    back.append(buffer.data(), done);
  }
  EXPECT_EQ(back, data);
  Close(h);
}

TEST_F(EmulatorTest, ObjectIdsFollowOneRule) {
  // The identifier is a hash of the device path, case folded: the same numbers
  // on every platform, under every spelling (FNV-1a of the folded characters).
  fs::create_directories(root_ / u"Мои документы" / "Sub");
  PutFile(root_ / u"Мои документы" / u"Отчёт.txt", "1");
  PutFile(root_ / "Readme.TXT", "2");
  const auto idOf = [](const std::u16string& pattern, const std::u16string& name) {
    const Listing l = List(pattern, kFindObjectId | kFindName);
    const DeviceFindRecord* r = l.Find(name);
    return r == nullptr ? 0u : r->ObjectId;
  };
  const struct {
    const char16_t* pattern;
    const char16_t* name;
    uint32_t id;
  } rows[] = {
      {u"\\*", u"Readme.TXT", 3849123871u},
      {u"\\README.*", u"Readme.TXT", 3849123871u},
      {u"\\*", u"Мои документы", 842359665u},
      {u"\\МОИ ДОКУМЕНТЫ\\*", u"Отчёт.txt", 494244977u},
      {u"\\мои документы\\о*", u"Отчёт.txt", 494244977u},
      {u"\\мои документы\\*", u"Sub", 422185339u},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(ToUtf8(row.pattern));
    EXPECT_EQ(idOf(row.pattern, row.name), row.id);
  }
  // Rewritten, a file keeps its identifier.
  PutFile(root_ / "Readme.TXT", "rewritten");
  EXPECT_EQ(idOf(u"\\*", u"Readme.TXT"), rows[0].id);
}

TEST_F(EmulatorTest, TheHandleTableHoldsAFixedNumber) {
  constexpr int kHandles = 512;
  const fs::path report = base_ / "report.txt";
  SetEnv("MERLO_DEVICE_REPORT", report);
  Reconnect("");  // the disconnect writes the report: handles left open by earlier tests
  UnsetEnv("MERLO_DEVICE_REPORT");
  const std::string text = ReadAll(report);
  const size_t at = text.find("\nopen-handles ");
  ASSERT_NE(at, std::string::npos);
  const int before = std::stoi(text.substr(at + 14));

  PutFile(root_ / "f.txt", "kept");
  std::vector<DeviceHandle> handles;
  for (int i = 0; i < kHandles + 10; ++i) {
    DeviceHandle h = Open(u"\\f.txt", kRead, kOpenExisting, 3 /* read and write */);
    if (h == -1) break;
    handles.push_back(h);
  }
  EXPECT_EQ(int(handles.size()) + before, kHandles);
  // A full table refuses before anything is made or cut short.
  EXPECT_EQ(Open(u"\\f.txt", kWrite, kCreateAlways, 3), -1);
  EXPECT_EQ(Open(u"\\made.txt", kWrite, kCreateAlways, 3), -1);
  EXPECT_FALSE(fs::exists(root_ / "made.txt"));
  ASSERT_FALSE(handles.empty());
  Close(handles.back());
  handles.pop_back();
  DeviceHandle h = Open(u"\\f.txt", kRead, kOpenExisting, 3);
  EXPECT_NE(h, -1);
  Close(h);
  for (DeviceHandle open : handles) Close(open);
  EXPECT_EQ(ReadAll(root_ / "f.txt"), "kept");
}

// ---- The further calls -----------------------------------------------------------------

// Every call of the lists is exported under its plain name, fail= and slow= know
// it, and the report counts it.
TEST_F(EmulatorTest, ExportsFaultNamesAndReportFollowTheCallLists) {
  const fs::path report = base_ / "report.txt";
  SetEnv("MERLO_DEVICE_REPORT", report);
  std::vector<std::string> names;
#define NAME(Return, Name, Parameters, Arguments, Bytes) names.push_back(#Name);
  MERLO_DEVICE_CALLS(NAME)
  MERLO_FURTHER_DEVICE_CALLS(NAME)
#undef NAME
  Library h = LoadLibraryAt(std::string(MERLO_BUILD_DIR) + kLibraryName);
  ASSERT_NE(h, nullptr);
  for (const std::string& name : names) {
    EXPECT_NE(Symbol(h, name.c_str()), nullptr) << name;
    if (name == "CeRapiInitEx") continue;  // restarts the counters: no fault of its own
    const std::string faults = "fail=" + name + ":1000,slow=" + name + ":0";
    while (sessions_ > 0) Disconnect();
    EXPECT_EQ(Connect(faults.c_str()), 0) << faults;
    Disconnect();
    EXPECT_NE(("\n" + ReadAll(report)).find("\n" + name + " "), std::string::npos) << name;
  }
  EXPECT_NE(Connect("fail=CeRapiInitEx:1"), 0);
  UnsetEnv("MERLO_DEVICE_REPORT");
}

// One device call with its expected outcome: success, or failure with the
// device's reason from CeGetLastError.
struct FurtherRow {
  const char* what;
  std::function<bool()> call;
  bool succeeds;
  uint32_t error;  // when it fails
};

uint32_t Attributes(const char16_t* path) { return Further().CeGetFileAttributes(path); }

TEST_F(EmulatorTest, FurtherCallsSucceedAndRefuseWithTheDevicesReasons) {
  const FurtherCalls& f = Further();
  PutFile(root_ / "a.txt", "A");
  PutFile(root_ / "ro.txt", "R");
  SetReadOnly(root_ / "ro.txt", true);
  fs::create_directories(root_ / "Full");
  PutFile(root_ / "Full" / "in.txt", "in");
  fs::create_directories(root_ / "Empty");
  const auto attributesAre = [](const char16_t* path, uint32_t bits) {
    return [=] { return (Attributes(path) & 0x17u) == bits; };
  };
  const std::vector<FurtherRow> rows = {
      {"make a folder", [&] { return f.CeCreateDirectory(u"\\New", nullptr) != 0; }, true, 0},
      {"make it again, in another case",
       [&] { return f.CeCreateDirectory(u"\\NEW", nullptr) != 0; }, false, 183},
      {"make a folder over a file", [&] { return f.CeCreateDirectory(u"\\A.TXT", nullptr) != 0; },
       false, 183},
      {"make a folder in a missing one",
       [&] { return f.CeCreateDirectory(u"\\missing\\x", nullptr) != 0; }, false, 3},
      {"make a folder out of the root",
       [&] { return f.CeCreateDirectory(u"\\..\\outside\\x", nullptr) != 0; }, false, 123},
      {"make a folder of a name the device refuses",
       [&] { return f.CeCreateDirectory(u"\\a?b", nullptr) != 0; }, false, 123},
      {"remove an empty folder, in another case",
       [&] { return f.CeRemoveDirectory(u"\\eMPTY") != 0; }, true, 0},
      {"remove a folder that holds a file", [&] { return f.CeRemoveDirectory(u"\\Full") != 0; },
       false, 145},
      {"remove a file as a folder", [&] { return f.CeRemoveDirectory(u"\\a.txt") != 0; }, false,
       267},
      {"remove a missing folder", [&] { return f.CeRemoveDirectory(u"\\Empty") != 0; }, false, 2},
      {"remove the root", [&] { return f.CeRemoveDirectory(u"\\") != 0; }, false, 5},
      {"remove a folder out of the root",
       [&] { return f.CeRemoveDirectory(u"\\..\\outside") != 0; }, false, 123},
      {"rename a folder", [&] { return Rapi().CeMoveFile(u"\\Full", u"\\Moved") != 0; }, true, 0},
      {"move a file onto an existing one",
       [&] { return Rapi().CeMoveFile(u"\\a.txt", u"\\moved\\IN.txt") != 0; }, false, 183},
      {"move a folder onto an existing one",
       [&] { return Rapi().CeMoveFile(u"\\Moved", u"\\new") != 0; }, false, 183},
      {"move a missing file", [&] { return Rapi().CeMoveFile(u"\\gone", u"\\x") != 0; }, false, 2},
      {"move a file out of the root",
       [&] { return Rapi().CeMoveFile(u"\\a.txt", u"\\..\\outside\\a.txt") != 0; }, false, 123},
      {"the root is a folder", attributesAre(u"\\", 0x10), true, 0},
      {"a folder", attributesAre(u"\\MOVED", 0x10), true, 0},
      {"a file", attributesAre(u"\\a.txt", 0x00), true, 0},
      {"a read-only file", attributesAre(u"\\ro.txt", 0x01), true, 0},
      {"attributes of a missing file", [&] { return Attributes(u"\\gone") != 0xFFFFFFFFu; }, false,
       2},
      {"attributes out of the root",
       [&] { return Attributes(u"\\..\\outside\\secret.txt") != 0xFFFFFFFFu; }, false, 123},
      {"make a file read-only", [&] { return f.CeSetFileAttributes(u"\\a.txt", 0x01) != 0; }, true,
       0},
      {"it is read-only", attributesAre(u"\\a.txt", 0x01), true, 0},
      {"a read-only file is not deleted", [&] { return Rapi().CeDeleteFile(u"\\a.txt") != 0; },
       false, 5},
      {"make it writable again", [&] { return f.CeSetFileAttributes(u"\\a.txt", 0x80) != 0; }, true,
       0},
      {"then it is deleted", [&] { return Rapi().CeDeleteFile(u"\\a.txt") != 0; }, true, 0},
      {"attributes of a missing file are not set",
       [&] { return f.CeSetFileAttributes(u"\\a.txt", 0x80) != 0; }, false, 2},
      {"a folder is not deleted as a file", [&] { return Rapi().CeDeleteFile(u"\\new") != 0; },
       false, 5},
      {"list a missing folder",
       [&] {
         uint32_t count = 0;
         DeviceFindRecord* array = nullptr;
         return Rapi().CeFindAllFiles(u"\\gone\\*.*", kFindAllFlags, &count, &array) != 0;
       },
       false, 3},
      {"list with a pattern the device refuses",
       [&] {
         uint32_t count = 0;
         DeviceFindRecord* array = nullptr;
         return Rapi().CeFindAllFiles(u"\\..\\*.*", kFindAllFlags, &count, &array) != 0;
       },
       false, 123},
      {"free space of a missing folder",
       [&] { return f.CeGetDiskFreeSpaceEx(u"\\gone", nullptr, nullptr, nullptr) != 0; }, false, 3},
  };
  for (const FurtherRow& row : rows) {
    EXPECT_EQ(row.call(), row.succeeds) << row.what;
    if (!row.succeeds) {
      EXPECT_EQ(f.CeGetLastError(), row.error) << row.what;
    }
  }
  EXPECT_TRUE(fs::is_directory(root_ / "New"));
  EXPECT_FALSE(fs::exists(root_ / "Empty"));
  EXPECT_EQ(ReadAll(root_ / "Moved" / "in.txt"), "in");
  EXPECT_FALSE(fs::exists(outside_ / "x"));
  EXPECT_TRUE(fs::exists(outside_ / "secret.txt"));
  EXPECT_EQ(ReadAll(root_ / "ro.txt"), "R");
  SetReadOnly(root_ / "ro.txt", false);
}

TEST_F(EmulatorTest, SetFileTimeSetsWhatItIsGivenOnAWritableHandle) {
  PutFile(root_ / "f.txt", "x");
  const uint64_t y2007 = 128130624000000000ull;  // 2007-01-15 00:00 UTC
  const uint64_t y2008 = y2007 + 365ull * 24 * 3600 * 10000000;
  DeviceHandle h = Open(u"\\f.txt", kWrite, kOpenExisting);
  ASSERT_NE(h, -1);
  const DeviceFileTime written{uint32_t(y2007), uint32_t(y2007 >> 32)};
  const DeviceFileTime accessed{uint32_t(y2008), uint32_t(y2008 >> 32)};
  EXPECT_NE(Further().CeSetFileTime(h, nullptr, nullptr, &written), 0);
  EXPECT_NE(Further().CeSetFileTime(h, nullptr, &accessed, nullptr), 0);
  Close(h);
  EXPECT_EQ(TimesOf(root_ / "f.txt").written, y2007);  // a null time is left alone
  EXPECT_EQ(TimesOf(root_ / "f.txt").accessed, y2008);

  h = Open(u"\\f.txt", kRead, kOpenExisting);
  EXPECT_EQ(Further().CeSetFileTime(h, nullptr, nullptr, &written), 0);
  EXPECT_EQ(Further().CeGetLastError(), 5u);
  Close(h);
  EXPECT_EQ(Further().CeSetFileTime(h, nullptr, nullptr, &written), 0);  // closed
  EXPECT_EQ(Further().CeGetLastError(), 6u);
}

TEST_F(EmulatorTest, FreeSpaceIsTheVolumesThatHoldsTheFolder) {
  fs::create_directories(root_ / "Sub");
  uint64_t freeToCaller = 0, total = 0, free = 0;
  ASSERT_NE(Further().CeGetDiskFreeSpaceEx(u"\\sub", &freeToCaller, &total, &free), 0);
  const fs::space_info space = fs::space(root_);
  EXPECT_EQ(total, space.capacity);
  EXPECT_GT(total, 0u);
  EXPECT_LE(freeToCaller, free);
  EXPECT_LE(free, total);
  DeviceStoreInformation store{0, 0};
  ASSERT_NE(Further().CeGetStoreInformation(&store), 0);
  EXPECT_EQ(store.StoreSize, uint32_t(std::min<uint64_t>(total, 0xFFFFFFFFu)));
  EXPECT_EQ(Further().CeGetStoreInformation(nullptr), 0);
  EXPECT_EQ(Further().CeGetLastError(), 87u);
}

TEST_F(EmulatorTest, AnOpenFileIsNeitherDeletedNorMovedNorItsFolder) {
  PutFile(root_ / "f.txt", "content");
  fs::create_directories(root_ / "d");
  PutFile(root_ / "d" / "g.txt", "in d");
  DeviceHandle a = Open(u"\\f.txt", kWrite, kOpenExisting);
  DeviceHandle b = Open(u"\\d\\g.txt", kRead, kOpenExisting, 1 /* FILE_SHARE_READ */);
  ASSERT_NE(a, -1);
  ASSERT_NE(b, -1);
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\f.txt"), 0);
  EXPECT_EQ(Further().CeGetLastError(), 32u);
  EXPECT_EQ(Rapi().CeMoveFile(u"\\f.txt", u"\\g.txt"), 0);
  EXPECT_EQ(Further().CeGetLastError(), 32u);
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\d\\g.txt"), 0);  // shared for reading, not for deletion
  EXPECT_EQ(Further().CeGetLastError(), 32u);
  EXPECT_EQ(Rapi().CeMoveFile(u"\\d", u"\\e"), 0);  // the folder that holds it
  EXPECT_NE(Further().CeGetLastError(), 0u);
  Close(a);
  Close(b);
  EXPECT_NE(Rapi().CeMoveFile(u"\\d", u"\\e"), 0);
  EXPECT_NE(Rapi().CeDeleteFile(u"\\f.txt"), 0);
  {
    // Held by another process's open, as the PC side or another session holds it.
    HeldFile held(root_ / "e" / "g.txt");
    ASSERT_TRUE(held.held());
    EXPECT_EQ(Rapi().CeDeleteFile(u"\\e\\g.txt"), 0);
    EXPECT_EQ(Further().CeGetLastError(), 32u);
    EXPECT_EQ(Rapi().CeMoveFile(u"\\e\\g.txt", u"\\g.txt"), 0);
    EXPECT_EQ(Further().CeGetLastError(), 32u);
  }
  EXPECT_EQ(ReadAll(root_ / "e" / "g.txt"), "in d");
}

TEST_F(EmulatorTest, AnOpenInAnotherProcessKeepsTheFile) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows keeps share modes across processes itself (see the test above)";
#else
  // Another process opens the file through the library, sharing reading only,
  // and holds it until told.
  PutFile(root_ / "f.txt", "content");
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const DeviceHandle h = Open(u"\\f.txt", kRead, kOpenExisting, 1 /* FILE_SHARE_READ */);
    const char answer = h != -1 ? 'y' : 'n';
    ssize_t n = write(ready[1], &answer, 1);
    char go;
    n += read(done[0], &go, 1);
    _exit(n == 2 ? 0 : 1);
  }
  char answer = 0;
  ASSERT_EQ(read(ready[0], &answer, 1), 1);
  EXPECT_EQ(answer, 'y');
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\f.txt"), 0);
  EXPECT_EQ(Further().CeGetLastError(), 32u);
  EXPECT_EQ(Rapi().CeMoveFile(u"\\f.txt", u"\\g.txt"), 0);
  EXPECT_EQ(Further().CeGetLastError(), 32u);
  DeviceHandle reader = Open(u"\\f.txt", kRead, kOpenExisting, 1);  // shared reading is shared
  EXPECT_NE(reader, -1);
  Close(reader);
  ASSERT_EQ(write(done[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
  EXPECT_EQ(ReadAll(root_ / "f.txt"), "content");
  EXPECT_NE(Rapi().CeDeleteFile(u"\\f.txt"), 0);  // once the other process has ended
#endif
}

TEST_F(EmulatorTest, InjectedFaultsAndNoops) {
  PutFile(root_ / "a.txt", "");
  PutFile(root_ / "b.txt", "");
  // An injected failure gives a general failure as its reason; a success leaves the last error.
  Reconnect("fail=CeCreateDirectory:1,noop=CeDeleteFile:2,noop=CeCreateDirectory:2");
  EXPECT_EQ(Further().CeCreateDirectory(u"\\d", nullptr), 0);
  EXPECT_EQ(Further().CeGetLastError(), 31u);
  EXPECT_FALSE(fs::exists(root_ / "d"));
  EXPECT_NE(Further().CeCreateDirectory(u"\\d", nullptr), 0);  // reported, not done
  EXPECT_FALSE(fs::exists(root_ / "d"));
  EXPECT_EQ(Further().CeGetLastError(), 31u);
  EXPECT_NE(Rapi().CeDeleteFile(u"\\a.txt"), 0);
  EXPECT_FALSE(fs::exists(root_ / "a.txt"));
  EXPECT_NE(Rapi().CeDeleteFile(u"\\b.txt"), 0);  // reported, not done
  EXPECT_TRUE(fs::exists(root_ / "b.txt"));
  EXPECT_NE(Rapi().CeDeleteFile(u"\\b.txt"), 0);
  EXPECT_FALSE(fs::exists(root_ / "b.txt"));
  // Only calls that change the device can do nothing.
  while (sessions_ > 0) Disconnect();
  EXPECT_EQ(Connect("noop=CeGetFileSize:1"), int32_t(0x80070057u));
  EXPECT_EQ(Connect("noop=CeDeleteFile"), int32_t(0x80070057u));
}

}  // namespace
