// The device-access library on Windows: rapi.dll, loaded on the first
// connection attempt and kept loaded. It is searched only in the default
// directories (the host program's folder, System32 and the folders added with
// AddDllDirectory), never in the current directory: a rapi.dll planted in the
// user's folder is never loaded.
#include "platform/device_library.h"
#include "platform/win32/windows_api.h"

#ifndef LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
#define LOAD_LIBRARY_SEARCH_DEFAULT_DIRS 0x00001000
#endif

DeviceLibrary gDeviceLibrary = {};

namespace {

HMODULE gLoadedLibrary = nullptr;  // kept loaded once its calls were resolved

template <typename Call>
bool Resolve(HMODULE library, const char* name, Call* entry) {
  const FARPROC address = GetProcAddress(library, name);
  if (address == nullptr) return false;
  // Through the generic function type, which the cast warnings accept.
  *entry = reinterpret_cast<Call>(reinterpret_cast<void (*)()>(address));
  return true;
}

bool ResolveAll(HMODULE library, DeviceLibrary* table) {
  return Resolve(library, "CeRapiInitEx", &table->CeRapiInitEx) &&
         Resolve(library, "CeRapiUninit", &table->CeRapiUninit) &&
         Resolve(library, "CeFindAllFiles", &table->CeFindAllFiles) &&
         Resolve(library, "CeRapiFreeBuffer", &table->CeRapiFreeBuffer) &&
         Resolve(library, "CeCreateFile", &table->CeCreateFile) &&
         Resolve(library, "CeGetFileSize", &table->CeGetFileSize) &&
         Resolve(library, "CeReadFile", &table->CeReadFile) &&
         Resolve(library, "CeWriteFile", &table->CeWriteFile) &&
         Resolve(library, "CeCloseHandle", &table->CeCloseHandle) &&
         Resolve(library, "CeCopyFile", &table->CeCopyFile) &&
         Resolve(library, "CeMoveFile", &table->CeMoveFile) &&
         Resolve(library, "CeDeleteFile", &table->CeDeleteFile);
}

bool IsFilled(const DeviceLibrary& table) {
  return table.CeRapiInitEx != nullptr && table.CeRapiUninit != nullptr &&
         table.CeFindAllFiles != nullptr && table.CeRapiFreeBuffer != nullptr &&
         table.CeCreateFile != nullptr && table.CeGetFileSize != nullptr &&
         table.CeReadFile != nullptr && table.CeWriteFile != nullptr &&
         table.CeCloseHandle != nullptr && table.CeCopyFile != nullptr &&
         table.CeMoveFile != nullptr && table.CeDeleteFile != nullptr;
}

}  // namespace

bool LoadDeviceLibrary() {
  if (IsFilled(gDeviceLibrary)) return true;
  HMODULE library = LoadLibraryExA("rapi.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  if (library == nullptr) {
    gDeviceLibrary = DeviceLibrary{};
    return false;
  }
  DeviceLibrary table = {};
  if (!ResolveAll(library, &table)) {
    FreeLibrary(library);
    gDeviceLibrary = DeviceLibrary{};
    return false;
  }
  if (library == gLoadedLibrary) {
    FreeLibrary(library);  // already held: keep a single reference
  } else {
    gLoadedLibrary = library;
  }
  gDeviceLibrary = table;
  return true;
}
