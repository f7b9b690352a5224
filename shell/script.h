// Running commands: from merlo's command line, from a script (-b FILE, or
// standard input when it is no terminal), or typed at the prompt.
//
// Commands from the command line or a script stop at the first one that
// fails, with exit status 1, so that nothing runs in a folder that was never
// reached. In a script a line that starts with "-" may fail without stopping
// it; blank lines and lines that start with "#" are passed over. At the
// prompt every command runs, and the status is that of the last one.
#pragma once

#include <iosfwd>

#include "line_editor.h"
#include "session.h"

namespace merlo {

// Exit statuses.
constexpr int kAllDone = 0;
constexpr int kCommandFailed = 1;
constexpr int kUsageOrSetup = 2;
constexpr int kNoConnection = 3;

// The words of merlo's command line after its options: one command, or
// several with ";" between them (as a word of its own or at the end of one).
// A single word is read as a whole command line: 'cd Temp; ls'.
int RunCommandWords(Session& session, const Words& words);

// With echo, each command is shown after the prompt before it runs. source
// names the script in messages: its path, or "standard input".
int RunScript(Session& session, std::istream& in, const std::string& source, bool echo,
              std::ostream& out);

int RunInteractive(Session& session, LineEditor& editor, std::ostream& out);

}  // namespace merlo
