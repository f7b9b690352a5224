#include "script.h"

#include <istream>
#include <ostream>

#include "interrupt.h"
#include "text.h"

namespace merlo {

namespace {

// A script line without its line end and leading blanks; false for one
// that holds no command. mayFail tells whether it started with "-".
bool CommandOf(std::string line, std::string* command, bool* mayFail) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos || line[start] == '#') return false;
  *mayFail = line[start] == '-';
  *command = line.substr(start + (*mayFail ? 1 : 0));
  return true;
}

}  // namespace

int RunCommandWords(Session& session, const Words& words) {
  if (words.size() == 1) return session.RunLine(words[0]) ? kAllDone : kCommandFailed;
  if (!words[0].empty() && words[0][0] == '!') {
    // A local command takes every word after it, as on a line.
    std::string line;
    for (const auto& word : words) line += (line.empty() ? "" : " ") + word;
    return session.RunLine(line) ? kAllDone : kCommandFailed;
  }
  std::vector<Words> commands(1);
  for (const auto& word : words) {
    if (word == ";") {
      commands.emplace_back();
    } else if (word.size() > 1 && word.back() == ';') {
      commands.back().push_back(word.substr(0, word.size() - 1));
      commands.emplace_back();
    } else {
      commands.back().push_back(word);
    }
  }
  for (const auto& command : commands) {
    if (command.empty()) continue;
    if (!session.Run(command) || Interrupted()) return kCommandFailed;
    if (session.ExitRequested()) break;
  }
  return kAllDone;
}

int RunScript(Session& session, std::istream& in, bool echo, std::ostream& out) {
  std::string line, command;
  bool first = true;
  while (!session.ExitRequested() && std::getline(in, line)) {
    // Scripts are UTF-8; an editor may have put a byte order mark first.
    if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    first = false;
    bool mayFail = false;
    if (!CommandOf(line, &command, &mayFail)) continue;
    if (Interrupted()) return kCommandFailed;
    if (echo) out << session.Prompt() << (mayFail ? "-" : "") << command << '\n' << std::flush;
    const bool ok = session.RunLine(command);
    if (Interrupted()) return kCommandFailed;
    if (!ok && !mayFail) return kCommandFailed;
  }
  return kAllDone;
}

int RunInteractive(Session& session, LineEditor& editor, std::ostream& out) {
  std::string line, command;
  while (!session.ExitRequested()) {
    SetInterruptMode(InterruptMode::Prompt);
    ClearInterrupt();
    const LineEditor::Result result = editor.Read(session.Prompt(), &line);
    SetInterruptMode(InterruptMode::Work);
    if (result == LineEditor::Result::End) {
      out << '\n';
      break;
    }
    if (result == LineEditor::Result::Interrupted) continue;
    bool mayFail = false;
    if (!CommandOf(line, &command, &mayFail)) continue;
    session.RunLine(command);
    editor.Remember(line);
  }
  ClearInterrupt();
  return session.LastSucceeded() ? kAllDone : kCommandFailed;
}

}  // namespace merlo
