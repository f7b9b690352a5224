// Tab completion: command names, device names read fresh through the module,
// and local paths. What it inserts is quoted the way the command line is
// read: a name that holds blanks goes in quotes, and since device paths use
// "\" as their separator nothing is ever escaped with a backslash.
#pragma once

#include <string>
#include <vector>

namespace merlo {

class Session;

struct Completion {
  size_t From = 0;                   // where the completed word starts in the line
  std::string Text;                  // replaces the line from From up to the cursor
  std::vector<std::string> Choices;  // shown when several names fit and nothing could be added
};

// `cursor` and Completion::From count bytes of the line's UTF-8.
Completion Complete(Session& session, const std::string& line, size_t cursor);

// The longest start that all names share, in whole characters, as the first
// name writes it; with caseless, characters that differ only in case match.
std::string CommonPrefix(const std::vector<std::string>& names, bool caseless);

// What Tab does to a line, on every platform: the line and cursor after the
// completion, or the choices to show. Changed is false when there is nothing
// to add (the terminal beeps).
struct TabResult {
  bool Changed = false;
  std::string Line;
  size_t Cursor = 0;
  std::vector<std::string> Choices;
};
TabResult ApplyCompletion(const std::string& line, size_t cursor, const Completion& completion);

// The choices in columns, each as wide as the widest shows, in rows of at
// most `width` columns, each row ended by a line end.
std::string ChoiceColumns(const std::vector<std::string>& choices, size_t width);

}  // namespace merlo
