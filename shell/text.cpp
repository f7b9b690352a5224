#include "text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#if defined(_WIN32)
#include "console.h"
#include "platform/win32/windows_api.h"
#endif

namespace merlo {

namespace {

// Length of the UTF-8 sequence that starts at text[i] and its code point, or
// 0 when the bytes there are no valid sequence.
[[maybe_unused]] size_t DecodeUtf8(const std::string& text, size_t i, uint32_t* codePoint) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  uint32_t value = 0;
  if (lead < 0x80) {
    *codePoint = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[length] || value > 0x10FFFF) return 0;
  *codePoint = value;
  return length;
}

unsigned char FoldCase(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
  // Latin-1 capitals 0xC0 to 0xDE, except the multiplication sign 0xD7.
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 32);
  return c;
}

}  // namespace

#if defined(_WIN32)

namespace {

// The code page of the process's narrow file calls, which the module's narrow
// text is in: UTF-8 in merlo.exe, whose manifest declares it, on Windows
// that honour that; the system's ANSI code page on older ones.
UINT NarrowCodePage() { return AreFileApisANSI() ? GetACP() : GetOEMCP(); }

// The first character of the text that is no valid UTF-8 (a surrogate's
// form included), or npos.
size_t FirstInvalidUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    uint32_t codePoint = 0;
    const size_t length = DecodeUtf8(text, i, &codePoint);
    if (length == 0 || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return i;
    i += length;
  }
  return std::string::npos;
}

// Wide text in a code page other than UTF-8. False when a character has no
// form there: what it became then (a "|", or the code page's own default
// where the code page takes none of its own) is no name of any file.
bool ToCodePage(UINT codePage, const std::wstring& wide, std::string* narrow) {
  narrow->clear();
  if (wide.empty()) return true;
  const int length = static_cast<int>(wide.size());
  BOOL usedDefault = FALSE;
  int count = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr, 0,
                                  "|", &usedDefault);
  if (count > 0) {
    narrow->resize(static_cast<size_t>(count));
    WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), length, &(*narrow)[0], count,
                        "|", &usedDefault);
    return usedDefault == FALSE;
  }
  // Code pages that take neither flags nor a default character: converted
  // plainly, and held only when the text comes back unchanged.
  count = WideCharToMultiByte(codePage, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return false;
  narrow->resize(static_cast<size_t>(count));
  WideCharToMultiByte(codePage, 0, wide.data(), length, &(*narrow)[0], count, nullptr, nullptr);
  const int back = MultiByteToWideChar(codePage, 0, narrow->data(), count, nullptr, 0);
  std::wstring again(static_cast<size_t>(std::max(back, 0)), L'\0');
  if (back > 0) MultiByteToWideChar(codePage, 0, narrow->data(), count, &again[0], back);
  return again == wide;
}

}  // namespace

std::string NarrowFromUser(const std::string& text) {
  const UINT codePage = NarrowCodePage();
  if (codePage == CP_UTF8) return text;
  std::string narrow;
  ToCodePage(codePage, WideFromUtf8(text), &narrow);
  return narrow;
}

std::string UserFromNarrow(const std::string& text) {
  const UINT codePage = NarrowCodePage();
  if (codePage == CP_UTF8 || text.empty()) return text;
  const int length = static_cast<int>(text.size());
  const int count = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
  if (count <= 0) return text;
  std::wstring wide(static_cast<size_t>(count), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), length, &wide[0], count);
  return Utf8FromWide(wide);
}

bool HasNarrowForm(const std::string& text) { return NarrowFormProblem(text).empty(); }

std::string NarrowFormProblem(const std::string& text) {
  if (FirstInvalidUtf8(text) != std::string::npos) return "it is no valid UTF-8";
  const UINT codePage = NarrowCodePage();
  if (codePage == CP_UTF8) return "";
  std::string narrow;
  if (ToCodePage(codePage, WideFromUtf8(text), &narrow)) return "";
  // Name the first character that has no form.
  for (size_t i = 0; i < text.size();) {
    uint32_t codePoint = 0;
    const size_t length = DecodeUtf8(text, i, &codePoint);
    const std::string character = text.substr(i, length);
    if (!ToCodePage(codePage, WideFromUtf8(character), &narrow)) {
      return character + " cannot be written in " + NarrowTextName();
    }
    i += length;
  }
  return "it cannot be written in " + NarrowTextName();
}

std::string NarrowTextName() {
  const UINT codePage = NarrowCodePage();
  return "code page " + std::to_string(codePage) + (codePage == CP_UTF8 ? " (UTF-8)" : "") +
         (AreFileApisANSI() ? "" : ", the OEM one");
}

std::filesystem::path PathFromUser(const std::string& text) {
  return std::filesystem::path(WideFromUtf8(text));
}

std::string ModulePcPath(const std::string& absolutePath) { return NarrowFromUser(absolutePath); }

#else

std::string NarrowFromUser(const std::string& text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t codePoint = 0;
    const size_t length = DecodeUtf8(text, i, &codePoint);
    if (length == 0) {
      narrow.push_back(text[i]);
      ++i;
      continue;
    }
    narrow.push_back(codePoint <= 0xFF ? static_cast<char>(codePoint) : '?');
    i += length;
  }
  return narrow;
}

std::string UserFromNarrow(const std::string& text) {
  std::string user;
  user.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      user.push_back(c);
    } else {
      user.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      user.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return user;
}

bool HasNarrowForm(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    uint32_t codePoint = 0;
    const size_t length = DecodeUtf8(text, i, &codePoint);
    if (length == 0) {
      ++i;
      continue;
    }
    if (codePoint > 0xFF) return false;
    i += length;
  }
  return true;
}

std::string ModulePcPath(const std::string& absolutePath) {
  std::string path = "Z:";
  for (const char c : NarrowFromUser(absolutePath)) path.push_back(c == '/' ? '\\' : c);
  if (path == "Z:") path += '\\';
  // Collapse doubled separators that a path such as "//x" would bring.
  std::string collapsed;
  for (const char c : path) {
    if (c == '\\' && !collapsed.empty() && collapsed.back() == '\\') continue;
    collapsed.push_back(c);
  }
  return collapsed;
}

#endif

#if !defined(_WIN32)

std::string NarrowFormProblem(const std::string& text) {
  return HasNarrowForm(text)
             ? ""
             : "it cannot be written in the module's text (" + NarrowTextName() + ")";
}

std::string NarrowTextName() { return "UTF-8"; }

std::filesystem::path PathFromUser(const std::string& text) { return std::filesystem::path(text); }

#endif

std::filesystem::path AbsoluteLocalPath(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec).lexically_normal();
  if (!absolute.has_filename() && absolute.has_relative_path()) absolute = absolute.parent_path();
  return absolute;
}

std::vector<std::string> SplitDevicePath(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (const char c : path) {
    if (c == '\\' || c == '/') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part.push_back(c);
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

std::string DevicePathText(const std::vector<std::string>& parts) {
  if (parts.empty()) return "\\";
  std::string text;
  for (const auto& part : parts) text += "\\" + part;
  return text;
}

bool WildcardMatch(const std::string& pattern, const std::string& name, bool caseSensitive) {
  const auto same = [caseSensitive](char a, char b) {
    if (caseSensitive) return a == b;
    return FoldCase(static_cast<unsigned char>(a)) == FoldCase(static_cast<unsigned char>(b));
  };
  // Greedy match with one backtrack point: the last "*" seen.
  size_t p = 0, n = 0, starP = std::string::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool SameNameCaseless(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return FoldCase(static_cast<unsigned char>(x)) ==
                  FoldCase(static_cast<unsigned char>(y));
         });
}

bool HasWildcards(const std::string& text) { return text.find_first_of("*?") != std::string::npos; }

std::string FormatFileTime(uint32_t low, uint32_t high) {
  const uint64_t fileTime = (static_cast<uint64_t>(high) << 32) | low;
  if (fileTime == 0) return "";
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
  return FormatLocalTime(static_cast<int64_t>(fileTime / 10000000ULL) - kSecondsFrom1601To1970);
}

std::string FormatLocalTime(int64_t seconds) {
  std::tm local{};
#if defined(_WIN32)
  const __time64_t t = seconds;
  if (seconds < 0 || _localtime64_s(&local, &t) != 0) return "?";
#else
  const time_t t = static_cast<time_t>(seconds);
  if (localtime_r(&t, &local) == nullptr) return "?";
#endif
  char text[32];
  if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local) == 0) return "?";
  return text;
}

std::optional<std::vector<std::vector<std::string>>> SplitCommands(const std::string& line) {
  std::vector<std::vector<std::string>> commands;
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  char quote = 0;
  const auto endWord = [&] {
    if (inWord) words.push_back(word);
    word.clear();
    inWord = false;
  };
  for (const char c : line) {
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      } else {
        word.push_back(c);
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
      inWord = true;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      endWord();
    } else if (c == ';') {
      endWord();
      if (!words.empty()) commands.push_back(std::move(words));
      words.clear();
    } else {
      word.push_back(c);
      inWord = true;
    }
  }
  if (quote != 0) return std::nullopt;
  endWord();
  if (!words.empty()) commands.push_back(std::move(words));
  return commands;
}

std::string QuoteWord(const std::string& word) {
  if (!word.empty() && word.find_first_of(" \t\r\n\"';") == std::string::npos) return word;
  if (word.empty()) return "\"\"";
  // Runs without a double quote go in double quotes, double quotes in single ones.
  std::string quoted;
  char open = 0;
  for (const char c : word) {
    const char wanted = c == '"' ? '\'' : '"';
    if (open != wanted) {
      if (open != 0) quoted.push_back(open);
      quoted.push_back(wanted);
      open = wanted;
    }
    quoted.push_back(c);
  }
  quoted.push_back(open);
  return quoted;
}

std::string HumanBytes(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string CountOf(size_t count, const char* singular, const char* plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

}  // namespace merlo
