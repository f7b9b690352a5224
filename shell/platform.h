// What the shell asks of the operating system, in one place: the terminal
// and the console, Ctrl-C, PC file status, loading the module and the device
// library, the current folder and the environment. platform_posix.cpp and
// platform_win32.cpp implement it; CMake compiles the one for the target.
// Text is UTF-8 on both sides of this seam.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "completion.h"

namespace merlo::platform {

// ---- Start of the process ----------------------------------------------

// Readies user text: UTF-8 line editing whatever the locale says (POSIX);
// standard output and standard error that are a console written through its
// wide calls (Windows).
void PrepareUserText();

// The program's arguments as UTF-8, its own name first.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Sets a variable of the process's environment, seen by libraries loaded later.
void SetEnvironment(const char* name, const std::string& value);

// ---- The terminal ------------------------------------------------------

// True when the stream is a terminal: on Windows a console, not merely a
// character device (_isatty() also holds for NUL).
bool IsTerminal(FILE* stream);

// True when the stream is a plain file (standard input taken from one), which
// may be read to its end at once.
bool IsFile(FILE* stream);

// The terminal's width in columns (80 when it cannot be told).
size_t TerminalWidth();

// Line editing at a terminal: history where the platform keeps one, and Tab
// completion through the completer.
using Completer = std::function<Completion(const std::string& line, size_t cursor)>;
struct Terminal;
Terminal* OpenTerminal(Completer completer);
void CloseTerminal(Terminal* terminal);

enum class ReadResult {
  Line,         // a line was read
  Interrupted,  // Ctrl-C while it was typed: the line is dropped
  End,          // the end of the input
};
// Shows the prompt and reads one line, without its line end.
ReadResult ReadTerminalLine(Terminal* terminal, const std::string& prompt, std::string* line);

// Adds a line to the history (saved at once), where there is one.
void RememberLine(Terminal* terminal, const std::string& line);

// ---- Ctrl-C ------------------------------------------------------------

// Calls the handler on each Ctrl-C; every file call it interrupts is
// restarted, so that no call of the module or the device library fails
// because of it.
void CatchInterrupts(void (*handler)());

// At the prompt a Ctrl-C is taken only while the terminal waits for a key,
// so that none is lost between two reads.
void SetInterruptsAtPrompt(bool atPrompt);

// From the handler: writes UTF-8 to standard error at once, and ends the
// process at once.
void WriteErrorNow(const char* text);
[[noreturn]] void EndProcessNow(int status);

// ---- PC files ----------------------------------------------------------

// The characters that separate PC folders in a path the user types.
extern const char* const kPcSeparators;

// True where the PC's file systems tell no case apart.
extern const bool kPcNamesIgnoreCase;

// True where a PC path may start with "/" (or "~", "./"), which a device
// path typed with "/" may then be mistaken for.
extern const bool kPcPathsStartWithSlash;

// A PC file's status; false when it has none.
struct PcFileStatus {
  bool Regular = false;  // a plain file, not a folder or a device
  bool Folder = false;
  bool ReadOnly = false;  // marked read-only: no write permission at all, or the attribute
  uint64_t Size = 0;
  int64_t WrittenSeconds = 0;      // last write, seconds since 1970
  int64_t WrittenNanoseconds = 0;  // and its fraction (in 100 ns steps on Windows)
  uint64_t Written = 0;            // last write in 100 ns steps since 1601, as a device keeps it
};
bool StatPcFile(const std::filesystem::path& path, PcFileStatus* status);

// True when a PC path is itself a link: a symbolic link, and on Windows also a
// junction or any other reparse point. merlo never walks through one: what
// lies behind it belongs to another tree.
bool IsPcLink(const std::filesystem::path& path);

// Sets a file's last-write time, in 100 ns steps since 1601. A time that the
// PC's file times cannot hold is left as it was, and counts as set.
bool SetPcWriteTime(const std::filesystem::path& path, uint64_t steps, std::string* error);

// How far this process has read a PC file that it opens after this call:
// the position of its own descriptor (handle) on that file, found by the
// file's identity, not its name. Call it before the file is opened; the
// function it returns is false while none is open on the file or the
// position cannot be told.
using ReadPosition = std::function<bool(uint64_t* position)>;
ReadPosition WatchReading(const std::filesystem::path& file);

// Renames a PC file, never over another; false with the reason when it
// fails, and *taken (when given) true when it failed because `to` exists.
bool RenamePcFile(const std::filesystem::path& from, const std::filesystem::path& to,
                  std::string* error, bool* taken = nullptr);
// Removes a PC file; false with the reason.
bool RemovePcFile(const std::filesystem::path& path, std::string* error);

// Why the module's file calls cannot reach a PC path, where the system limits
// their paths: on Windows a path of more than 259 characters (UTF-16 units);
// empty where it can (always on POSIX, where the module's own fields are the
// narrower limit).
std::string PcPathProblem(const std::filesystem::path& path);

// Why writing `size` bytes to a file at `path` fails, where the PC can tell:
// a folder in the way, a read-only file, a folder that may not be written, a
// read-only file system, too little free space. Empty when none of these holds.
std::string PcWriteProblem(const std::filesystem::path& path, uint64_t size);

// The seconds since 1970 as local time, "YYYY-MM-DD HH:MM"; "?" when out of range.
std::string LocalTimeText(int64_t seconds);

// Text that is no UTF-8 read as the system's own ANSI code page (the
// system's, whatever code page the process itself uses), as editors there
// save it: its UTF-8 in *utf8 and the code page's name ("code page 1251") in
// *name. False where the platform has none (POSIX: its text is UTF-8) or the
// bytes are no text of that code page.
bool FromSystemCodePage(const std::string& bytes, std::string* utf8, std::string* name);

// The user's home folder (POSIX: $HOME, else the password database;
// Windows: the user's profile folder); empty when it cannot be told.
std::string HomeFolder();

// ---- Local commands ----------------------------------------------------

// Runs a command line through the PC's command shell (/bin/sh -c; cmd.exe /c),
// or, for an empty line, an interactive shell ($SHELL, else /bin/sh; cmd.exe),
// on merlo's own terminal; merlo ignores Ctrl-C until it ends. The command's
// exit status, or -1 with the reason in *error when it could not be run.
int RunLocalCommand(const std::string& command, std::string* error);

// ---- Libraries ---------------------------------------------------------

// Loads a library by path, binding every symbol at once; null with the error
// set on failure.
void* OpenLibrary(const std::string& path, std::string* error);
void* LibrarySymbol(void* library, const char* name);

// The device library that the module has loaded, found without loading
// anything; null when there is none. The reference it takes is kept.
void* LoadedDeviceLibrary();
void CloseLibrary(void* library);

// The folder that holds the running executable, with a trailing separator.
std::string ExecutableFolder();

// The module's file name on this platform.
const char* ModuleFileName();

// Readies the device library that the module will load. With --device
// (deviceGiven) that is the emulated library; without it, the system's where
// there is one. kReady, or the failure with its text in *error.
enum class DeviceLibraryState {
  kReady,
  kNoDeviceGiven,    // the platform has no system device library: a --device is needed
  kNotInstalled,     // the system's device software is missing
  kEmulatorMissing,  // the emulated device library is missing or does not load
};
DeviceLibraryState PrepareDeviceLibrary(bool deviceGiven, std::string* error);

// True where the device can be reached through the system's own device
// library, so that --device is optional.
bool HasSystemDevice();

// True where the module reads its settings from a file (--registry), not the
// system's registry.
bool HasRegistryFile();

}  // namespace merlo::platform
