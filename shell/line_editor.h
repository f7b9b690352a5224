// Reading command lines: at a terminal with line editing, history and Tab
// completion (libedit on Linux); plain lines otherwise.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "completion.h"

namespace merlo {

// True when the stream is a terminal: on Windows a console, not merely a
// character device (_isatty() also holds for NUL, and for descriptor flags
// that a C runtime parent hands down to the programs it starts).
bool IsTerminal(FILE* stream);

#if !defined(_WIN32)
// The line editor's wide characters and user text (UTF-8). A byte that is no
// UTF-8 is kept in the editor as the wide character 0xDC00 + byte, a lone
// surrogate that no UTF-8 decodes to, and comes back as that byte: merlo then
// refuses it by name instead of taking another character for it.
constexpr wchar_t kRawByteBase = 0xDC00;
std::string UserTextFromWide(const wchar_t* begin, const wchar_t* end);
std::wstring WideFromUserText(const std::string& text);
#endif

class LineEditor {
 public:
  using Completer = std::function<Completion(const std::string& line, size_t cursor)>;

  explicit LineEditor(Completer completer);
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;
  ~LineEditor();

  // True when standard input is a terminal.
  bool interactive() const { return interactive_; }

  enum class Result {
    Line,         // a line was read
    Interrupted,  // Ctrl-C while it was typed: the line is dropped
    End,          // the end of the input
  };
  // At a terminal (interactive()): shows the prompt and reads one line,
  // without its line end. Scripts and piped input are read by the script runner.
  Result Read(const std::string& prompt, std::string* line);

  // Adds a line to the history and saves the history file at once.
  void Remember(const std::string& line);

 private:
  struct Editor;

  bool interactive_ = false;
  std::unique_ptr<Editor> editor_;
};

}  // namespace merlo
