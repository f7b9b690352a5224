#include "host/settings.h"

#include <cstdio>
#include <cstring>

#include "host/module_state.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace {
constexpr size_t kKeyPathBufferSize = 512;
}  // namespace

void BuildSettingsKeyPath(const char* settingsRoot) {
  gModule.SettingsKeyPath[0] = '\0';
  if (settingsRoot == nullptr) return;
  int n = std::snprintf(gModule.SettingsKeyPath, kSettingsKeyPathSize, "%s\\MERLO", settingsRoot);
  if (n < 0 || static_cast<size_t>(n) >= kSettingsKeyPathSize) gModule.SettingsKeyPath[0] = '\0';
}

RegistryKey OpenSettingsKey(RegistryKey root, const char* subkey) {
  if (gModule.SettingsKeyPath[0] == '\0') return 0;
  if (subkey == nullptr) subkey = "";
  char path[kKeyPathBufferSize];
  int n = std::snprintf(path, sizeof path, "%s%s%s", gModule.SettingsKeyPath,
                        subkey[0] != '\0' ? "\\" : "", subkey);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return 0;
  RegistryKey key = 0;
  if (gRegistry.RegOpenKeyExA(root, path, 0, kKeyQueryValue, &key) != 0) return 0;
  return key;
}

int32_t ReadSettingInt(RegistryKey root, const char* subkey, const char* name,
                       int32_t defaultValue) {
  RegistryKey key = OpenSettingsKey(root, subkey);
  uint8_t data[4];
  std::memcpy(data, &defaultValue, sizeof data);
  uint32_t type = 0;
  uint32_t size = sizeof data;
  int32_t queried = gRegistry.RegQueryValueExA(key, name, &type, data, &size);
  gRegistry.RegCloseKey(key);
  if (key == 0 || queried != 0) return defaultValue;
  // The bytes are little-endian whatever the value's type.
  return static_cast<int32_t>(static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                              static_cast<uint32_t>(data[2]) << 16 |
                              static_cast<uint32_t>(data[3]) << 24);
}
