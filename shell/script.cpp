#include "script.h"

#include <algorithm>
#include <iostream>
#include <istream>
#include <ostream>
#include <utility>

#include "interrupt.h"
#include "platform.h"
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

// A command as the user would type it again.
std::string CommandText(const Words& words) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : " ") + QuoteWord(word);
  return text;
}

// How the commands of one line ended. On a Ctrl-C, StoppedAt is the
// command it stopped and Rest the commands of the line after it.
struct LineOutcome {
  bool Ok = true;
  bool Interrupted = false;
  std::string StoppedAt;
  std::string Rest;
};

// Runs commands up to the first that fails, as Session::RunLine does, and
// notes where a Ctrl-C stopped them.
LineOutcome RunCommands(Session& session, const std::vector<Words>& commands) {
  LineOutcome outcome;
  for (size_t i = 0; i < commands.size(); ++i) {
    if (commands[i].empty()) continue;
    outcome.Ok = session.Run(commands[i]);
    if (Interrupted()) {
      outcome.Ok = false;
      outcome.Interrupted = true;
      outcome.StoppedAt = CommandText(commands[i]);
      for (size_t j = i + 1; j < commands.size(); ++j) {
        if (commands[j].empty()) continue;
        outcome.Rest += (outcome.Rest.empty() ? "" : "; ") + CommandText(commands[j]);
      }
      return outcome;
    }
    if (!outcome.Ok || session.ExitRequested()) break;
  }
  return outcome;
}

LineOutcome RunCommandLine(Session& session, const std::string& line) {
  const auto commands = SplitCommands(line);
  if (!commands || IsLocalCommandLine(line)) {
    // RunLine says that a quote is open, or hands the line to the PC's shell.
    LineOutcome outcome;
    outcome.Ok = session.RunLine(line);
    return outcome;
  }
  return RunCommands(session, *commands);
}

// "line 4", "lines 4-9".
std::string LinesText(size_t first, size_t last) {
  return first == last ? "line " + std::to_string(first)
                       : "lines " + std::to_string(first) + "-" + std::to_string(last);
}

// The first and the last line after this point that hold a command, read
// ahead; 0 when none does.
std::pair<size_t, size_t> CommandLinesAhead(std::istream& in, size_t lineNumber) {
  std::pair<size_t, size_t> lines{0, 0};
  std::string line, command;
  bool mayFail = false;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (!CommandOf(line, &command, &mayFail)) continue;
    if (lines.first == 0) lines.first = lineNumber;
    lines.second = lineNumber;
  }
  return lines;
}

// "X was not run", "X and Y were not run"; empty parts drop out.
std::string NotRun(std::vector<std::string> parts) {
  std::vector<std::string> kept;
  for (auto& part : parts) {
    if (!part.empty()) kept.push_back(std::move(part));
  }
  if (kept.empty()) return "";
  std::string text;
  for (size_t i = 0; i < kept.size(); ++i) text += (i == 0 ? "" : " and ") + kept[i];
  const bool many = kept.size() > 1 || kept[0].compare(0, 6, "lines ") == 0;
  return text + (many ? " were" : " was") + " not run";
}

// The line that ends a script stopped by a Ctrl-C: where it stopped, and
// what it did not run. Input that is no file (a pipe) is not read ahead,
// since its end may be long in coming. started is null when the Ctrl-C came
// before the line's first command.
void TellScriptStopped(std::ostream& err, std::istream& in, bool lookAhead, size_t lineNumber,
                       const std::string& command, const LineOutcome* started) {
  std::string lines, unread;
  if (!lookAhead) {
    if (started == nullptr) lines = LinesText(lineNumber, lineNumber);
    unread = "the rest of the input";
  } else {
    const auto [first, last] = CommandLinesAhead(in, lineNumber);
    if (started == nullptr) {
      lines = LinesText(lineNumber, std::max(last, lineNumber));
    } else if (first != 0) {
      lines = LinesText(first, last);
    }
  }
  const std::string rest =
      started != nullptr && !started->Rest.empty()
          ? "the rest of line " + std::to_string(lineNumber) + " (" + started->Rest + ")"
          : "";
  std::string notRun = NotRun({rest, lines, unread});
  if (notRun.empty()) notRun = "it was the script's last command";
  err << "merlo: script stopped " << (started != nullptr ? "at" : "before") << " line "
      << lineNumber << " (" << (started != nullptr ? started->StoppedAt : command)
      << ") by Ctrl-C; " << notRun << '\n'
      << std::flush;
}

// The same for commands given on merlo's command line.
void TellCommandsStopped(std::ostream& err, const LineOutcome& outcome) {
  err << "merlo: stopped at " << outcome.StoppedAt << " by Ctrl-C"
      << (outcome.Rest.empty() ? "" : "; not run: " + outcome.Rest) << '\n'
      << std::flush;
}

}  // namespace

int RunCommandWords(Session& session, const Words& words) {
  if (!words[0].empty() && words[0][0] == '!') {
    // A local command takes every word after it, as on a line.
    std::string line;
    for (const auto& word : words) line += (line.empty() ? "" : " ") + word;
    return session.RunLine(line) ? kAllDone : kCommandFailed;
  }
  std::vector<Words> commands(1);
  if (words.size() == 1) {
    // A single word is a whole command line.
    const auto split = SplitCommands(words[0]);
    if (!split) return session.RunLine(words[0]) ? kAllDone : kCommandFailed;
    commands = *split;
  } else {
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
  }
  const LineOutcome outcome = RunCommands(session, commands);
  if (outcome.Interrupted) TellCommandsStopped(std::cerr, outcome);
  return outcome.Ok ? kAllDone : kCommandFailed;
}

int RunScript(Session& session, std::istream& in, bool echo, std::ostream& out) {
  // A script file is read ahead to tell what a Ctrl-C left unrun; so is
  // standard input when it is a file.
  const bool lookAhead = &in != &std::cin || platform::IsFile(stdin);
  std::string line, command;
  size_t lineNumber = 0;
  while (!session.ExitRequested() && std::getline(in, line)) {
    ++lineNumber;
    // Scripts are UTF-8; an editor may have put a byte order mark first.
    if (lineNumber == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    bool mayFail = false;
    if (!CommandOf(line, &command, &mayFail)) continue;
    if (Interrupted()) {
      TellScriptStopped(std::cerr, in, lookAhead, lineNumber, command, nullptr);
      return kCommandFailed;
    }
    if (echo) out << session.Prompt() << (mayFail ? "-" : "") << command << '\n' << std::flush;
    const LineOutcome outcome = RunCommandLine(session, command);
    if (outcome.Interrupted) {
      TellScriptStopped(std::cerr, in, lookAhead, lineNumber, command, &outcome);
      return kCommandFailed;
    }
    if (!outcome.Ok && !mayFail) return kCommandFailed;
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
    const LineOutcome outcome = RunCommandLine(session, command);
    // At the prompt only the rest of the line is left unrun.
    if (outcome.Interrupted && !outcome.Rest.empty()) TellCommandsStopped(std::cerr, outcome);
    editor.Remember(line);
  }
  ClearInterrupt();
  return session.LastSucceeded() ? kAllDone : kCommandFailed;
}

}  // namespace merlo
