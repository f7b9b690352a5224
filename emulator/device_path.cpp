#include "device_path.h"

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

char16_t FoldCase(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

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

bool MatchWildcard(const char16_t* pattern, size_t patternLength, const char16_t* name,
                   size_t nameLength) {
  // Greedy matching with one backtrack point: the most recent "*".
  size_t p = 0, n = 0;
  size_t starP = SIZE_MAX, starN = 0;
  while (n < nameLength) {
    if (p < patternLength && pattern[p] == u'*') {
      starP = p++;
      starN = n;
    } else if (p < patternLength &&
               (pattern[p] == u'?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
      ++p;
      ++n;
    } else if (starP != SIZE_MAX) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < patternLength && pattern[p] == u'*') ++p;
  return p == patternLength;
}

bool Utf16ToUtf8(const std::u16string& text, std::string* out) {
  out->clear();
  out->reserve(text.size() * 3);
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (IsHighSurrogate(char16_t(c))) {
      if (i + 1 >= text.size() || !IsLowSurrogate(text[i + 1])) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(text[++i]) - 0xDC00);
    } else if (IsLowSurrogate(char16_t(c))) {
      return false;
    }
    if (c < 0x80) {
      out->push_back(char(c));
    } else if (c < 0x800) {
      out->push_back(char(0xC0 | (c >> 6)));
      out->push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(char(0xE0 | (c >> 12)));
      out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(char(0x80 | (c & 0x3F)));
    } else {
      out->push_back(char(0xF0 | (c >> 18)));
      out->push_back(char(0x80 | ((c >> 12) & 0x3F)));
      out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(char(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

int Utf8ToUtf16(const char* text, size_t length, char16_t* out, size_t capacity) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0, o = 0;
  while (i < length) {
    uint32_t b = s[i];
    if (b < 0x80) {
      if (o >= capacity) return -1;
      out[o++] = char16_t(b);
      ++i;
      continue;
    }
    size_t extra;
    uint32_t c, min;
    if ((b & 0xE0) == 0xC0) {
      extra = 1, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, c = b & 0x07, min = 0x10000;
    } else {
      return -1;
    }
    for (size_t k = 1; k <= extra; ++k) {
      if (i + k >= length || (s[i + k] & 0xC0) != 0x80) return -1;
      c = (c << 6) | (s[i + k] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return -1;
    i += extra + 1;
    if (c < 0x10000) {
      if (o >= capacity) return -1;
      out[o++] = char16_t(c);
    } else {
      if (o + 2 > capacity) return -1;
      c -= 0x10000;
      out[o++] = char16_t(0xD800 + (c >> 10));
      out[o++] = char16_t(0xDC00 + (c & 0x3FF));
    }
  }
  return int(o);
}

bool LastPart(const DeviceChar* path, std::u16string* last) {
  std::vector<std::u16string> parts;
  if (!SplitDevicePath(path, &parts) || parts.empty()) return false;
  *last = std::move(parts.back());
  return true;
}

}  // namespace emu
