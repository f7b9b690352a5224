#include "text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform.h"
#include "unicode/unicode.h"

namespace merlo {

// The narrow text of each platform (NarrowFromUser, UserFromNarrow, HasNarrowForm,
// NarrowFormProblem, NarrowTextName, PathFromUser, ModulePcPath, HasReplacement) is
// in platform_posix.cpp and platform_win32.cpp.

std::string ModuleFieldProblem(const std::string& shown, size_t bytes, size_t limit,
                               const std::string& field) {
  if (bytes <= limit) return "";
  const std::string name = NarrowTextName();
  const std::string text = name.find("UTF-8") != std::string::npos
                               ? "the module's UTF-8 text"
                               : "the module's text (" + name + ")";
  return shown + " is " + std::to_string(bytes) + " bytes in " + text + "; its " + field +
         " hold " + std::to_string(limit);
}

size_t ShownWidth(const std::string& text) { return unicode::Columns(text); }

std::string FitColumns(const std::string& text, size_t columns) {
  size_t used = 0, at = 0;
  while (at < text.size()) {
    char32_t code = 0;
    size_t length = unicode::DecodeUtf8(text.data() + at, text.size() - at, &code);
    const size_t width = length == 0 ? 1 : static_cast<size_t>(unicode::Columns(code));
    if (length == 0) length = 1;
    if (used + width > columns) break;
    used += width;
    at += length;
  }
  return text.substr(0, at);
}

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

std::string ExpandHome(const std::string& text) {
  if (text.empty() || text[0] != '~') return text;
  if (text.size() > 1 && std::strchr(platform::kPcSeparators, text[1]) == nullptr) return text;
  const std::string home = platform::HomeFolder();
  return home.empty() ? text : home + text.substr(1);
}

std::filesystem::path PcPathFromUser(const std::string& text) {
  return PathFromUser(ExpandHome(text));
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

// Narrow text is compared as the characters it stands for: in a code page
// other than UTF-8 its bytes are no UTF-8 (and a double-byte character's
// second byte may look like another character).
bool SameDeviceName(const std::string& a, const std::string& b) {
  return unicode::EqualCaseless(UserFromNarrow(a), UserFromNarrow(b));
}

std::string DeviceNameKey(const std::string& name) {
  return unicode::FoldKey(UserFromNarrow(name));
}

bool MatchDeviceName(const std::string& pattern, const std::string& name) {
  return unicode::Match(UserFromNarrow(pattern), UserFromNarrow(name), true);
}

// Windows' file systems tell no case apart; POSIX ones do.
std::string PcNameKey(const std::string& name) {
  return platform::kPcNamesIgnoreCase ? unicode::FoldKey(name) : name;
}
bool MatchPcName(const std::string& pattern, const std::string& name) {
  return unicode::Match(pattern, name, platform::kPcNamesIgnoreCase);
}

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

bool IsLocalCommandLine(const std::string& line) {
  const size_t start = line.find_first_not_of(" \t");
  return start != std::string::npos && line[start] == '!';
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

std::string AsideName(const std::string& name, int attempt, bool shortForm) {
  const std::string number = attempt == 0 ? "" : std::to_string(attempt + 1);
  return shortForm ? "~merlo-old" + number + ".tmp" : name + ".merlo-old" + number;
}

}  // namespace merlo
