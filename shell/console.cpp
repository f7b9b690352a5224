#include "console.h"

#if defined(_WIN32)
#include <algorithm>
#include <iostream>

#include "platform/win32/windows_api.h"
// After windows.h.
#include <shellapi.h>
#endif

namespace merlo {

#if defined(_WIN32)

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

void UseConsoleText() {
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

bool ReadConsoleLine(std::string* line, bool* interrupted) {
  *interrupted = false;
  const HANDLE console = ConsoleOf(STD_INPUT_HANDLE);
  if (console == nullptr) return false;
  std::wstring wide;
  for (;;) {
    wchar_t buffer[1024];
    DWORD got = 0;
    SetLastError(ERROR_SUCCESS);
    if (!ReadConsoleW(console, buffer, 1024, &got, nullptr) || got == 0) {
      // A Ctrl-C ends the read with nothing, before its handler may have run.
      *interrupted = GetLastError() == ERROR_OPERATION_ABORTED;
      return false;
    }
    wide.append(buffer, got);
    if (wide.back() == L'\n') break;
  }
  // Ctrl-Z at the start of a line ends the input, as it does for the C runtime.
  if (wide[0] == L'\x1A') return false;
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r')) wide.pop_back();
  *line = Utf8FromWide(wide);
  return true;
}

#else

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void UseConsoleText() {}

#endif

}  // namespace merlo
