// Text and path helpers of the stand-in host: the narrow text the module speaks,
// device paths, PC paths in the form the module takes, wildcards and dates.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace merlo {

// The one place where user text meets the module's narrow text. On Linux
// both are UTF-8 and pass unchanged; text that is no valid UTF-8 has no narrow
// form and must be refused before it reaches the module. On Windows the
// module's narrow text is in the process's code page.
std::string NarrowFromUser(const std::string& text);

// The module's narrow text to user text: the reverse of NarrowFromUser.
std::string UserFromNarrow(const std::string& text);

// True when the whole user text has a narrow form: the module can carry it.
bool HasNarrowForm(const std::string& text);

// Why the user text has no narrow form, naming what the module's text cannot
// hold ("ł cannot be written in code page 1252"), or empty when it has
// one. A name without one is refused: it would reach another file.
std::string NarrowFormProblem(const std::string& text);

// The module's narrow text as the user is told of it: "UTF-8" (Linux), "code page
// 1252", "code page 65001 (UTF-8)" (Windows).
std::string NarrowTextName();

// Why a path does not fit a field of the module's, which counts the bytes of
// its narrow text: "\Глубина\… is 300 bytes in the module's UTF-8 text; its
// folder paths hold 258" (field "folder paths"). Empty when it fits.
std::string ModuleFieldProblem(const std::string& shown, size_t bytes, size_t limit,
                               const std::string& field);

// A PC path from user text. On Windows the path is made from the text's wide
// form (a plain std::string would be read in the C runtime's locale); its
// string() is UTF-8 again.
std::filesystem::path PathFromUser(const std::string& text);

// A PC path as the user typed it, with "~" and a leading "~/" (also "~\"
// where "\" separates) read as the user's home folder; other text unchanged.
std::string ExpandHome(const std::string& text);

// PathFromUser of ExpandHome: for every PC path the user types (not for
// names that come from the device).
std::filesystem::path PcPathFromUser(const std::string& text);

// The columns a user text (UTF-8) takes on the screen: East Asian wide
// characters take two, combining marks none. Everything that lays text out on
// the screen counts with it.
size_t ShownWidth(const std::string& text);

// The longest start of a user text that takes at most `columns` columns, cut
// between characters.
std::string FitColumns(const std::string& text, size_t columns);

// A text for messages: bytes that are no valid UTF-8 appear as "\xE9".
std::string Printable(const std::string& text);

// True when a device name from the module's listing holds U+FFFD: it stands
// for a character that the module could not convert, so the name reaches
// no entry, or another one.
bool HasReplacement(const std::string& narrowName);

// A PC folder (absolute, in the local file system's own form) as the module
// expects a PC path: on Linux "Z:" stands for the root and "\" separates
// ("/home/me" is "Z:\home\me", "/" is "Z:\"); on Windows the path unchanged.
std::string ModulePcPath(const std::string& absolutePath);

// A text of the module's (a box line) with its PC paths in the user's form:
// on Linux "Z:\tmp\b.jpg" is "/tmp/b.jpg"; on Windows the text unchanged.
std::string UserPcPaths(const std::string& moduleText);

// An absolute, normal form of a local path, without a trailing separator.
std::filesystem::path AbsoluteLocalPath(const std::filesystem::path& path);

// The parts of a device path; "\" and "/" both separate, empty parts drop out.
std::vector<std::string> SplitDevicePath(const std::string& path);

// Device folder text for its parts: "\" for none, "\a\b" for {a, b}.
std::string DevicePathText(const std::vector<std::string>& parts);

// Names compare as the side that holds them compares them: device names
// without regard to case, by Unicode's simple case folding; PC names as the
// PC's file system does (exactly on Linux, without regard to case on
// Windows). The keys are equal exactly when the names compare equal. Device
// names here are the module's narrow text, PC names user text.
bool SameDeviceName(const std::string& a, const std::string& b);
std::string DeviceNameKey(const std::string& name);
std::string PcNameKey(const std::string& name);

// A pattern with "*" (any run of characters) and "?" (one character) against a
// name, by characters, compared as on that side (device: narrow text).
bool MatchDeviceName(const std::string& pattern, const std::string& name);
bool MatchPcName(const std::string& pattern, const std::string& name);

// True when the text holds "*" or "?".
bool HasWildcards(const std::string& text);

// A Windows file time (100 ns units since 1601-01-01 UTC) as local
// "YYYY-MM-DD HH:MM"; the zero time gives an empty text.
std::string FormatFileTime(uint32_t low, uint32_t high);

// Seconds since 1970-01-01 UTC as local "YYYY-MM-DD HH:MM".
std::string FormatLocalTime(int64_t unixSeconds);

// Splits a line into commands at each ";" outside quotes, and each command
// into words at blanks. Double or single quotes group a run that holds blanks
// or ";"; a backslash is an ordinary character (it separates device folders).
// Empty commands drop out. Returns nothing when a quote is left open.
std::optional<std::vector<std::vector<std::string>>> SplitCommands(const std::string& line);

// Whether a line is a local command ("!command", or "!" alone), which goes
// whole to the PC's shell, ";" and quotes and all.
bool IsLocalCommandLine(const std::string& line);

// A word as the parser reads it back: unchanged when it holds nothing
// special, else quoted ("My Documents" gets double quotes; a double quote
// inside goes in single quotes).
std::string QuoteWord(const std::string& word);

// A byte count for people: "512 B", "2.9 KiB", "3.0 GiB".
std::string HumanBytes(uint64_t bytes);

// "1 file", "2 files".
std::string CountOf(uint64_t count, const char* singular, const char* plural);

// The name an old file is set aside under while a copy replaces it, for
// each attempt up to kAsideAttempts: "f.txt.merlo-old", "f.txt.merlo-old2",
// ...; the short form, for where that name is too long: "~merlo-old.tmp",
// "~merlo-old2.tmp", ...
constexpr int kAsideAttempts = 20;
std::string AsideName(const std::string& name, int attempt, bool shortForm);

}  // namespace merlo
