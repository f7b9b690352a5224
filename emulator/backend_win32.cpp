// The emulated device on Windows: a folder of the local file system through the
// wide file calls, the completion event a manual-reset event.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "backend.h"
#include "device_path.h"
#include "lock.h"
#include "unicode/unicode.h"
#include "windows_include.h"

namespace emu {
namespace {

std::wstring Wide(const std::u16string& text) {
  return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

// ---- The root ---------------------------------------------------------------

// Where an existing file or folder is, links followed: its final path, and
// its name on its volume. Wine gives no final path longer than MAX_PATH; the
// name on the volume has no such limit, and stands in for it there, with the
// volume's serial number. That number is asked for only then: under Wine the
// answer comes from the mount manager in another process, a round trip per
// question.
struct Place {
  std::wstring final;  // empty when the system gives none
  std::wstring name;
  bool hasVolume = false;
  DWORD volume = 0;
};

Mutex gRootLock;
std::wstring gRoot;  // "\\?\C:\dir" form, no trailing backslash; empty: none
Place gRootPlace;

struct RootInfo {
  std::wstring path;
  Place place;
};

RootInfo Root() {
  ScopedLock lock(gRootLock);
  return RootInfo{gRoot, gRootPlace};
}

void TrimBackslashes(std::wstring* path) {
  while (path->size() > 1 && path->back() == L'\\') path->pop_back();
}

// The volume is asked for where `withVolume` says so or no final path is given.
bool PlaceOf(const std::wstring& path, Place* place, bool withVolume = false) {
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::vector<wchar_t> buffer(sizeof(FILE_NAME_INFO) / sizeof(wchar_t) + 32768);
  DWORD n = GetFinalPathNameByHandleW(h, buffer.data(), DWORD(buffer.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  place->final.assign(buffer.data(), n > 0 && n < buffer.size() ? n : 0);
  TrimBackslashes(&place->final);
  BY_HANDLE_FILE_INFORMATION information{};
  place->hasVolume = withVolume || place->final.empty();
  bool ok = (!place->hasVolume || GetFileInformationByHandle(h, &information)) &&
            GetFileInformationByHandleEx(h, FileNameInfo, buffer.data(),
                                         DWORD(buffer.size() * sizeof(wchar_t)));
  CloseHandle(h);
  if (!ok) return false;
  const FILE_NAME_INFO* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
  place->name.assign(info->FileName, info->FileNameLength / sizeof(wchar_t));
  TrimBackslashes(&place->name);
  place->volume = place->hasVolume ? information.dwVolumeSerialNumber : 0;
  return true;
}

bool SameTextNoCase(const wchar_t* a, const wchar_t* b, size_t n) {
  return CompareStringOrdinal(a, int(n), b, int(n), TRUE) == CSTR_EQUAL;
}

// True when `path` is `root` or lies below it.
bool PathWithin(const std::wstring& root, const std::wstring& path) {
  size_t n = root.size();
  if (n > 0 && root.back() == L'\\') --n;  // a volume's root: "\\"
  return path.size() >= n && SameTextNoCase(path.c_str(), root.c_str(), n) &&
         (path.size() == n || path[n] == L'\\');
}

// True when the existing `path`, links followed, is the root or lies below it.
bool FinalWithin(const RootInfo& root, const std::wstring& path) {
  Place place;
  if (!PlaceOf(path, &place)) return false;
  if (!place.final.empty() && !root.place.final.empty()) {
    return PathWithin(root.place.final, place.final);
  }
  Place rootPlace = root.place;
  if (!place.hasVolume && !PlaceOf(path, &place, true)) return false;
  if (!rootPlace.hasVolume && !PlaceOf(root.path, &rootPlace, true)) return false;
  return place.volume == rootPlace.volume && PathWithin(rootPlace.name, place.name);
}

std::wstring JoinName(const std::wstring& folder, const std::wstring& name) {
  std::wstring path = folder;
  if (path.empty() || path.back() != L'\\') path.push_back(L'\\');
  return path + name;
}

// The part of a path below the root, "\" first: "" for the root itself.
std::wstring BelowRoot(const RootInfo& root, const std::wstring& path) {
  std::wstring below = path.substr(std::min(path.size(), root.path.size()));
  if (!below.empty() && below[0] != L'\\') below.insert(below.begin(), L'\\');
  return below;
}

// A path of the root's tree as device path text, for TellOnce.
std::string DeviceText(const RootInfo& root, const std::wstring& path) {
  const std::wstring below = BelowRoot(root, path);
  std::string text;
  unicode::ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(below.data()), below.size()),
                  &text);
  return text.empty() ? "\\" : text;
}

// True when the existing `path` of the root's tree is where its own name
// says, no link on the way nor as itself: its final path is the root's and
// then its names as they stand on disk. (Windows marks its own links as
// reparse points; Wine shows a Unix link as the file or folder it leads to,
// which only its final path tells.)
bool IsOwnPlace(const RootInfo& root, const std::wstring& path) {
  const std::wstring below = BelowRoot(root, path);
  Place place;
  if (!PlaceOf(path, &place)) return false;
  if (!place.final.empty() && !root.place.final.empty()) {
    return place.final == root.place.final + below;
  }
  Place rootPlace = root.place;
  if (!place.hasVolume && !PlaceOf(path, &place, true)) return false;
  if (!rootPlace.hasVolume && !PlaceOf(root.path, &rootPlace, true)) return false;
  return place.volume == rootPlace.volume && place.name == rootPlace.name + below;
}

// Names, once, the first link on the way to `path` (see Resolve).
void TellLink(const RootInfo& root, const std::wstring& path) {
  std::wstring at = root.path;
  const std::wstring below = BelowRoot(root, path);
  for (size_t pos = 1; pos <= below.size(); ++pos) {
    if (pos < below.size() && below[pos] != L'\\') continue;
    at = root.path + below.substr(0, pos);
    if (!IsOwnPlace(root, at)) break;
  }
  TellOnce(DeviceText(root, at) + " is a link, which the device does not show");
}

std::u16string_view View(const wchar_t* text) {
  return std::u16string_view(reinterpret_cast<const char16_t*>(text), wcslen(text));
}

// Looks a device name up in a folder as the device does: the entry of that
// exact name when there is one, else the one whose name equals it but for case
// (Unicode simple case folding). The file system's own lookup finds the exact
// name in one call; any other name it finds (another case, a short name, a
// case rule of its own) does not count, and then the folder is searched. 1
// with the name on disk in *found and its attributes; 0 when there is none; -1
// on an error, or when two names there differ from it only in case (a pair
// the device cannot hold, where the file system tells case apart: refused,
// naming both).
int LookUp(const RootInfo& root, const std::wstring& folder, const std::u16string& name,
           std::wstring* found, DWORD* attributes) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileExW(JoinName(folder, Wide(name)).c_str(), FindExInfoBasic, &data,
                                 FindExSearchNameMatch, nullptr, 0);
  if (find != INVALID_HANDLE_VALUE) {
    FindClose(find);
    if (View(data.cFileName) == name) {
      *found = data.cFileName;
      *attributes = data.dwFileAttributes;
      return 1;
    }
  } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
    return -1;
  }
  find = FindFirstFileExW(JoinName(folder, L"*").c_str(), FindExInfoBasic, &data,
                          FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return -1;
  bool any = false, exact = false;
  std::wstring twin;
  do {
    std::u16string_view candidate = View(data.cFileName);
    if (!IsDeviceName(candidate.data(), candidate.size()) ||
        !unicode::EqualCaseless(candidate, name)) {
      continue;
    }
    const bool same = candidate == name;
    if (!any || (same && !exact)) {
      if (any) twin = *found;
      *found = data.cFileName;
      *attributes = data.dwFileAttributes;
      exact = same;
    } else if (twin.empty() || candidate < View(twin.c_str())) {
      twin = data.cFileName;
    }
    any = true;
  } while (FindNextFileW(find, &data));
  FindClose(find);
  if (any && !exact && !twin.empty()) {
    const std::wstring& a = View(found->c_str()) < View(twin.c_str()) ? *found : twin;
    const std::wstring& b = &a == found ? twin : *found;
    std::string first, second;
    unicode::ToUtf8(std::u16string(View(a.c_str())), &first);
    unicode::ToUtf8(std::u16string(View(b.c_str())), &second);
    RefuseCasePair(DeviceText(root, folder), first, second);
    return -1;
  }
  return any ? 1 : 0;
}

// The folder that the first `count` parts name, each looked up without regard
// to case; a link on the way is no folder of the device (see Resolve).
bool ResolveFolder(const RootInfo& root, const std::vector<std::u16string>& parts, size_t count,
                   std::wstring* folder) {
  *folder = root.path;
  std::wstring name;
  DWORD attributes = 0;
  for (size_t i = 0; i < count; ++i) {
    if (LookUp(root, *folder, parts[i], &name, &attributes) != 1) return false;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    *folder = JoinName(*folder, name);
  }
  if (count > 0 && !IsOwnPlace(root, *folder)) {
    TellLink(root, *folder);
    return false;
  }
  return count > 0 || FinalWithin(root, *folder);
}

struct Entry {
  std::wstring folder;  // the folder that holds it
  std::wstring name;    // its name on disk; the name asked for when it does not exist
  std::wstring asked;   // the name as the caller spelled it
  std::wstring path;
  bool exists = false;
  DWORD attributes = 0;
};

// Gives `code` as the reason of the call's failure; false, for returning.
bool Refuse(uint32_t code) {
  SetDeviceError(code);
  return false;
}

// Resolves a device path naming an entry below the root (not the root itself):
// the folder holding it must exist inside the root. Links are neither shown
// nor followed, as on Linux (the rule is written in backend_posix.cpp's
// Resolve): a path through one is no folder, a path to one is refused.
bool Resolve(const DeviceChar* devicePath, Entry* entry) {
  std::vector<std::u16string> parts;
  if (!SplitDevicePath(devicePath, &parts)) return Refuse(kDeviceErrorInvalidName);
  if (parts.empty()) return Refuse(kDeviceErrorAccessDenied);  // the root itself
  RootInfo root = Root();
  if (root.path.empty() || !ResolveFolder(root, parts, parts.size() - 1, &entry->folder)) {
    return Refuse(kDeviceErrorPathNotFound);
  }
  entry->asked = Wide(parts.back());
  int found = LookUp(root, entry->folder, parts.back(), &entry->name, &entry->attributes);
  if (found < 0) return false;
  if (found == 0) {
    entry->name = entry->asked;
    entry->path = JoinName(entry->folder, entry->name);
    entry->exists = false;
    return true;
  }
  entry->path = JoinName(entry->folder, entry->name);
  // Every existing entry, not only those marked as reparse points: Wine shows a
  // Unix link to a file as a plain file.
  if (!IsOwnPlace(root, entry->path)) {
    TellLink(root, entry->path);
    return Refuse(kDeviceErrorAccessDenied);
  }
  DWORD attributes = GetFileAttributesW(entry->path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  entry->attributes = attributes;
  entry->exists = true;
  return true;
}

// ---- Handles ----------------------------------------------------------------

Mutex gFilesLock;
std::vector<HANDLE> gFiles;  // handle = index + 1; INVALID_HANDLE_VALUE: free
// What each handle of gFiles was opened as: whether for writing, and where.
struct OpenInfo {
  bool writable = false;
  std::wstring path;
};
std::vector<OpenInfo> gFileInfo;

// Handles in use. Call with gFilesLock held.
size_t OpenHandles() {
  size_t n = 0;
  for (HANDLE h : gFiles) n += h != INVALID_HANDLE_VALUE ? 1 : 0;
  return n;
}

// Whether a handle of this library has a file below `folder` open: a folder
// that holds an open file is not moved, as the system refuses it (Wine does
// not). Opens of other processes are left to the system.
bool HoldsOpenFile(const std::wstring& folder) {
  ScopedLock lock(gFilesLock);
  for (size_t i = 0; i < gFiles.size(); ++i) {
    const std::wstring& path = gFileInfo[i].path;
    if (gFiles[i] != INVALID_HANDLE_VALUE && path.size() > folder.size() &&
        path[folder.size()] == L'\\' &&
        SameTextNoCase(path.c_str(), folder.c_str(), folder.size())) {
      return true;
    }
  }
  return false;
}

HANDLE HandleOf(DeviceHandle handle) {
  ScopedLock lock(gFilesLock);
  if (handle <= 0 || size_t(handle) > gFiles.size()) return INVALID_HANDLE_VALUE;
  return gFiles[size_t(handle) - 1];
}

void PutTime(uint32_t field[2], const FILETIME& t) {
  field[0] = t.dwLowDateTime;
  field[1] = t.dwHighDateTime;
}

DWORD WINAPI ThreadMain(LPVOID p);

struct ThreadStart {
  ThreadFunction function;
  void* argument;
};

DWORD WINAPI ThreadMain(LPVOID p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.function(start.argument);
  return 0;
}

HANDLE EventHandle(int32_t event) { return reinterpret_cast<HANDLE>(intptr_t(event)); }

}  // namespace

// ---- Environment, threads, events ---------------------------------------------

bool ReadEnvironment(const char* name, std::string* utf8) {
  std::wstring wideName;
  for (const char* p = name; *p; ++p) wideName.push_back(wchar_t(static_cast<unsigned char>(*p)));
  DWORD n = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (n == 0) return false;
  std::u16string value(n, u'\0');
  DWORD got = GetEnvironmentVariableW(wideName.c_str(), reinterpret_cast<wchar_t*>(&value[0]), n);
  if (got >= n) return false;
  value.resize(got);
  return unicode::ToUtf8(value, utf8);
}

bool WriteFileNamedBy(const char* variable, const std::string& contents) {
  std::wstring name;
  for (const char* p = variable; *p; ++p) name.push_back(wchar_t(static_cast<unsigned char>(*p)));
  DWORD n = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
  if (n <= 1) return false;
  std::wstring path(n, L'\0');
  DWORD got = GetEnvironmentVariableW(name.c_str(), &path[0], n);
  if (got == 0 || got >= n) return false;
  path.resize(got);
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(h, contents.data(), DWORD(contents.size()), &written, nullptr) &&
            written == contents.size();
  return CloseHandle(h) && ok;
}

bool SetDeviceRootFromEnvironment() {
  std::wstring root;
  Place place;
  DWORD n = GetEnvironmentVariableW(L"MERLO_DEVICE_ROOT", nullptr, 0);
  if (n > 1) {
    std::wstring value(n, L'\0');
    DWORD got = GetEnvironmentVariableW(L"MERLO_DEVICE_ROOT", &value[0], n);
    value.resize(got < n ? got : 0);
    wchar_t full[4096];
    DWORD len = value.empty() ? 0 : GetFullPathNameW(value.c_str(), 4096, full, nullptr);
    if (len > 0 && len < 4096) {
      root.assign(full, len);
      while (root.size() > 3 && root.back() == L'\\') root.pop_back();
      if (root.compare(0, 4, L"\\\\?\\") != 0) {
        if (root.compare(0, 2, L"\\\\") == 0) {
          root = L"\\\\?\\UNC\\" + root.substr(2);
        } else {
          root = L"\\\\?\\" + root;
        }
      }
      DWORD attributes = GetFileAttributesW(root.c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
          !PlaceOf(root, &place)) {
        root.clear();
        place = Place();
      }
    }
  }
  ScopedLock lock(gRootLock);
  gRoot = root;
  gRootPlace = place;
  return !root.empty();
}

bool StartThread(ThreadFunction function, void* argument, uintptr_t* thread) {
  ThreadStart* start = new ThreadStart{function, argument};
  HANDLE h = CreateThread(nullptr, 0, ThreadMain, start, 0, nullptr);
  if (h == nullptr) {
    delete start;
    return false;
  }
  *thread = reinterpret_cast<uintptr_t>(h);
  return true;
}

void JoinThread(uintptr_t thread) {
  HANDLE h = reinterpret_cast<HANDLE>(thread);
  WaitForSingleObject(h, INFINITE);
  CloseHandle(h);
}

bool CreateCompletionEvent(int32_t* event) {
  HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (h == nullptr) return false;
  *event = int32_t(reinterpret_cast<intptr_t>(h));
  return true;
}

void SignalCompletionEvent(int32_t event) { SetEvent(EventHandle(event)); }

void CloseCompletionEvent(int32_t event) { CloseHandle(EventHandle(event)); }

int32_t MakeClosedEvent() {
  HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (h == nullptr) return 0;
  CloseHandle(h);
  return int32_t(reinterpret_cast<intptr_t>(h));
}

// ---- Files --------------------------------------------------------------------

DeviceBool DevFindAllFiles(const DeviceChar* pattern, uint32_t flags, uint32_t* foundCount,
                           DeviceFindRecord** records) {
  std::vector<std::u16string> folderParts;
  std::u16string last;
  if (!SplitFindPattern(pattern, &folderParts, &last)) {
    SetDeviceError(kDeviceErrorInvalidName);
    return 0;
  }
  RootInfo root = Root();
  std::wstring folder;
  if (root.path.empty() || !ResolveFolder(root, folderParts, folderParts.size(), &folder)) {
    SetDeviceError(kDeviceErrorPathNotFound);
    return 0;
  }
  std::wstring search = folder;
  if (search.back() != L'\\') search.push_back(L'\\');
  const size_t folderLength = search.size();
  search.push_back(L'*');
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileExW(search.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                 nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return 0;
  }

  const bool everything = MatchesEverything(last);
  // Wine shows a Unix link to a file as a plain file: there every entry is
  // checked (a file and a link to a file can be told apart only by where they lead).
  static const bool checkEveryEntry =
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  size_t capacity = 64, count = 0;
  CasePairs pairs;
  DeviceFindRecord* array =
      static_cast<DeviceFindRecord*>(std::malloc(capacity * sizeof(DeviceFindRecord)));
  bool failed = array == nullptr;
  bool more = find != INVALID_HANDLE_VALUE;
  for (; more && !failed; more = FindNextFileW(find, &data) != 0) {
    const wchar_t* name = data.cFileName;
    size_t length = wcslen(name);
    if (length == 0 || length > kMaxNameUnits) continue;
    const char16_t* name16 = reinterpret_cast<const char16_t*>(name);
    if (!IsDeviceName(name16, length)) continue;  // also "." and ".."
    if (!everything && !MatchesName(last, name16, length)) continue;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || checkEveryEntry) {
      search.resize(folderLength);
      search.append(name, length);
      if (!IsOwnPlace(root, search)) {
        TellLink(root, search);  // not shown (Resolve)
        continue;
      }
    }
    if (count == capacity) {
      void* grown = std::realloc(array, capacity * 2 * sizeof(DeviceFindRecord));
      if (grown == nullptr) {
        failed = true;
        break;
      }
      array = static_cast<DeviceFindRecord*>(grown);
      capacity *= 2;
    }
    DeviceFindRecord* r = &array[count++];
    std::memset(r, 0, sizeof *r);
    bool isDir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (flags & kFindAttributes) {
      r->Attributes = isDir ? kAttrDirectory : kAttrArchive;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) r->Attributes |= kAttrReadOnly;
    }
    if (flags & kFindSizeHigh) r->SizeHigh = isDir ? 0 : data.nFileSizeHigh;
    if (flags & kFindSizeLow) r->SizeLow = isDir ? 0 : data.nFileSizeLow;
    if (flags & kFindCreationTime) PutTime(r->CreationTime, data.ftCreationTime);
    if (flags & kFindLastAccessTime) PutTime(r->LastAccessTime, data.ftLastAccessTime);
    if (flags & kFindLastWriteTime) PutTime(r->LastWriteTime, data.ftLastWriteTime);
    if (flags & kFindObjectId) r->ObjectId = ObjectIdOf(folderParts, name16, length);
    std::memcpy(r->Name, name, length * sizeof(wchar_t));
    pairs.Add(name16, length, count - 1);
  }
  if (!failed && find != INVALID_HANDLE_VALUE && GetLastError() != ERROR_NO_MORE_FILES) {
    failed = true;
  }
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
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
  *foundCount = uint32_t(count);
  *records = array;
  return 1;
}

void DevFreeBuffer(void* buffer) { std::free(buffer); }

DeviceHandle DevCreateFile(const DeviceChar* path, uint32_t access, uint32_t share,
                           uint32_t disposition, uint32_t attributes) {
  if (disposition < kCreateNew || disposition > kTruncateExisting) {
    SetDeviceError(kDeviceErrorInvalidParameter);
    return kInvalidDeviceHandle;
  }
  Entry entry;
  if (!Resolve(path, &entry)) return kInvalidDeviceHandle;
  if (entry.exists && (entry.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetDeviceError(kDeviceErrorAccessDenied);
    return kInvalidDeviceHandle;
  }
  const DWORD kAttributeBits = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                               FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                               FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY;
  // The entry is found by the device's own rule (Resolve): an existing one is
  // opened by its name on disk, which stays as it is; a new one must be new.
  DWORD how = disposition;
  if (entry.exists) {
    if (disposition == kCreateNew) {
      SetDeviceError(kDeviceErrorFileExists);
      return kInvalidDeviceHandle;
    }
    // A read-only file is not written, whoever asks (the file system may let
    // a privileged user through).
    if ((entry.attributes & FILE_ATTRIBUTE_READONLY) &&
        (WantsWrite(access) || disposition == kCreateAlways || disposition == kTruncateExisting)) {
      SetDeviceError(kDeviceErrorAccessDenied);
      return kInvalidDeviceHandle;
    }
    if (disposition == kOpenAlways) how = OPEN_EXISTING;
  } else {
    if (disposition == kOpenExisting || disposition == kTruncateExisting) {
      SetDeviceError(kDeviceErrorFileNotFound);
      return kInvalidDeviceHandle;
    }
    how = CREATE_NEW;
  }
  DWORD desired = 0;
  if (WantsRead(access)) desired |= GENERIC_READ;
  if (WantsWrite(access)) desired |= GENERIC_WRITE;
  {
    ScopedLock lock(gFilesLock);
    if (OpenHandles() >= kMaxOpenHandles) {
      SetDeviceError(kDeviceErrorTooManyOpenFiles);
      return kInvalidDeviceHandle;
    }
  }
  HANDLE h = CreateFileW(entry.path.c_str(), desired,
                         share & (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE), nullptr,
                         how, attributes & kAttributeBits, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidDeviceHandle;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return kInvalidDeviceHandle;
  }
  ScopedLock lock(gFilesLock);
  for (size_t i = 0; i < gFiles.size(); ++i) {
    if (gFiles[i] == INVALID_HANDLE_VALUE) {
      gFiles[i] = h;
      gFileInfo[i] = OpenInfo{WantsWrite(access), entry.path};
      return DeviceHandle(i + 1);
    }
  }
  if (gFiles.size() >= kMaxOpenHandles) {  // filled meanwhile by another thread
    CloseHandle(h);
    return kInvalidDeviceHandle;
  }
  gFiles.push_back(h);
  gFileInfo.push_back(OpenInfo{WantsWrite(access), entry.path});
  return DeviceHandle(gFiles.size());
}

bool DevGetFileSize(DeviceHandle file, uint64_t* size) {
  HANDLE h = HandleOf(file);
  LARGE_INTEGER value;
  if (h == INVALID_HANDLE_VALUE) return Refuse(kDeviceErrorInvalidHandle);
  if (!GetFileSizeEx(h, &value)) return false;
  *size = uint64_t(value.QuadPart);
  return true;
}

bool DevReadFile(DeviceHandle file, void* buffer, uint32_t count, uint32_t* done) {
  *done = 0;
  HANDLE h = HandleOf(file);
  if (h == INVALID_HANDLE_VALUE) return Refuse(kDeviceErrorInvalidHandle);
  // As many bytes as asked, fewer only at the end of the file.
  char* p = static_cast<char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    DWORD moved = 0;
    if (!ReadFile(h, p + total, count - total, &moved, nullptr)) return false;
    if (moved == 0) break;
    total += moved;
  }
  *done = total;
  return true;
}

bool DevWriteFile(DeviceHandle file, const void* buffer, uint32_t count, uint32_t* done) {
  *done = 0;
  HANDLE h = HandleOf(file);
  if (h == INVALID_HANDLE_VALUE) return Refuse(kDeviceErrorInvalidHandle);
  const char* p = static_cast<const char*>(buffer);
  uint32_t total = 0;
  bool ok = true;
  while (ok && total < count) {
    DWORD moved = 0;
    ok = WriteFile(h, p + total, count - total, &moved, nullptr) != 0 && moved > 0;
    total += moved;
  }
  *done = total;
  return ok;
}

bool DevCloseHandle(DeviceHandle file) {
  HANDLE h;
  {
    ScopedLock lock(gFilesLock);
    if (file <= 0 || size_t(file) > gFiles.size()) return false;
    h = gFiles[size_t(file) - 1];
    if (h == INVALID_HANDLE_VALUE) return false;
    gFiles[size_t(file) - 1] = INVALID_HANDLE_VALUE;
    gFileInfo[size_t(file) - 1] = OpenInfo();
  }
  CloseHandle(h);
  return true;
}

namespace {
// Whether two open files are one: by their final paths, each spelt as the
// file system holds it, where the system gives both; else by volume and file
// index (see Place for why the volume is asked for only then).
bool SameFile(HANDLE a, HANDLE b) {
  std::wstring x(MAX_PATH + 1, L'\0'), y(MAX_PATH + 1, L'\0');
  const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  DWORD n = GetFinalPathNameByHandleW(a, &x[0], DWORD(x.size()), flags);
  DWORD m = GetFinalPathNameByHandleW(b, &y[0], DWORD(y.size()), flags);
  if (n > 0 && n < x.size() && m > 0 && m < y.size()) {
    return x.compare(0, n, y, 0, m) == 0;
  }
  BY_HANDLE_FILE_INFORMATION i, j;
  return GetFileInformationByHandle(a, &i) && GetFileInformationByHandle(b, &j) &&
         i.dwVolumeSerialNumber == j.dwVolumeSerialNumber && i.nFileIndexHigh == j.nFileIndexHigh &&
         i.nFileIndexLow == j.nFileIndexLow;
}

// A new file in `folder` for a copy to grow in; its path in *path.
HANDLE CreateCopyFile(const std::wstring& folder, std::wstring* path) {
  static volatile LONG counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    *path = JoinName(folder, L".copy-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(InterlockedIncrement(&counter)) + L".tmp");
    HANDLE h = CreateFileW(path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
  }
  return INVALID_HANDLE_VALUE;
}

// Copies up to `limit` bytes; false on an error.
bool CopyContents(HANDLE from, HANDLE to, uint64_t limit) {
  std::vector<char> buffer(1 << 16);
  uint64_t copied = 0;
  while (copied < limit) {
    DWORD want = DWORD(limit - copied < buffer.size() ? limit - copied : buffer.size());
    DWORD got = 0;
    if (!ReadFile(from, buffer.data(), want, &got, nullptr)) return false;
    if (got == 0) return true;
    for (DWORD off = 0; off < got;) {
      DWORD wrote = 0;
      if (!WriteFile(to, buffer.data() + off, got - off, &wrote, nullptr) || wrote == 0) {
        return false;
      }
      off += wrote;
    }
    copied += got;
  }
  return true;
}
}  // namespace

bool DevCopyFile(const DeviceChar* existing, const DeviceChar* target, bool failIfExists,
                 bool breakOff) {
  Entry src, dst;
  if (!Resolve(existing, &src)) return false;
  if (!src.exists) return Refuse(kDeviceErrorFileNotFound);
  if (src.attributes & FILE_ATTRIBUTE_DIRECTORY) return Refuse(kDeviceErrorAccessDenied);
  if (!Resolve(target, &dst)) return false;
  if (dst.exists && failIfExists) return Refuse(kDeviceErrorFileExists);
  if (dst.exists && (dst.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))) {
    return Refuse(kDeviceErrorAccessDenied);
  }
  const std::wstring& targetPath = dst.path;
  const std::wstring& targetFolder = dst.folder;
  HANDLE from = CreateFileW(src.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (from == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  if (dst.exists) {
    // The existing target must not be open anywhere else: it is about to be
    // replaced, as a writer that shares nothing would find it.
    HANDLE old =
        CreateFileW(targetPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ok = old != INVALID_HANDLE_VALUE && (!SameFile(from, old) || Refuse(kDeviceErrorAccessDenied));
    if (old != INVALID_HANDLE_VALUE) CloseHandle(old);
  }
  std::wstring copyPath;
  HANDLE to = ok ? CreateCopyFile(targetFolder, &copyPath) : INVALID_HANDLE_VALUE;
  ok = to != INVALID_HANDLE_VALUE;
  LARGE_INTEGER size{};
  FILETIME accessed{}, written{};
  if (ok) {
    ok = GetFileSizeEx(from, &size) && GetFileTime(from, nullptr, &accessed, &written) &&
         CopyContents(from, to, breakOff ? uint64_t(size.QuadPart) / 2 : UINT64_MAX) &&
         (!breakOff || Refuse(kDeviceErrorDiskFull));
  }
  // As CopyFile: the times and the read-only attribute travel along (the
  // last-access time too, as on Linux, where it goes with the last-write time).
  if (ok) ok = SetFileTime(to, nullptr, &accessed, &written) != 0;
  if (to != INVALID_HANDLE_VALUE) CloseHandle(to);
  CloseHandle(from);
  if (ok) {
    ok = MoveFileExW(copyPath.c_str(), targetPath.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    if (ok && (src.attributes & FILE_ATTRIBUTE_READONLY)) {
      SetFileAttributesW(targetPath.c_str(), FILE_ATTRIBUTE_READONLY);
    }
  }
  // Nothing half-copied stays; the old target is untouched.
  if (!ok && to != INVALID_HANDLE_VALUE) DeleteFileW(copyPath.c_str());
  return ok;
}

bool DevMoveFile(const DeviceChar* existing, const DeviceChar* target) {
  Entry src, dst;
  if (!Resolve(existing, &src)) return false;
  if (!src.exists) return Refuse(kDeviceErrorFileNotFound);
  if (!Resolve(target, &dst)) return false;
  std::wstring to = dst.path;
  if (dst.exists) {
    // Only the entry itself under another spelling: a change of case.
    if (dst.path != src.path || dst.asked == src.name) return Refuse(kDeviceErrorAlreadyExists);
    // By way of a name of its own: some file systems take a move onto the
    // same entry under another case for a move onto itself, and change nothing.
    static volatile LONG counter = 0;
    const std::wstring step =
        JoinName(dst.folder, L".rename-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(InterlockedIncrement(&counter)) + L".tmp");
    if (!MoveFileW(src.path.c_str(), step.c_str())) return false;
    if (MoveFileW(step.c_str(), JoinName(dst.folder, dst.asked).c_str())) return true;
    MoveFileW(step.c_str(), src.path.c_str());
    return false;
  }
  if ((src.attributes & FILE_ATTRIBUTE_DIRECTORY) && HoldsOpenFile(src.path)) {
    return Refuse(kDeviceErrorSharingViolation);
  }
  return MoveFileW(src.path.c_str(), to.c_str()) != 0;
}

bool DevDeleteFile(const DeviceChar* path) {
  Entry entry;
  if (!Resolve(path, &entry)) return false;
  if (!entry.exists) return Refuse(kDeviceErrorFileNotFound);
  if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) return Refuse(kDeviceErrorAccessDenied);
  // The system refuses a file open without shared deletion, in any process.
  return DeleteFileW(entry.path.c_str()) != 0;
}

bool DevCreateDirectory(const DeviceChar* path) {
  Entry entry;
  if (!Resolve(path, &entry)) return false;
  if (entry.exists) return Refuse(kDeviceErrorAlreadyExists);
  return CreateDirectoryW(entry.path.c_str(), nullptr) != 0;
}

bool DevRemoveDirectory(const DeviceChar* path) {
  Entry entry;
  if (!Resolve(path, &entry)) return false;
  if (!entry.exists) return Refuse(kDeviceErrorFileNotFound);
  if (!(entry.attributes & FILE_ATTRIBUTE_DIRECTORY)) return Refuse(kDeviceErrorDirectory);
  return RemoveDirectoryW(entry.path.c_str()) != 0;
}

namespace {
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
                                  FILE_ATTRIBUTE_ARCHIVE;
}  // namespace

bool DevGetFileAttributes(const DeviceChar* path, uint32_t* attributes) {
  std::vector<std::u16string> parts;
  if (SplitDevicePath(path, &parts) && parts.empty()) {
    if (Root().path.empty()) return Refuse(kDeviceErrorPathNotFound);
    *attributes = kAttrDirectory;
    return true;
  }
  Entry entry;
  if (!Resolve(path, &entry)) return false;
  if (!entry.exists) return Refuse(kDeviceErrorFileNotFound);
  // What the device knows of; a file with none of them is a normal one.
  *attributes = entry.attributes & kKeptAttributes;
  if (*attributes == 0) *attributes = FILE_ATTRIBUTE_NORMAL;
  return true;
}

bool DevSetFileAttributes(const DeviceChar* path, uint32_t attributes) {
  Entry entry;
  if (!Resolve(path, &entry)) return false;
  if (!entry.exists) return Refuse(kDeviceErrorFileNotFound);
  DWORD kept = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                             FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  return SetFileAttributesW(entry.path.c_str(), kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL) != 0;
}

bool DevSetFileTime(DeviceHandle file, const DeviceFileTime* created,
                    const DeviceFileTime* accessed, const DeviceFileTime* written) {
  HANDLE h = INVALID_HANDLE_VALUE;
  bool writable = false;
  {
    ScopedLock lock(gFilesLock);
    if (file > 0 && size_t(file) <= gFiles.size()) {
      h = gFiles[size_t(file) - 1];
      writable = gFileInfo[size_t(file) - 1].writable;
    }
  }
  if (h == INVALID_HANDLE_VALUE) return Refuse(kDeviceErrorInvalidHandle);
  // A handle opened for writing, as the device asks (Wine lets any through).
  if (!writable) return Refuse(kDeviceErrorAccessDenied);
  FILETIME times[3];
  const DeviceFileTime* given[3] = {created, accessed, written};
  for (int i = 0; i < 3; ++i) {
    if (given[i] != nullptr) times[i] = FILETIME{given[i]->Low, given[i]->High};
  }
  return SetFileTime(h, created != nullptr ? &times[0] : nullptr,
                     accessed != nullptr ? &times[1] : nullptr,
                     written != nullptr ? &times[2] : nullptr) != 0;
}

bool DevGetVolumeSpace(const DeviceChar* folder, VolumeSpace* space) {
  std::vector<std::u16string> parts;
  if (!SplitDevicePath(folder, &parts)) return Refuse(kDeviceErrorInvalidName);
  RootInfo root = Root();
  std::wstring path;
  if (root.path.empty() || !ResolveFolder(root, parts, parts.size(), &path)) {
    return Refuse(kDeviceErrorPathNotFound);
  }
  ULARGE_INTEGER freeToCaller, total, free;
  if (!GetDiskFreeSpaceExW((path + L"\\").c_str(), &freeToCaller, &total, &free)) return false;
  space->freeToCaller = freeToCaller.QuadPart;
  space->total = total.QuadPart;
  space->free = free.QuadPart;
  return true;
}

void ClearPlatformError() { SetLastError(0); }

uint32_t PlatformError() { return GetLastError(); }

}  // namespace emu
