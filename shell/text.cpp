#include "text.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "platform.h"
#include "unicode/unicode.h"

#if defined(_WIN32)
#include "console.h"
#include "platform/win32/windows_api.h"
#endif

namespace merlo {

#if defined(_WIN32)

// Windows: the module's narrow text is in the process's code page.
namespace {

// The code page of the process's narrow file calls, which the module's narrow
// text is in: UTF-8 in merlo.exe, whose manifest declares it, on Windows
// that honour that; the system's ANSI code page on older ones.
UINT NarrowCodePage() { return AreFileApisANSI() ? GetACP() : GetOEMCP(); }

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
  if (!unicode::IsValidUtf8(text)) {
    return "it is not valid UTF-8 (the bytes shown as \\x..), which the module's text (" +
           NarrowTextName() + ") cannot carry";
  }
  const UINT codePage = NarrowCodePage();
  if (codePage == CP_UTF8) {
    // U+FFFD is what the module makes of a character it cannot convert.
    if (text.find("\xEF\xBF\xBD") == std::string::npos) return "";
    return "it holds U+FFFD, which stands for a character that could not be converted and names "
           "no file";
  }
  std::string narrow;
  if (ToCodePage(codePage, WideFromUtf8(text), &narrow)) return "";
  // Name the first character that has no form.
  for (size_t i = 0; i < text.size();) {
    char32_t code = 0;
    const size_t length = unicode::DecodeUtf8(text.data() + i, text.size() - i, &code);
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

// Linux: user text and the module's narrow text are both UTF-8.
std::string NarrowFromUser(const std::string& text) { return text; }
std::string UserFromNarrow(const std::string& text) { return text; }
bool HasNarrowForm(const std::string& text) {
  return unicode::IsValidUtf8(text) && !HasReplacement(text);
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
  if (!unicode::IsValidUtf8(text)) {
    return "it is not valid UTF-8 (the bytes shown as \\x..), which the module's text (" +
           NarrowTextName() + ") cannot carry";
  }
  if (HasReplacement(text)) {
    return "it holds U+FFFD, which stands for a character that could not be converted and names "
           "no file";
  }
  return "";
}

std::string NarrowTextName() { return "UTF-8"; }

std::filesystem::path PathFromUser(const std::string& text) { return std::filesystem::path(text); }

#endif

std::string Printable(const std::string& text) {
  std::string shown;
  for (size_t i = 0; i < text.size();) {
    char32_t code = 0;
    const size_t length = unicode::DecodeUtf8(text.data() + i, text.size() - i, &code);
    if (length != 0) {
      shown.append(text, i, length);
      i += length;
      continue;
    }
    static const char kHex[] = "0123456789ABCDEF";
    const auto byte = static_cast<unsigned char>(text[i++]);
    shown += "\\x";
    shown += kHex[byte >> 4];
    shown += kHex[byte & 0xF];
  }
  return shown;
}

bool HasReplacement(const std::string& narrowName) {
#if defined(_WIN32)
  // In a code page other than UTF-8 the module lists such a character as
  // "?", which no name holds.
  if (NarrowCodePage() != CP_UTF8) return narrowName.find('?') != std::string::npos;
#endif
  // U+FFFD in UTF-8.
  return narrowName.find("\xEF\xBF\xBD") != std::string::npos;
}

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

bool SameDeviceName(const std::string& a, const std::string& b) {
  return unicode::EqualCaseless(a, b);
}

std::string DeviceNameKey(const std::string& name) { return unicode::FoldKey(name); }

bool MatchDeviceName(const std::string& pattern, const std::string& name) {
  return unicode::Match(pattern, name, true);
}

#if defined(_WIN32)

// Windows: the PC's file systems tell no case apart.
std::string PcNameKey(const std::string& name) { return unicode::FoldKey(name); }
bool MatchPcName(const std::string& pattern, const std::string& name) {
  return unicode::Match(pattern, name, true);
}

#else

std::string PcNameKey(const std::string& name) { return name; }
bool MatchPcName(const std::string& pattern, const std::string& name) {
  return unicode::Match(pattern, name, false);
}

#endif

bool HasWildcards(const std::string& text) { return text.find_first_of("*?") != std::string::npos; }

std::string FormatFileTime(uint32_t low, uint32_t high) {
  const uint64_t fileTime = (static_cast<uint64_t>(high) << 32) | low;
  if (fileTime == 0) return "";
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
  return FormatLocalTime(static_cast<int64_t>(fileTime / 10000000ULL) - kSecondsFrom1601To1970);
}

std::string FormatLocalTime(int64_t seconds) { return platform::LocalTimeText(seconds); }

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

std::string CountOf(uint64_t count, const char* singular, const char* plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

}  // namespace merlo
