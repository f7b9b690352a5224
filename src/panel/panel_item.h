// The 366-byte record through which the module and the host speak of one file.
#pragma once

#include "platform/types.h"

#pragma pack(push, 2)
struct PanelItem {
  uint32_t Attributes;
  uint32_t CreationTime[2];
  uint32_t LastAccessTime[2];
  uint32_t LastWriteTime[2];
  uint32_t SizeHigh;
  uint32_t SizeLow;
  uint32_t Reserved36;
  uint32_t Reserved40;
  char Name[260];
  char ShortName[14];
  uint8_t Reserved318[8];
  uint32_t ItemFlags;
  uint8_t Reserved330[12];
  uint32_t Field342;
  uint32_t Field346;
  uint8_t Reserved350[16];
};
#pragma pack(pop)

constexpr uint32_t kItemSelected = 0x40000000u;
// Bytes 0 to 35 match the first 36 bytes of a DeviceFindRecord.
constexpr size_t kItemFindDataBytes = 36;

static_assert(sizeof(PanelItem) == 366, "PanelItem layout");
static_assert(offsetof(PanelItem, SizeHigh) == 28, "PanelItem layout");
static_assert(offsetof(PanelItem, Name) == 44, "PanelItem layout");
static_assert(offsetof(PanelItem, ShortName) == 304, "PanelItem layout");
static_assert(offsetof(PanelItem, ItemFlags) == 326, "PanelItem layout");
static_assert(offsetof(PanelItem, Field342) == 342, "PanelItem layout");
static_assert(offsetof(PanelItem, Field346) == 346, "PanelItem layout");
