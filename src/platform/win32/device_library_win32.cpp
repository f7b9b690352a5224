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

void* Lookup(void* library, const char* name) {
  // Through the generic function type, which the cast warnings accept.
  return reinterpret_cast<void*>(
      reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(library), name)));
}

}  // namespace

bool LoadDeviceLibrary() {
  if (IsDeviceLibraryFilled(gDeviceLibrary)) return true;
  HMODULE library = LoadLibraryExA("rapi.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  if (library == nullptr) {
    gDeviceLibrary = DeviceLibrary{};
    return false;
  }
  DeviceLibrary table = {};
  if (!ResolveDeviceLibrary(Lookup, library, &table)) {
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
