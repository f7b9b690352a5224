#include "line_editor.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iostream>

#include "interrupt.h"
#include "unicode/unicode.h"

#if defined(_WIN32)
#include <io.h>

#include "console.h"
#include "platform/win32/windows_api.h"
#else
#include <histedit.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace merlo {

#if defined(_WIN32)

bool IsTerminal(FILE* stream) {
  const intptr_t handle = _get_osfhandle(_fileno(stream));
  DWORD mode = 0;
  return handle != -1 && GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}

struct LineEditor::Editor {};

LineEditor::LineEditor(Completer) : interactive_(IsTerminal(stdin)) {}

LineEditor::~LineEditor() = default;

LineEditor::Result LineEditor::Read(const std::string& prompt, std::string* line) {
  std::cout << prompt << std::flush;
  bool brokenOff = false;
  if (!ReadConsoleLine(line, &brokenOff)) {
    if (brokenOff || Interrupted()) {
      std::cout << '\n';
      return Result::Interrupted;
    }
    return Result::End;
  }
  return Result::Line;
}

void LineEditor::Remember(const std::string&) {}

#else

struct LineEditor::Editor {
  EditLine* el = nullptr;
  History* history = nullptr;
  std::string historyFile;
  std::string prompt;
  Completer completer;

  static const char* Prompt(EditLine* el) {
    void* self = nullptr;
    el_get(el, EL_CLIENTDATA, &self);
    return static_cast<Editor*>(self)->prompt.c_str();
  }

  std::string pending;  // bytes read that make no whole character yet

  // Reads one character for the editor, taking a Ctrl-C as the end of the
  // read (-1, EINTR). A byte that is no part of a character of the locale's
  // encoding becomes kRawByteBase + byte.
  static int ReadCharacter(EditLine* el, wchar_t* character) {
    void* self = nullptr;
    el_get(el, EL_CLIENTDATA, &self);
    std::string& pending = static_cast<Editor*>(self)->pending;
    for (;;) {
      if (!pending.empty()) {
        std::mbstate_t state{};
        wchar_t decoded = 0;
        const size_t used = std::mbrtowc(&decoded, pending.data(), pending.size(), &state);
        if (used == static_cast<size_t>(-1)) {
          *character = kRawByteBase + static_cast<unsigned char>(pending[0]);
          pending.erase(0, 1);
          return 1;
        }
        if (used != static_cast<size_t>(-2)) {
          *character = decoded;
          pending.erase(0, used == 0 ? 1 : used);
          return 1;
        }
      }
      if (!WaitForKey(STDIN_FILENO)) {
        pending.clear();
        errno = EINTR;
        return -1;
      }
      char byte = 0;
      const ssize_t got = read(STDIN_FILENO, &byte, 1);
      if (got == 0) {
        if (pending.empty()) return 0;
        *character = kRawByteBase + static_cast<unsigned char>(pending[0]);
        pending.erase(0, 1);
        return 1;
      }
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return -1;
      }
      pending.push_back(byte);
    }
  }

  static unsigned char OnTab(EditLine* el, int) {
    void* self = nullptr;
    el_get(el, EL_CLIENTDATA, &self);
    return static_cast<Editor*>(self)->CompleteLine();
  }

  // The editor's line and cursor count wide characters; the completer works
  // on the line's UTF-8 and counts bytes.
  unsigned char CompleteLine() {
    const LineInfoW* info = el_wline(el);
    const std::string before = UserTextFromWide(info->buffer, info->cursor);
    const std::string line = before + UserTextFromWide(info->cursor, info->lastchar);
    const size_t cursor = before.size();
    const Completion completion = completer(line, cursor);
    if (!completion.Choices.empty()) {
      ShowChoices(completion.Choices);
      return CC_REDISPLAY;
    }
    if (completion.From > cursor ||
        line.compare(completion.From, cursor - completion.From, completion.Text) == 0) {
      return CC_REFRESH_BEEP;
    }
    const size_t replaced =
        WideFromUserText(line.substr(completion.From, cursor - completion.From)).size();
    el_wdeletestr(el, static_cast<int>(replaced));
    el_winsertstr(el, WideFromUserText(completion.Text).c_str());
    return CC_REFRESH;
  }

  // The choices in columns, each as wide as the terminal shows the widest.
  static void ShowChoices(const std::vector<std::string>& choices) {
    std::vector<size_t> widths;
    for (const auto& choice : choices) {
      const std::wstring wide = WideFromUserText(choice);
      const int width = wcswidth(wide.c_str(), wide.size());
      widths.push_back(width >= 0 ? static_cast<size_t>(width) : wide.size());
    }
    const size_t widest = *std::max_element(widths.begin(), widths.end());
    winsize size{};
    const size_t width =
        ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    const size_t columns = std::max<size_t>(1, width / (widest + 2));
    std::cout << '\n';
    for (size_t i = 0; i < choices.size(); ++i) {
      std::cout << choices[i];
      if ((i + 1) % columns == 0 || i + 1 == choices.size()) {
        std::cout << '\n';
      } else {
        std::cout << std::string(widest + 2 - widths[i], ' ');
      }
    }
    std::cout << std::flush;
  }
};

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) != 0; }

std::string UserTextFromWide(const wchar_t* begin, const wchar_t* end) {
  std::string text;
  for (const wchar_t* p = begin; p < end; ++p) {
    const auto code = static_cast<char32_t>(*p);
    if (code >= kRawByteBase + 0x80u && code <= kRawByteBase + 0xFFu) {
      text.push_back(static_cast<char>(code - kRawByteBase));
      continue;
    }
    char bytes[4];
    const bool valid = code < 0xD800 || (code > 0xDFFF && code <= 0x10FFFF);
    text.append(bytes, unicode::EncodeUtf8(valid ? code : unicode::kReplacement, bytes));
  }
  return text;
}

std::wstring WideFromUserText(const std::string& text) {
  std::wstring wide;
  for (size_t at = 0; at < text.size();) {
    char32_t code = 0;
    const size_t length = unicode::DecodeUtf8(text.data() + at, text.size() - at, &code);
    if (length == 0) {
      wide.push_back(static_cast<wchar_t>(kRawByteBase + static_cast<unsigned char>(text[at++])));
    } else {
      wide.push_back(static_cast<wchar_t>(code));
      at += length;
    }
  }
  return wide;
}

LineEditor::LineEditor(Completer completer) : interactive_(IsTerminal(stdin)) {
  if (!interactive_) return;
  editor_ = std::make_unique<Editor>();
  Editor& e = *editor_;
  e.completer = std::move(completer);
  e.history = history_init();
  HistEvent event;
  history(e.history, &event, H_SETSIZE, 1000);
  history(e.history, &event, H_SETUNIQUE, 1);
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    e.historyFile = std::string(home) + "/.merlo_history";
    history(e.history, &event, H_LOAD, e.historyFile.c_str());
  }
  e.el = el_init("merlo", stdin, stdout, stderr);
  el_set(e.el, EL_CLIENTDATA, &e);
  el_set(e.el, EL_EDITOR, "emacs");
  el_set(e.el, EL_GETCFN, &Editor::ReadCharacter);
  el_set(e.el, EL_PROMPT, &Editor::Prompt);
  el_set(e.el, EL_HIST, history, e.history);
  // The wide calls keep these texts as they are; the narrow ones copy them and never free the
  // copies.
  el_wset(e.el, EL_ADDFN, L"merlo-complete", L"complete the word at the cursor", &Editor::OnTab);
  el_wset(e.el, EL_BIND, L"^I", L"merlo-complete", nullptr);
  el_source(e.el, nullptr);  // the user's ~/.editrc
}

LineEditor::~LineEditor() {
  if (!editor_) return;
  el_end(editor_->el);
  history_end(editor_->history);
}

LineEditor::Result LineEditor::Read(const std::string& prompt, std::string* line) {
  std::cout << std::flush;
  editor_->prompt = prompt;
  int count = 0;
  errno = 0;
  const wchar_t* text = el_wgets(editor_->el, &count);
  if (text == nullptr || count <= 0) {
    if (Interrupted()) {
      el_reset(editor_->el);
      std::cout << '\n';
      return Result::Interrupted;
    }
    return Result::End;
  }
  *line = UserTextFromWide(text, text + count);
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
  return Result::Line;
}

void LineEditor::Remember(const std::string& line) {
  if (!editor_ || line.find_first_not_of(" \t") == std::string::npos) return;
  HistEvent event;
  history(editor_->history, &event, H_ENTER, line.c_str());
  if (!editor_->historyFile.empty()) {
    history(editor_->history, &event, H_SAVE, editor_->historyFile.c_str());
  }
}

#endif

}  // namespace merlo
