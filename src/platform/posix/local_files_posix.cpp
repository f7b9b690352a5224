// Files on the PC, on Linux. Paths arrive in the drive-letter form of
// drive_paths.h, their names as the bytes on disk; Windows semantics are kept where Linux differs:
// a file without any write permission bit carries Windows' read-only attribute
// (no writing, no deleting, even for root), folders cannot be opened or deleted
// as files, and the share mode is kept among cooperating programs through
// flock(2): share mode 0 takes an exclusive lock, any other a shared one, and an
// open that cannot take its lock at once fails, as a sharing violation does.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/local_files.h"
#include "platform/posix/drive_paths.h"

namespace {

constexpr size_t kPathCapacity = 4096;

constexpr uint32_t kGenericAll = 0x10000000u;
constexpr uint32_t kCreateNew = 1;
constexpr uint32_t kOpenAlways = 4;
constexpr uint32_t kTruncateExisting = 5;
constexpr uint32_t kFileAttributeReadOnly = 0x1;

// Windows' read-only attribute: no write permission bit at all.
bool IsReadOnly(const struct stat& status) { return (status.st_mode & 0222) == 0; }

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void CloseKeepingErrno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

LocalHandle PosixCreateFileA(const char* path, uint32_t access, uint32_t share,
                             uint32_t disposition, uint32_t attributes) {
  char osPath[kPathCapacity];
  if (!PcPathToPosix(path, osPath, sizeof osPath)) {
    errno = ENOENT;
    return kInvalidLocalHandle;
  }

  const bool wantsRead = (access & (kGenericRead | kGenericAll)) != 0;
  const bool wantsWrite = (access & (kGenericWrite | kGenericAll)) != 0;
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;  // O_NONBLOCK: a FIFO must not hang the open
  flags |= wantsWrite ? (wantsRead ? O_RDWR : O_WRONLY) : O_RDONLY;

  bool truncate = false;
  bool mayCreate = false;
  switch (disposition) {
    case kCreateNew:
    case kOpenAlways:
      mayCreate = true;
      break;
    case kCreateAlways:
      mayCreate = true;
      truncate = true;
      break;
    case kOpenExisting:
      break;
    case kTruncateExisting:
      if (!wantsWrite) {
        errno = EINVAL;
        return kInvalidLocalHandle;
      }
      truncate = true;
      break;
    default:
      errno = EINVAL;
      return kInvalidLocalHandle;
  }

  // A file this call creates with the read-only attribute is read-only for
  // everyone else but writable through this handle, as on Windows.
  const mode_t mode = (attributes & kFileAttributeReadOnly) != 0 ? 0444 : 0666;
  int fd = -1;
  bool created = false;
  if (disposition == kCreateNew) {
    fd = OpenRetrying(osPath, flags | O_CREAT | O_EXCL, mode);
    created = fd >= 0;
  } else {
    // Open what exists, else create it: so the call knows whether the file is
    // its own, which the read-only check below needs.
    for (int attempt = 0; attempt < 8; ++attempt) {
      fd = OpenRetrying(osPath, flags, 0);
      if (fd >= 0 || errno != ENOENT || !mayCreate) break;
      fd = OpenRetrying(osPath, flags | O_CREAT | O_EXCL, mode);
      if (fd >= 0) {
        created = true;
        break;
      }
      if (errno != EEXIST) break;  // else it appeared meanwhile: open it
    }
  }
  if (fd < 0) return kInvalidLocalHandle;

  struct stat status;
  if (fstat(fd, &status) != 0) {
    CloseKeepingErrno(fd);
    return kInvalidLocalHandle;
  }
  if (S_ISDIR(status.st_mode)) {
    close(fd);
    errno = EISDIR;
    return kInvalidLocalHandle;
  }
  if (!S_ISREG(status.st_mode)) {
    close(fd);
    errno = EACCES;
    return kInvalidLocalHandle;
  }
  // Nothing has changed yet: the truncation waits until the checks and the
  // lock have passed.
  if (!created && IsReadOnly(status) && (wantsWrite || truncate)) {
    close(fd);
    errno = EACCES;
    return kInvalidLocalHandle;
  }

  int lock;
  do {
    lock = flock(fd, (share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB);
  } while (lock != 0 && errno == EINTR);
  if (lock != 0) {
    close(fd);
    errno = EBUSY;  // the sharing violation
    return kInvalidLocalHandle;
  }

  if (truncate && status.st_size != 0) {
    int cut;
    do {
      cut = ftruncate(fd, 0);
    } while (cut != 0 && errno == EINTR);
    if (cut != 0) {
      CloseKeepingErrno(fd);
      return kInvalidLocalHandle;
    }
  }

  const int statusFlags = fcntl(fd, F_GETFL);
  if (statusFlags != -1) fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK);
  return fd;
}

int32_t PosixReadFile(LocalHandle file, void* buffer, uint32_t count, uint32_t* done) {
  if (done != nullptr) *done = 0;
  if (file < 0) {
    errno = EBADF;
    return 0;
  }
  const int fd = static_cast<int>(file);
  uint32_t total = 0;
  char* bytes = static_cast<char*>(buffer);
  while (total < count) {
    const ssize_t n = read(fd, bytes + total, count - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (done != nullptr) *done = total;
      return 0;
    }
    if (n == 0) break;  // end of file: a short count, and success
    total += static_cast<uint32_t>(n);
  }
  if (done != nullptr) *done = total;
  return 1;
}

int32_t PosixWriteFile(LocalHandle file, const void* buffer, uint32_t count, uint32_t* done) {
  if (done != nullptr) *done = 0;
  if (file < 0) {
    errno = EBADF;
    return 0;
  }
  const int fd = static_cast<int>(file);
  uint32_t total = 0;
  const char* bytes = static_cast<const char*>(buffer);
  while (total < count) {
    const ssize_t n = write(fd, bytes + total, count - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (done != nullptr) *done = total;
      return 0;
    }
    if (n == 0) {  // nothing written and no error: give up rather than spin
      errno = EIO;
      if (done != nullptr) *done = total;
      return 0;
    }
    total += static_cast<uint32_t>(n);
  }
  if (done != nullptr) *done = total;
  return 1;
}

uint32_t PosixGetFileSize(LocalHandle file, uint32_t* sizeHigh) {
  struct stat status;
  if (file < 0 || fstat(static_cast<int>(file), &status) != 0) return 0xFFFFFFFFu;
  const uint64_t size = static_cast<uint64_t>(status.st_size);
  if (sizeHigh != nullptr) *sizeHigh = static_cast<uint32_t>(size >> 32);
  return static_cast<uint32_t>(size);
}

int32_t PosixCloseHandle(LocalHandle file) {
  if (file < 0) {
    errno = EBADF;
    return 0;
  }
  // On Linux the descriptor is gone even when close reports EINTR.
  if (close(static_cast<int>(file)) != 0 && errno != EINTR) return 0;
  return 1;
}

int32_t PosixDeleteFileA(const char* path) {
  char osPath[kPathCapacity];
  if (!PcPathToPosix(path, osPath, sizeof osPath)) {
    errno = ENOENT;
    return 0;
  }
  struct stat status;
  if (lstat(osPath, &status) != 0) return 0;
  if (S_ISDIR(status.st_mode)) {
    errno = EISDIR;
    return 0;
  }
  if (S_ISREG(status.st_mode)) {
    if (IsReadOnly(status)) {
      errno = EACCES;
      return 0;
    }
    // A file that someone holds open through this layer cannot be deleted, as
    // on Windows; the exclusive lock is held across the unlink.
    const int fd =
        OpenRetrying(osPath, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0);
    if (fd >= 0) {
      int lock;
      do {
        lock = flock(fd, LOCK_EX | LOCK_NB);
      } while (lock != 0 && errno == EINTR);
      if (lock != 0) {
        close(fd);
        errno = EBUSY;
        return 0;
      }
    }
    const int removed = unlink(osPath);
    if (fd >= 0) CloseKeepingErrno(fd);
    return removed == 0 ? 1 : 0;
  }
  return unlink(osPath) == 0 ? 1 : 0;  // a link or another kind of entry
}

}  // namespace

LocalFiles gLocalFiles = {
    PosixCreateFileA, PosixReadFile,    PosixWriteFile,
    PosixGetFileSize, PosixCloseHandle, PosixDeleteFileA,
};
