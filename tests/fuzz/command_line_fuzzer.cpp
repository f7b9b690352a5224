// Fuzzes the shell's command-line parser: whatever the line, the commands and
// their words come back, or nothing when a quote is left open; and each word
// quoted again as completion quotes it, the words joined with blanks and the
// commands with ";", the line splits into the same commands.
#include <cstdint>
#include <string>

#include "text.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  const auto commands = merlo::SplitCommands(line);
  if (!commands) return 0;
  std::string joined;
  for (const auto& words : *commands) {
    Check(!words.empty());
    for (const std::string& word : words) joined += merlo::QuoteWord(word) + ' ';
    joined += ';';
  }
  const auto again = merlo::SplitCommands(joined);
  Check(again.has_value() && *again == *commands);
  return 0;
}
