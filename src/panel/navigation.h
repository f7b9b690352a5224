// Moving the panel's current device folder, and the panel's description.
#pragma once

#include "panel/device_panel.h"
#include "platform/records.h"

// "\" goes to the root, ".." up one level (0 at the root), any other text is
// entered as one level. 0, changing nothing, when the path would grow too long.
int32_t ChangeDirectory(DevicePanel* panel, const char* folder);

void DescribePanel(PanelInfoRecord* info);
