// A device library that must never be loaded: a stranger's rapi.dll left in
// the user's current folder. Loading it leaves a marker file beside it, and
// each of its calls succeeds, so a module that took it would get a panel.
#include <windows.h>

#include <cstdint>
#include <cstring>

namespace {

void LeaveMarker(HINSTANCE self) {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  char* slash = std::strrchr(path, '\\');
  if (slash == nullptr || slash + 1 - path + 20 >= MAX_PATH) return;
  std::strcpy(slash + 1, "planted_loaded.txt");
  const HANDLE marker =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) LeaveMarker(self);
  return TRUE;
}

struct PlantedConnectRecord {
  uint32_t size;
  int32_t event;
  int32_t result;
};

int32_t __stdcall CeRapiInitEx(PlantedConnectRecord* record) {
  // A real event, already signalled, and success.
  record->event =
      static_cast<int32_t>(reinterpret_cast<intptr_t>(CreateEventA(nullptr, TRUE, TRUE, nullptr)));
  record->result = 0;
  return 0;
}
int32_t __stdcall CeRapiUninit() { return 0; }
int32_t __stdcall CeFindAllFiles(const char16_t*, uint32_t, uint32_t* count, void** found) {
  *count = 0;
  *found = nullptr;
  return 1;
}
int32_t __stdcall CeRapiFreeBuffer(void*) { return 0; }
int32_t __stdcall CeCreateFile(const char16_t*, uint32_t, uint32_t, void*, uint32_t, uint32_t,
                               int32_t) {
  return -1;
}
uint32_t __stdcall CeGetFileSize(int32_t, uint32_t*) { return 0; }
int32_t __stdcall CeReadFile(int32_t, void*, uint32_t, uint32_t*, void*) { return 0; }
int32_t __stdcall CeWriteFile(int32_t, const void*, uint32_t, uint32_t*, void*) { return 0; }
int32_t __stdcall CeCloseHandle(int32_t) { return 1; }
int32_t __stdcall CeCopyFile(const char16_t*, const char16_t*, int32_t) { return 0; }
int32_t __stdcall CeMoveFile(const char16_t*, const char16_t*) { return 0; }
int32_t __stdcall CeDeleteFile(const char16_t*) { return 0; }
}
