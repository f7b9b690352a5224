#include "host/module_state.h"

#include <cstring>

#include "host/settings.h"

ModuleState gModule = {};

void StartModule(const StartupRecord* info) {
  if (info == nullptr) return;
  std::memcpy(&gModule.Startup, info, sizeof(StartupRecord));
  BuildSettingsKeyPath(gModule.Startup.SettingsRoot);
  gModule.AddToDisksMenu = ReadSettingInt(kHkeyCurrentUser, "", "AddToDisksMenu", 1);
  gModule.DisksMenuDigit = ReadSettingInt(kHkeyCurrentUser, "", "DisksMenuDigit", 9);
}
