// Fuzzes the Linux settings store's parser: each input is the whole settings
// file (REGEDIT4), read through the store's own calls as the module reads its
// settings. A value that comes back must fit the buffer it was asked into.
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "platform/registry.h"

namespace {

int gFile = -1;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void Query(RegistryKey key, const char* name) {
  uint8_t data[64];
  for (const uint32_t capacity : {0u, 1u, 4u, 64u}) {
    uint32_t type = 0;
    uint32_t size = capacity;
    const int32_t result = gRegistry.RegQueryValueExA(key, name, &type, data, &size);
    if (result == 0) Check(size <= capacity);
    if (result == 234) Check(size > capacity);  // ERROR_MORE_DATA: the size that is needed
  }
  uint32_t size = 0;
  gRegistry.RegQueryValueExA(key, name, nullptr, nullptr, &size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The file lives in memory; the store opens it by path like any other.
  gFile = memfd_create("registry.reg", 0);
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", gFile);
  setenv("MERLO_REGISTRY_FILE", path, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (ftruncate(gFile, 0) != 0 || pwrite(gFile, data, size, 0) != static_cast<ssize_t>(size)) {
    return 0;
  }
  RegistryKey key = 0;
  if (gRegistry.RegOpenKeyExA(kHkeyCurrentUser, "Software\\Host\\Plugins\\MERLO", 0, kKeyQueryValue,
                              &key) != 0) {
    return 0;
  }
  for (const char* name : {"AddToDisksMenu", "DisksMenuDigit", ""}) Query(key, name);
  RegistryKey below = 0;
  if (gRegistry.RegOpenKeyExA(key, "Sub", 0, kKeyQueryValue, &below) == 0) {
    Query(below, "AddToDisksMenu");
    Check(gRegistry.RegCloseKey(below) == 0);
  }
  Check(gRegistry.RegCloseKey(key) == 0);
  return 0;
}
