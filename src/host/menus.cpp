#include "host/menus.h"

#include "host/messages.h"
#include "host/module_state.h"

namespace {
constexpr int32_t kPluginInfoSize = 40;
}  // namespace

void FillPluginInfo(PluginInfoRecord* info) {
  if (info == nullptr) return;
  info->StructSize = kPluginInfoSize;
  info->Flags = 0;
  gModule.DisksMenuTexts[0] = GetMsg(MsgDisksMenuItem);
  info->DisksMenuTexts = gModule.DisksMenuTexts;
  gModule.DisksMenuNumbers[0] = gModule.DisksMenuDigit;
  info->DisksMenuNumbers = gModule.DisksMenuNumbers;
  info->DisksMenuCount = gModule.AddToDisksMenu != 0 ? 1 : 0;
  gModule.PluginMenuTexts[0] = GetMsg(MsgMenuItem);
  info->PluginMenuTexts = gModule.PluginMenuTexts;
  info->PluginMenuCount = 1;
  gModule.ConfigMenuTexts[0] = GetMsg(MsgMenuItem);
  info->ConfigMenuTexts = gModule.ConfigMenuTexts;
  info->ConfigMenuCount = 1;
}

// Nothing to configure interactively: the configuration entry is acknowledged.
int32_t ConfigureItem(int32_t itemNumber) { return itemNumber == 0 ? 1 : 0; }
