// The module's two settings, read from the settings store below the host's
// settings path, subkey MERLO.
#pragma once

#include "platform/types.h"

// Builds SettingsKeyPath from the host's settings root. A root too long for the
// path (or none) leaves it empty and unusable, so the settings keep their defaults.
void BuildSettingsKeyPath(const char* settingsRoot);

// The open key below SettingsKeyPath and the subkey, or 0.
RegistryKey OpenSettingsKey(RegistryKey root, const char* subkey);

// The value's raw bytes over the default, or the default when it cannot be read.
int32_t ReadSettingInt(RegistryKey root, const char* subkey, const char* name,
                       int32_t defaultValue);
