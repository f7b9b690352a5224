#include "device_path.h"

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

}  // namespace emu
