// The shell's platform layer on Windows: the console through its wide calls,
// the console's control handler, the wide file calls and LoadLibrary.
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <iostream>
#include <memory>
#include <vector>

#include "console.h"
#include "interrupt.h"
#include "line_editor.h"
#include "platform.h"
#include "platform/win32/windows_api.h"
#include "text.h"
#include "unicode/unicode.h"
// After windows.h.
#include <shellapi.h>

#ifndef LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
#define LOAD_LIBRARY_SEARCH_DEFAULT_DIRS 0x00001000
#endif

namespace merlo {

namespace {

class WideBuffer : public std::streambuf {
 public:
  explicit WideBuffer(std::function<void(const std::wstring&)> write) : write_(std::move(write)) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    pending_.push_back(traits_type::to_char_type(c));
    if (c == '\n' || pending_.size() >= 4096) Flush();
    return c;
  }

  std::streamsize xsputn(const char* text, std::streamsize count) override {
    pending_.append(text, static_cast<size_t>(count));
    if (pending_.size() >= 4096 || pending_.find('\n') != std::string::npos) Flush();
    return count;
  }

  int sync() override {
    Flush();
    return 0;
  }

 private:
  void Flush() {
    // Everything up to the last character that is complete.
    size_t end = pending_.size();
    size_t back = 0;
    while (back < 3 && back < end &&
           (static_cast<unsigned char>(pending_[end - 1 - back]) & 0xC0) == 0x80) {
      ++back;
    }
    if (back < end) {
      const auto lead = static_cast<unsigned char>(pending_[end - 1 - back]);
      const size_t length = lead >= 0xF8   ? 1
                            : lead >= 0xF0 ? 4
                            : lead >= 0xE0 ? 3
                            : lead >= 0xC0 ? 2
                                           : 1;
      if (length > back + 1) end -= back + 1;
    }
    if (end == 0) return;
    write_(WideFromUtf8(pending_.substr(0, end)));
    pending_.erase(0, end);
  }

  std::function<void(const std::wstring&)> write_;
  std::string pending_;
};

void WriteToConsole(HANDLE console, const std::wstring& text) {
  for (size_t at = 0; at < text.size();) {
    DWORD written = 0;
    const DWORD count = static_cast<DWORD>(std::min<size_t>(text.size() - at, 8192));
    if (!WriteConsoleW(console, text.data() + at, count, &written, nullptr) || written == 0) break;
    at += written;
  }
}

// The console behind a standard handle, or null when it is none.
HANDLE ConsoleOf(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0
             ? handle
             : nullptr;
}

}  // namespace

std::unique_ptr<std::streambuf> WideTextBuffer(std::function<void(const std::wstring&)> write) {
  return std::make_unique<WideBuffer>(std::move(write));
}

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int count =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], count);
  return wide;
}

std::string Utf8FromWide(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(count), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], count,
                      nullptr, nullptr);
  return narrow;
}

// Windows: the module's narrow text is in the process's code page.
namespace {

// The code page of the process's narrow file calls, which the module's narrow
// text is in: UTF-8 in merlo.exe, whose manifest declares it, on Windows
// that honour that; the system's ANSI code page on older ones.
UINT NarrowCodePage() { return AreFileApisANSI() ? GetACP() : GetOEMCP(); }

// Wide text in a code page other than UTF-8. False when a character has no
// form there: what it became then (a "|", or the code page's own default
// where the code page takes none of its own) is no name of any file.
bool ToCodePage(UINT codePage, const std::wstring& wide, std::string* narrow) {
  narrow->clear();
  if (wide.empty()) return true;
  const int length = static_cast<int>(wide.size());
  BOOL usedDefault = FALSE;
  int count = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr, 0,
                                  "|", &usedDefault);
  if (count > 0) {
    narrow->resize(static_cast<size_t>(count));
    WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), length, &(*narrow)[0], count,
                        "|", &usedDefault);
    return usedDefault == FALSE;
  }
  // Code pages that take neither flags nor a default character: converted
  // plainly, and held only when the text comes back unchanged.
  count = WideCharToMultiByte(codePage, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return false;
  narrow->resize(static_cast<size_t>(count));
  WideCharToMultiByte(codePage, 0, wide.data(), length, &(*narrow)[0], count, nullptr, nullptr);
  const int back = MultiByteToWideChar(codePage, 0, narrow->data(), count, nullptr, 0);
  std::wstring again(static_cast<size_t>(std::max(back, 0)), L'\0');
  if (back > 0) MultiByteToWideChar(codePage, 0, narrow->data(), count, &again[0], back);
  return again == wide;
}

}  // namespace

std::string NarrowFromUser(const std::string& text) {
  const UINT codePage = NarrowCodePage();
  if (codePage == CP_UTF8) return text;
  std::string narrow;
  ToCodePage(codePage, WideFromUtf8(text), &narrow);
  return narrow;
}

std::string UserFromNarrow(const std::string& text) {
  const UINT codePage = NarrowCodePage();
  if (codePage == CP_UTF8 || text.empty()) return text;
  const int length = static_cast<int>(text.size());
  const int count = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
  if (count <= 0) return text;
  std::wstring wide(static_cast<size_t>(count), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), length, &wide[0], count);
  return Utf8FromWide(wide);
}

bool HasNarrowForm(const std::string& text) { return NarrowFormProblem(text).empty(); }

std::string NarrowFormProblem(const std::string& text) {
  if (!unicode::IsValidUtf8(text)) {
    return "it is not valid UTF-8 (the bytes shown as \\x..), which the module's text (" +
           NarrowTextName() + ") cannot carry";
  }
  const UINT codePage = NarrowCodePage();
  if (codePage == CP_UTF8) {
    // U+FFFD is what the module makes of a character it cannot convert.
    if (text.find("\xEF\xBF\xBD") == std::string::npos) return "";
    return "it holds U+FFFD, which stands for a character that could not be converted and names "
           "no file";
  }
  std::string narrow;
  if (ToCodePage(codePage, WideFromUtf8(text), &narrow)) return "";
  // Name the first character that has no form.
  for (size_t i = 0; i < text.size();) {
    char32_t code = 0;
    const size_t length = unicode::DecodeUtf8(text.data() + i, text.size() - i, &code);
    const std::string character = text.substr(i, length);
    if (!ToCodePage(codePage, WideFromUtf8(character), &narrow)) {
      return character + " cannot be written in " + NarrowTextName();
    }
    i += length;
  }
  return "it cannot be written in " + NarrowTextName();
}

std::string NarrowTextName() {
  const UINT codePage = NarrowCodePage();
  return "code page " + std::to_string(codePage) + (codePage == CP_UTF8 ? " (UTF-8)" : "") +
         (AreFileApisANSI() ? "" : ", the OEM one");
}

std::filesystem::path PathFromUser(const std::string& text) {
  return std::filesystem::path(WideFromUtf8(text));
}

std::string ModulePcPath(const std::string& absolutePath) { return NarrowFromUser(absolutePath); }

std::string UserPcPaths(const std::string& moduleText) { return moduleText; }

bool HasReplacement(const std::string& narrowName) {
  // In a code page other than UTF-8 the module lists such a character as
  // "?", which no name holds.
  if (NarrowCodePage() != CP_UTF8) return narrowName.find('?') != std::string::npos;
  // U+FFFD in UTF-8.
  return narrowName.find("\xEF\xBF\xBD") != std::string::npos;
}

}  // namespace merlo

namespace merlo::platform {

void PrepareUserText() {
  // Never freed: the streams use them until the process ends, their last
  // flush included.
  static std::streambuf* out = nullptr;
  static std::streambuf* err = nullptr;
  if (const HANDLE console = ConsoleOf(STD_OUTPUT_HANDLE); console != nullptr && out == nullptr) {
    std::cout.flush();
    out = WideTextBuffer([console](const std::wstring& text) {
            WriteToConsole(console, text);
          }).release();
    std::cout.rdbuf(out);
  }
  if (const HANDLE console = ConsoleOf(STD_ERROR_HANDLE); console != nullptr && err == nullptr) {
    err = WideTextBuffer([console](const std::wstring& text) {
            WriteToConsole(console, text);
          }).release();
    std::cerr.rdbuf(err);
  }
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  if (wide == nullptr) {
    arguments.assign(argv, argv + argc);
    return arguments;
  }
  for (int i = 0; i < count; ++i) arguments.push_back(Utf8FromWide(wide[i]));
  LocalFree(wide);
  return arguments;
}

void SetEnvironment(const char* name, const std::string& value) {
  // Both the process block and the C runtime's copy: a library loaded later
  // may read either.
  const std::wstring wideName = WideFromUtf8(name);
  const std::wstring wideValue = WideFromUtf8(value);
  SetEnvironmentVariableW(wideName.c_str(), wideValue.c_str());
  _wputenv((wideName + L"=" + wideValue).c_str());
}

std::string PcPathProblem(const std::filesystem::path& path) {
  // The module's narrow file calls take no path of MAX_PATH characters or more.
  const size_t units = path.wstring().size();
  if (units < MAX_PATH) return "";
  return Utf8FromWide(path.wstring()) + " is " + std::to_string(units) +
         " characters; Windows' file calls that the module makes take paths of at most " +
         std::to_string(MAX_PATH - 1);
}

bool FromSystemCodePage(const std::string& bytes, std::string* utf8, std::string* name) {
  // The system's ANSI code page: GetACP() is the process's, UTF-8 in merlo.exe.
  wchar_t number[8] = {};
  UINT codePage = 1252;
  if (GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, number, 8) > 0) {
    codePage = static_cast<UINT>(std::wcstoul(number, nullptr, 10));
  }
  if (codePage == 0 || codePage == CP_UTF8) return false;
  *name = "code page " + std::to_string(codePage);
  if (bytes.empty()) {
    utf8->clear();
    return true;
  }
  const int length = static_cast<int>(bytes.size());
  const int count =
      MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
  if (count <= 0) return false;
  std::wstring wide(static_cast<size_t>(count), L'\0');
  MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), length, &wide[0], count);
  *utf8 = Utf8FromWide(wide);
  return true;
}

std::string HomeFolder() {
  const wchar_t* profile = _wgetenv(L"USERPROFILE");
  return profile != nullptr ? Utf8FromWide(profile) : std::string();
}

int RunLocalCommand(const std::string& command, std::string* error) {
  std::cout.flush();
  std::cerr.flush();
  // merlo takes no Ctrl-C while the command runs; the console gives it to the command.
  SetConsoleCtrlHandler(nullptr, TRUE);
  const int status = _wsystem(command.empty() ? L"cmd.exe" : WideFromUtf8(command).c_str());
  const int reason = errno;
  SetConsoleCtrlHandler(nullptr, FALSE);
  if (status == -1) {
    *error = std::string("cannot run the command shell: ") + std::strerror(reason);
    return -1;
  }
  return status;
}

bool IsTerminal(FILE* stream) {
  const intptr_t handle = _get_osfhandle(_fileno(stream));
  DWORD mode = 0;
  return handle != -1 && GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}

bool IsFile(FILE* stream) {
  const intptr_t handle = _get_osfhandle(_fileno(stream));
  return handle != -1 && GetFileType(reinterpret_cast<HANDLE>(handle)) == FILE_TYPE_DISK;
}

size_t TerminalWidth() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  const HANDLE console = ConsoleOf(STD_OUTPUT_HANDLE);
  if (console == nullptr || !GetConsoleScreenBufferInfo(console, &info) || info.dwSize.X <= 0) {
    return 80;
  }
  return static_cast<size_t>(info.dwSize.X);
}

// The console's own line input, as the system's command prompt uses it: the
// console edits the line and keeps its history, and a Tab wakes the read up
// (CONSOLE_READCONSOLE_CONTROL) so that merlo completes the word before the
// cursor and hands the line back to the console.
struct Terminal {
  Completer completer;
};

Terminal* OpenTerminal(Completer completer) { return new Terminal{std::move(completer)}; }

void CloseTerminal(Terminal* terminal) { delete terminal; }

namespace {

void (*gInterruptHandler)() = nullptr;

// The line read as the Ctrl-C handler, on a thread of its own, sees it. A
// console may end the read on a Ctrl-C (ERROR_OPERATION_ABORTED), before or
// after the handler runs, or go on reading (Wine's does): then the handler
// wakes it with an Enter key of its own, and the line that comes back is
// dropped.
enum ReadState { kIdle, kReading, kWoken };
std::atomic<int> gReadState{kIdle};
// Set by the handler when it is done with a Ctrl-C, its wake key written.
HANDLE gControlDone = nullptr;

// The handler's Enter key: no keyboard sends one without a scan code.
constexpr DWORD kWakeKeyState = SCROLLLOCK_ON;

bool IsWakeKey(const INPUT_RECORD& record) {
  const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
  return record.EventType == KEY_EVENT && key.bKeyDown && key.wVirtualKeyCode == VK_RETURN &&
         key.wVirtualScanCode == 0 && key.dwControlKeyState == kWakeKeyState &&
         key.uChar.UnicodeChar == L'\r';
}

void WriteWakeKey(HANDLE input) {
  INPUT_RECORD record{};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = TRUE;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
  record.Event.KeyEvent.dwControlKeyState = kWakeKeyState;
  record.Event.KeyEvent.uChar.UnicodeChar = L'\r';
  DWORD written = 0;
  WriteConsoleInputW(input, &record, 1, &written);
}

// Takes the handler's wake key out of the input when the read did not take
// it: the keys typed around it stay, in their order.
void TakeOutWakeKey(HANDLE input) {
  DWORD count = 0;
  if (!GetNumberOfConsoleInputEvents(input, &count) || count == 0) return;
  std::vector<INPUT_RECORD> records(count);
  DWORD got = 0;
  if (!PeekConsoleInputW(input, records.data(), count, &got)) return;
  records.resize(got);
  if (std::none_of(records.begin(), records.end(), IsWakeKey)) return;
  if (!ReadConsoleInputW(input, records.data(), got, &got)) return;
  records.resize(got);
  records.erase(std::remove_if(records.begin(), records.end(), IsWakeKey), records.end());
  DWORD written = 0;
  if (!records.empty())
    WriteConsoleInputW(input, records.data(), static_cast<DWORD>(records.size()), &written);
}

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (gInterruptHandler != nullptr) gInterruptHandler();
  int reading = kReading;
  if (gReadState.compare_exchange_strong(reading, kWoken))
    WriteWakeKey(GetStdHandle(STD_INPUT_HANDLE));
  if (gControlDone != nullptr) SetEvent(gControlDone);
  return TRUE;
}

// Where the console's cursor is; false when standard output is no console.
bool CursorAt(HANDLE console, COORD* at) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (console == nullptr || !GetConsoleScreenBufferInfo(console, &info)) return false;
  *at = info.dwCursorPosition;
  return true;
}

// True when the console gives an East Asian wide character one cell of its
// own, where the terminal it draws on gives it two (Wine on a terminal):
// then any cursor move of the console's over such a character lands short,
// so merlo edits Backspace itself and redraws from the row's start. Told on
// a screen buffer of its own, which shows nothing.
bool ConsoleMiscountsWideCharacters() {
  static const bool miscounts = [] {
    const HANDLE buffer = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                    CONSOLE_TEXTMODE_BUFFER, nullptr);
    if (buffer == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    COORD at{};
    const bool told =
        WriteConsoleW(buffer, L"\x8868", 1, &written, nullptr) && CursorAt(buffer, &at);
    CloseHandle(buffer);
    return told && at.X == 1;
  }();
  return miscounts;
}

// Shows the prompt and the line anew from `home`, where the prompt starts,
// blanking what the screen showed before (`columnsBefore` columns from there,
// a Tab's blanks included). The console's own cursor moves go to the row's
// start and over blanks only, which every console counts as the screen does.
void Redraw(HANDLE console, COORD home, const std::string& prompt, const std::string& line,
            size_t columnsBefore) {
  SetConsoleCursorPosition(console, home);
  WriteToConsole(console, WideFromUtf8(prompt + line));
  COORD end{};
  if (!CursorAt(console, &end)) return;
  const size_t columns = ShownWidth(prompt + line);
  if (columnsBefore > columns) WriteToConsole(console, std::wstring(columnsBefore - columns, L' '));
  SetConsoleCursorPosition(console, end);
}

// The line without the character before `at` (a surrogate pair whole).
std::wstring WithoutCharacterBefore(std::wstring line, size_t at) {
  if (at == 0) return line;
  size_t from = at - 1;
  if (from > 0 && IS_LOW_SURROGATE(line[from]) && IS_HIGH_SURROGATE(line[from - 1])) --from;
  return line.erase(from, at - from);
}

// A line read ends here: when the handler woke it, its key is taken out of
// the input where the read left it, once the handler is done.
void EndRead(HANDLE input) {
  int reading = kReading;
  if (gReadState.compare_exchange_strong(reading, kIdle)) return;
  WaitForSingleObject(gControlDone, 2000);
  TakeOutWakeKey(input);
  gReadState.store(kIdle);
}

}  // namespace

ReadResult ReadTerminalLine(Terminal* terminal, const std::string& prompt, std::string* line) {
  const HANDLE output = ConsoleOf(STD_OUTPUT_HANDLE);
  std::cout << std::flush;
  COORD home{};
  const bool shown = CursorAt(output, &home);
  std::cout << prompt << std::flush;
  const HANDLE input = ConsoleOf(STD_INPUT_HANDLE);
  if (input == nullptr) return ReadResult::End;
  const bool ownBackspace = shown && ConsoleMiscountsWideCharacters();
  if (gControlDone != nullptr) ResetEvent(gControlDone);
  gReadState.store(kReading);
  std::wstring wide;     // the line read so far
  std::wstring initial;  // handed back to the console after a Tab, shown already
  bool aborted = false;
  for (;;) {
    std::vector<wchar_t> buffer(std::max<size_t>(4096, initial.size() + 1024));
    std::copy(initial.begin(), initial.end(), buffer.begin());
    CONSOLE_READCONSOLE_CONTROL control{};
    control.nLength = sizeof control;
    control.nInitialChars = static_cast<ULONG>(initial.size());
    control.dwCtrlWakeupMask = 1u << L'\t';
    if (ownBackspace) control.dwCtrlWakeupMask |= 1u << L'\b';
    DWORD got = 0;
    SetLastError(ERROR_SUCCESS);
    if (!ReadConsoleW(input, buffer.data(), static_cast<DWORD>(buffer.size()), &got, &control) ||
        got == 0) {
      // A Ctrl-C ends the read so, or with nothing read, maybe before its
      // handler has run: it is waited for, so that the Ctrl-C is not left
      // for the command that comes next.
      aborted = GetLastError() == ERROR_OPERATION_ABORTED;
      if (gControlDone != nullptr) WaitForSingleObject(gControlDone, aborted ? 2000 : 200);
      break;
    }
    std::wstring chunk(buffer.data(), got);
    if (Interrupted()) {
      wide = chunk;
      break;
    }
    const size_t wake = wide.empty() ? chunk.find_first_of(L"\t\b") : std::wstring::npos;
    if (wake == std::wstring::npos || chunk.find(L'\n') != std::wstring::npos) {
      wide += chunk;
      initial.clear();
      if (wide.back() == L'\n') break;
      continue;
    }
    // The console put the key where the cursor was.
    const std::wstring before = chunk.substr(0, wake);
    const std::wstring after = chunk.substr(wake + 1);
    const size_t columnsBefore = ShownWidth(prompt + Utf8FromWide(before + after)) + 8;
    if (chunk[wake] == L'\b') {
      initial = WithoutCharacterBefore(before + after, before.size());
      Redraw(output, home, prompt, Utf8FromWide(initial), columnsBefore);
      continue;
    }
    // A Tab: the word before it is completed.
    const std::string text = Utf8FromWide(before + after);
    const size_t cursor = Utf8FromWide(before).size();
    const TabResult result = ApplyCompletion(text, cursor, terminal->completer(text, cursor));
    if (shown && !result.Choices.empty()) {
      std::cout << '\n' << ChoiceColumns(result.Choices, TerminalWidth()) << std::flush;
      CursorAt(output, &home);
      std::cout << prompt << std::flush;
      WriteToConsole(output, WideFromUtf8(result.Line));
    } else if (shown) {
      Redraw(output, home, prompt, result.Line, columnsBefore);
      if (!result.Changed) Beep(750, 50);
    }
    initial = WideFromUtf8(result.Line);
  }
  EndRead(input);
  if (Interrupted() || aborted) {
    // Dropped. A read that ended with the line's Enter has begun a new row already.
    if (wide.empty() || wide.back() != L'\n') std::cout << '\n' << std::flush;
    ClearInterrupt();
    return ReadResult::Interrupted;
  }
  // Ctrl-Z at the start of a line ends the input, as it does for the C runtime.
  if (wide.empty() || wide[0] == L'\x1A') return ReadResult::End;
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r')) wide.pop_back();
  *line = Utf8FromWide(wide);
  return ReadResult::Line;
}

void RememberLine(Terminal*, const std::string&) {}  // the console keeps its own history

void CatchInterrupts(void (*handler)()) {
  gInterruptHandler = handler;
  if (gControlDone == nullptr) gControlDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void SetInterruptsAtPrompt(bool) {}  // the line read itself tells a Ctrl-C (ReadTerminalLine)

void WriteErrorNow(const char* text) {
  const size_t length = std::strlen(text);
  if (length == 0) return;
  // UTF-8: a console takes it as UTF-16, a pipe or file as it is.
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0, mode = 0;
  static wchar_t wide[1024];
  const int count =
      GetConsoleMode(handle, &mode) != 0
          ? MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), wide, 1024)
          : 0;
  if (count > 0) {
    WriteConsoleW(handle, wide, static_cast<DWORD>(count), &written, nullptr);
  } else {
    WriteFile(handle, text, static_cast<DWORD>(length), &written, nullptr);
  }
}

void EndProcessNow(int status) { ExitProcess(static_cast<UINT>(status)); }

const char* const kPcSeparators = "\\/";
const bool kPcNamesIgnoreCase = true;
const bool kPcPathsStartWithSlash = false;

bool IsPcLink(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.wstring().c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool StatPcFile(const std::filesystem::path& path, PcFileStatus* status) {
  // The system's call, not the C runtime's: its times keep the 100 ns steps
  // that a device time has. One call: mirror takes this for every file of a tree.
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.wstring().c_str(), GetFileExInfoStandard, &data)) return false;
  status->Folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status->ReadOnly = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  status->Regular =
      (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
  status->Size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  status->Written = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                    data.ftLastWriteTime.dwLowDateTime;
  constexpr int64_t kFileTimeTo1970 = 116444736000000000;
  constexpr int64_t kStepsPerSecond = 10000000;
  const int64_t fromEpoch = static_cast<int64_t>(status->Written) - kFileTimeTo1970;
  int64_t seconds = fromEpoch / kStepsPerSecond;
  int64_t steps = fromEpoch % kStepsPerSecond;
  if (steps < 0) {
    --seconds;
    steps += kStepsPerSecond;
  }
  status->WrittenSeconds = seconds;
  status->WrittenNanoseconds = steps * 100;
  return true;
}

bool SetPcWriteTime(const std::filesystem::path& path, uint64_t steps, std::string* error) {
  const HANDLE file = CreateFileW(path.wstring().c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(steps);
  time.dwHighDateTime = static_cast<DWORD>(steps >> 32);
  const bool set = file != INVALID_HANDLE_VALUE && SetFileTime(file, nullptr, nullptr, &time);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!set) *error = "cannot set the time of " + path.string();
  return set;
}

namespace {

// A file's identity: the volume and the file's index on it.
struct FileIdentity {
  DWORD Volume = 0, High = 0, Low = 0;
  bool operator==(const FileIdentity& other) const {
    return Volume == other.Volume && High == other.High && Low == other.Low;
  }
};

bool IdentityOf(HANDLE handle, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  *identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return true;
}

// ntdll's NtQueryInformationFile, with an IO_STATUS_BLOCK's layout.
struct IoStatus {
  LONG_PTR Status;
  ULONG_PTR Information;
};
using QueryInformationFile = LONG(WINAPI*)(HANDLE, IoStatus*, void*, ULONG, int);
constexpr int kFilePositionInformation = 14;

// The values of the handles this process holds. They are multiples of 4,
// given out from the lowest free one, so a long run of unused values ends
// the table.
std::vector<uintptr_t> OpenHandleValues() {
  constexpr uintptr_t kUnusedRun = 1024;
  std::vector<uintptr_t> values;
  uintptr_t lastUsed = 0;
  for (uintptr_t value = 4; value < lastUsed + kUnusedRun * 4; value += 4) {
    DWORD flags = 0;
    if (!GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) continue;
    values.push_back(value);
    lastUsed = value;
  }
  return values;
}

}  // namespace

ReadPosition WatchReading(const std::filesystem::path& file) {
  // The position lives in the file object that the module's handle refers
  // to. NtQueryInformationFile reads it and nothing more; SetFilePointerEx
  // would also write it back, which could undo a read of the module's that
  // came in between. Only handles opened after this call are asked: a
  // question to a handle of another kind, a pipe that a thread waits on,
  // may wait as long as that thread. A handle may be closed and its value
  // given out again meanwhile, so the file's identity is checked on both
  // sides of the read.
  static const auto query = reinterpret_cast<QueryInformationFile>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
  if (query == nullptr) return [](uint64_t*) { return false; };
  auto before = std::make_shared<std::vector<uintptr_t>>(OpenHandleValues());
  auto found = std::make_shared<uintptr_t>(0);
  return [file, before, found](uint64_t* position) {
    // Attributes only: such a handle meets no file's sharing mode.
    const HANDLE own = CreateFileW(file.wstring().c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (own == INVALID_HANDLE_VALUE) return false;
    FileIdentity wanted;
    const bool known = IdentityOf(own, &wanted);
    CloseHandle(own);
    if (!known) return false;
    const auto positionAt = [&](uintptr_t value) {
      const HANDLE handle = reinterpret_cast<HANDLE>(value);
      FileIdentity identity;
      IoStatus status{};
      LARGE_INTEGER at{};
      if (GetFileType(handle) != FILE_TYPE_DISK || !IdentityOf(handle, &identity) ||
          !(identity == wanted) ||
          query(handle, &status, &at, sizeof at, kFilePositionInformation) != 0 ||
          !IdentityOf(handle, &identity) || !(identity == wanted) || at.QuadPart < 0) {
        return false;
      }
      *position = static_cast<uint64_t>(at.QuadPart);
      return true;
    };
    // The handle found last time first: the watch asks several times a second.
    if (*found != 0 && positionAt(*found)) return true;
    for (const uintptr_t value : OpenHandleValues()) {
      if (std::binary_search(before->begin(), before->end(), value)) continue;
      if (positionAt(value)) {
        *found = value;
        return true;
      }
    }
    return false;
  };
}

namespace {

// The system's text for an error code, without its line end.
std::string SystemErrorText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring wide = length > 0 && text != nullptr ? std::wstring(text, length) : std::wstring();
  if (text != nullptr) LocalFree(text);
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L'.')) {
    wide.pop_back();
  }
  return wide.empty() ? "error " + std::to_string(code) : Utf8FromWide(wide);
}

}  // namespace

bool RenamePcFile(const std::filesystem::path& from, const std::filesystem::path& to,
                  std::string* error, bool* taken) {
  // Without MOVEFILE_REPLACE_EXISTING: an existing `to` makes it fail.
  if (MoveFileExW(from.wstring().c_str(), to.wstring().c_str(), 0)) return true;
  const DWORD code = GetLastError();
  if (taken != nullptr) *taken = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
  *error = SystemErrorText(code);
  return false;
}

bool RemovePcFile(const std::filesystem::path& path, std::string* error) {
  if (DeleteFileW(path.wstring().c_str())) return true;
  *error = SystemErrorText(GetLastError());
  return false;
}

std::string PcWriteProblem(const std::filesystem::path& path, uint64_t size) {
  const std::string shown = Utf8FromWide(path.wstring());
  const DWORD attributes = GetFileAttributesW(path.wstring().c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return "a folder is in the way at " + shown;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return shown + " is read-only";
  }
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : L".";
  wchar_t volume[MAX_PATH + 1];
  DWORD flags = 0;
  if (GetVolumePathNameW(folder.wstring().c_str(), volume, MAX_PATH + 1) &&
      GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
      (flags & FILE_READ_ONLY_VOLUME) != 0) {
    return "the volume that holds " + Utf8FromWide(folder.wstring()) + " is read-only";
  }
  ULARGE_INTEGER free;
  if (GetDiskFreeSpaceExW(folder.wstring().c_str(), &free, nullptr, nullptr) &&
      free.QuadPart < size) {
    return "the disk that holds " + Utf8FromWide(folder.wstring()) + " is full (" +
           std::to_string(free.QuadPart) + " bytes free)";
  }
  return "";
}

std::string LocalTimeText(int64_t seconds) {
  std::tm local{};
  const __time64_t t = seconds;
  if (seconds < 0 || _localtime64_s(&local, &t) != 0) return "?";
  char text[32];
  if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local) == 0) return "?";
  return text;
}

void* OpenLibrary(const std::string& path, std::string* error) {
  HMODULE library = LoadLibraryW(WideFromUtf8(path).c_str());
  if (library == nullptr) {
    *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
  }
  return reinterpret_cast<void*>(library);
}

void* LibrarySymbol(void* library, const char* name) {
  // Through the generic function type, which the cast warnings accept.
  return reinterpret_cast<void*>(
      reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(library), name)));
}

void CloseLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

void* LoadedDeviceLibrary() { return reinterpret_cast<void*>(GetModuleHandleW(L"rapi.dll")); }

std::string ExecutableFolder() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return "";
  path.resize(length);
  const std::string whole = Utf8FromWide(path);
  return whole.substr(0, whole.find_last_of("\\/") + 1);
}

const char* ModuleFileName() { return "MERLO.dll"; }

DeviceLibraryState PrepareDeviceLibrary(bool deviceGiven, std::string* error) {
  if (deviceGiven) {
    // The emulated device library goes in before the module asks for the
    // device library by name, so that the module takes it instead of the
    // system's. It is kept out of merlo.exe's own folder in the release
    // (emulator\rapi.dll), where the module would find it even without --device.
    const std::string folder = ExecutableFolder();
    for (const std::string& path : {folder + "emulator\\rapi.dll", folder + "rapi.dll"}) {
      const std::wstring wide = WideFromUtf8(path);
      if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
      if (LoadLibraryW(wide.c_str()) != nullptr) return DeviceLibraryState::kReady;
      *error = "cannot load the emulated device library " + path + " (error " +
               std::to_string(GetLastError()) + ")";
      return DeviceLibraryState::kEmulatorMissing;
    }
    *error = "the emulated device library is missing: " + folder + "emulator\\rapi.dll";
    return DeviceLibraryState::kEmulatorMissing;
  }
  // The system's device library, looked for where the module looks for it.
  HMODULE library = LoadLibraryExA("rapi.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  if (library == nullptr) {
    *error =
        "the device software is not installed on this PC (its device-access library, rapi.dll, "
        "was not found).\nInstall the device software and connect the device, then try again; "
        "--device DIR shows a folder as an emulated device.";
    return DeviceLibraryState::kNotInstalled;
  }
  FreeLibrary(library);  // the module loads it itself
  return DeviceLibraryState::kReady;
}

bool HasSystemDevice() { return true; }

bool HasRegistryFile() { return false; }

}  // namespace merlo::platform
