// The device-access library, loaded at run time on the first connection
// attempt and kept loaded. The module calls the device only through this table;
// tests replace entries with recording fakes.
#pragma once

#include "platform/records.h"

struct DeviceLibrary {
  DeviceResult(MERLO_STDCALL* CeRapiInitEx)(ConnectRecord* record);
  DeviceResult(MERLO_STDCALL* CeRapiUninit)();
  DeviceBool(MERLO_STDCALL* CeFindAllFiles)(const DeviceChar* pattern, uint32_t flags,
                                            uint32_t* foundCount, DeviceFindRecord** records);
  DeviceResult(MERLO_STDCALL* CeRapiFreeBuffer)(void* buffer);
  DeviceHandle(MERLO_STDCALL* CeCreateFile)(const DeviceChar* path, uint32_t access, uint32_t share,
                                            void* security, uint32_t disposition,
                                            uint32_t attributes, DeviceHandle templateFile);
  uint32_t(MERLO_STDCALL* CeGetFileSize)(DeviceHandle file, uint32_t* sizeHigh);
  DeviceBool(MERLO_STDCALL* CeReadFile)(DeviceHandle file, void* buffer, uint32_t count,
                                        uint32_t* done, void* overlapped);
  DeviceBool(MERLO_STDCALL* CeWriteFile)(DeviceHandle file, const void* buffer, uint32_t count,
                                         uint32_t* done, void* overlapped);
  DeviceBool(MERLO_STDCALL* CeCloseHandle)(DeviceHandle file);
  DeviceBool(MERLO_STDCALL* CeCopyFile)(const DeviceChar* existing, const DeviceChar* target,
                                        DeviceBool failIfExists);
  DeviceBool(MERLO_STDCALL* CeMoveFile)(const DeviceChar* existing, const DeviceChar* target);
  DeviceBool(MERLO_STDCALL* CeDeleteFile)(const DeviceChar* path);
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
