// The text merlo exchanges with the user is UTF-8 throughout the shell. On
// Windows the console is read and written through its wide calls and the
// arguments come from the wide command line, so that no letter depends on the
// console's code page; a pipe or a file gets UTF-8 bytes. On Linux the
// terminal and the arguments are UTF-8 already.
#pragma once

#include <string>
#include <vector>

#if defined(_WIN32)
#include <functional>
#include <memory>
#include <streambuf>
#endif

namespace merlo {

// The program's arguments as UTF-8, its own name first.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Standard output and standard error that are a console are written through
// the console's wide calls from here on (Windows; nothing elsewhere).
void UseConsoleText();

#if defined(_WIN32)
// Reads one line typed at the console, without its line end. False at the
// end of the input (Ctrl-Z), and when a Ctrl-C broke the read off, which
// sets interrupted.
bool ReadConsoleLine(std::string* line, bool* interrupted);

// A stream buffer that hands the UTF-8 text written to it on to write as
// UTF-16, at each line end, each flush and every 4 KiB; a character whose
// bytes are split between two writes waits for the rest.
std::unique_ptr<std::streambuf> WideTextBuffer(std::function<void(const std::wstring&)> write);

// UTF-8 and UTF-16 as Windows' own calls convert them; what is no valid
// UTF-8 becomes U+FFFD.
std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);
#endif

}  // namespace merlo
