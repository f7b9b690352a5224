#include "transfer/delete_items.h"

#include "host/messages.h"
#include "platform/device_library.h"
#include "platform/text.h"
#include "transfer/transfer_file.h"
#include "transfer/transfer_items.h"

int32_t DeleteItems(const char* currentPath, const PanelItem* items, int32_t count,
                    int32_t /*opMode*/) {
  if (items == nullptr) return 1;
  char path[kJoinedPathSize];
  DeviceChar devicePath[kDevicePathUnits];
  for (int32_t i = 0; i < count; ++i) {
    // Always a backslash after the folder, whatever it ends in.
    const bool fits = JoinPath(currentPath, items[i].Name, sizeof items[i].Name, path, true);
    if (!fits || !ToDeviceText(path, devicePath, kDevicePathUnits) ||
        gDeviceLibrary.CeDeleteFile(devicePath) == 0) {
      ShowOperationError(MsgDeleteFailed, path);
      break;
    }
  }
  return 1;
}
