// Every call of the device-access library, written once. Each list entry is
//   X(ReturnType, Name, (parameters), (arguments), stack bytes of the 32-bit stdcall name)
// and is expanded wherever the calls are needed: the module's table
// (device_library.h), its resolution, the emulated library's exports and its
// .def file, its fault names and call report, and the shell's own table.
// Keep one entry per line: the build reads the names and byte counts from
// these lines to write the Windows .def files.
#pragma once

#include "platform/records.h"
#include "platform/stack_bytes.h"

// A file time: 100-nanosecond intervals since 1601-01-01 UTC, in two halves.
struct DeviceFileTime {
  uint32_t Low;
  uint32_t High;
};

// The object store's size and free space, in bytes.
struct DeviceStoreInformation {
  uint32_t StoreSize;
  uint32_t FreeSize;
};

static_assert(sizeof(DeviceFileTime) == 8, "DeviceFileTime layout");
static_assert(sizeof(DeviceStoreInformation) == 8, "DeviceStoreInformation layout");

// clang-format off

// The module's twelve calls.
#define MERLO_DEVICE_CALLS(X) \
  X(DeviceResult, CeRapiInitEx, (ConnectRecord* record), (record), 4) \
  X(DeviceResult, CeRapiUninit, (), (), 0) \
  X(DeviceBool, CeFindAllFiles, (const DeviceChar* pattern, uint32_t flags, uint32_t* foundCount, DeviceFindRecord** records), (pattern, flags, foundCount, records), 16) \
  X(DeviceResult, CeRapiFreeBuffer, (void* buffer), (buffer), 4) \
  X(DeviceHandle, CeCreateFile, (const DeviceChar* path, uint32_t access, uint32_t share, void* security, uint32_t disposition, uint32_t attributes, DeviceHandle templateFile), (path, access, share, security, disposition, attributes, templateFile), 28) \
  X(uint32_t, CeGetFileSize, (DeviceHandle file, uint32_t* sizeHigh), (file, sizeHigh), 8) \
  X(DeviceBool, CeReadFile, (DeviceHandle file, void* buffer, uint32_t count, uint32_t* done, void* overlapped), (file, buffer, count, done, overlapped), 20) \
  X(DeviceBool, CeWriteFile, (DeviceHandle file, const void* buffer, uint32_t count, uint32_t* done, void* overlapped), (file, buffer, count, done, overlapped), 20) \
  X(DeviceBool, CeCloseHandle, (DeviceHandle file), (file), 4) \
  X(DeviceBool, CeCopyFile, (const DeviceChar* existing, const DeviceChar* target, DeviceBool failIfExists), (existing, target, failIfExists), 12) \
  X(DeviceBool, CeMoveFile, (const DeviceChar* existing, const DeviceChar* target), (existing, target), 8) \
  X(DeviceBool, CeDeleteFile, (const DeviceChar* path), (path), 4)

// The further calls that merlo makes itself; the module does not use them.
// BOOL results are nonzero on success, CeGetFileAttributes gives 0xFFFFFFFF on
// failure, and the reason of a failure comes from CeGetLastError.
#define MERLO_FURTHER_DEVICE_CALLS(X) \
  X(DeviceBool, CeCreateDirectory, (const DeviceChar* path, void* security), (path, security), 8) \
  X(DeviceBool, CeRemoveDirectory, (const DeviceChar* path), (path), 4) \
  X(uint32_t, CeGetFileAttributes, (const DeviceChar* path), (path), 4) \
  X(DeviceBool, CeSetFileAttributes, (const DeviceChar* path, uint32_t attributes), (path, attributes), 8) \
  X(DeviceBool, CeSetFileTime, (DeviceHandle file, const DeviceFileTime* created, const DeviceFileTime* accessed, const DeviceFileTime* written), (file, created, accessed, written), 16) \
  X(DeviceBool, CeGetDiskFreeSpaceEx, (const DeviceChar* folder, uint64_t* freeToCaller, uint64_t* total, uint64_t* free), (folder, freeToCaller, total, free), 16) \
  X(DeviceBool, CeGetStoreInformation, (DeviceStoreInformation* info), (info), 4) \
  X(uint32_t, CeGetLastError, (), (), 0)

// clang-format on

#define MERLO_CHECK_DEVICE_CALL_BYTES(Return, Name, Parameters, Arguments, Bytes) \
  static_assert(StdcallStackBytes<Return Parameters>::value == Bytes, #Name ": stack bytes");
MERLO_DEVICE_CALLS(MERLO_CHECK_DEVICE_CALL_BYTES)
MERLO_FURTHER_DEVICE_CALLS(MERLO_CHECK_DEVICE_CALL_BYTES)
#undef MERLO_CHECK_DEVICE_CALL_BYTES

// Attribute bits of CeGetFileAttributes / CeSetFileAttributes and of listings.
constexpr uint32_t kDeviceAttributeReadOnly = 0x01;
constexpr uint32_t kDeviceAttributeHidden = 0x02;
constexpr uint32_t kDeviceAttributeSystem = 0x04;
constexpr uint32_t kDeviceAttributeDirectory = 0x10;
constexpr uint32_t kDeviceAttributeArchive = 0x20;
constexpr uint32_t kDeviceAttributeNormal = 0x80;
constexpr uint32_t kDeviceNoAttributes = 0xFFFFFFFFu;  // CeGetFileAttributes failed

// The device's error codes, as CeGetLastError gives them.
constexpr uint32_t kDeviceErrorFileNotFound = 2;
constexpr uint32_t kDeviceErrorPathNotFound = 3;
constexpr uint32_t kDeviceErrorTooManyOpenFiles = 4;
constexpr uint32_t kDeviceErrorAccessDenied = 5;
constexpr uint32_t kDeviceErrorInvalidHandle = 6;
constexpr uint32_t kDeviceErrorNotEnoughMemory = 8;
constexpr uint32_t kDeviceErrorGenFailure = 31;
constexpr uint32_t kDeviceErrorSharingViolation = 32;
constexpr uint32_t kDeviceErrorFileExists = 80;
constexpr uint32_t kDeviceErrorInvalidParameter = 87;
constexpr uint32_t kDeviceErrorDiskFull = 112;
constexpr uint32_t kDeviceErrorInvalidName = 123;
constexpr uint32_t kDeviceErrorDirNotEmpty = 145;
constexpr uint32_t kDeviceErrorAlreadyExists = 183;
constexpr uint32_t kDeviceErrorDirectory = 267;     // not a folder
constexpr uint32_t kDeviceErrorFileCorrupt = 1392;  // the file or folder cannot be read
