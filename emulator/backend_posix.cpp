// The emulated device on Linux: a folder of the local file system, names in
// UTF-8 on disk, the completion event an eventfd.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backend.h"
#include "device_path.h"
#include "lock.h"
#include "unicode/unicode.h"

namespace emu {
namespace {

// ---- The root ---------------------------------------------------------------

Mutex gRootLock;
std::string gRoot;  // canonical (realpath), empty when there is none

std::string Root() {
  ScopedLock lock(gRootLock);
  return gRoot;
}

// A device error code for an errno value.
uint32_t ErrnoError(int error) {
  switch (error) {
    case 0:
      return 0;
    case ENOENT:
      return kDeviceErrorFileNotFound;
    case ENOTDIR:
      return kDeviceErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return kDeviceErrorAccessDenied;
    case EEXIST:
      return kDeviceErrorAlreadyExists;
    case ENOTEMPTY:
      return kDeviceErrorDirNotEmpty;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return kDeviceErrorDiskFull;
    case EWOULDBLOCK:
    case EBUSY:
    case ETXTBSY:
      return kDeviceErrorSharingViolation;
    case ENAMETOOLONG:
    case EINVAL:
      return kDeviceErrorInvalidName;
    case EMFILE:
    case ENFILE:
      return kDeviceErrorTooManyOpenFiles;
    case ENOMEM:
      return kDeviceErrorNotEnoughMemory;
    case EBADF:
      return kDeviceErrorInvalidHandle;
    default:
      return kDeviceErrorGenFailure;
  }
}

// Gives `code` as the reason of the call's failure; false, for returning.
bool Refuse(uint32_t code) {
  SetDeviceError(code);
  return false;
}

// True when `path` (canonical) is the root or lies below it.
bool Within(const std::string& root, const char* path) {
  if (root == "/") return path[0] == '/';
  size_t n = root.size();
  return std::strncmp(path, root.c_str(), n) == 0 && (path[n] == 0 || path[n] == '/');
}

std::string JoinName(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

bool IsAscii(const char* text) {
  for (; *text != 0; ++text) {
    if (static_cast<unsigned char>(*text) >= 0x80) return false;
  }
  return true;
}

// The characters of valid UTF-8: its bytes that are no continuation bytes.
size_t Characters(const char* text) {
  size_t n = 0;
  for (; *text != 0; ++text) n += (static_cast<unsigned char>(*text) & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

bool AsciiEqualCaseless(const char* a, const char* b) {
  const auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; };
  for (; *a != 0 && fold(*a) == fold(*b); ++a, ++b) {
  }
  return *a == 0 && *b == 0;
}

// The device path of a folder of the root, as text for TellOnce.
std::string DeviceText(const std::string& root, const std::string& folder) {
  std::string text = folder.substr(std::min(folder.size(), root == "/" ? 0 : root.size()));
  std::replace(text.begin(), text.end(), '/', '\\');
  return text.empty() ? "\\" : text;
}

// Looks a device name up in a folder as the device does: the entry of that
// exact name when there is one, else the one whose name differs only in case.
// 1 with the name on disk in *found and the entry's lstat in *st; 0 when there
// is none; -1 when the folder cannot be searched, or when two names there
// differ from it only in case (a pair the device cannot hold: refused, naming
// both). The common case, the exact name, costs one lstat.
int LookUp(const std::string& root, const std::string& folder, const std::u16string& name,
           std::string* found, struct stat* st) {
  std::string utf8;
  if (!unicode::ToUtf8(name, &utf8)) return -1;
  if (lstat(JoinName(folder, utf8).c_str(), st) == 0) {
    *found = std::move(utf8);
    return 1;
  }
  if (errno != ENOENT) return -1;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return -1;
  // Two ASCII names are compared as they stand (their case pairs are A-Z and
  // a-z only): most names of a large folder cost no conversion.
  // Simple case folding maps one character to one: a name of another length
  // in characters is passed over before any conversion.
  const bool asciiName = IsAscii(utf8.c_str());
  const size_t characters = Characters(utf8.c_str());
  bool any = false;
  std::string twin;
  std::u16string candidate;
  while (struct dirent* de = readdir(dir)) {
    if (IsDotOrDotDot(de->d_name) || Characters(de->d_name) != characters) continue;
    if (asciiName && IsAscii(de->d_name)) {
      if (!AsciiEqualCaseless(de->d_name, utf8.c_str())) continue;
    } else if (!unicode::ToUtf16(de->d_name, &candidate) ||
               !unicode::EqualCaseless(candidate, name)) {
      continue;
    }
    if (!any) {
      *found = de->d_name;
    } else if (twin.empty() || std::strcmp(de->d_name, twin.c_str()) < 0) {
      twin = de->d_name;
    }
    any = true;
  }
  closedir(dir);
  if (!any) return 0;
  if (!twin.empty()) {
    if (std::strcmp(twin.c_str(), found->c_str()) < 0) std::swap(twin, *found);
    RefuseCasePair(DeviceText(root, folder), *found, twin);
    return -1;
  }
  if (lstat(JoinName(folder, *found).c_str(), st) == 0) return 1;
  return errno == ENOENT ? 0 : -1;
}

// Names a link that the device does not show (see Resolve).
void TellLink(const std::string& root, const std::string& folder, const std::string& name) {
  std::string text = DeviceText(root, folder);
  if (text != "\\") text += '\\';
  TellOnce(text + name + " is a link, which the device does not show");
}

// The path of the folder that the first `count` parts name, each looked up
// without regard to case; a link on the way is no folder of the device.
bool ResolveFolder(const std::string& root, const std::vector<std::u16string>& parts, size_t count,
                   std::string* folder) {
  *folder = root;
  std::string name;
  struct stat st;
  for (size_t i = 0; i < count; ++i) {
    if (LookUp(root, *folder, parts[i], &name, &st) != 1) return false;
    if (S_ISLNK(st.st_mode)) TellLink(root, *folder, name);
    if (!S_ISDIR(st.st_mode)) return false;
    *folder = JoinName(*folder, name);
  }
  return true;
}

// One device entry, resolved to a place inside the root.
struct Entry {
  std::string folder;  // path of the folder that holds it
  std::string name;    // its name on disk; the name asked for when it does not exist
  std::string asked;   // the name as the caller spelled it
  std::string path;    // the entry's own path
  bool exists = false;
  struct stat st;  // of the entry (valid when exists)
};

// Resolves a device path naming an entry below the root (not the root itself).
// The folder holding it must exist inside the root.
//
// A device has no links, and the emulated one shows none: a link in the
// root's tree, wherever it leads (out of the root, to another of its folders,
// nowhere), is not listed, and every call that takes a path refuses one that
// goes through a link (no such folder) or names one (access denied, as the
// name is taken), on Linux and on Windows alike. So nothing behind a link is
// ever read, overwritten, moved or deleted by way of it. A link met is named
// once on standard error (TellOnce), for the user who wonders where it went.
// Only the root itself may be reached through links.
bool Resolve(const DeviceChar* devicePath, Entry* entry) {
  std::vector<std::u16string> parts;
  if (!SplitDevicePath(devicePath, &parts)) return Refuse(kDeviceErrorInvalidName);
  if (parts.empty()) return Refuse(kDeviceErrorAccessDenied);  // the root itself
  std::string root = Root();
  if (root.empty() || !ResolveFolder(root, parts, parts.size() - 1, &entry->folder)) {
    return Refuse(kDeviceErrorPathNotFound);
  }
  if (!unicode::ToUtf8(parts.back(), &entry->asked)) return Refuse(kDeviceErrorInvalidName);
  struct stat st;
  int found = LookUp(root, entry->folder, parts.back(), &entry->name, &st);
  if (found < 0) return Refuse(ErrnoError(errno));
  if (found == 0) {
    entry->name = entry->asked;
    entry->path = JoinName(entry->folder, entry->name);
    entry->exists = false;
    return true;
  }
  if (S_ISLNK(st.st_mode)) {
    TellLink(root, entry->folder, entry->name);
    return Refuse(kDeviceErrorAccessDenied);
  }
  entry->path = JoinName(entry->folder, entry->name);
  entry->exists = true;
  entry->st = st;
  return true;
}

bool ReadOnly(const struct stat& st) { return (st.st_mode & S_IWUSR) == 0; }

// The lock that the PC-file layer takes for a share mode (local_files_posix.cpp):
// exclusive for share mode 0, shared for any other. Taken on every descriptor
// that a handle or a copy holds, before anything in the file changes, it keeps
// sharing between this library and the PC side as Windows keeps it: an open
// that cannot take its lock at once fails, as a sharing violation does.
bool TakeShareLock(int fd, uint32_t share) {
  int locked;
  do {
    locked = flock(fd, (share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  return locked == 0;
}

// ---- Handles ----------------------------------------------------------------

struct OpenFile {
  int fd = -1;  // -1: the slot is free
  uint32_t access = 0;
  uint32_t share = 0;
  dev_t dev = 0;
  ino_t ino = 0;
};

Mutex gFilesLock;
std::vector<OpenFile> gFiles;  // handle = index + 1

// Whether an open with `access` and `share` clashes with the handles open on the
// same file, as Windows decides it. Call with gFilesLock held.
bool SharingClash(dev_t dev, ino_t ino, uint32_t access, uint32_t share) {
  for (const OpenFile& f : gFiles) {
    if (f.fd < 0 || f.dev != dev || f.ino != ino) continue;
    if (WantsRead(access) && !(f.share & kShareRead)) return true;
    if (WantsWrite(access) && !(f.share & kShareWrite)) return true;
    if (WantsRead(f.access) && !(share & kShareRead)) return true;
    if (WantsWrite(f.access) && !(share & kShareWrite)) return true;
  }
  return false;
}

// Whether the file at `path` is held open so that it may not be deleted or
// renamed: by a handle of this library that does not share deletion, or, when
// no handle here has it open, by the PC side (whose lock, as TakeShareLock
// takes it, cannot tell whether deletion is shared; a Windows file held open
// seldom shares it).
bool HeldOpen(const std::string& path, dev_t dev, ino_t ino) {
  bool openHere = false;
  {
    ScopedLock lock(gFilesLock);
    for (const OpenFile& f : gFiles) {
      if (f.fd < 0 || f.dev != dev || f.ino != ino) continue;
      if (!(f.share & kShareDelete)) return true;
      openHere = true;
    }
  }
  if (openHere) return false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  const bool locked = !TakeShareLock(fd, 0);
  close(fd);
  return locked;
}

// Whether a handle of this library has a file below `folder` open: a folder
// that holds an open file is not moved. (Opens of other processes are not
// looked for: that would take a walk of the whole tree.)
bool HoldsOpenFile(const std::string& folder) {
  ScopedLock lock(gFilesLock);
  char link[64];
  char target[PATH_MAX];
  for (const OpenFile& f : gFiles) {
    if (f.fd < 0) continue;
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", f.fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = 0;
    if (Within(folder, target)) return true;
  }
  return false;
}

// Whether the handle table has room for one more. The first with gFilesLock held.
bool HandleFreeLocked() {
  if (gFiles.size() < kMaxOpenHandles) return true;
  for (const OpenFile& f : gFiles) {
    if (f.fd < 0) return true;
  }
  return false;
}

bool HandleFree() {
  ScopedLock lock(gFilesLock);
  return HandleFreeLocked();
}

DeviceHandle AddHandle(const OpenFile& file) {
  for (size_t i = 0; i < gFiles.size(); ++i) {
    if (gFiles[i].fd < 0) {
      gFiles[i] = file;
      return DeviceHandle(i + 1);
    }
  }
  if (gFiles.size() >= kMaxOpenHandles) return kInvalidDeviceHandle;
  gFiles.push_back(file);
  return DeviceHandle(gFiles.size());
}

int HandleFd(DeviceHandle handle) {
  ScopedLock lock(gFilesLock);
  if (handle <= 0 || size_t(handle) > gFiles.size()) return -1;
  return gFiles[size_t(handle) - 1].fd;
}

// ---- Listing ----------------------------------------------------------------

uint64_t FileTime(const struct timespec& t) {
  constexpr int64_t kEpochDelta = 11644473600;  // seconds from 1601 to 1970
  if (t.tv_sec < -kEpochDelta) return 0;
  return uint64_t(t.tv_sec + kEpochDelta) * 10000000u + uint64_t(t.tv_nsec) / 100u;
}

void PutTime(uint32_t field[2], const struct timespec& t) {
  uint64_t ft = FileTime(t);
  field[0] = uint32_t(ft);
  field[1] = uint32_t(ft >> 32);
}

// Listing arrays: one malloc'ed block of records. The folder is counted first
// (names only, which costs little beside the stat of each entry), so the block
// is allocated once at its final size and not moved while it fills; entries
// that appear meanwhile make it grow geometrically. First touches of fresh
// memory can cost more than the records' own work, so a large block asks for
// huge pages.

void AdviseHugePages(void* block, size_t bytes) {
  constexpr uintptr_t kPage = 4096;
  if (bytes < (size_t(4) << 20)) return;
  // Whole pages around the block: a large block is a mapping of its own, and
  // advising all of it keeps it one mapping, which realloc can still move.
  uintptr_t begin = uintptr_t(block) & ~(kPage - 1);
  uintptr_t end = (uintptr_t(block) + bytes + kPage - 1) & ~(kPage - 1);
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Resizes the array to `capacity` records; false (the array unchanged) when memory is short.
bool ResizeArray(DeviceFindRecord** array, size_t capacity) {
  size_t bytes = (capacity == 0 ? 1 : capacity) * sizeof(DeviceFindRecord);
  void* resized = std::realloc(*array, bytes);
  if (resized == nullptr) return false;
  AdviseHugePages(resized, bytes);
  *array = static_cast<DeviceFindRecord*>(resized);
  return true;
}

// An array for `capacity` records.
DeviceFindRecord* NewArray(size_t capacity) {
  size_t bytes = (capacity == 0 ? 1 : capacity) * sizeof(DeviceFindRecord);
  void* block = std::malloc(bytes);
  if (block != nullptr) AdviseHugePages(block, bytes);
  return static_cast<DeviceFindRecord*>(block);
}

}  // namespace

// ---- Environment, threads, events ---------------------------------------------

bool ReadEnvironment(const char* name, std::string* utf8) {
  const char* value = std::getenv(name);
  if (value == nullptr) return false;
  *utf8 = value;
  return true;
}

bool WriteFileNamedBy(const char* variable, const std::string& contents) {
  const char* path = std::getenv(variable);
  if (path == nullptr || path[0] == 0) return false;
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = true;
  for (size_t off = 0; ok && off < contents.size();) {
    ssize_t n = write(fd, contents.data() + off, contents.size() - off);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) off += size_t(n);
  }
  return close(fd) == 0 && ok;
}

bool SetDeviceRootFromEnvironment() {
  std::string value;
  std::string canonical;
  char buffer[PATH_MAX];
  struct stat st;
  if (ReadEnvironment("MERLO_DEVICE_ROOT", &value) && !value.empty() &&
      realpath(value.c_str(), buffer) != nullptr && stat(buffer, &st) == 0 && S_ISDIR(st.st_mode)) {
    canonical = buffer;
  }
  ScopedLock lock(gRootLock);
  gRoot = canonical;
  return !canonical.empty();
}

namespace {
struct ThreadStart {
  ThreadFunction function;
  void* argument;
};

void* ThreadMain(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.function(start.argument);
  return nullptr;
}
}  // namespace

bool StartThread(ThreadFunction function, void* argument, uintptr_t* thread) {
  ThreadStart* start = new ThreadStart{function, argument};
  pthread_t t;
  if (pthread_create(&t, nullptr, ThreadMain, start) != 0) {
    delete start;
    return false;
  }
  *thread = uintptr_t(t);
  return true;
}

void JoinThread(uintptr_t thread) { pthread_join(pthread_t(thread), nullptr); }

bool CreateCompletionEvent(int32_t* event) {
  int fd = eventfd(0, EFD_CLOEXEC);
  if (fd < 0) return false;
  *event = fd;
  return true;
}

void SignalCompletionEvent(int32_t event) {
  uint64_t one = 1;
  ssize_t written;
  do {
    written = write(event, &one, sizeof one);
  } while (written < 0 && errno == EINTR);
}

void CloseCompletionEvent(int32_t event) { close(event); }

int32_t MakeClosedEvent() {
  int fd = eventfd(0, EFD_CLOEXEC);
  if (fd >= 0) close(fd);
  return fd;
}

// ---- Files --------------------------------------------------------------------

namespace {

// The fields of a found entry that the flags ask for.
void FillRecord(DeviceFindRecord* r, const struct stat& st, uint32_t flags,
                const std::vector<std::u16string>& folderParts, size_t units) {
  bool isDir = S_ISDIR(st.st_mode);
  uint64_t size = isDir ? 0 : uint64_t(st.st_size);
  if (flags & kFindAttributes) {
    r->Attributes = isDir ? kAttrDirectory : kAttrArchive;
    if (ReadOnly(st)) r->Attributes |= kAttrReadOnly;
  }
  if (flags & kFindSizeHigh) r->SizeHigh = uint32_t(size >> 32);
  if (flags & kFindSizeLow) r->SizeLow = uint32_t(size);
  if (flags & kFindCreationTime) PutTime(r->CreationTime, st.st_ctim);
  if (flags & kFindLastAccessTime) PutTime(r->LastAccessTime, st.st_atim);
  if (flags & kFindLastWriteTime) PutTime(r->LastWriteTime, st.st_mtim);
  if (flags & kFindObjectId) r->ObjectId = ObjectIdOf(folderParts, r->Name, units);
}

}  // namespace

DeviceBool DevFindAllFiles(const DeviceChar* pattern, uint32_t flags, uint32_t* foundCount,
                           DeviceFindRecord** records) {
  std::vector<std::u16string> folderParts;
  std::u16string last;
  if (!SplitFindPattern(pattern, &folderParts, &last)) {
    SetDeviceError(kDeviceErrorInvalidName);
    return 0;
  }
  std::string root = Root();
  std::string folder;
  if (root.empty() || !ResolveFolder(root, folderParts, folderParts.size(), &folder)) {
    SetDeviceError(kDeviceErrorPathNotFound);
    return 0;
  }
  int dfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return 0;
  const bool everything = MatchesEverything(last);
  // One name spelt as it stands on disk is that entry alone: no need to read
  // the folder (another spelling is looked for without regard to case below).
  if (!everything && last.find_first_of(u"*?") == std::u16string::npos &&
      IsDeviceName(last.data(), last.size()) && last.size() < 260) {
    std::string utf8;
    struct stat st;
    if (unicode::ToUtf8(last, &utf8) && fstatat(dfd, utf8.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
      close(dfd);
      DeviceFindRecord* array = NewArray(1);
      if (array == nullptr) return 0;
      std::memset(array, 0, sizeof *array);
      std::copy(last.begin(), last.end(), array->Name);
      FillRecord(array, st, flags, folderParts, last.size());
      if (!(flags & kFindName)) std::memset(array->Name, 0, sizeof array->Name);
      *foundCount = 1;
      *records = array;
      return 1;
    }
  }
  DIR* dir = fdopendir(dfd);
  if (dir == nullptr) {
    close(dfd);
    return 0;
  }

  const bool needStat = (flags & 0x7Fu) != 0;
  CasePairs pairs;
  size_t capacity = 0, count = 0;
  errno = 0;
  while (struct dirent* de = readdir(dir)) {
    if (!IsDotOrDotDot(de->d_name)) ++capacity;
  }
  bool failed = errno != 0;
  rewinddir(dir);
  DeviceFindRecord* array = nullptr;
  if (!failed) {
    array = NewArray(capacity);
    failed = array == nullptr;
  }
  while (!failed) {
    errno = 0;
    struct dirent* de = readdir(dir);
    if (de == nullptr) {
      failed = errno != 0;
      break;
    }
    const char* name = de->d_name;
    if (IsDotOrDotDot(name)) continue;
    if (count == capacity) {  // entries that came after the count
      size_t grown = capacity < 32 ? 64 : capacity * 2;
      if (!ResizeArray(&array, grown)) {
        failed = true;
        break;
      }
      capacity = grown;
    }
    DeviceFindRecord* r = &array[count];
    std::memset(r, 0, sizeof *r);
    ptrdiff_t units =
        unicode::Utf8ToUtf16(name, std::strlen(name), r->Name, sizeof r->Name / sizeof r->Name[0]);
    // Names the device could not hold are not listed.
    if (units <= 0 || !IsDeviceName(r->Name, size_t(units))) continue;
    if (!everything && !MatchesName(last, r->Name, size_t(units))) continue;

    unsigned char type = de->d_type;
    struct stat st;
    if (type == DT_LNK) {
      TellLink(root, folder, name);  // not shown (Resolve)
      continue;
    }
    if (needStat || type == DT_UNKNOWN) {
      if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISLNK(st.st_mode)) TellLink(root, folder, name);
      if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
    } else if (type != DT_REG && type != DT_DIR) {
      continue;  // fifos, sockets, devices: nothing a device holds
    }
    pairs.Add(r->Name, size_t(units), count);
    if (needStat) FillRecord(r, st, flags, folderParts, size_t(units));
    ++count;
  }
  closedir(dir);
  size_t first = 0, second = 0;
  if (!failed && pairs.Find(array, &first, &second)) {
    RefuseCasePair(folderParts, array[first].Name, array[second].Name);
    failed = true;
  }
  if (failed) {
    std::free(array);
    return 0;
  }
  if (!(flags & kFindName)) {
    for (size_t i = 0; i < count; ++i) std::memset(array[i].Name, 0, sizeof array[i].Name);
  }
  // Names that did not match, or entries gone meanwhile: give back what is unused.
  if ((capacity - count) * sizeof(DeviceFindRecord) >= (size_t(64) << 10)) {
    ResizeArray(&array, count);
  }
  *foundCount = uint32_t(count);
  *records = array;
  return 1;
}

void DevFreeBuffer(void* buffer) { std::free(buffer); }

DeviceHandle DevCreateFile(const DeviceChar* path, uint32_t access, uint32_t share,
                           uint32_t disposition, uint32_t attributes) {
  if ((disposition < kCreateNew || disposition > kTruncateExisting) ||
      (disposition == kTruncateExisting && !WantsWrite(access))) {
    SetDeviceError(kDeviceErrorInvalidParameter);
    return kInvalidDeviceHandle;
  }
  const bool read = WantsRead(access), write = WantsWrite(access);
  Entry entry;
  if (!Resolve(path, &entry)) return kInvalidDeviceHandle;
  const bool creates =
      disposition == kCreateNew || disposition == kCreateAlways || disposition == kOpenAlways;
  if (entry.exists) {
    if (!S_ISREG(entry.st.st_mode) ||  // folders and the like
        (write && ReadOnly(entry.st)) || (disposition == kCreateAlways && ReadOnly(entry.st))) {
      SetDeviceError(kDeviceErrorAccessDenied);
      return kInvalidDeviceHandle;
    }
    if (disposition == kCreateNew) {
      SetDeviceError(kDeviceErrorFileExists);
      return kInvalidDeviceHandle;
    }
  } else if (!creates) {
    SetDeviceError(kDeviceErrorFileNotFound);
    return kInvalidDeviceHandle;
  }
  if (!HandleFree()) {  // before anything is created or truncated
    SetDeviceError(kDeviceErrorTooManyOpenFiles);
    return kInvalidDeviceHandle;
  }
  int oflags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  oflags |= (read && write) ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  if (!entry.exists) oflags |= O_CREAT | O_EXCL;
  mode_t mode = (attributes & kAttrReadOnly) ? 0444 : 0666;
  int fd = open(entry.path.c_str(), oflags, mode);
  if (fd < 0) return kInvalidDeviceHandle;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return kInvalidDeviceHandle;
  }
  if (!TakeShareLock(fd, share)) {
    SetDeviceError(kDeviceErrorSharingViolation);
    if (!entry.exists) unlink(entry.path.c_str());  // made by this call
    close(fd);
    return kInvalidDeviceHandle;
  }
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  OpenFile file;
  file.fd = fd;
  file.access = access;
  file.share = share;
  file.dev = st.st_dev;
  file.ino = st.st_ino;
  DeviceHandle handle = kInvalidDeviceHandle;
  {
    ScopedLock lock(gFilesLock);
    bool truncate =
        entry.exists && (disposition == kCreateAlways || disposition == kTruncateExisting);
    if (SharingClash(st.st_dev, st.st_ino, access, share)) {
      SetDeviceError(kDeviceErrorSharingViolation);
    } else if (!HandleFreeLocked()) {
      SetDeviceError(kDeviceErrorTooManyOpenFiles);
    } else if (!truncate || ftruncate(fd, 0) == 0) {
      handle = AddHandle(file);
    }
  }
  if (handle == kInvalidDeviceHandle) {
    if (!entry.exists) unlink(entry.path.c_str());  // made by this call
    close(fd);
  }
  return handle;
}

bool DevGetFileSize(DeviceHandle file, uint64_t* size) {
  int fd = HandleFd(file);
  struct stat st;
  if (fd < 0) return Refuse(kDeviceErrorInvalidHandle);
  if (fstat(fd, &st) != 0) return false;
  *size = uint64_t(st.st_size);
  return true;
}

bool DevReadFile(DeviceHandle file, void* buffer, uint32_t count, uint32_t* done) {
  *done = 0;
  int fd = HandleFd(file);
  if (fd < 0) return Refuse(kDeviceErrorInvalidHandle);
  char* p = static_cast<char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    ssize_t n = read(fd, p + total, count - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;  // end of file
    total += uint32_t(n);
  }
  *done = total;
  return true;
}

bool DevWriteFile(DeviceHandle file, const void* buffer, uint32_t count, uint32_t* done) {
  *done = 0;
  int fd = HandleFd(file);
  if (fd < 0) return Refuse(kDeviceErrorInvalidHandle);
  const char* p = static_cast<const char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    ssize_t n = write(fd, p + total, count - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      *done = total;
      return false;
    }
    total += uint32_t(n);
  }
  *done = total;
  return true;
}

bool DevCloseHandle(DeviceHandle file) {
  int fd;
  {
    ScopedLock lock(gFilesLock);
    if (file <= 0 || size_t(file) > gFiles.size() || gFiles[size_t(file) - 1].fd < 0) return false;
    fd = gFiles[size_t(file) - 1].fd;
    gFiles[size_t(file) - 1] = OpenFile();
  }
  close(fd);
  return true;
}

namespace {
// Copies up to `limit` bytes; false on an error.
bool CopyContents(int from, int to, uint64_t limit) {
  uint64_t copied = 0;
  // copy_file_range first; plain read/write where the file systems refuse it.
  while (copied < limit) {
    ssize_t n = copy_file_range(from, nullptr, to, nullptr,
                                size_t(std::min<uint64_t>(limit - copied, uint64_t(1) << 30)), 0);
    if (n > 0) {
      copied += uint64_t(n);
      continue;
    }
    if (n == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
    break;
  }
  std::vector<char> buffer(1 << 16);
  while (copied < limit) {
    ssize_t n =
        read(from, buffer.data(), size_t(std::min<uint64_t>(limit - copied, buffer.size())));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    for (ssize_t off = 0; off < n;) {
      ssize_t w = write(to, buffer.data() + off, size_t(n - off));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      off += w;
    }
    copied += uint64_t(n);
  }
  return true;
}

// A new file in `folder` for a copy to grow in; its path in *path.
int CreateCopyFile(const std::string& folder, std::string* path) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    *path = JoinName(
        folder, ".copy-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".tmp");
    int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

bool DevCopyFile(const DeviceChar* existing, const DeviceChar* target, bool failIfExists,
                 bool breakOff) {
  Entry src, dst;
  if (!Resolve(existing, &src)) return false;
  if (!src.exists) return Refuse(kDeviceErrorFileNotFound);
  if (!S_ISREG(src.st.st_mode)) return Refuse(kDeviceErrorAccessDenied);
  if (!Resolve(target, &dst)) return false;
  if (dst.exists) {
    if (failIfExists) return Refuse(kDeviceErrorFileExists);
    if (!S_ISREG(dst.st.st_mode) || ReadOnly(dst.st)) return Refuse(kDeviceErrorAccessDenied);
    if (dst.st.st_dev == src.st.st_dev && dst.st.st_ino == src.st.st_ino) {
      return Refuse(kDeviceErrorSharingViolation);
    }
  }
  int from = open(src.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (from < 0) return false;
  // The existing target is held, locked as a writer that shares nothing, until
  // the copy takes its place: no one else may have it open meanwhile.
  int old = -1;
  if (dst.exists) old = open(dst.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  struct stat fromSt, oldSt;
  bool ok = fstat(from, &fromSt) == 0 && S_ISREG(fromSt.st_mode) &&
            (!dst.exists || (old >= 0 && fstat(old, &oldSt) == 0 && S_ISREG(oldSt.st_mode) &&
                             !(oldSt.st_dev == fromSt.st_dev && oldSt.st_ino == fromSt.st_ino)));
  if (ok) {
    ScopedLock lock(gFilesLock);
    SetDeviceError(kDeviceErrorSharingViolation);  // the reason when a lock is refused
    ok = TakeShareLock(from, kShareRead) &&
         !SharingClash(fromSt.st_dev, fromSt.st_ino, kAccessRead, kShareRead) &&
         (!dst.exists ||
          (TakeShareLock(old, 0) && !SharingClash(oldSt.st_dev, oldSt.st_ino, kAccessWrite, 0)));
  }
  std::string copyPath;
  int to = ok ? CreateCopyFile(FolderOf(dst.path), &copyPath) : -1;
  ok = to >= 0;
  if (ok) {
    const uint64_t size = uint64_t(fromSt.st_size);
    ok = CopyContents(from, to, breakOff ? size / 2 : UINT64_MAX) &&
         (!breakOff || Refuse(kDeviceErrorDiskFull));
  }
  if (ok) {
    // As CopyFile: the last-write time and the read-only attribute travel along.
    struct timespec times[2] = {fromSt.st_atim, fromSt.st_mtim};
    futimens(to, times);
    if (ReadOnly(fromSt)) fchmod(to, 0444);
    ok = rename(copyPath.c_str(), dst.path.c_str()) == 0;
  }
  if (to >= 0) {
    close(to);
    if (!ok) unlink(copyPath.c_str());  // nothing half-copied stays; the old target is untouched
  }
  if (old >= 0) close(old);
  close(from);
  return ok;
}

bool DevMoveFile(const DeviceChar* existing, const DeviceChar* target) {
  Entry src, dst;
  if (!Resolve(existing, &src)) return false;
  if (!src.exists) return Refuse(kDeviceErrorFileNotFound);
  if (!Resolve(target, &dst)) return false;
  std::string to = dst.path;
  if (dst.exists) {
    // Only the entry itself under another spelling: a change of case.
    if (dst.folder != src.folder || dst.name != src.name || dst.asked == src.name) {
      return Refuse(kDeviceErrorAlreadyExists);
    }
    to = JoinName(dst.folder, dst.asked);
  }
  if (S_ISREG(src.st.st_mode) && HeldOpen(src.path, src.st.st_dev, src.st.st_ino)) {
    return Refuse(kDeviceErrorSharingViolation);
  }
  if (S_ISDIR(src.st.st_mode) && HoldsOpenFile(src.path)) {
    return Refuse(kDeviceErrorSharingViolation);
  }
  if (renameat2(AT_FDCWD, src.path.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE.
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) return Refuse(kDeviceErrorAlreadyExists);
  if (errno != ENOENT) return false;
  return rename(src.path.c_str(), to.c_str()) == 0;
}

bool DevDeleteFile(const DeviceChar* path) {
  Entry entry;
  if (!Resolve(path, &entry)) return false;
  if (!entry.exists) return Refuse(kDeviceErrorFileNotFound);
  if (!S_ISREG(entry.st.st_mode) || ReadOnly(entry.st)) return Refuse(kDeviceErrorAccessDenied);
  if (HeldOpen(entry.path, entry.st.st_dev, entry.st.st_ino)) {
    return Refuse(kDeviceErrorSharingViolation);
  }
  return unlink(entry.path.c_str()) == 0;
}

bool DevCreateDirectory(const DeviceChar* path) {
  Entry entry;
  if (!Resolve(path, &entry)) return false;
  if (entry.exists) return Refuse(kDeviceErrorAlreadyExists);
  return mkdir(entry.path.c_str(), 0777) == 0;
}

bool DevRemoveDirectory(const DeviceChar* path) {
  Entry entry;
  if (!Resolve(path, &entry)) return false;
  if (!entry.exists) return Refuse(kDeviceErrorFileNotFound);
  if (!S_ISDIR(entry.st.st_mode)) return Refuse(kDeviceErrorDirectory);
  if (rmdir(entry.path.c_str()) == 0) return true;
  return Refuse(errno == EEXIST ? kDeviceErrorDirNotEmpty : ErrnoError(errno));
}

namespace {
// The attributes the device shows for an entry, as its listing shows them:
// a folder, or a file with the archive bit; read-only from the owner's write
// bit. Hidden and system are not kept on Linux.
uint32_t AttributesOf(const struct stat& st) {
  uint32_t attributes = S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrArchive;
  if (ReadOnly(st)) attributes |= kAttrReadOnly;
  return attributes;
}
}  // namespace

bool DevGetFileAttributes(const DeviceChar* path, uint32_t* attributes) {
  std::vector<std::u16string> parts;
  if (SplitDevicePath(path, &parts) && parts.empty()) {
    if (Root().empty()) return Refuse(kDeviceErrorPathNotFound);
    *attributes = kAttrDirectory;
    return true;
  }
  Entry entry;
  if (!Resolve(path, &entry)) return false;
  if (!entry.exists) return Refuse(kDeviceErrorFileNotFound);
  *attributes = AttributesOf(entry.st);
  return true;
}

bool DevSetFileAttributes(const DeviceChar* path, uint32_t attributes) {
  Entry entry;
  if (!Resolve(path, &entry)) return false;
  if (!entry.exists) return Refuse(kDeviceErrorFileNotFound);
  // Read-only is the owner's write bit of a file; a folder's read-only bit does
  // not keep its contents from changing on the device, so a folder keeps its
  // mode. The other bits are taken and not kept.
  if (!S_ISREG(entry.st.st_mode)) return true;
  mode_t mode = entry.st.st_mode & 07777;
  mode = (attributes & kAttrReadOnly) ? (mode & ~mode_t(0222)) : (mode | S_IWUSR);
  return chmod(entry.path.c_str(), mode) == 0;
}

namespace {
struct timespec TimeSpecOf(const DeviceFileTime& t) {
  constexpr int64_t kEpochDelta = 11644473600;  // seconds from 1601 to 1970
  const uint64_t ticks = (uint64_t(t.High) << 32) | t.Low;
  struct timespec ts;
  ts.tv_sec = time_t(int64_t(ticks / 10000000u) - kEpochDelta);
  ts.tv_nsec = long(ticks % 10000000u) * 100;
  return ts;
}
}  // namespace

bool DevSetFileTime(DeviceHandle file, const DeviceFileTime* created,
                    const DeviceFileTime* accessed, const DeviceFileTime* written) {
  (void)created;  // Linux keeps no creation time that can be set
  int fd;
  uint32_t access;
  {
    ScopedLock lock(gFilesLock);
    if (file <= 0 || size_t(file) > gFiles.size() || gFiles[size_t(file) - 1].fd < 0) {
      return Refuse(kDeviceErrorInvalidHandle);
    }
    fd = gFiles[size_t(file) - 1].fd;
    access = gFiles[size_t(file) - 1].access;
  }
  if (!WantsWrite(access)) return Refuse(kDeviceErrorAccessDenied);
  struct timespec times[2];
  times[0] = accessed != nullptr ? TimeSpecOf(*accessed) : timespec{0, UTIME_OMIT};
  times[1] = written != nullptr ? TimeSpecOf(*written) : timespec{0, UTIME_OMIT};
  return futimens(fd, times) == 0;
}

bool DevGetVolumeSpace(const DeviceChar* folder, VolumeSpace* space) {
  std::vector<std::u16string> parts;
  if (!SplitDevicePath(folder, &parts)) return Refuse(kDeviceErrorInvalidName);
  std::string root = Root();
  std::string path;
  if (root.empty() || !ResolveFolder(root, parts, parts.size(), &path)) {
    return Refuse(kDeviceErrorPathNotFound);
  }
  struct statvfs vfs;
  if (statvfs(path.c_str(), &vfs) != 0) return false;
  space->freeToCaller = uint64_t(vfs.f_bavail) * vfs.f_frsize;
  space->total = uint64_t(vfs.f_blocks) * vfs.f_frsize;
  space->free = uint64_t(vfs.f_bfree) * vfs.f_frsize;
  return true;
}

void ClearPlatformError() { errno = 0; }

uint32_t PlatformError() { return ErrnoError(errno); }

}  // namespace emu
