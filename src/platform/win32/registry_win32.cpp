// The settings store on Windows: the registry's narrow calls themselves.
#include "platform/registry.h"
#include "platform/win32/windows_api.h"

namespace {

// Predefined keys are 32-bit values with the top bit set, sign-extended in an
// HKEY; any other key is the HKEY itself.
HKEY ToHkey(RegistryKey key) {
  if (key >= 0x80000000u && key <= 0x800000FFu) {
    return reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<int32_t>(key)));
  }
  return reinterpret_cast<HKEY>(key);
}

int32_t Win32RegOpenKeyExA(RegistryKey root, const char* subkey, uint32_t options, uint32_t access,
                           RegistryKey* key) {
  HKEY opened = nullptr;
  const LONG result = RegOpenKeyExA(ToHkey(root), subkey, options, access, &opened);
  if (key != nullptr) *key = result == ERROR_SUCCESS ? reinterpret_cast<RegistryKey>(opened) : 0;
  return result;
}

int32_t Win32RegQueryValueExA(RegistryKey key, const char* name, uint32_t* type, uint8_t* data,
                              uint32_t* size) {
  DWORD valueType = type != nullptr ? *type : 0;
  DWORD valueSize = size != nullptr ? *size : 0;
  const LONG result =
      RegQueryValueExA(ToHkey(key), name, nullptr, type != nullptr ? &valueType : nullptr, data,
                       size != nullptr ? &valueSize : nullptr);
  if (type != nullptr) *type = valueType;
  if (size != nullptr) *size = valueSize;
  return result;
}

int32_t Win32RegCloseKey(RegistryKey key) { return RegCloseKey(ToHkey(key)); }

}  // namespace

Registry gRegistry = {Win32RegOpenKeyExA, Win32RegQueryValueExA, Win32RegCloseKey};
