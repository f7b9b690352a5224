// The smallest Windows console program, with nothing of MERLO's in it, built
// with the project's toolchain. It tells faults of 32-bit Wine under qemu's
// user-mode emulator from faults of ours (scripts/wine32_runs.sh):
//
//   minimal_program           prints one line
//   minimal_program thread    first starts a thread and waits for its end
//   minimal_program volume    first asks 20 times for the identity of a folder
//                             (GetFileInformationByHandle); Wine answers that
//                             through its mount manager in another process,
//                             and the answer may reach the thread as a signal
//
// Several words are done in turn: "thread volume" asks after a thread ended.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

DWORD WINAPI Work(LPVOID) { return 7; }

bool StartThread() {
  HANDLE thread = CreateThread(nullptr, 0, Work, nullptr, 0, nullptr);
  if (thread == nullptr) return false;
  DWORD code = 0;
  WaitForSingleObject(thread, INFINITE);
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  return code == 7;
}

bool AskVolume() {
  for (int i = 0; i < 20; ++i) {
    HANDLE folder = CreateFileA(".", FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION information;
    const bool asked = GetFileInformationByHandle(folder, &information) != 0;
    CloseHandle(folder);
    if (!asked) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "thread") == 0 && !StartThread()) return 2;
    if (std::strcmp(argv[i], "volume") == 0 && !AskVolume()) return 3;
  }
  std::printf("minimal program ran\n");
  return 0;
}
