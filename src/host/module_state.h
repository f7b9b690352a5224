// Module-wide state: lives from load to unload, shared by every panel.
#pragma once

#include "platform/records.h"

constexpr size_t kSettingsKeyPathSize = 80;

struct ModuleState {
  StartupRecord Startup;  // the module's own copy of the host's record
  char SettingsKeyPath[kSettingsKeyPathSize];
  int32_t AddToDisksMenu;
  int32_t DisksMenuDigit;
  // Handed to the host by GetPluginInfo and read by it afterwards.
  const char* DisksMenuTexts[1];
  int32_t DisksMenuNumbers[1];
  const char* PluginMenuTexts[1];
  const char* ConfigMenuTexts[1];
};

extern ModuleState gModule;

// Copies the host's record, builds the settings key path and reads the settings.
void StartModule(const StartupRecord* info);
