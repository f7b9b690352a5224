#include "interrupt.h"

#include <atomic>
#include <csignal>
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

// Counts one Ctrl-C; ends the process on a second one during work.
void Note() {
  if (gPending.fetch_add(1) > 0 && gMode.load() == static_cast<int>(InterruptMode::Work)) {
    static const char kBye[] = "\nmerlo: interrupted\n";
#if defined(_WIN32)
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), kBye, sizeof kBye - 1, &written, nullptr);
    ExitProcess(kInterruptedStatus);
#else
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, kBye, sizeof kBye - 1);
    _exit(kInterruptedStatus);
#endif
  }
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

bool Interrupted() { return gPending.load() > 0; }

void ClearInterrupt() { gPending.store(0); }

}  // namespace merlo
