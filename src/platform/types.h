// Plain integer types and the calling convention shared by the module, the
// host it plugs into and the device-access library.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define MERLO_STDCALL __stdcall
#else
#define MERLO_STDCALL
#endif

// Device-access library types: 32-bit on every platform.
using DeviceHandle = int32_t;  // -1 is an invalid handle
using DeviceBool = int32_t;    // non-zero is success
using DeviceResult = int32_t;  // 0 is success
using DeviceChar = char16_t;   // device text is UTF-16

constexpr DeviceHandle kInvalidDeviceHandle = -1;

// A local (PC) file handle: a Windows handle or a POSIX descriptor.
using LocalHandle = intptr_t;
constexpr LocalHandle kInvalidLocalHandle = -1;

// A registry key: a Windows HKEY, or the Linux store's own number.
using RegistryKey = uintptr_t;
constexpr RegistryKey kHkeyCurrentUser = 0x80000001u;
constexpr uint32_t kKeyQueryValue = 1;

// Windows constants the module passes through its seams.
constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kCreateAlways = 2;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kFileAttributeNormal = 0x80;
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 258;
