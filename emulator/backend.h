// What each platform supplies to the emulated device library: the environment,
// the device root, threads, the completion event and the file calls. The
// exported calls (rapi.cpp) add fault injection and catch everything.
#pragma once

#include <cstdint>
#include <string>

#include "platform/device_calls.h"

namespace emu {

// An environment variable as UTF-8; false when it is not set.
bool ReadEnvironment(const char* name, std::string* utf8);

// Writes `contents` to the file that the environment variable names, replacing
// it; false when the variable is unset or empty, or the file cannot be written.
bool WriteFileNamedBy(const char* variable, const std::string& contents);

// Takes the device root from MERLO_DEVICE_ROOT. False, and no root (every device
// call then fails), when the variable is unset or does not name a folder.
bool SetDeviceRootFromEnvironment();

// Threads.
using ThreadFunction = void (*)(void* argument);
bool StartThread(ThreadFunction function, void* argument, uintptr_t* thread);
void JoinThread(uintptr_t thread);

// The completion event: an eventfd on Linux, a manual-reset event on Windows.
bool CreateCompletionEvent(int32_t* event);
void SignalCompletionEvent(int32_t event);
void CloseCompletionEvent(int32_t event);
// An event value that was valid once and is closed by now.
int32_t MakeClosedEvent();

// Files. Paths are device paths; each call refuses what leaves the root. Every
// part of a path names the entry whose name it is without regard to case (the
// exact name first, then one that differs only in case), as on the device; an
// entry that is written keeps its name as it stands.
DeviceBool DevFindAllFiles(const DeviceChar* pattern, uint32_t flags, uint32_t* foundCount,
                           DeviceFindRecord** records);
void DevFreeBuffer(void* buffer);
DeviceHandle DevCreateFile(const DeviceChar* path, uint32_t access, uint32_t share,
                           uint32_t disposition, uint32_t attributes);
bool DevGetFileSize(DeviceHandle file, uint64_t* size);
// Reads / writes `count` bytes, fewer only at the end of the file (reads) or on
// failure; `done` gets what moved.
bool DevReadFile(DeviceHandle file, void* buffer, uint32_t count, uint32_t* done);
bool DevWriteFile(DeviceHandle file, const void* buffer, uint32_t count, uint32_t* done);
bool DevCloseHandle(DeviceHandle file);
// Copies into a new file beside the target and puts it in the target's place
// only when it is whole: a copy that fails leaves an existing target as it
// was. `breakOff` makes it fail after half the file (a fault for tests).
bool DevCopyFile(const DeviceChar* existing, const DeviceChar* target, bool failIfExists,
                 bool breakOff);
bool DevMoveFile(const DeviceChar* existing, const DeviceChar* target);
bool DevDeleteFile(const DeviceChar* path);
// A new, empty folder; fails when the entry exists.
bool DevCreateDirectory(const DeviceChar* path);
// Removes an empty folder (not the root).
bool DevRemoveDirectory(const DeviceChar* path);
// The entry's attribute bits (kDeviceAttribute..., device_calls.h); the root
// is a folder.
bool DevGetFileAttributes(const DeviceChar* path, uint32_t* attributes);
// Sets what the platform keeps of the attribute bits (see the backends).
bool DevSetFileAttributes(const DeviceChar* path, uint32_t attributes);
// Sets the times of an open file; a null time is left as it is.
bool DevSetFileTime(DeviceHandle file, const DeviceFileTime* created,
                    const DeviceFileTime* accessed, const DeviceFileTime* written);
// The size and free space of the volume that holds a device folder.
struct VolumeSpace {
  uint64_t freeToCaller = 0;
  uint64_t total = 0;
  uint64_t free = 0;
};
bool DevGetVolumeSpace(const DeviceChar* folder, VolumeSpace* space);

// The reason of a failure, for CeGetLastError (rapi.cpp): the first reason a
// call gives stays. A failing call that gives none takes the platform's own
// error (errno, GetLastError) as it stands when the call ends.
void SetDeviceError(uint32_t code);
void ClearPlatformError();
// The platform's error as a device error code; 0 for none.
uint32_t PlatformError();

// The device's handle table: at most this many files are open at once; a
// CeCreateFile beyond it fails.
constexpr size_t kMaxOpenHandles = 512;

// Windows constants the calls understand.
constexpr uint32_t kAccessRead = 0x80000000u;   // GENERIC_READ
constexpr uint32_t kAccessWrite = 0x40000000u;  // GENERIC_WRITE
constexpr uint32_t kAccessAll = 0x10000000u;    // GENERIC_ALL
constexpr uint32_t kShareRead = 1, kShareWrite = 2, kShareDelete = 4;
constexpr uint32_t kCreateNew = 1, kCreateAlways = 2, kOpenExisting = 3, kOpenAlways = 4,
                   kTruncateExisting = 5;
constexpr uint32_t kAttrReadOnly = 0x01, kAttrDirectory = 0x10, kAttrArchive = 0x20;

inline bool WantsRead(uint32_t access) {
  return (access & (kAccessRead | kAccessAll | 0x0001u /* FILE_READ_DATA */)) != 0;
}
inline bool WantsWrite(uint32_t access) {
  return (access & (kAccessWrite | kAccessAll | 0x0002u /* FILE_WRITE_DATA */ |
                    0x0004u /* FILE_APPEND_DATA */)) != 0;
}

// The connection (connection.cpp).
DeviceResult BeginConnection(ConnectRecord* record);
// False when no CeRapiInitEx is left to end.
bool EndConnection();

}  // namespace emu
