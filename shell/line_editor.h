// Reading command lines: at a terminal with line editing, history and Tab
// completion (libedit on Linux, the console's own line input on Windows);
// plain lines otherwise.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "completion.h"
#include "platform.h"

namespace merlo {

// True when the stream is a terminal.
inline bool IsTerminal(FILE* stream) { return platform::IsTerminal(stream); }

// The POSIX line editor's wide characters and user text (UTF-8). A byte that
// is no UTF-8 is kept in the editor as the wide character 0xDC00 + byte, a
// lone surrogate that no UTF-8 decodes to, and comes back as that byte: merlo
// then refuses it by name instead of taking another character for it.
constexpr wchar_t kRawByteBase = 0xDC00;
std::string UserTextFromWide(const wchar_t* begin, const wchar_t* end);
std::wstring WideFromUserText(const std::string& text);

class LineEditor {
 public:
  using Completer = platform::Completer;
  using Result = platform::ReadResult;

  explicit LineEditor(Completer completer);
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;
  ~LineEditor();

  // True when standard input is a terminal.
  bool interactive() const { return terminal_ != nullptr; }

  // At a terminal (interactive()): shows the prompt and reads one line,
  // without its line end. Scripts and piped input are read by the script runner.
  Result Read(const std::string& prompt, std::string* line);

  // Adds a line to the history and saves the history file at once.
  void Remember(const std::string& line);

 private:
  platform::Terminal* terminal_ = nullptr;
};

}  // namespace merlo
