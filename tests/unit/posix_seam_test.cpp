// The POSIX seam against the real system: PC files in a temporary folder, the
// connection wait on real descriptors, the current directory, and the device
// library's loader.
#if !defined(_WIN32)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "platform/device_library.h"
#include "platform/local_files.h"
#include "platform/posix/device_library_posix.h"
#include "platform/process.h"
#include "posix_temp_dir.h"

namespace {

constexpr uint32_t kCreateNew = 1;
constexpr uint32_t kOpenAlways = 4;
constexpr uint32_t kTruncateExisting = 5;
constexpr uint32_t kShareRead = 1;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;

std::string ReadWhole(const std::string& posixPath) {
  std::string contents;
  const int fd = open(posixPath.c_str(), O_RDONLY);
  if (fd < 0) return "<missing>";
  char buffer[256];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) contents.append(buffer, n);
  close(fd);
  return contents;
}

void WriteWhole(const std::string& posixPath, const std::string& contents) {
  const int fd = open(posixPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << posixPath;
  ASSERT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
  close(fd);
}

bool Exists(const std::string& posixPath) {
  struct stat status;
  return lstat(posixPath.c_str(), &status) == 0;
}

class PosixLocalFiles : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }

  LocalHandle Open(const std::string& pc, uint32_t access, uint32_t disposition,
                   uint32_t share = 0) {
    return gLocalFiles.CreateFileA(pc.c_str(), access, share, disposition, kFileAttributeNormal);
  }

  PosixTempDir dir_;
};

TEST_F(PosixLocalFiles, CreateWriteReadSizeAndClose) {
  const std::string pc = dir_.Pc("a.txt");
  LocalHandle file = Open(pc, kGenericWrite, kCreateAlways);
  ASSERT_NE(file, kInvalidLocalHandle);
  uint32_t done = 99;
  EXPECT_EQ(gLocalFiles.WriteFile(file, "hello", 5, &done), 1);
  EXPECT_EQ(done, 5u);
  EXPECT_EQ(gLocalFiles.CloseHandle(file), 1);
  EXPECT_EQ(ReadWhole(dir_.Posix("a.txt")), "hello");

  file = Open(pc, kGenericRead, kOpenExisting);
  ASSERT_NE(file, kInvalidLocalHandle);
  uint32_t high = 77;
  EXPECT_EQ(gLocalFiles.GetFileSize(file, &high), 5u);
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(gLocalFiles.GetFileSize(file, nullptr), 5u);
  char buffer[16] = {};
  EXPECT_EQ(gLocalFiles.ReadFile(file, buffer, 3, &done), 1);
  EXPECT_EQ(done, 3u);
  EXPECT_EQ(std::string(buffer, 3), "hel");
  // A read across the end reports what there was; at the end, 0 bytes and success.
  EXPECT_EQ(gLocalFiles.ReadFile(file, buffer, 16, &done), 1);
  EXPECT_EQ(done, 2u);
  EXPECT_EQ(std::string(buffer, 2), "lo");
  EXPECT_EQ(gLocalFiles.ReadFile(file, buffer, 16, &done), 1);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(gLocalFiles.CloseHandle(file), 1);
}

TEST_F(PosixLocalFiles, ZeroByteReadsAndWritesSucceed) {
  LocalHandle file = Open(dir_.Pc("empty"), kGenericWrite, kCreateAlways);
  ASSERT_NE(file, kInvalidLocalHandle);
  uint32_t done = 5;
  char byte = 'x';
  EXPECT_EQ(gLocalFiles.WriteFile(file, &byte, 0, &done), 1);
  EXPECT_EQ(done, 0u);
  gLocalFiles.CloseHandle(file);
  file = Open(dir_.Pc("empty"), kGenericRead, kOpenExisting);
  ASSERT_NE(file, kInvalidLocalHandle);
  done = 5;
  EXPECT_EQ(gLocalFiles.ReadFile(file, &byte, 0, &done), 1);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(gLocalFiles.GetFileSize(file, nullptr), 0u);
  gLocalFiles.CloseHandle(file);
  EXPECT_EQ(ReadWhole(dir_.Posix("empty")), "");
}

TEST_F(PosixLocalFiles, LargerTransfersGoThroughWhole) {
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
  LocalHandle file = Open(dir_.Pc("big"), kGenericWrite, kCreateAlways);
  ASSERT_NE(file, kInvalidLocalHandle);
  uint32_t done = 0;
  EXPECT_EQ(gLocalFiles.WriteFile(file, data.data(), static_cast<uint32_t>(data.size()), &done), 1);
  EXPECT_EQ(done, data.size());
  gLocalFiles.CloseHandle(file);
  file = Open(dir_.Pc("big"), kGenericRead, kOpenExisting);
  ASSERT_NE(file, kInvalidLocalHandle);
  std::string back(data.size(), '\0');
  EXPECT_EQ(gLocalFiles.ReadFile(file, &back[0], static_cast<uint32_t>(back.size()), &done), 1);
  EXPECT_EQ(done, data.size());
  EXPECT_TRUE(back == data);
  gLocalFiles.CloseHandle(file);
}

TEST_F(PosixLocalFiles, CreateAlwaysTruncatesAnExistingFile) {
  WriteWhole(dir_.Posix("a.txt"), "old contents");
  LocalHandle file = Open(dir_.Pc("a.txt"), kGenericWrite, kCreateAlways);
  ASSERT_NE(file, kInvalidLocalHandle);
  EXPECT_EQ(gLocalFiles.GetFileSize(file, nullptr), 0u);
  uint32_t done = 0;
  EXPECT_EQ(gLocalFiles.WriteFile(file, "new", 3, &done), 1);
  gLocalFiles.CloseHandle(file);
  EXPECT_EQ(ReadWhole(dir_.Posix("a.txt")), "new");
}

TEST_F(PosixLocalFiles, DispositionsBehaveAsOnWindows) {
  EXPECT_EQ(Open(dir_.Pc("missing"), kGenericRead, kOpenExisting), kInvalidLocalHandle);
  EXPECT_EQ(Open(dir_.Pc("missing"), kGenericWrite, kTruncateExisting), kInvalidLocalHandle);
  EXPECT_FALSE(Exists(dir_.Posix("missing")));

  LocalHandle file = Open(dir_.Pc("new"), kGenericWrite, kCreateNew);
  ASSERT_NE(file, kInvalidLocalHandle);
  gLocalFiles.CloseHandle(file);
  EXPECT_EQ(Open(dir_.Pc("new"), kGenericWrite, kCreateNew), kInvalidLocalHandle);

  WriteWhole(dir_.Posix("kept"), "kept");
  file = Open(dir_.Pc("kept"), kGenericWrite, kOpenAlways);
  ASSERT_NE(file, kInvalidLocalHandle);
  EXPECT_EQ(gLocalFiles.GetFileSize(file, nullptr), 4u);
  gLocalFiles.CloseHandle(file);
  file = Open(dir_.Pc("made"), kGenericWrite, kOpenAlways);
  ASSERT_NE(file, kInvalidLocalHandle);
  gLocalFiles.CloseHandle(file);
  EXPECT_TRUE(Exists(dir_.Posix("made")));

  // TRUNCATE_EXISTING needs write access.
  EXPECT_EQ(Open(dir_.Pc("kept"), kGenericRead, kTruncateExisting), kInvalidLocalHandle);
  EXPECT_EQ(ReadWhole(dir_.Posix("kept")), "kept");
  file = Open(dir_.Pc("kept"), kGenericWrite, kTruncateExisting);
  ASSERT_NE(file, kInvalidLocalHandle);
  gLocalFiles.CloseHandle(file);
  EXPECT_EQ(ReadWhole(dir_.Posix("kept")), "");

  EXPECT_EQ(Open(dir_.Pc("other"), kGenericWrite, 0), kInvalidLocalHandle);
  EXPECT_EQ(Open(dir_.Pc("other"), kGenericWrite, 6), kInvalidLocalHandle);
  EXPECT_FALSE(Exists(dir_.Posix("other")));
}

TEST_F(PosixLocalFiles, SizeAbove4GiBReportsTheHighHalf) {
  const int fd = open(dir_.Posix("sparse").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const off_t size = (static_cast<off_t>(1) << 32) + 0x1234;
  if (ftruncate(fd, size) != 0) {
    close(fd);
    GTEST_SKIP() << "the file system holds no sparse file of 4 GiB";
  }
  close(fd);
  LocalHandle file = Open(dir_.Pc("sparse"), kGenericRead, kOpenExisting);
  ASSERT_NE(file, kInvalidLocalHandle);
  uint32_t high = 0;
  EXPECT_EQ(gLocalFiles.GetFileSize(file, &high), 0x1234u);
  EXPECT_EQ(high, 1u);
  EXPECT_EQ(gLocalFiles.GetFileSize(file, nullptr), 0x1234u);
  gLocalFiles.CloseHandle(file);
}

TEST_F(PosixLocalFiles, BadHandlesFail) {
  uint32_t high = 5;
  EXPECT_EQ(gLocalFiles.GetFileSize(kInvalidLocalHandle, &high), 0xFFFFFFFFu);
  uint32_t done = 5;
  char byte = 0;
  EXPECT_EQ(gLocalFiles.ReadFile(kInvalidLocalHandle, &byte, 1, &done), 0);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(gLocalFiles.WriteFile(kInvalidLocalHandle, &byte, 1, &done), 0);
  EXPECT_EQ(gLocalFiles.CloseHandle(kInvalidLocalHandle), 0);

  LocalHandle file = Open(dir_.Pc("a"), kGenericWrite, kCreateAlways);
  ASSERT_NE(file, kInvalidLocalHandle);
  EXPECT_EQ(gLocalFiles.CloseHandle(file), 1);
  EXPECT_EQ(gLocalFiles.CloseHandle(file), 0);  // closed already
}

TEST_F(PosixLocalFiles, ReadingAFileOpenedForWritingOnlyFails) {
  LocalHandle file = Open(dir_.Pc("w"), kGenericWrite, kCreateAlways);
  ASSERT_NE(file, kInvalidLocalHandle);
  char byte;
  uint32_t done = 9;
  EXPECT_EQ(gLocalFiles.ReadFile(file, &byte, 1, &done), 0);
  EXPECT_EQ(done, 0u);
  gLocalFiles.CloseHandle(file);
}

TEST_F(PosixLocalFiles, ShareModeZeroIsExclusive) {
  WriteWhole(dir_.Posix("shared.txt"), "contents");
  const std::string pc = dir_.Pc("shared.txt");
  LocalHandle first = Open(pc, kGenericRead, kOpenExisting);
  ASSERT_NE(first, kInvalidLocalHandle);
  EXPECT_EQ(Open(pc, kGenericRead, kOpenExisting), kInvalidLocalHandle);
  EXPECT_EQ(Open(pc, kGenericRead, kOpenExisting, kShareRead), kInvalidLocalHandle);
  // A colliding CREATE_ALWAYS fails without truncating the file.
  EXPECT_EQ(Open(pc, kGenericWrite, kCreateAlways), kInvalidLocalHandle);
  EXPECT_EQ(ReadWhole(dir_.Posix("shared.txt")), "contents");
  // Nor can it be deleted while held.
  EXPECT_EQ(gLocalFiles.DeleteFileA(pc.c_str()), 0);
  EXPECT_TRUE(Exists(dir_.Posix("shared.txt")));
  EXPECT_EQ(gLocalFiles.CloseHandle(first), 1);

  LocalHandle again = Open(pc, kGenericWrite, kCreateAlways);
  EXPECT_NE(again, kInvalidLocalHandle);
  gLocalFiles.CloseHandle(again);
}

TEST_F(PosixLocalFiles, SharedOpensCoexistButExcludeAnExclusiveOne) {
  WriteWhole(dir_.Posix("s"), "s");
  const std::string pc = dir_.Pc("s");
  LocalHandle first = Open(pc, kGenericRead, kOpenExisting, kShareRead);
  LocalHandle second = Open(pc, kGenericRead, kOpenExisting, kShareRead);
  EXPECT_NE(first, kInvalidLocalHandle);
  EXPECT_NE(second, kInvalidLocalHandle);
  EXPECT_EQ(Open(pc, kGenericRead, kOpenExisting), kInvalidLocalHandle);
  gLocalFiles.CloseHandle(first);
  gLocalFiles.CloseHandle(second);
}

TEST_F(PosixLocalFiles, AFileWithoutWriteBitsIsReadOnlyEvenForRoot) {
  WriteWhole(dir_.Posix("ro.txt"), "read only");
  ASSERT_EQ(chmod(dir_.Posix("ro.txt").c_str(), 0444), 0);
  const std::string pc = dir_.Pc("ro.txt");
  EXPECT_EQ(Open(pc, kGenericWrite, kOpenExisting), kInvalidLocalHandle);
  EXPECT_EQ(Open(pc, kGenericRead | kGenericWrite, kOpenExisting), kInvalidLocalHandle);
  EXPECT_EQ(Open(pc, kGenericWrite, kCreateAlways), kInvalidLocalHandle);
  EXPECT_EQ(Open(pc, kGenericWrite, kTruncateExisting), kInvalidLocalHandle);
  EXPECT_EQ(ReadWhole(dir_.Posix("ro.txt")), "read only");
  EXPECT_EQ(gLocalFiles.DeleteFileA(pc.c_str()), 0);
  EXPECT_TRUE(Exists(dir_.Posix("ro.txt")));

  LocalHandle file = Open(pc, kGenericRead, kOpenExisting);
  EXPECT_NE(file, kInvalidLocalHandle);
  gLocalFiles.CloseHandle(file);

  // One write bit, for anyone, lifts the attribute.
  ASSERT_EQ(chmod(dir_.Posix("ro.txt").c_str(), 0644), 0);
  EXPECT_EQ(gLocalFiles.DeleteFileA(pc.c_str()), 1);
  EXPECT_FALSE(Exists(dir_.Posix("ro.txt")));
}

TEST_F(PosixLocalFiles, AFileCreatedReadOnlyIsWritableThroughItsOwnHandle) {
  const std::string pc = dir_.Pc("made-ro");
  LocalHandle file = gLocalFiles.CreateFileA(pc.c_str(), kGenericWrite, 0, kCreateAlways, 0x1);
  ASSERT_NE(file, kInvalidLocalHandle);
  uint32_t done = 0;
  EXPECT_EQ(gLocalFiles.WriteFile(file, "x", 1, &done), 1);
  gLocalFiles.CloseHandle(file);
  struct stat status;
  ASSERT_EQ(stat(dir_.Posix("made-ro").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0222, 0u);
  EXPECT_EQ(Open(pc, kGenericWrite, kCreateAlways), kInvalidLocalHandle);
}

TEST_F(PosixLocalFiles, FoldersAreNotFiles) {
  ASSERT_EQ(mkdir(dir_.Posix("folder").c_str(), 0755), 0);
  const std::string pc = dir_.Pc("folder");
  EXPECT_EQ(Open(pc, kGenericRead, kOpenExisting), kInvalidLocalHandle);
  EXPECT_EQ(Open(pc, kGenericWrite, kCreateAlways), kInvalidLocalHandle);
  EXPECT_EQ(Open(pc, kGenericRead, kOpenAlways), kInvalidLocalHandle);
  EXPECT_EQ(gLocalFiles.DeleteFileA(pc.c_str()), 0);
  EXPECT_EQ(gLocalFiles.DeleteFileA((pc + "\\").c_str()), 0);
  EXPECT_TRUE(Exists(dir_.Posix("folder")));
}

TEST_F(PosixLocalFiles, DeleteRemovesAFileAndFailsForAMissingOne) {
  WriteWhole(dir_.Posix("gone"), "x");
  EXPECT_EQ(gLocalFiles.DeleteFileA(dir_.Pc("gone").c_str()), 1);
  EXPECT_FALSE(Exists(dir_.Posix("gone")));
  EXPECT_EQ(gLocalFiles.DeleteFileA(dir_.Pc("gone").c_str()), 0);
}

TEST_F(PosixLocalFiles, PathsOffDriveZNameNothing) {
  WriteWhole(dir_.Posix("a"), "a");
  std::string other = dir_.Pc("a");
  other[0] = 'C';
  EXPECT_EQ(Open(other, kGenericRead, kOpenExisting), kInvalidLocalHandle);
  EXPECT_EQ(gLocalFiles.DeleteFileA(other.c_str()), 0);
  EXPECT_EQ(Open(dir_.Posix("a"), kGenericRead, kOpenExisting), kInvalidLocalHandle);
  EXPECT_TRUE(Exists(dir_.Posix("a")));

  std::string lower = dir_.Pc("a");
  lower[0] = 'z';
  LocalHandle file = Open(lower, kGenericRead, kOpenExisting);
  EXPECT_NE(file, kInvalidLocalHandle);
  gLocalFiles.CloseHandle(file);
}

// A name reaches the file of exactly its bytes: "caf\xE9.txt" (no UTF-8) is
// not "café.txt" beside it.
TEST_F(PosixLocalFiles, NamesReachTheFileOfTheirOwnBytes) {
  WriteWhole(dir_.Posix("caf\xC3\xA9.txt"), "utf-8");
  for (const char* name : {"caf\xE9.txt", "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt"}) {
    LocalHandle file = Open(dir_.Pc(name), kGenericWrite, kCreateAlways);
    ASSERT_NE(file, kInvalidLocalHandle) << name;
    gLocalFiles.CloseHandle(file);
    EXPECT_TRUE(Exists(dir_.Posix(name))) << name;
    EXPECT_EQ(gLocalFiles.DeleteFileA(dir_.Pc(name).c_str()), 1) << name;
    EXPECT_FALSE(Exists(dir_.Posix(name))) << name;
  }
  EXPECT_TRUE(Exists(dir_.Posix("caf\xC3\xA9.txt")));
}

TEST_F(PosixLocalFiles, AQuestionMarkFromALossyNameOpensNothing) {
  // A name the module could not carry shows as "?"; it must not open a file named "?".
  WriteWhole(dir_.Posix("?"), "wrong file");
  EXPECT_EQ(Open(dir_.Pc("?"), kGenericRead, kOpenExisting), kInvalidLocalHandle);
  EXPECT_EQ(gLocalFiles.DeleteFileA(dir_.Pc("?").c_str()), 0);
  EXPECT_TRUE(Exists(dir_.Posix("?")));
}

// ---------------------------------------------------------------------------
// The connection wait.

uint64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - since)
                                   .count());
}

TEST(PosixWait, AWrittenEventfdIsSignalledAndKeepsItsCount) {
  const int event = eventfd(0, EFD_CLOEXEC);
  ASSERT_GE(event, 0);
  const uint64_t one = 1;
  ASSERT_EQ(write(event, &one, sizeof one), static_cast<ssize_t>(sizeof one));
  EXPECT_EQ(gProcess.WaitForSingleObject(event, 5000), kWaitObject0);
  EXPECT_EQ(gProcess.WaitForSingleObject(event, 0), kWaitObject0);  // not consumed
  uint64_t count = 0;
  EXPECT_EQ(read(event, &count, sizeof count), static_cast<ssize_t>(sizeof count));
  EXPECT_EQ(count, 1u);
  close(event);
}

TEST(PosixWait, AnUnwrittenEventTimesOut) {
  const int event = eventfd(0, EFD_CLOEXEC);
  ASSERT_GE(event, 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(gProcess.WaitForSingleObject(event, 50), kWaitTimeout);
  EXPECT_GE(ElapsedMs(start), 49u);
  EXPECT_EQ(gProcess.WaitForSingleObject(event, 0), kWaitTimeout);
  EXPECT_NE(fcntl(event, F_GETFD), -1);  // still open
  close(event);
}

TEST(PosixWait, AnEventSignalledDuringTheWaitEndsIt) {
  const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  ASSERT_GE(timer, 0);
  itimerspec in20ms = {};
  in20ms.it_value.tv_nsec = 20 * 1000 * 1000;
  ASSERT_EQ(timerfd_settime(timer, 0, &in20ms, nullptr), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(gProcess.WaitForSingleObject(timer, 5000), kWaitObject0);
  EXPECT_LT(ElapsedMs(start), 2000u);
  close(timer);
}

TEST(PosixWait, APipeIsSignalledByDataNotByItsWriterGoingAway) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  ASSERT_EQ(write(ends[1], "x", 1), 1);
  EXPECT_EQ(gProcess.WaitForSingleObject(ends[0], 1000), kWaitObject0);
  close(ends[1]);
  EXPECT_EQ(gProcess.WaitForSingleObject(ends[0], 1000), kWaitObject0);  // data and hang-up
  char byte = 0;
  EXPECT_EQ(read(ends[0], &byte, 1), 1);
  EXPECT_EQ(gProcess.WaitForSingleObject(ends[0], 1000), kWaitFailed);  // hang-up alone
  close(ends[0]);
}

TEST(PosixWait, ClosedAndNegativeDescriptorsFail) {
  const int event = eventfd(0, EFD_CLOEXEC);
  ASSERT_GE(event, 0);
  close(event);
  EXPECT_EQ(gProcess.WaitForSingleObject(event, 1000), kWaitFailed);
  EXPECT_EQ(gProcess.WaitForSingleObject(-1, 1000), kWaitFailed);
}

void IgnoreSignal(int) {}

TEST(PosixWait, InterruptionsDoNotShortenTheWait) {
  struct sigaction quiet = {};
  quiet.sa_handler = IgnoreSignal;  // no SA_RESTART: poll sees EINTR
  struct sigaction saved = {};
  ASSERT_EQ(sigaction(SIGALRM, &quiet, &saved), 0);
  itimerval every5ms = {};
  every5ms.it_value.tv_usec = 5000;
  every5ms.it_interval.tv_usec = 5000;
  ASSERT_EQ(setitimer(ITIMER_REAL, &every5ms, nullptr), 0);

  const int event = eventfd(0, EFD_CLOEXEC);
  const auto start = std::chrono::steady_clock::now();
  const uint32_t result = gProcess.WaitForSingleObject(event, 60);
  const uint64_t elapsed = ElapsedMs(start);

  itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &saved, nullptr);
  close(event);
  EXPECT_EQ(result, kWaitTimeout);
  EXPECT_GE(elapsed, 59u);
  EXPECT_LT(elapsed, 2000u);
}

// ---------------------------------------------------------------------------
// The current directory.

class PosixCurrentDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    saved_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(saved_, 0);
  }
  void TearDown() override {
    if (saved_ >= 0) {
      EXPECT_EQ(fchdir(saved_), 0);
      close(saved_);
    }
  }
  PosixTempDir dir_;
  int saved_ = -1;
};

TEST_F(PosixCurrentDirectory, ReportsTheDirectoryOnDriveZ) {
  ASSERT_EQ(chdir(dir_.Posix().c_str()), 0);
  const std::string expected = dir_.Pc();
  ASSERT_EQ(expected.compare(0, 3, "Z:\\"), 0);
  char buffer[256];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(gProcess.GetCurrentDirectoryA(sizeof buffer, buffer), expected.size());
  EXPECT_EQ(std::string(buffer), expected);
}

TEST_F(PosixCurrentDirectory, TheRootIsZColonBackslash) {
  ASSERT_EQ(chdir("/"), 0);
  char buffer[8];
  EXPECT_EQ(gProcess.GetCurrentDirectoryA(sizeof buffer, buffer), 3u);
  EXPECT_STREQ(buffer, "Z:\\");
}

TEST_F(PosixCurrentDirectory, ATooSmallBufferGetsTheSizeNeededAndNothingWritten) {
  ASSERT_EQ(chdir(dir_.Posix().c_str()), 0);
  const std::string expected = dir_.Pc();
  const uint32_t length = static_cast<uint32_t>(expected.size());
  char buffer[256];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(gProcess.GetCurrentDirectoryA(length, buffer), length + 1);  // no room for the NUL
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(buffer[length - 1], 'x');
  EXPECT_EQ(gProcess.GetCurrentDirectoryA(0, nullptr), length + 1);
  EXPECT_EQ(gProcess.GetCurrentDirectoryA(length + 1, buffer), length);  // an exact fit
  EXPECT_EQ(std::string(buffer), expected);
}

TEST_F(PosixCurrentDirectory, NamesKeepTheirBytes) {
  const std::string sub = dir_.Posix("caf\xC3\xA9");
  const std::string deeper = sub + "/\xE6\x97\xA5";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(deeper.c_str(), 0755), 0);
  ASSERT_EQ(chdir(deeper.c_str()), 0);
  char buffer[512];
  const uint32_t length = gProcess.GetCurrentDirectoryA(sizeof buffer, buffer);
  EXPECT_EQ(std::string(buffer), dir_.Pc() + "\\caf\xC3\xA9\\\xE6\x97\xA5");
  EXPECT_EQ(length, std::strlen(buffer));
}

// ---------------------------------------------------------------------------
// The device library's loader.

DeviceResult MERLO_STDCALL FakeInit(ConnectRecord*) { return 0; }
DeviceResult MERLO_STDCALL FakeUninit() { return 0; }
DeviceBool MERLO_STDCALL FakeFindAll(const DeviceChar*, uint32_t, uint32_t*, DeviceFindRecord**) {
  return 1;
}
DeviceResult MERLO_STDCALL FakeFree(void*) { return 0; }
DeviceHandle MERLO_STDCALL FakeCreate(const DeviceChar*, uint32_t, uint32_t, void*, uint32_t,
                                      uint32_t, DeviceHandle) {
  return 1;
}
uint32_t MERLO_STDCALL FakeSize(DeviceHandle, uint32_t*) { return 0; }
DeviceBool MERLO_STDCALL FakeRead(DeviceHandle, void*, uint32_t, uint32_t*, void*) { return 1; }
DeviceBool MERLO_STDCALL FakeWrite(DeviceHandle, const void*, uint32_t, uint32_t*, void*) {
  return 1;
}
DeviceBool MERLO_STDCALL FakeClose(DeviceHandle) { return 1; }
DeviceBool MERLO_STDCALL FakeCopy(const DeviceChar*, const DeviceChar*, DeviceBool) { return 1; }
DeviceBool MERLO_STDCALL FakeMove(const DeviceChar*, const DeviceChar*) { return 1; }
DeviceBool MERLO_STDCALL FakeDelete(const DeviceChar*) { return 1; }

DeviceLibrary FakeLibrary() {
  return DeviceLibrary{FakeInit, FakeUninit, FakeFindAll, FakeFree, FakeCreate, FakeSize,
                       FakeRead, FakeWrite,  FakeClose,   FakeCopy, FakeMove,   FakeDelete};
}

bool AllNull(const DeviceLibrary& table) {
  const DeviceLibrary empty = {};
  return std::memcmp(&table, &empty, sizeof table) == 0;
}

class PosixDeviceLibrary : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = gDeviceLibrary; }
  void TearDown() override { gDeviceLibrary = saved_; }
  DeviceLibrary saved_;
};

TEST_F(PosixDeviceLibrary, AFilledTableIsKeptWithoutLoading) {
  gDeviceLibrary = FakeLibrary();
  EXPECT_TRUE(LoadDeviceLibrary());
  const DeviceLibrary expected = FakeLibrary();
  EXPECT_EQ(std::memcmp(&gDeviceLibrary, &expected, sizeof expected), 0);
}

TEST_F(PosixDeviceLibrary, AMissingLibraryFillsNothing) {
  gDeviceLibrary = FakeLibrary();
  gDeviceLibrary.CeDeleteFile = nullptr;  // not filled: a load is tried
  EXPECT_FALSE(LoadDeviceLibraryFrom("/nonexistent/merlo-test/librapi-missing.so"));
  EXPECT_TRUE(AllNull(gDeviceLibrary));
  gDeviceLibrary = FakeLibrary();
  EXPECT_FALSE(LoadDeviceLibraryFrom("librapi-merlo-no-such-library.so"));
  EXPECT_TRUE(AllNull(gDeviceLibrary));
}

TEST_F(PosixDeviceLibrary, ALibraryWithoutTheCallsFillsNothing) {
  gDeviceLibrary = FakeLibrary();
  EXPECT_FALSE(LoadDeviceLibraryFrom("libc.so.6"));  // loads, but has no CeRapiInitEx
  EXPECT_TRUE(AllNull(gDeviceLibrary));
}

}  // namespace

#endif
