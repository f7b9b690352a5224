#include "script.h"

#include <algorithm>
#include <iostream>
#include <istream>
#include <iterator>
#include <ostream>
#include <utility>

#include "interrupt.h"
#include "platform.h"
#include "text.h"
#include "unicode/unicode.h"

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

// How the commands of one line ended. On a Ctrl-C or a failure, StoppedAt
// is the command it stopped at and Rest the commands of the line after it.
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
    outcome.Interrupted = Interrupted();
    if (outcome.Interrupted || !outcome.Ok) {
      outcome.Ok = false;
      outcome.StoppedAt = CommandText(commands[i]);
      for (size_t j = i + 1; j < commands.size(); ++j) {
        if (commands[j].empty()) continue;
        outcome.Rest += (outcome.Rest.empty() ? "" : "; ") + CommandText(commands[j]);
      }
      return outcome;
    }
    if (session.ExitRequested()) break;
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

// The lines of a script as user text. Scripts are UTF-8, or UTF-16 of either
// byte order with its byte order mark, as Notepad saves "Unicode". Text that
// is no UTF-8 is read, on Windows, in the system's ANSI code page, which is
// said once; elsewhere it is refused, naming the line and its bytes. A UTF-8
// byte order mark declares UTF-8: such a script is never read in another
// encoding, and a line of it that is no UTF-8 is taken as it is, to be
// refused by name where it names something. A script that is a file is read
// whole before its first line runs, so that none runs of a script that
// cannot be read; other input is read line by line as it comes, but UTF-16,
// which has no line ends of one byte, is read whole.
class ScriptLines {
 public:
  ScriptLines(std::istream& in, bool file, std::string source)
      : in_(in), whole_(file), source_(std::move(source)) {
    const int first = in_.peek();
    if (first == 0xFF || first == 0xFE) whole_ = true;
    if (!whole_) return;
    const std::string bytes{std::istreambuf_iterator<char>(in_), std::istreambuf_iterator<char>()};
    std::string text;
    if (Decode(bytes, &text)) lines_ = Lines(text);
  }

  // Why the script cannot be read as text (at the line that was reached);
  // empty while it can.
  const std::string& Problem() const { return problem_; }
  // What was said of its encoding, once, when it is no UTF-8.
  std::string TakeNote() { return std::exchange(note_, ""); }

  // The next line, without its line end; false at the end, or at a line that
  // cannot be read (Problem()).
  bool Next(std::string* line) {
    if (!problem_.empty()) return false;
    if (whole_) {
      if (next_ >= lines_.size()) return false;
      *line = lines_[next_++];
    } else {
      if (!std::getline(in_, *line)) return false;
      ++next_;
      if (next_ == 1 && line->compare(0, 3, "\xEF\xBB\xBF") == 0) {
        line->erase(0, 3);
        declaredUtf8_ = true;
      }
      if (!declaredUtf8_ && !unicode::IsValidUtf8(*line) &&
          !FromCodePage(*line, line, *line, next_)) {
        return false;
      }
    }
    return true;
  }

  // Whether the lines after this one can be told (the script is a file).
  bool CanLookAhead() const { return whole_; }

  // The first and the last line after this point that hold a command; 0
  // when none does.
  std::pair<size_t, size_t> CommandLinesAhead() const {
    std::pair<size_t, size_t> lines{0, 0};
    std::string command;
    bool mayFail = false;
    for (size_t i = next_; i < lines_.size(); ++i) {
      if (!CommandOf(lines_[i], &command, &mayFail)) continue;
      if (lines.first == 0) lines.first = i + 1;
      lines.second = i + 1;
    }
    return lines;
  }

 private:
  bool Decode(const std::string& bytes, std::string* text) {
    if (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0) {
      const bool little = bytes[0] == '\xFF';
      std::u16string units;
      for (size_t at = 2; at + 1 < bytes.size(); at += 2) {
        const auto low = static_cast<unsigned char>(bytes[at + (little ? 0 : 1)]);
        const auto high = static_cast<unsigned char>(bytes[at + (little ? 1 : 0)]);
        units.push_back(static_cast<char16_t>(high << 8 | low));
      }
      if (bytes.size() % 2 != 0 || !unicode::ToUtf8(units, text)) {
        problem_ = source_ + " starts as UTF-16 (" + (little ? "little" : "big") +
                   "-endian) but is no valid UTF-16: " +
                   (bytes.size() % 2 != 0 ? "it ends in half a character"
                                          : "it holds an unpaired surrogate");
        return false;
      }
      return true;
    }
    const bool declaredUtf8 = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
    *text = declaredUtf8 ? bytes.substr(3) : bytes;
    if (declaredUtf8 || unicode::IsValidUtf8(*text)) return true;
    // The first line that is no UTF-8, to be named should the code page not read it either.
    const std::vector<std::string> lines = Lines(*text);
    const auto bad = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
      return !unicode::IsValidUtf8(line);
    });
    return FromCodePage(*text, text, bad == lines.end() ? std::string() : *bad,
                        size_t(bad - lines.begin()) + 1);
  }

  // The lines of a text, without their line ends ("\n"; a "\r" before it stays).
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }

  // Text that is no UTF-8, read in the system's code page where there is one;
  // else refused, naming its first line that is no UTF-8.
  bool FromCodePage(const std::string& bytes, std::string* text, std::string line,
                    size_t lineNumber) {
    std::string converted, name;
    if (platform::FromSystemCodePage(bytes, &converted, &name)) {
      if (!noted_) note_ = source_ + " is not UTF-8: read in " + name + ", the system's";
      noted_ = true;
      *text = std::move(converted);
      return true;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    problem_ = source_ + ": line " + std::to_string(lineNumber) +
               (name.empty() ? " is not valid UTF-8: " : " is neither UTF-8 nor " + name + ": ") +
               Printable(line) +
               " (scripts are UTF-8, or UTF-16 with its byte order mark, as Notepad saves "
               "\"Unicode\")";
    return false;
  }

  std::istream& in_;
  bool whole_;
  std::string source_;
  std::vector<std::string> lines_;
  size_t next_ = 0;  // lines taken so far
  std::string problem_, note_;
  bool noted_ = false;
  bool declaredUtf8_ = false;  // read line by line: the first began with a UTF-8 byte order mark
};

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

// The line that ends a script stopped by a Ctrl-C or a failure: where it
// stopped, and what it did not run. Input that is no file (a pipe) is not
// read ahead, since its end may be long in coming. started is null when the
// Ctrl-C came before the line's first command.
void TellScriptStopped(std::ostream& err, const ScriptLines& script, size_t lineNumber,
                       const std::string& command, const LineOutcome* started) {
  std::string lines, unread;
  if (!script.CanLookAhead()) {
    if (started == nullptr) lines = LinesText(lineNumber, lineNumber);
    unread = "the rest of the input";
  } else {
    const auto [first, last] = script.CommandLinesAhead();
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
  const bool failed = started != nullptr && !started->Interrupted;
  err << "merlo: script stopped " << (started != nullptr ? "at" : "before") << " line "
      << lineNumber << " (" << (started != nullptr ? started->StoppedAt : command) << ")"
      << (failed ? ", which failed; " : " by Ctrl-C; ") << notRun << '\n'
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

int RunScript(Session& session, std::istream& in, const std::string& source, bool echo,
              std::ostream& out) {
  // A script file is read whole, to tell what a Ctrl-C left unrun; so is
  // standard input when it is a file.
  ScriptLines script(in, &in != &std::cin || platform::IsFile(stdin), source);
  std::string line, command;
  size_t lineNumber = 0;
  while (!session.ExitRequested() && script.Next(&line)) {
    ++lineNumber;
    if (const std::string note = script.TakeNote(); !note.empty()) {
      std::cerr << "merlo: " << note << '\n' << std::flush;
    }
    bool mayFail = false;
    if (!CommandOf(line, &command, &mayFail)) continue;
    if (Interrupted()) {
      TellScriptStopped(std::cerr, script, lineNumber, command, nullptr);
      return kCommandFailed;
    }
    if (echo) out << session.Prompt() << (mayFail ? "-" : "") << command << '\n' << std::flush;
    const LineOutcome outcome = RunCommandLine(session, command);
    if (outcome.Interrupted) {
      TellScriptStopped(std::cerr, script, lineNumber, command, &outcome);
      return kCommandFailed;
    }
    if (!outcome.Ok && !mayFail) {
      if (!session.ExitRequested() && !outcome.StoppedAt.empty()) {
        TellScriptStopped(std::cerr, script, lineNumber, command, &outcome);
      }
      return kCommandFailed;
    }
  }
  if (!script.Problem().empty()) {
    std::cerr << "merlo: " << script.Problem()
              << (lineNumber == 0 ? "; nothing was run" : "; the script stopped there") << '\n';
    return lineNumber == 0 ? kUsageOrSetup : kCommandFailed;
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
