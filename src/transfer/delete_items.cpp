#include "transfer/delete_items.h"

#include <cstring>

#include "host/messages.h"
#include "platform/device_library.h"
#include "platform/text.h"
#include "transfer/transfer_file.h"
#include "transfer/transfer_items.h"

namespace {

// "<currentPath>\<name>", always with the backslash; false when it does not fit.
bool BuildDevicePath(const char* currentPath, const char* name, size_t nameCapacity, char* path) {
  const size_t length = BoundedLength(currentPath, kJoinedPathSize);
  const size_t nameLength = BoundedLength(name, nameCapacity);
  bool fits = nameLength < nameCapacity && length + 1 + nameLength < kJoinedPathSize;
  size_t used = 0;
  auto append = [&](const char* text, size_t n) {
    if (used + n >= kJoinedPathSize) n = kJoinedPathSize - 1 - used;
    std::memcpy(path + used, text, n);
    used += n;
  };
  append(currentPath, length);
  append("\\", 1);
  append(name, nameLength);
  path[used] = '\0';
  return fits;
}

}  // namespace

int32_t DeleteItems(const char* currentPath, const PanelItem* items, int32_t count,
                    int32_t /*opMode*/) {
  if (items == nullptr) return 1;
  char path[kJoinedPathSize];
  DeviceChar devicePath[kDevicePathUnits];
  for (int32_t i = 0; i < count; ++i) {
    const bool fits = BuildDevicePath(currentPath, items[i].Name, sizeof items[i].Name, path);
    if (!fits || !ToDeviceText(path, devicePath, kDevicePathUnits) ||
        gDeviceLibrary.CeDeleteFile(devicePath) == 0) {
      ShowOperationError(MsgDeleteFailed, path);
      break;
    }
  }
  return 1;
}
