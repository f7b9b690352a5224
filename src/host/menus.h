// What the module offers in the host's menus.
#pragma once

#include "platform/records.h"

void FillPluginInfo(PluginInfoRecord* info);
int32_t ConfigureItem(int32_t itemNumber);
