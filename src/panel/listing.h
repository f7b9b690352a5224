// The contents of the panel's current device folder as the host's item array.
#pragma once

#include "panel/device_panel.h"
#include "panel/panel_item.h"

constexpr size_t kPatternSize = 256;

// Always 1. The array is one allocation, freed by FreeListing; below the root
// its last item is the parent entry "..".
int32_t ListDirectory(const DevicePanel* panel, PanelItem** items, int32_t* count);
void FreeListing(PanelItem* items);
