// Deleting the host's selection on the device.
#pragma once

#include "panel/panel_item.h"

// Always 1. Deletes "<currentPath>\<name>" for each item in order; the first
// failure shows one error box and ends the loop. The items are not written.
int32_t DeleteItems(const char* currentPath, const PanelItem* items, int32_t count, int32_t opMode);
