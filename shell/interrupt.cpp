#include "interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace merlo {

namespace {

std::atomic<int> gPending{0};
std::atomic<int> gMode{static_cast<int>(InterruptMode::Work)};

// The notes live in fixed buffers that the handler only reads: a new pair
// goes into the buffers not in use, then becomes the current one.
struct Notes {
  char First[512];
  char Second[512];
};
Notes gNotes[2];
std::atomic<int> gCurrentNotes{-1};

void Say(const char* text) {
  const size_t length = std::strlen(text);
  if (length == 0) return;
#if defined(_WIN32)
  // The notes are UTF-8: a console takes them as UTF-16, a pipe or file as they are.
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
#else
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text, length);
#endif
}

// Counts one Ctrl-C; ends the process on a second one during work.
void Note() {
  const int notes = gCurrentNotes.load();
  const bool work = gMode.load() == static_cast<int>(InterruptMode::Work);
  if (gPending.fetch_add(1) == 0 || !work) {
    if (work && notes >= 0) Say(gNotes[notes].First);
    return;
  }
  Say(notes >= 0 && gNotes[notes].Second[0] != '\0' ? gNotes[notes].Second
                                                    : "\nmerlo: interrupted\n");
#if defined(_WIN32)
  ExitProcess(kInterruptedStatus);
#else
  _exit(kInterruptedStatus);
#endif
}

#if defined(_WIN32)

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  Note();
  return TRUE;
}

#else

void OnInterrupt(int) { Note(); }

// Every call interrupted by the handler is restarted, so that no file call
// of the module or the device library fails because of a Ctrl-C.
void Handle() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

#endif

}  // namespace

void InstallInterruptHandler() {
#if defined(_WIN32)
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
  Handle();
#endif
}

void SetInterruptMode(InterruptMode mode) {
  gMode.store(static_cast<int>(mode));
#if !defined(_WIN32)
  // At the prompt a Ctrl-C is taken only while the line editor waits for a
  // key (WaitForKey), so that none is lost between two reads.
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  pthread_sigmask(mode == InterruptMode::Prompt ? SIG_BLOCK : SIG_UNBLOCK, &interrupt, nullptr);
#endif
}

#if !defined(_WIN32)
bool WaitForKey(int fd) {
  sigset_t waiting;
  pthread_sigmask(SIG_SETMASK, nullptr, &waiting);
  sigdelset(&waiting, SIGINT);
  pollfd ready{fd, POLLIN, 0};
  while (!Interrupted()) {
    if (ppoll(&ready, 1, nullptr, &waiting) >= 0) return true;
    if (errno != EINTR) return true;  // the read that follows tells what is wrong
  }
  return false;
}
#endif

void SetInterruptNotes(const std::string& first, const std::string& second) {
  if (first.empty() && second.empty()) {
    gCurrentNotes.store(-1);
    return;
  }
  const int next = gCurrentNotes.load() == 0 ? 1 : 0;
  std::snprintf(gNotes[next].First, sizeof gNotes[next].First, "%s", first.c_str());
  std::snprintf(gNotes[next].Second, sizeof gNotes[next].Second, "%s", second.c_str());
  gCurrentNotes.store(next);
}

bool Interrupted() { return gPending.load() > 0; }

void ClearInterrupt() { gPending.store(0); }

}  // namespace merlo
