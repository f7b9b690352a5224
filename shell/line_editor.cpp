#include "line_editor.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iostream>

#include "interrupt.h"

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

  // Reads one character for the editor, taking a Ctrl-C as the end of the
  // read (-1, EINTR). Bytes that are no character of the locale's encoding
  // pass as they are.
  static int ReadCharacter(EditLine*, wchar_t* character) {
    std::mbstate_t state{};
    for (;;) {
      if (!WaitForKey(STDIN_FILENO)) {
        errno = EINTR;
        return -1;
      }
      char byte = 0;
      const ssize_t got = read(STDIN_FILENO, &byte, 1);
      if (got == 0) return 0;
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return -1;
      }
      wchar_t decoded = 0;
      const size_t used = std::mbrtowc(&decoded, &byte, 1, &state);
      if (used == static_cast<size_t>(-2)) continue;
      *character = used == static_cast<size_t>(-1) ? static_cast<unsigned char>(byte) : decoded;
      return 1;
    }
  }

  static unsigned char OnTab(EditLine* el, int) {
    void* self = nullptr;
    el_get(el, EL_CLIENTDATA, &self);
    return static_cast<Editor*>(self)->CompleteLine();
  }

  unsigned char CompleteLine() {
    const LineInfo* info = el_line(el);
    const std::string line(info->buffer, static_cast<size_t>(info->lastchar - info->buffer));
    const size_t cursor = static_cast<size_t>(info->cursor - info->buffer);
    const Completion completion = completer(line, cursor);
    if (!completion.Choices.empty()) {
      ShowChoices(completion.Choices);
      return CC_REDISPLAY;
    }
    if (completion.From > cursor ||
        line.compare(completion.From, cursor - completion.From, completion.Text) == 0) {
      return CC_REFRESH_BEEP;
    }
    el_deletestr(el, static_cast<int>(cursor - completion.From));
    el_insertstr(el, completion.Text.c_str());
    return CC_REFRESH;
  }

  static void ShowChoices(const std::vector<std::string>& choices) {
    size_t widest = 0;
    for (const auto& choice : choices) widest = std::max(widest, choice.size());
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
        std::cout << std::string(widest + 2 - choices[i].size(), ' ');
      }
    }
    std::cout << std::flush;
  }
};

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) != 0; }

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
  const char* text = el_gets(editor_->el, &count);
  if (text == nullptr || count <= 0) {
    if (Interrupted()) {
      el_reset(editor_->el);
      std::cout << '\n';
      return Result::Interrupted;
    }
    return Result::End;
  }
  *line = text;
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
