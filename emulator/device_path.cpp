#include "device_path.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "backend.h"
#include "lock.h"
#include "unicode/unicode.h"

namespace emu {
namespace {

bool IsRefusedUnit(char16_t c) {
  if (c < 0x20) return true;
  switch (c) {
    case u'\\':
    case u'/':
    case u':':
    case u'*':
    case u'?':
    case u'"':
    case u'<':
    case u'>':
    case u'|':
      return true;
    default:
      return false;
  }
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Checks one name; `wildcards` lets "*" and "?" through (the last part of a pattern).
bool IsName(const char16_t* name, size_t length, bool wildcards) {
  if (length == 0 || length > kMaxNameUnits) return false;
  if (name[0] == u'.' && (length == 1 || (length == 2 && name[1] == u'.'))) return false;
  for (size_t i = 0; i < length; ++i) {
    char16_t c = name[i];
    if (IsRefusedUnit(c) && !(wildcards && (c == u'*' || c == u'?'))) return false;
    if (IsHighSurrogate(c)) {
      if (i + 1 >= length || !IsLowSurrogate(name[i + 1])) return false;
      ++i;
    } else if (IsLowSurrogate(c)) {
      return false;
    }
  }
  return true;
}

bool Split(const DeviceChar* path, bool lastMayHoldWildcards, std::vector<std::u16string>* parts) {
  parts->clear();
  if (path == nullptr) return false;
  size_t length = 0;
  while (path[length] != 0) {
    if (++length > kMaxPathUnits) return false;
  }
  size_t pos = (length > 0 && path[0] == u'\\') ? 1 : 0;
  if (pos == length) return true;  // the root
  while (true) {
    size_t end = pos;
    while (end < length && path[end] != u'\\') ++end;
    bool last = end == length;
    if (!IsName(path + pos, end - pos, last && lastMayHoldWildcards)) return false;
    parts->emplace_back(path + pos, end - pos);
    if (last) return true;
    pos = end + 1;  // a trailing "\" leaves an empty last part, refused above
  }
}

// FNV-1a over the folded characters of a text.
uint32_t HashFolded(uint32_t hash, const char16_t* text, size_t length) {
  for (size_t i = 0; i < length;) {
    char32_t code = 0;
    i += unicode::DecodeUtf16(text + i, length - i, &code);
    hash = (hash ^ uint32_t(unicode::FoldCase(code))) * 16777619u;
  }
  return hash;
}

// FNV-1a, 64 bits, over the folded characters of a name: ASCII folded on the
// spot, the rest by Unicode simple case folding.
uint64_t HashFolded64(const char16_t* text, size_t length) {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < length;) {
    char32_t code = text[i];
    if (code < 0x80) {
      if (code >= u'A' && code <= u'Z') code += 32;
      ++i;
    } else {
      i += unicode::DecodeUtf16(text + i, length - i, &code);
      code = unicode::FoldCase(code);
    }
    hash = (hash ^ uint64_t(code)) * 1099511628211ull;
  }
  return hash;
}

}  // namespace

bool SplitDevicePath(const DeviceChar* path, std::vector<std::u16string>* parts) {
  return Split(path, false, parts);
}

bool SplitFindPattern(const DeviceChar* pattern, std::vector<std::u16string>* folder,
                      std::u16string* last) {
  if (!Split(pattern, true, folder) || folder->empty()) return false;
  *last = std::move(folder->back());
  folder->pop_back();
  for (const std::u16string& part : *folder) {
    if (part.find_first_of(u"*?") != std::u16string::npos) return false;
  }
  return true;
}

bool IsDeviceName(const char16_t* name, size_t length) { return IsName(name, length, false); }

bool MatchesEverything(const std::u16string& pattern) {
  if (pattern == u"*.*") return true;
  if (pattern.empty()) return false;
  for (char16_t c : pattern) {
    if (c != u'*') return false;
  }
  return true;
}

bool MatchesName(const std::u16string& pattern, const char16_t* name, size_t length) {
  return MatchesEverything(pattern) ||
         unicode::Match(pattern, std::u16string_view(name, length), /*caseless=*/true);
}

uint32_t ObjectIdOf(const std::vector<std::u16string>& folder, const char16_t* name,
                    size_t length) {
  uint32_t hash = 2166136261u;
  for (const std::u16string& part : folder) {
    hash = (hash ^ uint32_t(u'\\')) * 16777619u;
    hash = HashFolded(hash, part.data(), part.size());
  }
  hash = (hash ^ uint32_t(u'\\')) * 16777619u;
  hash = HashFolded(hash, name, length);
  return hash == 0 ? 1 : hash;
}

bool LastPart(const DeviceChar* path, std::u16string* last) {
  std::vector<std::u16string> parts;
  if (!SplitDevicePath(path, &parts) || parts.empty()) return false;
  *last = std::move(parts.back());
  return true;
}

std::string DevicePathText(const std::vector<std::u16string>& folder, const char16_t* name,
                           size_t length) {
  std::string text, utf8;
  for (const std::u16string& part : folder) {
    unicode::ToUtf8(part, &utf8);
    text += "\\" + utf8;
  }
  if (name != nullptr) {
    unicode::ToUtf8(std::u16string(name, length), &utf8);
    text += "\\" + utf8;
  }
  return text.empty() ? "\\" : text;
}

void TellOnce(const std::string& line) {
  static Mutex lock;
  static std::set<std::string>* told = new std::set<std::string>;  // never destroyed
  {
    ScopedLock held(lock);
    if (!told->insert(line).second) return;
  }
  std::fprintf(stderr, "rapi: %s\n", line.c_str());
  std::fflush(stderr);
}

void CasePairs::Add(const char16_t* name, size_t length, size_t index) {
  folded_.emplace_back(HashFolded64(name, length), index);
}

bool CasePairs::Find(const DeviceFindRecord* records, size_t* first, size_t* second) {
  if (folded_.size() < 2) return false;
  std::sort(folded_.begin(), folded_.end());
  for (size_t i = 1; i < folded_.size(); ++i) {
    if (folded_[i].first != folded_[i - 1].first) continue;
    const char16_t* a = records[folded_[i - 1].second].Name;
    const char16_t* b = records[folded_[i].second].Name;
    if (!unicode::EqualCaseless(std::u16string_view(a), std::u16string_view(b))) continue;
    const bool ordered = std::u16string_view(a) < std::u16string_view(b);
    *first = ordered ? folded_[i - 1].second : folded_[i].second;
    *second = ordered ? folded_[i].second : folded_[i - 1].second;
    return true;
  }
  return false;
}

void RefuseCasePair(const std::string& folder, const std::string& first,
                    const std::string& second) {
  TellOnce(folder + " holds both " + first + " and " + second +
           ", which differ only in case, as no device folder can: the device neither lists "
           "them nor picks one");
  SetDeviceError(kDeviceErrorFileCorrupt);
}

void RefuseCasePair(const std::vector<std::u16string>& folder, const char16_t* first,
                    const char16_t* second) {
  std::string a, b;
  unicode::ToUtf8(std::u16string(first), &a);
  unicode::ToUtf8(std::u16string(second), &b);
  RefuseCasePair(DevicePathText(folder), a, b);
}

}  // namespace emu
