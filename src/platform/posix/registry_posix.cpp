// The settings store on Linux: a text file in the registry's own export format
// (REGEDIT4), read afresh each time a key is opened.
//
//   REGEDIT4
//
//   ; a comment
//   [HKEY_CURRENT_USER\Software\Host\Plugins\MERLO]
//   "AddToDisksMenu"=dword:00000001
//   "DisksMenuDigit"="7"
//   "Blob"=hex:05,00,07       (a long line may go on in the next after a "\"
//                             at its end; the next line's leading blanks drop)
//   "Typed"=hex(4):0a,00,00,00
//   @="the key's default value"
//
// The file is $MERLO_REGISTRY_FILE, else $XDG_CONFIG_HOME/merlo/registry.reg,
// else ~/.config/merlo/registry.reg. Only HKEY_CURRENT_USER exists. Key paths
// and value names compare without regard to case. A section names a key and,
// implicitly, each key above it (importing the file on Windows creates them);
// "[-KEY]" removes a key and the keys below it, and "Name"=- removes a value,
// for what follows in the file. A file that is missing, unreadable or
// malformed anywhere means there is no key at all.
//
// An opened key is a small number into a fixed table; each slot holds the
// values of its key in fixed storage, and an open that does not fit fails.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/registry.h"
#include "unicode/unicode.h"

namespace {

constexpr int32_t kErrorSuccess = 0;
constexpr int32_t kErrorFileNotFound = 2;
constexpr int32_t kErrorInvalidHandle = 6;
constexpr int32_t kErrorNotEnoughMemory = 8;
constexpr int32_t kErrorInvalidParameter = 87;
constexpr int32_t kErrorMoreData = 234;

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

constexpr size_t kMaxOpenKeys = 8;
constexpr size_t kMaxValuesPerKey = 64;
constexpr size_t kValueStorage = 8192;  // names and data of one key's values
constexpr size_t kKeyPathCapacity = 1024;
constexpr size_t kLineCapacity = 16384;  // one logical line, continuations joined
constexpr size_t kFilePathCapacity = 4096;

constexpr char kRootName[] = "HKEY_CURRENT_USER";

struct Value {
  uint32_t Type;
  uint16_t NameOffset;
  uint16_t NameLength;
  uint16_t DataOffset;
  uint16_t DataLength;
  bool Live;
};

struct OpenKey {
  bool Used;
  char Path[kKeyPathCapacity];
  size_t ValueCount;
  Value Values[kMaxValuesPerKey];
  size_t StorageUsed;
  uint8_t Storage[kValueStorage];
};

OpenKey gKeys[kMaxOpenKeys];

// Working storage of the parser: the module has no threads.
char gLine[kLineCapacity];
uint8_t gData[kLineCapacity];
char gName[kLineCapacity];

// Key paths are UTF-8 text and compare by Unicode's simple case folding.
bool EqualNoCase(const char* a, size_t aLength, const char* b, size_t bLength) {
  return unicode::EqualCaseless(std::string_view(a, aLength), std::string_view(b, bLength));
}

// Drops trailing backslashes from a key path's length.
size_t TrimmedKeyLength(const char* path, size_t length) {
  while (length > 0 && path[length - 1] == '\\') --length;
  return length;
}

// True when `inner` is `outer` or a key below it.
bool IsSameOrBelow(const char* inner, size_t innerLength, const char* outer, size_t outerLength) {
  if (innerLength < outerLength) return false;
  if (!EqualNoCase(inner, outerLength, outer, outerLength)) return false;
  return innerLength == outerLength || inner[outerLength] == '\\';
}

bool ResolveFilePath(char* out, size_t capacity) {
  const char* file = std::getenv("MERLO_REGISTRY_FILE");
  if (file != nullptr && file[0] != '\0') {
    const int n = std::snprintf(out, capacity, "%s", file);
    return n > 0 && static_cast<size_t>(n) < capacity;
  }
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') {
    const int n = std::snprintf(out, capacity, "%s/merlo/registry.reg", config);
    return n > 0 && static_cast<size_t>(n) < capacity;
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    const passwd* entry = getpwuid(getuid());
    home = entry != nullptr ? entry->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] == '\0') return false;
  const int n = std::snprintf(out, capacity, "%s/.config/merlo/registry.reg", home);
  return n > 0 && static_cast<size_t>(n) < capacity;
}

// Physical lines of a file, read through a fixed buffer.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}

  // 1: a line (its "\n" and a "\r" before it dropped) is in `out`; 0: end of
  // file; -1: a read error, a NUL byte or a line longer than `capacity` - 1.
  int Next(char* out, size_t capacity, size_t* length) {
    size_t n = 0;
    bool any = false;
    for (;;) {
      if (position_ == filled_) {
        if (!Fill()) return -1;
        if (filled_ == 0) break;  // end of file
      }
      const char c = buffer_[position_++];
      any = true;
      if (c == '\n') break;
      if (c == '\0') return -1;  // not text: a UTF-16 export, say
      if (n + 1 >= capacity) return -1;
      out[n++] = c;
    }
    if (!any) return 0;
    if (n > 0 && out[n - 1] == '\r') --n;
    out[n] = '\0';
    *length = n;
    return 1;
  }

 private:
  bool Fill() {
    position_ = 0;
    filled_ = 0;
    for (;;) {
      const ssize_t got = read(fd_, buffer_, sizeof buffer_);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return false;
      filled_ = static_cast<size_t>(got);
      return true;
    }
  }

  int fd_;
  char buffer_[4096];
  size_t position_ = 0;
  size_t filled_ = 0;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

const char* SkipBlanks(const char* p) {
  while (IsBlank(*p)) ++p;
  return p;
}

// True when nothing but blanks and perhaps a comment is left.
bool AtLineEnd(const char* p) {
  p = SkipBlanks(p);
  return *p == '\0' || *p == ';';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWithNoCase(const char* text, const char* prefix, size_t prefixLength) {
  const size_t length = strnlen(text, prefixLength);
  return length == prefixLength && EqualNoCase(text, length, prefix, prefixLength);
}

// Reads a quoted text with the escapes \\ and \" from just after its opening
// quote; returns the position after the closing quote, or null when malformed.
const char* ParseQuoted(const char* p, char* out, size_t* length) {
  size_t n = 0;
  for (;;) {
    const char c = *p++;
    if (c == '\0') return nullptr;
    if (c == '"') break;
    if (c == '\\') {
      const char escaped = *p++;
      if (escaped != '\\' && escaped != '"') return nullptr;
      out[n++] = escaped;
    } else {
      out[n++] = c;
    }
  }
  out[n] = '\0';
  *length = n;
  return p;
}

enum class ValueLine { Malformed, Set, Remove };

// Parses a value line ("Name"=data or @=data) into gName/gData.
ValueLine ParseValueLine(const char* p, size_t* nameLength, uint32_t* type, size_t* dataLength) {
  if (*p == '@') {
    gName[0] = '\0';
    *nameLength = 0;
    ++p;
  } else {
    p = ParseQuoted(p + 1, gName, nameLength);
    if (p == nullptr) return ValueLine::Malformed;
  }
  p = SkipBlanks(p);
  if (*p != '=') return ValueLine::Malformed;
  p = SkipBlanks(p + 1);

  if (*p == '-') return AtLineEnd(p + 1) ? ValueLine::Remove : ValueLine::Malformed;

  if (*p == '"') {
    size_t n = 0;
    p = ParseQuoted(p + 1, reinterpret_cast<char*>(gData), &n);
    if (p == nullptr || !AtLineEnd(p)) return ValueLine::Malformed;
    *type = kRegSz;
    *dataLength = n + 1;  // the terminator is part of the value
    return ValueLine::Set;
  }

  if (StartsWithNoCase(p, "dword:", 6)) {
    p += 6;
    uint32_t value = 0;
    size_t digits = 0;
    for (int d; (d = HexDigit(*p)) >= 0; ++p, ++digits)
      value = (value << 4) | static_cast<uint32_t>(d);
    if (digits == 0 || digits > 8 || !AtLineEnd(p)) return ValueLine::Malformed;
    for (size_t i = 0; i < 4; ++i) gData[i] = static_cast<uint8_t>(value >> (8 * i));
    *type = kRegDword;
    *dataLength = 4;
    return ValueLine::Set;
  }

  if (!StartsWithNoCase(p, "hex", 3)) return ValueLine::Malformed;
  p += 3;
  if (*p == '(') {
    ++p;
    uint32_t value = 0;
    size_t digits = 0;
    for (int d; (d = HexDigit(*p)) >= 0; ++p, ++digits)
      value = (value << 4) | static_cast<uint32_t>(d);
    if (digits == 0 || digits > 8 || *p != ')') return ValueLine::Malformed;
    ++p;
    *type = value;
  } else {
    *type = kRegBinary;
  }
  if (*p != ':') return ValueLine::Malformed;
  p = SkipBlanks(p + 1);
  size_t n = 0;
  if (!AtLineEnd(p)) {
    for (;;) {
      const int high = HexDigit(p[0]);
      if (high < 0) return ValueLine::Malformed;
      const int low = HexDigit(p[1]);
      if (low >= 0) {
        gData[n++] = static_cast<uint8_t>(high << 4 | low);
        p += 2;
      } else {
        gData[n++] = static_cast<uint8_t>(high);
        p += 1;
      }
      p = SkipBlanks(p);
      if (*p != ',') break;
      p = SkipBlanks(p + 1);
    }
    if (!AtLineEnd(p)) return ValueLine::Malformed;
  }
  *dataLength = n;
  return ValueLine::Set;
}

// Reads one logical line into gLine: a line ending in "\" goes on in the next,
// whose leading blanks are dropped. Comment lines come back as they are.
// 1: a line; 0: end of file; -1: an error or a line too long.
int NextLogicalLine(LineReader& reader, size_t* length) {
  size_t n = 0;
  int got = reader.Next(gLine, sizeof gLine, &n);
  if (got <= 0) return got;
  if (SkipBlanks(gLine)[0] == ';') {
    *length = n;
    return 1;
  }
  for (;;) {
    size_t end = n;
    while (end > 0 && IsBlank(gLine[end - 1])) --end;
    if (end == 0 || gLine[end - 1] != '\\') break;
    n = end - 1;  // drop the "\"
    size_t more = 0;
    got = reader.Next(gLine + n, sizeof gLine - n, &more);
    if (got < 0) return -1;
    if (got == 0) break;
    const char* start = SkipBlanks(gLine + n);
    const size_t skipped = static_cast<size_t>(start - (gLine + n));
    std::memmove(gLine + n, start, more - skipped + 1);
    n += more - skipped;
  }
  gLine[n] = '\0';
  *length = n;
  return 1;
}

bool StoreValue(OpenKey& key, size_t nameLength, uint32_t type, size_t dataLength) {
  // A value set again replaces the one before.
  for (size_t i = 0; i < key.ValueCount; ++i) {
    Value& old = key.Values[i];
    if (old.Live && EqualNoCase(reinterpret_cast<const char*>(key.Storage + old.NameOffset),
                                old.NameLength, gName, nameLength))
      old.Live = false;
  }
  if (key.ValueCount == kMaxValuesPerKey) return false;
  if (nameLength + dataLength > kValueStorage - key.StorageUsed) return false;
  Value& value = key.Values[key.ValueCount++];
  value.Type = type;
  value.NameOffset = static_cast<uint16_t>(key.StorageUsed);
  value.NameLength = static_cast<uint16_t>(nameLength);
  std::memcpy(key.Storage + key.StorageUsed, gName, nameLength);
  key.StorageUsed += nameLength;
  value.DataOffset = static_cast<uint16_t>(key.StorageUsed);
  value.DataLength = static_cast<uint16_t>(dataLength);
  std::memcpy(key.Storage + key.StorageUsed, gData, dataLength);
  key.StorageUsed += dataLength;
  value.Live = true;
  return true;
}

void RemoveValue(OpenKey& key, size_t nameLength) {
  for (size_t i = 0; i < key.ValueCount; ++i) {
    Value& old = key.Values[i];
    if (old.Live && EqualNoCase(reinterpret_cast<const char*>(key.Storage + old.NameOffset),
                                old.NameLength, gName, nameLength))
      old.Live = false;
  }
}

// Reads the file and fills `key` (whose Path is set) with the values of its
// section. 0 when the key exists, else a registry error.
int32_t LoadKey(OpenKey& key) {
  char filePath[kFilePathCapacity];
  if (!ResolveFilePath(filePath, sizeof filePath)) return kErrorFileNotFound;
  int fd;
  do {
    fd = open(filePath, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return kErrorFileNotFound;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return kErrorFileNotFound;
  }

  const size_t targetLength = TrimmedKeyLength(key.Path, std::strlen(key.Path));
  LineReader reader(fd);
  key.ValueCount = 0;
  key.StorageUsed = 0;
  bool exists = false;
  bool inSection = false;  // a section has begun: values may follow
  bool inRemoval = false;  // the current section removes a key: its values count for nothing
  bool inTarget = false;   // the current section is the key itself
  bool first = true;
  int32_t result = kErrorSuccess;
  for (;;) {
    size_t length = 0;
    const int got = NextLogicalLine(reader, &length);
    if (got == 0) break;
    if (got < 0) {
      result = kErrorFileNotFound;
      break;
    }
    const char* p = gLine;
    if (first) {
      first = false;
      if (std::strncmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;  // a UTF-8 byte-order mark
      p = SkipBlanks(p);
      size_t end = std::strlen(p);
      while (end > 0 && IsBlank(p[end - 1])) --end;
      if (end != 8 || std::strncmp(p, "REGEDIT4", 8) != 0) {
        result = kErrorFileNotFound;
        break;
      }
      continue;
    }
    p = SkipBlanks(p);
    if (*p == '\0' || *p == ';') continue;
    if (*p == '[') {
      const char* closing = std::strrchr(p, ']');
      if (closing == nullptr || !AtLineEnd(closing + 1) || closing == p + 1) {
        result = kErrorFileNotFound;
        break;
      }
      const bool removal = p[1] == '-';
      const char* path = p + (removal ? 2 : 1);
      const size_t pathLength = TrimmedKeyLength(path, static_cast<size_t>(closing - path));
      if (pathLength == 0) {
        result = kErrorFileNotFound;
        break;
      }
      inSection = true;
      inRemoval = removal;
      inTarget = false;
      if (removal) {
        if (IsSameOrBelow(key.Path, targetLength, path, pathLength)) {
          exists = false;
          key.ValueCount = 0;
          key.StorageUsed = 0;
        }
      } else {
        inTarget = EqualNoCase(path, pathLength, key.Path, targetLength);
        if (IsSameOrBelow(path, pathLength, key.Path, targetLength)) exists = true;
      }
      continue;
    }
    if (*p != '"' && *p != '@') {
      result = kErrorFileNotFound;
      break;
    }
    size_t nameLength = 0;
    size_t dataLength = 0;
    uint32_t type = 0;
    const ValueLine parsed = ParseValueLine(p, &nameLength, &type, &dataLength);
    if (parsed == ValueLine::Malformed) {
      result = kErrorFileNotFound;
      break;
    }
    if (!inSection) {  // a value before any section
      result = kErrorFileNotFound;
      break;
    }
    if (inRemoval || !inTarget) continue;
    if (parsed == ValueLine::Remove) {
      RemoveValue(key, nameLength);
    } else if (!StoreValue(key, nameLength, type, dataLength)) {
      result = kErrorNotEnoughMemory;
      break;
    }
  }
  close(fd);
  if (first && result == kErrorSuccess) result = kErrorFileNotFound;  // an empty file
  if (result == kErrorSuccess && !exists) result = kErrorFileNotFound;
  return result;
}

OpenKey* FindKey(RegistryKey key) {
  if (key == 0 || key > kMaxOpenKeys) return nullptr;
  OpenKey& slot = gKeys[key - 1];
  return slot.Used ? &slot : nullptr;
}

bool IsPredefinedKey(RegistryKey key) { return key >= 0x80000000u && key <= 0x800000FFu; }

int32_t PosixRegOpenKeyExA(RegistryKey root, const char* subkey, uint32_t /*options*/,
                           uint32_t /*access*/, RegistryKey* result) {
  if (result == nullptr) return kErrorInvalidParameter;
  *result = 0;
  const char* base;
  if (root == kHkeyCurrentUser) {
    base = kRootName;
  } else if (const OpenKey* parent = FindKey(root)) {
    base = parent->Path;
  } else {
    return IsPredefinedKey(root) ? kErrorFileNotFound : kErrorInvalidHandle;
  }

  size_t slot = 0;
  while (slot < kMaxOpenKeys && gKeys[slot].Used) ++slot;
  if (slot == kMaxOpenKeys) return kErrorNotEnoughMemory;
  OpenKey& key = gKeys[slot];

  if (subkey == nullptr) subkey = "";
  const int n = std::snprintf(key.Path, sizeof key.Path, "%s%s%s", base,
                              subkey[0] != '\0' ? "\\" : "", subkey);
  if (n < 0 || static_cast<size_t>(n) >= sizeof key.Path) return kErrorFileNotFound;

  const int32_t loaded = LoadKey(key);
  if (loaded != kErrorSuccess) return loaded;
  key.Used = true;
  *result = static_cast<RegistryKey>(slot + 1);
  return kErrorSuccess;
}

int32_t PosixRegQueryValueExA(RegistryKey handle, const char* name, uint32_t* type, uint8_t* data,
                              uint32_t* size) {
  const OpenKey* key = FindKey(handle);
  if (key == nullptr) return kErrorInvalidHandle;
  if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
  if (name == nullptr) name = "";
  const size_t nameLength = std::strlen(name);
  const Value* found = nullptr;
  for (size_t i = 0; i < key->ValueCount; ++i) {
    const Value& value = key->Values[i];
    if (value.Live && EqualNoCase(reinterpret_cast<const char*>(key->Storage + value.NameOffset),
                                  value.NameLength, name, nameLength)) {
      found = &value;
      break;
    }
  }
  if (found == nullptr) return kErrorFileNotFound;
  if (type != nullptr) *type = found->Type;
  if (data != nullptr && found->DataLength > *size) {
    // As on Windows: the size needed comes back, the data buffer is untouched.
    *size = found->DataLength;
    return kErrorMoreData;
  }
  if (data != nullptr) std::memcpy(data, key->Storage + found->DataOffset, found->DataLength);
  if (size != nullptr) *size = found->DataLength;
  return kErrorSuccess;
}

int32_t PosixRegCloseKey(RegistryKey handle) {
  if (handle == kHkeyCurrentUser) return kErrorSuccess;  // a predefined key stays open
  OpenKey* key = FindKey(handle);
  if (key == nullptr) return kErrorInvalidHandle;
  key->Used = false;
  key->ValueCount = 0;
  key->StorageUsed = 0;
  return kErrorSuccess;
}

}  // namespace

Registry gRegistry = {PosixRegOpenKeyExA, PosixRegQueryValueExA, PosixRegCloseKey};
