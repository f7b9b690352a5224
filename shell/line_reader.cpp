#include "line_reader.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#if defined(_WIN32)
#include <io.h>

#include "platform/win32/windows_api.h"
#else
#include <editline/readline.h>
#include <unistd.h>
#endif

namespace merlo {

#if defined(_WIN32)

namespace {

// A console, not merely a character device: _isatty() also holds for NUL and
// for the descriptor flags a C runtime parent hands down to its children.
bool ReadsFromConsole() {
  const intptr_t handle = _get_osfhandle(_fileno(stdin));
  DWORD mode = 0;
  return handle != -1 && GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}

}  // namespace

LineReader::LineReader() : interactive_(ReadsFromConsole()) {}

LineReader::~LineReader() = default;

std::optional<std::string> LineReader::Read(const std::string& prompt) {
  if (interactive_) std::cout << prompt << std::flush;
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

#else

LineReader::LineReader() : interactive_(isatty(STDIN_FILENO) != 0) {
  if (!interactive_) return;
  using_history();
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    historyFile_ = std::string(home) + "/.merlo_history";
    read_history(historyFile_.c_str());
  }
}

LineReader::~LineReader() {
  if (interactive_ && !historyFile_.empty()) write_history(historyFile_.c_str());
}

std::optional<std::string> LineReader::Read(const std::string& prompt) {
  if (!interactive_) {
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  std::cout << std::flush;
  char* text = readline(prompt.c_str());
  if (text == nullptr) return std::nullopt;
  std::string line(text);
  std::free(text);
  if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
  return line;
}

#endif

}  // namespace merlo
