#include "panel/listing.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/device_library.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

// Builds "<CurrentPath>\*.*"; false when it does not fit the pattern buffer.
bool BuildPattern(const DevicePanel* panel, char* pattern) {
  static const char kAll[] = "\\*.*";
  const size_t length = BoundedLength(panel->CurrentPath, kCurrentPathSize);
  if (length + sizeof kAll > kPatternSize) return false;
  std::memcpy(pattern, panel->CurrentPath, length);
  std::memcpy(pattern + length, kAll, sizeof kAll);
  return true;
}

}  // namespace

int32_t ListDirectory(const DevicePanel* panel, PanelItem** items, int32_t* count) {
  char pattern[kPatternSize];
  DeviceChar devicePattern[kPatternSize];
  uint32_t found = 0;
  DeviceFindRecord* records = nullptr;
  if (BuildPattern(panel, pattern) && ToDeviceText(pattern, devicePattern, kPatternSize)) {
    gDeviceLibrary.CeFindAllFiles(devicePattern, kFindAllFlags, &found, &records);
  }
  *items = nullptr;
  *count = 0;

  // A count without records, or one too large to list, lists nothing.
  const size_t maxItems =
      (SIZE_MAX / sizeof(PanelItem) < INT32_MAX ? SIZE_MAX / sizeof(PanelItem) : INT32_MAX) - 1;
  const uint32_t listed = (records == nullptr || found > maxItems) ? 0 : found;
  const bool parent = panel->Depth > 0;
  const size_t total = static_cast<size_t>(listed) + (parent ? 1 : 0);
  const size_t bytes = total * sizeof(PanelItem);
  // One block even for no items, so the host always gets an array to hand back.
  PanelItem* block = static_cast<PanelItem*>(std::malloc(bytes != 0 ? bytes : 1));
  if (block != nullptr) {
    if (gProcess.AdviseLargeBlock != nullptr) gProcess.AdviseLargeBlock(block, bytes);
    for (uint32_t i = 0; i < listed; ++i) {
      PanelItem& item = block[i];
      const DeviceFindRecord& record = records[i];
      std::memset(&item, 0, sizeof item);
      FromDeviceText(record.Name, sizeof record.Name / sizeof record.Name[0], item.Name,
                     sizeof item.Name);
      std::memcpy(&item, &record, kItemFindDataBytes);
    }
    if (parent) {
      PanelItem& item = block[listed];
      std::memset(&item, 0, sizeof item);
      std::memcpy(item.Name, "..", 3);
      item.Attributes = kFileAttributeDirectory;
    }
    *items = block;
    *count = static_cast<int32_t>(total);
  }
  if (records != nullptr) gDeviceLibrary.CeRapiFreeBuffer(records);
  return 1;
}

void FreeListing(PanelItem* items) { std::free(items); }
