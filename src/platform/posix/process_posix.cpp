// The connection wait and the current directory, on Linux.
//
// The completion event is a file descriptor that becomes readable when the
// connection completes; the wait polls it and neither reads nor closes it.
// The current directory is reported in the drive-letter form of drive_paths.h.
#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "platform/posix/drive_paths.h"
#include "platform/process.h"

namespace {

constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr size_t kDirectoryCapacity = 4096;

uint64_t NowMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

uint32_t PosixWaitForSingleObject(int32_t event, uint32_t milliseconds) {
  if (event < 0) return kWaitFailed;
  const bool forever = milliseconds == kInfinite;
  const uint64_t deadline = NowMilliseconds() + milliseconds;
  for (;;) {
    int timeout = -1;
    if (!forever) {
      const uint64_t now = NowMilliseconds();
      const uint64_t left = now < deadline ? deadline - now : 0;
      timeout = left > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
    }
    pollfd watched = {event, POLLIN, 0};
    const int ready = poll(&watched, 1, timeout);
    if (ready > 0) {
      // POLLIN wins even beside POLLHUP (a closed pipe still holding data).
      return (watched.revents & POLLIN) != 0 ? kWaitObject0 : kWaitFailed;
    }
    if (ready == 0) {
      if (!forever && NowMilliseconds() >= deadline) return kWaitTimeout;
      continue;  // a timeout cut to INT_MAX, or woken early: wait for the rest
    }
    if (errno != EINTR) return kWaitFailed;
  }
}

uint32_t PosixGetCurrentDirectoryA(uint32_t size, char* buffer) {
  char directory[kDirectoryCapacity];
  if (getcwd(directory, sizeof directory) == nullptr) return 0;
  const size_t length = PosixPathToPcLength(directory);
  if (length == 0 || length >= UINT32_MAX) return 0;  // not a path below the root
  if (buffer == nullptr || static_cast<size_t>(size) < length + 1) {
    return static_cast<uint32_t>(length + 1);  // the size needed, terminator included
  }
  if (!PosixPathToPc(directory, buffer, size)) return 0;
  return static_cast<uint32_t>(length);
}

}  // namespace

// A listing of many entries fills tens of megabytes at once; backing them with
// large pages saves most of the page faults of the first write.
void PosixAdviseLargeBlock(void* block, size_t bytes) {
  constexpr size_t kLargeBlock = 4u << 20;
  constexpr uintptr_t kPage = 4096;
  if (block == nullptr || bytes < kLargeBlock) return;
  const uintptr_t start = reinterpret_cast<uintptr_t>(block) & ~(kPage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes + kPage - 1) & ~(kPage - 1);
  madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

ProcessCalls gProcess = {PosixWaitForSingleObject, PosixGetCurrentDirectoryA,
                         PosixAdviseLargeBlock};
