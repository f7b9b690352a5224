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

void* Lookup(void* library, const char* name) { return dlsym(library, name); }

}  // namespace

bool LoadDeviceLibraryFrom(const char* name) {
  void* library = name != nullptr ? dlopen(name, RTLD_NOW | RTLD_LOCAL) : nullptr;
  if (library == nullptr) {
    gDeviceLibrary = DeviceLibrary{};
    return false;
  }
  DeviceLibrary table = {};
  if (!ResolveDeviceLibrary(Lookup, library, &table)) {
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
  if (IsDeviceLibraryFilled(gDeviceLibrary)) return true;
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
