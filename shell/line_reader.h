// Reading command lines: with line editing and history at a terminal, plain
// lines otherwise.
#pragma once

#include <optional>
#include <string>

namespace merlo {

class LineReader {
 public:
  LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  ~LineReader();

  // The next line, or nothing at the end of the input. The prompt is shown
  // only at a terminal.
  std::optional<std::string> Read(const std::string& prompt);

  bool interactive() const { return interactive_; }

 private:
  bool interactive_ = false;
  std::string historyFile_;
};

}  // namespace merlo
