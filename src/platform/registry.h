// The settings store: the Windows registry, or on Linux a file in the
// registry's own export format.
#pragma once

#include "platform/types.h"

struct Registry {
  // 0 on success, as the Windows calls return.
  int32_t (*RegOpenKeyExA)(RegistryKey root, const char* subkey, uint32_t options, uint32_t access,
                           RegistryKey* key);
  int32_t (*RegQueryValueExA)(RegistryKey key, const char* name, uint32_t* type, uint8_t* data,
                              uint32_t* size);
  int32_t (*RegCloseKey)(RegistryKey key);
};

extern Registry gRegistry;
