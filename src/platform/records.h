// Records exchanged with the host file manager and the device-access library.
// On 32-bit Windows each matches its byte layout exactly; on a 64-bit build
// the field order, the values and the 4-byte integer fields stay, and pointer
// fields are natural pointers.
#pragma once

#include "platform/types.h"

// Services the host hands over at start-up.
using HostTextFn = const char*(MERLO_STDCALL*)(int32_t moduleId, int32_t messageId);
using HostMessageBoxFn = int32_t(MERLO_STDCALL*)(int32_t moduleId, uint32_t flags,
                                                 const char* helpTopic, const char* const* items,
                                                 int32_t itemCount, int32_t buttonCount);

// The host's start-up data: 336 bytes on 32-bit Windows.
struct StartupRecord {
  uint8_t HostFields[264];  // the host's own fields, unused here
  int32_t ModuleId;
  const char* SettingsRoot;
  void* HostServices1[2];  // services the module does not call
  HostMessageBoxFn HostMessageBox;
  HostTextFn HostText;
  void* HostServices2[12];  // services the module does not call
};

// What the host is told about the module's menu entries: 40 bytes on 32-bit Windows.
struct PluginInfoRecord {
  int32_t StructSize;
  uint32_t Flags;
  const char* const* DisksMenuTexts;
  const int32_t* DisksMenuNumbers;
  int32_t DisksMenuCount;
  const char* const* PluginMenuTexts;
  int32_t PluginMenuCount;
  const char* const* ConfigMenuTexts;
  int32_t ConfigMenuCount;
  int32_t Reserved;  // never written
};

// The panel's description for the host: 68 bytes on 32-bit Windows.
struct PanelInfoRecord {
  int32_t StructSize;
  uint32_t Flags;
  int32_t Field8;
  const char* CurrentFolder;
  const char* Format;
  const char* Title;
  int32_t Field24;
  int32_t HostField28;  // never written: keeps what the host put there
  int32_t Field32;
  int32_t Field36;
  int32_t Field40;
  int32_t Field44;
  int32_t Field48;
  int32_t Field52;
  int32_t Field56;
  int32_t Field60;
  int32_t Field64;
};

// The connection record handed to CeRapiInitEx: 12 bytes everywhere.
struct ConnectRecord {
  uint32_t Size;
  int32_t CompletionEvent;  // set by the library: an event handle, or a descriptor on Linux
  DeviceResult Result;      // set by the library when the connection completes: 0 = connected
};

// One entry of the array CeFindAllFiles returns: 560 bytes everywhere.
struct DeviceFindRecord {
  uint32_t Attributes;
  uint32_t CreationTime[2];
  uint32_t LastAccessTime[2];
  uint32_t LastWriteTime[2];
  uint32_t SizeHigh;
  uint32_t SizeLow;
  uint32_t ObjectId;
  DeviceChar Name[260];
};

// Flags that ask CeFindAllFiles for attributes, the three times, both size halves and the name.
constexpr uint32_t kFindAllFlags = 0xBF;
// The single flags CeFindAllFiles understands.
constexpr uint32_t kFindAttributes = 0x01;
constexpr uint32_t kFindSizeHigh = 0x02;
constexpr uint32_t kFindCreationTime = 0x04;
constexpr uint32_t kFindLastAccessTime = 0x08;
constexpr uint32_t kFindLastWriteTime = 0x10;
constexpr uint32_t kFindSizeLow = 0x20;
constexpr uint32_t kFindObjectId = 0x40;
constexpr uint32_t kFindName = 0x80;

static_assert(sizeof(ConnectRecord) == 12, "ConnectRecord layout");
static_assert(sizeof(DeviceFindRecord) == 560, "DeviceFindRecord layout");
static_assert(offsetof(DeviceFindRecord, Name) == 40, "DeviceFindRecord layout");

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(StartupRecord) == 336, "StartupRecord layout");
static_assert(offsetof(StartupRecord, ModuleId) == 264, "StartupRecord layout");
static_assert(offsetof(StartupRecord, SettingsRoot) == 268, "StartupRecord layout");
static_assert(offsetof(StartupRecord, HostMessageBox) == 280, "StartupRecord layout");
static_assert(offsetof(StartupRecord, HostText) == 284, "StartupRecord layout");
static_assert(sizeof(PluginInfoRecord) == 40, "PluginInfoRecord layout");
static_assert(offsetof(PluginInfoRecord, DisksMenuCount) == 16, "PluginInfoRecord layout");
static_assert(offsetof(PluginInfoRecord, ConfigMenuCount) == 32, "PluginInfoRecord layout");
static_assert(sizeof(PanelInfoRecord) == 68, "PanelInfoRecord layout");
static_assert(offsetof(PanelInfoRecord, HostField28) == 28, "PanelInfoRecord layout");
static_assert(offsetof(PanelInfoRecord, Field56) == 56, "PanelInfoRecord layout");
#endif
