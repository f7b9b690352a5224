// Fuzzes the shell's command-line splitter: whatever the line, the words come
// back, or nothing when a quote is left open; and words quoted again and
// joined with blanks split into the same words.
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
  const auto words = merlo::SplitCommandLine(line);
  if (!words) return 0;
  std::string joined;
  for (const std::string& word : *words) {
    const char quote = word.find('"') == std::string::npos ? '"' : '\'';
    if (word.find(quote) != std::string::npos) return 0;  // both quotes: no one way to quote it
    joined += ' ';
    joined += quote + word + quote;
  }
  const auto again = merlo::SplitCommandLine(joined);
  Check(again.has_value() && *again == *words);
  return 0;
}
