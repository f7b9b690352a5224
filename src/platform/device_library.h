// The device-access library, loaded at run time on the first connection
// attempt and kept loaded. The module calls the device only through this table;
// tests replace entries with recording fakes.
#pragma once

#include "platform/device_calls.h"

// The module's twelve calls (device_calls.h); it does not use the further ones.
struct DeviceLibrary {
#define MERLO_DEVICE_TABLE_ENTRY(Return, Name, Parameters, Arguments, Bytes) \
  Return(MERLO_STDCALL* Name) Parameters;
  MERLO_DEVICE_CALLS(MERLO_DEVICE_TABLE_ENTRY)
#undef MERLO_DEVICE_TABLE_ENTRY
};

extern DeviceLibrary gDeviceLibrary;

// Looks a call up by its plain name in a loaded library; null when missing.
using DeviceCallLookup = void* (*)(void* library, const char* name);

// Fills the table with every call of the library; false, the table untouched,
// when any call is missing.
bool ResolveDeviceLibrary(DeviceCallLookup lookup, void* library, DeviceLibrary* table);
bool IsDeviceLibraryFilled(const DeviceLibrary& table);

// Fills gDeviceLibrary from the platform's device library unless it is filled
// already. False when the library or any of its calls is missing.
bool LoadDeviceLibrary();
