// The device-access library on Linux: librapi.so, loaded on the first
// connection attempt and kept loaded. MERLO.so carries an $ORIGIN run path, so
// the emulated library beside it is found; LD_LIBRARY_PATH can point elsewhere.
// Where the run path is not consulted (a dlopen interposed by a sanitizer runtime
// searches as its own caller), the library beside the module is opened by path.
#include "platform/posix/device_library_posix.h"

#include <dlfcn.h>

#include <cstring>

#include "platform/device_library.h"

DeviceLibrary gDeviceLibrary = {};

namespace {

void* gLoadedLibrary = nullptr;  // kept loaded once its calls were resolved

template <typename Call>
bool Resolve(void* library, const char* name, Call* entry) {
  void* address = dlsym(library, name);
  if (address == nullptr) return false;
  *entry = reinterpret_cast<Call>(address);
  return true;
}

bool ResolveAll(void* library, DeviceLibrary* table) {
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

bool LoadDeviceLibraryFrom(const char* name) {
  void* library = name != nullptr ? dlopen(name, RTLD_NOW | RTLD_LOCAL) : nullptr;
  if (library == nullptr) {
    gDeviceLibrary = DeviceLibrary{};
    return false;
  }
  DeviceLibrary table = {};
  if (!ResolveAll(library, &table)) {
    dlclose(library);
    gDeviceLibrary = DeviceLibrary{};
    return false;
  }
  if (library == gLoadedLibrary) {
    dlclose(library);  // already held: keep a single reference
  } else {
    gLoadedLibrary = library;  // one held before stays loaded: calls may still point into it
  }
  gDeviceLibrary = table;
  return true;
}

bool LoadDeviceLibrary() {
  if (IsFilled(gDeviceLibrary)) return true;
  if (LoadDeviceLibraryFrom("librapi.so")) return true;
  static const char kName[] = "librapi.so";
  Dl_info self = {};
  if (dladdr(&gDeviceLibrary, &self) == 0 || self.dli_fname == nullptr) return false;
  const char* slash = std::strrchr(self.dli_fname, '/');
  if (slash == nullptr) return false;
  char path[4096];
  const size_t folder = static_cast<size_t>(slash - self.dli_fname) + 1;
  if (folder + sizeof kName > sizeof path) return false;
  std::memcpy(path, self.dli_fname, folder);
  std::memcpy(path + folder, kName, sizeof kName);
  return LoadDeviceLibraryFrom(path);
}
