// The emulated device library (librapi.so) on its own: loaded with dlopen and
// driven by its plain call names against real temporary folders.
#if !defined(_WIN32)

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
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

// The library, loaded once for the whole test program and never unloaded.
const DeviceLibrary& Rapi() {
  static DeviceLibrary lib = [] {
    DeviceLibrary l{};
    void* h = dlopen(MERLO_BUILD_DIR "/librapi.so", RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
      ADD_FAILURE() << "dlopen: " << dlerror();
      return l;
    }
#define RESOLVE(name) l.name = reinterpret_cast<decltype(l.name)>(dlsym(h, #name))
    RESOLVE(CeRapiInitEx);
    RESOLVE(CeRapiUninit);
    RESOLVE(CeFindAllFiles);
    RESOLVE(CeRapiFreeBuffer);
    RESOLVE(CeCreateFile);
    RESOLVE(CeGetFileSize);
    RESOLVE(CeReadFile);
    RESOLVE(CeWriteFile);
    RESOLVE(CeCloseHandle);
    RESOLVE(CeCopyFile);
    RESOLVE(CeMoveFile);
    RESOLVE(CeDeleteFile);
#undef RESOLVE
    return l;
  }();
  return lib;
}

// Readable within `ms`: 1; not: 0; a bad descriptor or an error: -1.
int WaitReadable(int fd, int ms) {
  if (fd < 0) return -1;
  pollfd p{fd, POLLIN, 0};
  int r = poll(&p, 1, ms);
  if (r < 0 || (r == 1 && (p.revents & (POLLNVAL | POLLERR)))) return -1;
  return r == 1 ? 1 : 0;
}

// The result field, written by the library's thread.
int32_t ResultOf(const ConnectRecord& record) {
  return __atomic_load_n(&record.Result, __ATOMIC_ACQUIRE);
}

bool IsOpenDescriptor(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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

uint64_t FileTimeOf(const timespec& t) {
  return uint64_t(t.tv_sec + 11644473600LL) * 10000000u + uint64_t(t.tv_nsec) / 100u;
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
    char pattern[] = "/tmp/merlo-emu-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = fs::path(pattern);
    root_ = base_ / "device";
    outside_ = base_ / "outside";
    fs::create_directories(root_);
    fs::create_directories(outside_);
    WriteFile(outside_ / "secret.txt", "secret");
    setenv("MERLO_DEVICE_ROOT", root_.c_str(), 1);
    unsetenv("MERLO_DEVICE_FAULTS");
    // Start from no open session, whatever ran before in this process.
    while (Rapi().CeRapiUninit() == 0) {
    }
    ASSERT_EQ(Connect(), 0);
  }

  void TearDown() override {
    while (sessions_ > 0) Disconnect();
    unsetenv("MERLO_DEVICE_FAULTS");
    unsetenv("MERLO_DEVICE_ROOT");
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(base_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_symlink()) chmod(it->path().c_str(), 0755);
    }
    fs::remove_all(base_, ec);
  }

  // CeRapiInitEx with `faults`, then the wait for completion; the record's result.
  int32_t Connect(const char* faults = nullptr) {
    if (faults != nullptr) setenv("MERLO_DEVICE_FAULTS", faults, 1);
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
  WriteFile(root_ / "a.txt", "hello");
  fs::create_directory(root_ / "sub");
  struct stat st;
  ASSERT_EQ(stat((root_ / "a.txt").c_str(), &st), 0);

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
  EXPECT_EQ(Join(a->CreationTime), FileTimeOf(st.st_ctim));
  EXPECT_TRUE(AllZero(a->LastAccessTime, 16));  // last-access and last-write times
  EXPECT_EQ(a->SizeHigh, 0u);
  EXPECT_EQ(a->ObjectId, 0u);

  // Everything.
  l = List(u"\\*.*", 0xFF);
  a = l.Find(u"a.txt");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(Join(a->LastAccessTime), FileTimeOf(st.st_atim));
  EXPECT_EQ(Join(a->LastWriteTime), FileTimeOf(st.st_mtim));
  EXPECT_EQ(a->ObjectId, uint32_t(st.st_ino));
  EXPECT_TRUE(AllZero(a->Name + 6, sizeof a->Name - 12));
}

TEST_F(EmulatorTest, ListingTimesAreFileTimesAndSizesHaveTwoHalves) {
  WriteFile(root_ / "old.txt", "x");
  timespec times[2] = {{1000000000, 123456700}, {946684800, 500}};  // 2001, 2000-01-01
  ASSERT_EQ(utimensat(AT_FDCWD, (root_ / "old.txt").c_str(), times, 0), 0);
  {
    int fd = open((root_ / "big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (5LL << 30) + 7), 0);  // sparse: 5 GiB + 7
    close(fd);
  }
  Listing l = List(u"\\*.*");
  const DeviceFindRecord* old = l.Find(u"old.txt");
  const DeviceFindRecord* big = l.Find(u"big.bin");
  ASSERT_NE(old, nullptr);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(Join(old->LastWriteTime), 125911584000000005ull);  // 2000-01-01 00:00:00 UTC
  EXPECT_EQ(Join(old->LastAccessTime), (1000000000ull + 11644473600ull) * 10000000u + 1234567);
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
  WriteFile(root_ / "rw.txt", "a");
  WriteFile(root_ / "ro.txt", "b");
  chmod((root_ / "ro.txt").c_str(), 0444);
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
    WriteFile(root_ / name, "");
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
  WriteFile(root_ / "dir" / "sub" / "deep.txt", "123");
  WriteFile(root_ / "dir" / "top.txt", "1");
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
  WriteFile(root_ / "file.txt", "x");
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
  for (int i = 0; i < 3000; ++i) WriteFile(root_ / ("f" + std::to_string(i)), "");
  Listing l = List(u"\\*.*", kFindName | kFindSizeLow);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.records.size(), 3000u);
  EXPECT_EQ(l.Names().size(), 3000u);
}

// ---- Names ---------------------------------------------------------------------------

TEST_F(EmulatorTest, NonAsciiAndAstralNamesRoundTrip) {
  const std::u16string names[] = {u"caf\u00e9.txt", u"\u65e5\u672c\u8a9e", u"\U0001D11E clef",
                                  u"\U0001F600\U0001F601", u"\u00ff"};
  for (const std::u16string& name : names) {
    SCOPED_TRACE(ToUtf8(name));
    DeviceHandle h = Open(u"\\" + name, kWrite, kCreateAlways);
    ASSERT_NE(h, -1);
    uint32_t done = 0;
    EXPECT_TRUE(Write(h, ToUtf8(name), &done));
    Close(h);
    EXPECT_EQ(ReadAll(root_ / ToUtf8(name)), ToUtf8(name));  // UTF-8 on disk
  }
  fs::create_directory(root_ / u8"d\u00e9j\u00e0");
  WriteFile(root_ / u8"d\u00e9j\u00e0" / u8"\U0001F4A9.bin", "p");
  Listing l = List(u"\\*.*");
  EXPECT_EQ(l.records.size(), 6u);
  for (const std::u16string& name : names) EXPECT_NE(l.Find(name), nullptr) << ToUtf8(name);
  Listing inner = List(u"\\d\u00e9j\u00e0\\*.*");
  ASSERT_EQ(inner.records.size(), 1u);
  EXPECT_EQ(std::u16string(inner.records[0].Name), u"\U0001F4A9.bin");
  EXPECT_EQ(inner.records[0].Name[0], 0xD83D);  // a surrogate pair
  EXPECT_EQ(inner.records[0].Name[1], 0xDCA9);
}

TEST_F(EmulatorTest, NamesTheDeviceCannotHoldAreNotListed) {
  WriteFile(root_ / "ok.txt", "");
  WriteFile(root_ / "a:b", "");
  WriteFile(root_ / "q?", "");
  WriteFile(root_ / "back\\slash", "");
  WriteFile(root_ / std::string("bad\xff"), "");
  EXPECT_EQ(List(u"\\*.*").Names(), (std::set<std::u16string>{u"ok.txt"}));
}

// ---- Confinement ---------------------------------------------------------------------

TEST_F(EmulatorTest, RefusedPathsFail) {
  fs::create_directory(root_ / "dir");
  WriteFile(root_ / "dir" / "f.txt", "data");
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

TEST_F(EmulatorTest, LinksThatLeadOutsideAreRefused) {
  fs::create_directory(root_ / "in");
  WriteFile(root_ / "in" / "inner.txt", "inner");
  fs::create_directory_symlink(outside_, root_ / "out-dir");
  fs::create_symlink(outside_ / "secret.txt", root_ / "out-file");
  fs::create_symlink(outside_ / "new.txt", root_ / "dangling");
  fs::create_symlink(root_ / "in" / "inner.txt", root_ / "in-file");
  fs::create_directory_symlink(root_ / "in", root_ / "in-dir");

  // Links that lead out are not listed; links that stay inside are, as what they lead to.
  Listing l = List(u"\\*.*");
  EXPECT_EQ(l.Names(), (std::set<std::u16string>{u"in", u"in-file", u"in-dir"}));
  EXPECT_EQ(l.Find(u"in-file")->Attributes, 0x20u);
  EXPECT_EQ(l.Find(u"in-file")->SizeLow, 5u);
  EXPECT_EQ(l.Find(u"in-dir")->Attributes, 0x10u);

  EXPECT_FALSE(List(u"\\out-dir\\*.*").ok);
  EXPECT_EQ(Open(u"\\out-dir\\secret.txt", kRead, kOpenExisting), -1);
  EXPECT_EQ(Open(u"\\out-dir\\made.txt", kWrite, kCreateAlways), -1);
  EXPECT_EQ(Open(u"\\out-file", kRead, kOpenExisting), -1);
  EXPECT_EQ(Open(u"\\out-file", kWrite, kCreateAlways), -1);
  EXPECT_EQ(Open(u"\\dangling", kWrite, kCreateAlways), -1);
  EXPECT_EQ(Rapi().CeCopyFile(u"\\out-file", u"\\copy.txt", 0), 0);
  EXPECT_EQ(Rapi().CeCopyFile(u"\\in\\inner.txt", u"\\out-dir\\copy.txt", 0), 0);
  EXPECT_EQ(Rapi().CeCopyFile(u"\\in\\inner.txt", u"\\out-file", 0), 0);
  EXPECT_EQ(Rapi().CeMoveFile(u"\\in\\inner.txt", u"\\out-dir\\moved.txt"), 0);
  EXPECT_EQ(Rapi().CeMoveFile(u"\\out-dir\\secret.txt", u"\\stolen.txt"), 0);
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\out-dir\\secret.txt"), 0);
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\out-file"), 0);
  EXPECT_EQ(ReadAll(outside_ / "secret.txt"), "secret");
  EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(outside_), fs::directory_iterator()),
            std::vector<fs::path>{outside_ / "secret.txt"});
  EXPECT_FALSE(fs::exists(root_ / "copy.txt"));
  EXPECT_FALSE(fs::exists(root_ / "stolen.txt"));

  // Links inside the root work.
  DeviceHandle h = Open(u"\\in-dir\\inner.txt", kRead, kOpenExisting);
  ASSERT_NE(h, -1);
  char buffer[16];
  uint32_t done = 0;
  EXPECT_NE(Rapi().CeReadFile(h, buffer, sizeof buffer, &done, nullptr), 0);
  EXPECT_EQ(std::string(buffer, done), "inner");
  Close(h);
  EXPECT_NE(Rapi().CeCopyFile(u"\\in-file", u"\\copy.txt", 0), 0);
  EXPECT_EQ(ReadAll(root_ / "copy.txt"), "inner");
}

TEST_F(EmulatorTest, ARootThatIsALinkStillConfines) {
  fs::create_directory_symlink(root_, base_ / "root-link");
  setenv("MERLO_DEVICE_ROOT", (base_ / "root-link").c_str(), 1);
  Reconnect("");
  WriteFile(root_ / "here.txt", "here");
  EXPECT_EQ(List(u"\\*.*").Names(), (std::set<std::u16string>{u"here.txt"}));
  EXPECT_EQ(Open(u"\\..\\outside\\secret.txt", kRead, kOpenExisting), -1);
}

TEST_F(EmulatorTest, ASiblingFolderNamedLikeTheRootIsOutside) {
  const fs::path sibling = base_ / "device2";  // the root's own name is a prefix of it
  fs::create_directory(sibling);
  WriteFile(sibling / "secret.txt", "secret");
  fs::create_directory_symlink(sibling, root_ / "sib-dir");
  fs::create_symlink(sibling / "secret.txt", root_ / "sib-file");

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
  WriteFile(root_ / "src.txt", "source");
  fs::create_directory(root_ / "dir");
  EXPECT_NE(Rapi().CeCopyFile(u"\\src.txt", u"\\dir\\dst.txt", 1), 0);
  EXPECT_EQ(ReadAll(root_ / "dir" / "dst.txt"), "source");
  WriteFile(root_ / "other.txt", "a longer previous content");
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
  WriteFile(root_ / "big.bin", big);
  EXPECT_NE(Rapi().CeCopyFile(u"\\big.bin", u"\\big2.bin", 0), 0);
  EXPECT_EQ(ReadAll(root_ / "big2.bin"), big);
}

TEST_F(EmulatorTest, MoveFileRenamesButNeverReplaces) {
  WriteFile(root_ / "a.txt", "A");
  WriteFile(root_ / "b.txt", "B");
  fs::create_directories(root_ / "dir" / "sub");
  WriteFile(root_ / "dir" / "sub" / "in.txt", "in");

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
  WriteFile(root_ / "f.txt", "x");
  fs::create_directory(root_ / "dir");
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\dir"), 0);
  EXPECT_TRUE(fs::is_directory(root_ / "dir"));
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\missing.txt"), 0);
  EXPECT_NE(Rapi().CeDeleteFile(u"\\f.txt"), 0);
  EXPECT_FALSE(fs::exists(root_ / "f.txt"));
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\f.txt"), 0);

  // As on the device: a read-only file, or one held open, is not deleted.
  WriteFile(root_ / "ro.txt", "x");
  chmod((root_ / "ro.txt").c_str(), 0444);
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\ro.txt"), 0);
  EXPECT_TRUE(fs::exists(root_ / "ro.txt"));
  WriteFile(root_ / "open.txt", "x");
  DeviceHandle h = Open(u"\\open.txt", kRead, kOpenExisting);
  ASSERT_NE(h, -1);
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\open.txt"), 0);
  EXPECT_EQ(Rapi().CeMoveFile(u"\\open.txt", u"\\elsewhere.txt"), 0);
  Close(h);
  EXPECT_NE(Rapi().CeDeleteFile(u"\\open.txt"), 0);
}

// ---- Handles, reading and writing ----------------------------------------------------

TEST_F(EmulatorTest, ShareModeZeroOpensExclusively) {
  WriteFile(root_ / "f.txt", "content");
  DeviceHandle a = Open(u"\\f.txt", kRead, kOpenExisting);
  ASSERT_NE(a, -1);
  EXPECT_EQ(Open(u"\\f.txt", kRead, kOpenExisting), -1);
  EXPECT_EQ(Open(u"\\f.txt", kWrite, kCreateAlways), -1);
  EXPECT_EQ(ReadAll(root_ / "f.txt"), "content");  // the refused CREATE_ALWAYS truncated nothing
  WriteFile(root_ / "other.txt", "other");
  EXPECT_EQ(Rapi().CeCopyFile(u"\\other.txt", u"\\f.txt", 0), 0);  // onto the open file
  EXPECT_EQ(Rapi().CeCopyFile(u"\\f.txt", u"\\third.txt", 0), 0);  // from it
  EXPECT_EQ(ReadAll(root_ / "f.txt"), "content");
  EXPECT_FALSE(fs::exists(root_ / "third.txt"));
  EXPECT_TRUE(Close(a));
  EXPECT_FALSE(Close(a));  // already closed
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
  // That layer keeps share mode 0 as an exclusive flock(2), any other as a shared one.
  WriteFile(root_ / "f.txt", "content");
  WriteFile(root_ / "other.txt", "other");
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

  // Held from outside, the file is neither opened, nor truncated, nor copied to or from.
  const int held = open((root_ / "f.txt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(Open(u"\\f.txt", kRead, kOpenExisting, 1), -1);
  EXPECT_EQ(Open(u"\\f.txt", kWrite, kCreateAlways), -1);
  EXPECT_EQ(Rapi().CeCopyFile(u"\\other.txt", u"\\f.txt", 0), 0);
  EXPECT_EQ(Rapi().CeCopyFile(u"\\f.txt", u"\\third.txt", 0), 0);
  EXPECT_EQ(ReadAll(root_ / "f.txt"), "content");
  EXPECT_FALSE(fs::exists(root_ / "third.txt"));
  close(held);
  h = Open(u"\\f.txt", kWrite, kCreateAlways);
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
  WriteFile(root_ / "new.txt", "12345");
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
  WriteFile(root_ / "ro.txt", "ro");
  chmod((root_ / "ro.txt").c_str(), 0444);
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
  WriteFile(root_ / "a", "");
  WriteFile(root_ / "b", "");
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
  setenv("MERLO_DEVICE_FAULTS", "connect-delay=300", 1);
  ConnectRecord record{12, kSentinel, kSentinel};
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(Rapi().CeRapiInitEx(&record), 0);
  ++sessions_;
  EXPECT_NE(record.CompletionEvent, kSentinel);
  EXPECT_TRUE(IsOpenDescriptor(record.CompletionEvent));
  EXPECT_EQ(ResultOf(record), kSentinel);  // not yet
  EXPECT_EQ(WaitReadable(record.CompletionEvent, 0), 0);
  EXPECT_EQ(WaitReadable(record.CompletionEvent, 5000), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(250));
  EXPECT_EQ(ResultOf(record), 0);
  int event = record.CompletionEvent;
  EXPECT_EQ(Disconnect(), 0);
  EXPECT_FALSE(IsOpenDescriptor(event));  // CeRapiUninit closed it

  // The default still completes after the call has returned.
  unsetenv("MERLO_DEVICE_FAULTS");
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

  setenv("MERLO_DEVICE_FAULTS", "refuse-init", 1);
  record = ConnectRecord{12, kSentinel, kSentinel};
  EXPECT_NE(Rapi().CeRapiInitEx(&record), 0);
  EXPECT_EQ(record.CompletionEvent, kSentinel);
  EXPECT_EQ(ResultOf(record), kSentinel);
  Rapi().CeRapiUninit();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ResultOf(record), kSentinel);

  setenv("MERLO_DEVICE_FAULTS", "no-such-fault", 1);
  EXPECT_EQ(Rapi().CeRapiInitEx(&record), int32_t(0x80070057u));
  Rapi().CeRapiUninit();
  setenv("MERLO_DEVICE_FAULTS", "fail=CeNoSuchCall:1", 1);
  EXPECT_NE(Rapi().CeRapiInitEx(&record), 0);
  Rapi().CeRapiUninit();
  unsetenv("MERLO_DEVICE_FAULTS");

  unsetenv("MERLO_DEVICE_ROOT");
  EXPECT_NE(Rapi().CeRapiInitEx(&record), 0);
  Rapi().CeRapiUninit();
  EXPECT_FALSE(List(u"\\*.*").ok);  // no root: device calls fail
  EXPECT_EQ(Open(u"\\x.txt", kWrite, kCreateAlways), -1);
  setenv("MERLO_DEVICE_ROOT", (outside_ / "secret.txt").c_str(), 1);  // not a folder
  EXPECT_NE(Rapi().CeRapiInitEx(&record), 0);
  Rapi().CeRapiUninit();
  setenv("MERLO_DEVICE_ROOT", (base_ / "missing").c_str(), 1);
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
  setenv("MERLO_DEVICE_FAULTS", "never-connect", 1);
  ConnectRecord record{12, kSentinel, kSentinel};
  ASSERT_EQ(Rapi().CeRapiInitEx(&record), 0);
  EXPECT_TRUE(IsOpenDescriptor(record.CompletionEvent));
  EXPECT_EQ(WaitReadable(record.CompletionEvent, 300), 0);
  EXPECT_EQ(ResultOf(record), kSentinel);
  int event = record.CompletionEvent;
  EXPECT_EQ(Rapi().CeRapiUninit(), 0);
  EXPECT_FALSE(IsOpenDescriptor(event));

  // An event that cannot be waited on.
  setenv("MERLO_DEVICE_FAULTS", "bad-event", 1);
  record = ConnectRecord{12, kSentinel, kSentinel};
  ASSERT_EQ(Rapi().CeRapiInitEx(&record), 0);
  EXPECT_EQ(record.CompletionEvent, -1);
  EXPECT_EQ(WaitReadable(record.CompletionEvent, 100), -1);
  Rapi().CeRapiUninit();

  setenv("MERLO_DEVICE_FAULTS", "bad-event=closed", 1);
  record = ConnectRecord{12, kSentinel, kSentinel};
  ASSERT_EQ(Rapi().CeRapiInitEx(&record), 0);
  EXPECT_GE(record.CompletionEvent, 0);
  EXPECT_FALSE(IsOpenDescriptor(record.CompletionEvent));
  EXPECT_EQ(WaitReadable(record.CompletionEvent, 100), -1);
  Rapi().CeRapiUninit();

  // The record is never written after CeRapiUninit, even when it came before completion.
  setenv("MERLO_DEVICE_FAULTS", "connect-delay=10000", 1);
  record = ConnectRecord{12, kSentinel, kSentinel};
  ASSERT_EQ(Rapi().CeRapiInitEx(&record), 0);
  EXPECT_EQ(WaitReadable(record.CompletionEvent, 200), 0);
  auto before = std::chrono::steady_clock::now();
  Rapi().CeRapiUninit();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ResultOf(record), kSentinel);
  unsetenv("MERLO_DEVICE_FAULTS");
}

TEST_F(EmulatorTest, SeveralConnectionsAtOnce) {
  // Two panels: two pairs, interleaved as the host may close them.
  ASSERT_EQ(Connect(""), 0);
  ConnectRecord first = records_[0], second = records_[1];
  EXPECT_NE(first.CompletionEvent, second.CompletionEvent);
  WriteFile(root_ / "f.txt", "x");
  EXPECT_EQ(List(u"\\*.*").records.size(), 1u);
  EXPECT_EQ(Disconnect(), 0);
  EXPECT_EQ(List(u"\\*.*").records.size(), 1u);  // the device calls go on working
  ASSERT_EQ(Connect(""), 0);
  EXPECT_EQ(Disconnect(), 0);
  EXPECT_EQ(Disconnect(), 0);
  EXPECT_FALSE(IsOpenDescriptor(first.CompletionEvent));
  EXPECT_FALSE(IsOpenDescriptor(second.CompletionEvent));
  EXPECT_NE(Rapi().CeRapiUninit(), 0);
}

// ---- Call faults ---------------------------------------------------------------------

TEST_F(EmulatorTest, TheNthCallOfANamedFunctionFails) {
  WriteFile(root_ / "f.txt", "x");
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
  WriteFile(root_ / "in.bin", data);
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
  setenv("MERLO_DEVICE_REPORT", report.c_str(), 1);
  // Handles count for the whole process: what earlier tests left open stays.
  const auto openHandles = [&] {
    const std::string text = ReadAll(report);
    const size_t at = text.find("\nopen-handles ");
    return at == std::string::npos ? -1 : std::stoi(text.substr(at + 14));
  };
  WriteFile(root_ / "f.txt", "x");
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
            "CeMoveFile 0\nCeDeleteFile 0\nopen-handles " +
                std::to_string(before + 1) + "\n");
  // The counts start again with the next connection; the handle stays open across it.
  ASSERT_EQ(Connect(), 0);
  Close(kept);
  Disconnect();
  const std::string text = ReadAll(report);
  EXPECT_NE(text.find("CeCreateFile 0\nCeGetFileSize"), std::string::npos) << text;
  EXPECT_NE(text.find("CeCloseHandle 1\n"), std::string::npos) << text;
  EXPECT_EQ(openHandles(), before);
  unsetenv("MERLO_DEVICE_REPORT");
}

TEST_F(EmulatorTest, RefusedDeletes) {
  WriteFile(root_ / "a.txt", "");
  WriteFile(root_ / u8"keep\u00e9.txt", "");
  Reconnect(u8"refuse-delete=keep\u00e9.txt");
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\keep\u00e9.txt"), 0);
  EXPECT_TRUE(fs::exists(root_ / u8"keep\u00e9.txt"));
  EXPECT_NE(Rapi().CeDeleteFile(u"\\a.txt"), 0);

  WriteFile(root_ / "a.txt", "");
  Reconnect("refuse-delete");
  EXPECT_EQ(Rapi().CeDeleteFile(u"\\a.txt"), 0);
  EXPECT_TRUE(fs::exists(root_ / "a.txt"));
  Reconnect("");
  EXPECT_NE(Rapi().CeDeleteFile(u"\\a.txt"), 0);
}

}  // namespace

#endif  // !_WIN32
