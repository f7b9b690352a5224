#include "unicode/unicode.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace unicode {

namespace {

struct FoldRange {
  char32_t first;
  char32_t last;
  int32_t delta;
  uint32_t stride;
};

constexpr FoldRange kFoldRanges[] = {
#include "unicode/case_folding.inc"
};

struct WidthRange {
  char32_t first;
  char32_t last;
  int columns;
};

constexpr WidthRange kWidthRanges[] = {
#include "unicode/display_width.inc"
};

bool IsSurrogate(char32_t code) { return code >= 0xD800 && code <= 0xDFFF; }

// Reads characters of either encoding for the comparisons and the matcher. An
// invalid UTF-8 byte is read as a character of its own, marked above the
// Unicode range so that it equals only itself.
struct Utf8Reader {
  std::string_view text;
  size_t position = 0;
  bool AtEnd() const { return position >= text.size(); }
  char32_t Next() {
    char32_t code = 0;
    const size_t n = DecodeUtf8(text.data() + position, text.size() - position, &code);
    if (n == 0) return 0x110000 + static_cast<unsigned char>(text[position++]);
    position += n;
    return code;
  }
};

struct Utf16Reader {
  std::u16string_view text;
  size_t position = 0;
  bool AtEnd() const { return position >= text.size(); }
  char32_t Next() {
    char32_t code = 0;
    bool paired = true;
    const size_t n = DecodeUtf16(text.data() + position, text.size() - position, &code, &paired);
    // An unpaired surrogate equals only itself.
    if (!paired) code = 0x110000 + text[position];
    position += n;
    return code;
  }
};

char32_t Fold(char32_t code, bool caseless) { return caseless ? FoldCase(code) : code; }

template <typename Reader>
bool EqualCaselessWith(Reader a, Reader b) {
  while (!a.AtEnd() && !b.AtEnd()) {
    if (FoldCase(a.Next()) != FoldCase(b.Next())) return false;
  }
  return a.AtEnd() && b.AtEnd();
}

// Greedy matching with one backtrack point, the most recent "*": linear in
// practice and never exponential.
template <typename Reader>
bool MatchWith(Reader pattern, Reader name, bool caseless) {
  Reader starPattern = pattern;
  Reader starName = name;
  bool star = false;
  while (!name.AtEnd()) {
    Reader p = pattern;
    const char32_t pc = p.AtEnd() ? 0 : p.Next();
    if (!pattern.AtEnd() && pc == U'*') {
      pattern = p;
      star = true;
      starPattern = pattern;
      starName = name;
      continue;
    }
    Reader n = name;
    const char32_t nc = n.Next();
    if (!pattern.AtEnd() && (pc == U'?' || Fold(pc, caseless) == Fold(nc, caseless))) {
      pattern = p;
      name = n;
      continue;
    }
    if (!star) return false;
    starName.Next();
    name = starName;
    pattern = starPattern;
  }
  while (!pattern.AtEnd()) {
    if (pattern.Next() != U'*') return false;
  }
  return true;
}

template <typename Reader, typename String>
String FoldKeyWith(Reader reader, String out) {
  while (!reader.AtEnd()) {
    const size_t start = reader.position;
    const char32_t code = reader.Next();
    if (code >= 0x110000) {
      out.append(reader.text.substr(start, reader.position - start));
      continue;
    }
    const char32_t folded = FoldCase(code);
    if constexpr (sizeof(typename String::value_type) == 1) {
      char buffer[4];
      out.append(buffer, EncodeUtf8(folded, buffer));
    } else {
      char16_t units[2];
      if (folded >= 0x10000) {
        units[0] = static_cast<char16_t>(0xD800 + ((folded - 0x10000) >> 10));
        units[1] = static_cast<char16_t>(0xDC00 + ((folded - 0x10000) & 0x3FF));
        out.append(units, 2);
      } else {
        out.push_back(static_cast<char16_t>(folded));
      }
    }
  }
  return out;
}

}  // namespace

size_t DecodeUtf8(const char* text, size_t length, char32_t* code) {
  if (length == 0) return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  const unsigned char lead = s[0];
  if (lead < 0x80) {
    *code = lead;
    return 1;
  }
  size_t size;
  char32_t value;
  char32_t minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
    value = lead & 0x1F;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    value = lead & 0x0F;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    value = lead & 0x07;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (length < size) return 0;
  for (size_t i = 1; i < size; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (s[i] & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || IsSurrogate(value)) return 0;
  *code = value;
  return size;
}

size_t EncodeUtf8(char32_t code, char* out) {
  if (code < 0x80) {
    out[0] = static_cast<char>(code);
    return 1;
  }
  if (code < 0x800) {
    out[0] = static_cast<char>(0xC0 | (code >> 6));
    out[1] = static_cast<char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (code >> 12));
    out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (code >> 18));
  out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (code & 0x3F));
  return 4;
}

size_t DecodeUtf16(const char16_t* text, size_t length, char32_t* code, bool* paired) {
  if (length == 0) return 0;
  const char16_t unit = text[0];
  if (paired != nullptr) *paired = true;
  if (!IsSurrogate(unit)) {
    *code = unit;
    return 1;
  }
  if (unit < 0xDC00 && length >= 2 && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
    *code = 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(text[1]) - 0xDC00);
    return 2;
  }
  if (paired != nullptr) *paired = false;
  *code = kReplacement;
  return 1;
}

ptrdiff_t Utf8ToUtf16(const char* text, size_t length, char16_t* out, size_t capacity) {
  size_t written = 0;
  size_t i = 0;
  while (i < length) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80 && written + 1 < capacity) {  // the common case, one byte a unit
      out[written++] = byte;
      ++i;
      continue;
    }
    char32_t code = 0;
    const size_t n = DecodeUtf8(text + i, length - i, &code);
    const size_t units = code >= 0x10000 ? 2 : 1;
    if (n == 0 || written + units >= capacity) {
      if (capacity > 0) out[0] = 0;
      return -1;
    }
    if (units == 2) {
      out[written++] = static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      out[written++] = static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      out[written++] = static_cast<char16_t>(code);
    }
    i += n;
  }
  if (written >= capacity) return -1;
  out[written] = 0;
  return static_cast<ptrdiff_t>(written);
}

size_t Utf16ToUtf8(const char16_t* text, size_t length, char* out, size_t capacity, bool* whole) {
  if (whole != nullptr) *whole = true;
  if (capacity == 0) {
    if (whole != nullptr) *whole = length == 0 || text[0] == 0;
    return 0;
  }
  // Names of many entries pass through here one after another: runs of ASCII
  // and of two- and three-byte characters each take a loop of their own, and
  // only surrogates go through the general decoder.
  const size_t room = capacity - 1;  // bytes before the NUL
  size_t written = 0;
  size_t i = 0;
  bool cut = false;
  while (i < length) {
    char16_t unit = text[i];
    while (unit != 0 && unit < 0x80 && written < room) {
      out[written++] = static_cast<char>(unit);
      if (++i == length) break;
      unit = text[i];
    }
    if (i == length || unit == 0) break;
    if (unit < 0x80) {
      cut = true;
      break;
    }
    if (unit < 0x800) {
      if (written + 2 > room) {
        cut = true;
        break;
      }
      out[written] = static_cast<char>(0xC0 | (unit >> 6));
      out[written + 1] = static_cast<char>(0x80 | (unit & 0x3F));
      written += 2;
      ++i;
      continue;
    }
    if (!IsSurrogate(unit)) {
      if (written + 3 > room) {
        cut = true;
        break;
      }
      out[written] = static_cast<char>(0xE0 | (unit >> 12));
      out[written + 1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out[written + 2] = static_cast<char>(0x80 | (unit & 0x3F));
      written += 3;
      ++i;
      continue;
    }
    char32_t code = 0;
    bool paired;
    const size_t n = DecodeUtf16(text + i, length - i, &code, &paired);
    char buffer[4];
    const size_t bytes = EncodeUtf8(code, buffer);
    if (written + bytes > room) {
      cut = true;
      break;
    }
    if (!paired && whole != nullptr) *whole = false;
    for (size_t b = 0; b < bytes; ++b) out[written++] = buffer[b];
    i += n;
  }
  if (cut && whole != nullptr) *whole = false;
  out[written] = '\0';
  return written;
}

bool ToUtf16(std::string_view utf8, std::u16string* out) {
  out->clear();
  out->reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    char32_t code = 0;
    const size_t n = DecodeUtf8(utf8.data() + i, utf8.size() - i, &code);
    if (n == 0) return false;
    if (code >= 0x10000) {
      out->push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(code));
    }
    i += n;
  }
  return true;
}

bool ToUtf8(std::u16string_view utf16, std::string* out) {
  out->clear();
  out->reserve(utf16.size());
  size_t i = 0;
  while (i < utf16.size()) {
    char32_t code = 0;
    bool paired;
    const size_t n = DecodeUtf16(utf16.data() + i, utf16.size() - i, &code, &paired);
    if (!paired) return false;
    char buffer[4];
    out->append(buffer, EncodeUtf8(code, buffer));
    i += n;
  }
  return true;
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    char32_t code = 0;
    const size_t n = DecodeUtf8(text.data() + i, text.size() - i, &code);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

char32_t FoldCase(char32_t code) {
  if (code < 0x80) return (code >= U'A' && code <= U'Z') ? code + 32 : code;
  size_t low = 0;
  size_t high = sizeof kFoldRanges / sizeof kFoldRanges[0];
  while (low < high) {
    const size_t middle = (low + high) / 2;
    const FoldRange& range = kFoldRanges[middle];
    if (code < range.first) {
      high = middle;
    } else if (code > range.last) {
      low = middle + 1;
    } else {
      if ((code - range.first) % range.stride != 0) return code;
      return static_cast<char32_t>(static_cast<int32_t>(code) + range.delta);
    }
  }
  return code;
}

std::u16string FoldKey(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  return FoldKeyWith(Utf16Reader{text}, std::move(out));
}

std::string FoldKey(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  return FoldKeyWith(Utf8Reader{utf8}, std::move(out));
}

bool EqualCaseless(std::u16string_view a, std::u16string_view b) {
  return EqualCaselessWith(Utf16Reader{a}, Utf16Reader{b});
}

bool EqualCaseless(std::string_view a, std::string_view b) {
  return EqualCaselessWith(Utf8Reader{a}, Utf8Reader{b});
}

bool Match(std::u16string_view pattern, std::u16string_view name, bool caseless) {
  return MatchWith(Utf16Reader{pattern}, Utf16Reader{name}, caseless);
}

bool Match(std::string_view pattern, std::string_view name, bool caseless) {
  return MatchWith(Utf8Reader{pattern}, Utf8Reader{name}, caseless);
}

size_t CharacterStart(std::string_view utf8, size_t position) {
  if (position >= utf8.size()) return position;
  size_t start = position;
  // Back over at most three continuation bytes, to a lead byte that claims them.
  while (start > 0 && position - start < 3 &&
         (static_cast<unsigned char>(utf8[start]) & 0xC0) == 0x80) {
    --start;
  }
  char32_t code = 0;
  const size_t n = DecodeUtf8(utf8.data() + start, utf8.size() - start, &code);
  return (n != 0 && start + n > position) ? start : position;
}

int Columns(char32_t code) {
  if (code < 0x20 || (code >= 0x7F && code < 0xA0)) return 0;
  if (code < 0x300) return 1;
  const WidthRange* end = std::end(kWidthRanges);
  const WidthRange* range =
      std::upper_bound(std::begin(kWidthRanges), end, code,
                       [](char32_t c, const WidthRange& r) { return c < r.first; });
  if (range == std::begin(kWidthRanges)) return 1;
  --range;
  return code <= range->last ? range->columns : 1;
}

size_t Columns(std::string_view utf8) {
  size_t columns = 0;
  for (size_t at = 0; at < utf8.size();) {
    char32_t code = 0;
    const size_t length = DecodeUtf8(utf8.data() + at, utf8.size() - at, &code);
    if (length == 0) {
      ++columns;
      ++at;
      continue;
    }
    columns += static_cast<size_t>(Columns(code));
    at += length;
  }
  return columns;
}

}  // namespace unicode
