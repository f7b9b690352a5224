// The calls of the emulated device-access library, exported by their plain
// names with C linkage (stdcall and a generated .def file on Windows). The
// exports are expanded from the call lists (platform/device_calls.h), each
// forwarding to its implementation below: that counts the call for fault
// injection (faults.h), does the work in the platform backend, and catches
// everything. Every call that fails leaves the device's reason for
// CeGetLastError.
#include "backend.h"
#include "faults.h"
#include "platform/device_calls.h"

#if defined(_WIN32)
#define RAPI_EXPORT
#else
#define RAPI_EXPORT __attribute__((visibility("default")))
#endif

namespace emu {
namespace {

// The calling thread's last error, and the reason the running call has given
// for its failure so far (0: none yet).
thread_local uint32_t tLastError = 0;
thread_local uint32_t tCallError = 0;

// Starts a call: no reason yet, and none left over from the platform.
void BeginCall() {
  tCallError = 0;
  ClearPlatformError();
}

// Ends a call and passes its result through. A failure leaves its reason as
// the last error: the one the call gave, else the platform's, else a general
// failure.
template <typename Result>
Result EndCall(bool failed, Result result) {
  if (failed) {
    uint32_t code = tCallError != 0 ? tCallError : PlatformError();
    tLastError = code != 0 ? code : kDeviceErrorGenFailure;
  }
  return result;
}

DeviceBool EndBool(bool ok) { return EndCall(!ok, DeviceBool(ok ? 1 : 0)); }

// Counts the call; an injected failure gives a general failure as its reason.
Verdict Count(Call call) {
  BeginCall();
  Verdict verdict = CountCall(call);
  if (verdict.fail) SetDeviceError(kDeviceErrorGenFailure);
  return verdict;
}

}  // namespace

void SetDeviceError(uint32_t code) {
  if (tCallError == 0) tCallError = code;
}

namespace calls {

DeviceResult CeRapiInitEx(ConnectRecord* record) {
  BeginCall();
  try {
    DeviceResult result = BeginConnection(record);
    if (result == kEInvalidArg) SetDeviceError(kDeviceErrorInvalidParameter);
    return EndCall(result != 0, result);
  } catch (...) {
    return EndCall(true, kEUnexpected);
  }
}

DeviceResult CeRapiUninit() {
  try {
    Verdict verdict = Count(Call::CeRapiUninit);
    bool ended = EndConnection();
    if (!ended) SetDeviceError(kDeviceErrorGenFailure);  // no connection to end
    WriteReport();
    bool ok = ended && !verdict.fail;
    return EndCall(!ok, ok ? 0 : kEFail);
  } catch (...) {
    return EndCall(true, kEUnexpected);
  }
}

DeviceBool CeFindAllFiles(const DeviceChar* pattern, uint32_t flags, uint32_t* foundCount,
                          DeviceFindRecord** records) {
  try {
    if (Count(Call::CeFindAllFiles).fail) return EndBool(false);
    if (foundCount == nullptr || records == nullptr) {
      SetDeviceError(kDeviceErrorInvalidParameter);
      return EndBool(false);
    }
    return EndBool(DevFindAllFiles(pattern, flags, foundCount, records) != 0);
  } catch (...) {
    return EndBool(false);
  }
}

DeviceResult CeRapiFreeBuffer(void* buffer) {
  try {
    Verdict verdict = Count(Call::CeRapiFreeBuffer);
    DevFreeBuffer(buffer);
    return EndCall(verdict.fail, verdict.fail ? kEFail : 0);
  } catch (...) {
    return EndCall(true, kEUnexpected);
  }
}

DeviceHandle CeCreateFile(const DeviceChar* path, uint32_t access, uint32_t share, void* security,
                          uint32_t disposition, uint32_t attributes, DeviceHandle templateFile) {
  (void)security;
  (void)templateFile;
  try {
    if (Count(Call::CeCreateFile).fail) return EndCall(true, kInvalidDeviceHandle);
    DeviceHandle handle = DevCreateFile(path, access, share, disposition, attributes);
    if (handle != kInvalidDeviceHandle) CountHandle(1);
    return EndCall(handle == kInvalidDeviceHandle, handle);
  } catch (...) {
    return EndCall(true, kInvalidDeviceHandle);
  }
}

uint32_t CeGetFileSize(DeviceHandle file, uint32_t* sizeHigh) {
  try {
    uint64_t size;
    if (Count(Call::CeGetFileSize).fail || !DevGetFileSize(file, &size)) {
      return EndCall(true, 0xFFFFFFFFu);
    }
    if (sizeHigh != nullptr) *sizeHigh = uint32_t(size >> 32);
    return uint32_t(size);
  } catch (...) {
    return EndCall(true, 0xFFFFFFFFu);
  }
}

DeviceBool CeReadFile(DeviceHandle file, void* buffer, uint32_t count, uint32_t* done,
                      void* overlapped) {
  (void)overlapped;
  try {
    if (done != nullptr) *done = 0;
    Verdict verdict = Count(Call::CeReadFile);
    if (verdict.fail) return EndBool(false);
    if (buffer == nullptr && count != 0) {
      SetDeviceError(kDeviceErrorInvalidParameter);
      return EndBool(false);
    }
    uint32_t moved = 0;
    bool ok = DevReadFile(file, buffer, verdict.shortMove ? count / 2 : count, &moved);
    if (done != nullptr) *done = moved;
    return EndBool(ok);
  } catch (...) {
    return EndBool(false);
  }
}

DeviceBool CeWriteFile(DeviceHandle file, const void* buffer, uint32_t count, uint32_t* done,
                       void* overlapped) {
  (void)overlapped;
  try {
    if (done != nullptr) *done = 0;
    Verdict verdict = Count(Call::CeWriteFile);
    if (verdict.fail) return EndBool(false);
    if (buffer == nullptr && count != 0) {
      SetDeviceError(kDeviceErrorInvalidParameter);
      return EndBool(false);
    }
    if (verdict.noop) {
      if (done != nullptr) *done = count;
      return 1;
    }
    uint32_t moved = 0;
    bool ok = DevWriteFile(file, buffer, verdict.shortMove ? count / 2 : count, &moved);
    if (done != nullptr) *done = moved;
    return EndBool(ok);
  } catch (...) {
    return EndBool(false);
  }
}

DeviceBool CeCloseHandle(DeviceHandle file) {
  try {
    Verdict verdict = Count(Call::CeCloseHandle);
    bool closed = DevCloseHandle(file);
    if (closed) {
      CountHandle(-1);
    } else {
      SetDeviceError(kDeviceErrorInvalidHandle);
    }
    return EndBool(closed && !verdict.fail);
  } catch (...) {
    return EndBool(false);
  }
}

DeviceBool CeCopyFile(const DeviceChar* existing, const DeviceChar* target,
                      DeviceBool failIfExists) {
  try {
    Verdict verdict = Count(Call::CeCopyFile);
    if (verdict.fail) return EndBool(false);
    if (verdict.noop) return 1;
    return EndBool(DevCopyFile(existing, target, failIfExists != 0, verdict.shortMove));
  } catch (...) {
    return EndBool(false);
  }
}

DeviceBool CeMoveFile(const DeviceChar* existing, const DeviceChar* target) {
  try {
    Verdict verdict = Count(Call::CeMoveFile);
    if (verdict.fail) return EndBool(false);
    if (verdict.noop) return 1;
    return EndBool(DevMoveFile(existing, target));
  } catch (...) {
    return EndBool(false);
  }
}

DeviceBool CeDeleteFile(const DeviceChar* path) {
  try {
    Verdict verdict = Count(Call::CeDeleteFile);
    if (verdict.fail) return EndBool(false);
    if (DeleteRefused(path)) {
      SetDeviceError(kDeviceErrorAccessDenied);
      return EndBool(false);
    }
    if (verdict.noop) return 1;
    return EndBool(DevDeleteFile(path));
  } catch (...) {
    return EndBool(false);
  }
}

DeviceBool CeCreateDirectory(const DeviceChar* path, void* security) {
  (void)security;
  try {
    Verdict verdict = Count(Call::CeCreateDirectory);
    if (verdict.fail) return EndBool(false);
    if (verdict.noop) return 1;
    return EndBool(DevCreateDirectory(path));
  } catch (...) {
    return EndBool(false);
  }
}

DeviceBool CeRemoveDirectory(const DeviceChar* path) {
  try {
    Verdict verdict = Count(Call::CeRemoveDirectory);
    if (verdict.fail) return EndBool(false);
    if (verdict.noop) return 1;
    return EndBool(DevRemoveDirectory(path));
  } catch (...) {
    return EndBool(false);
  }
}

uint32_t CeGetFileAttributes(const DeviceChar* path) {
  try {
    uint32_t attributes = kDeviceNoAttributes;
    if (Count(Call::CeGetFileAttributes).fail || !DevGetFileAttributes(path, &attributes)) {
      return EndCall(true, kDeviceNoAttributes);
    }
    return attributes;
  } catch (...) {
    return EndCall(true, kDeviceNoAttributes);
  }
}

DeviceBool CeSetFileAttributes(const DeviceChar* path, uint32_t attributes) {
  try {
    Verdict verdict = Count(Call::CeSetFileAttributes);
    if (verdict.fail) return EndBool(false);
    if (verdict.noop) return 1;
    return EndBool(DevSetFileAttributes(path, attributes));
  } catch (...) {
    return EndBool(false);
  }
}

DeviceBool CeSetFileTime(DeviceHandle file, const DeviceFileTime* created,
                         const DeviceFileTime* accessed, const DeviceFileTime* written) {
  try {
    Verdict verdict = Count(Call::CeSetFileTime);
    if (verdict.fail) return EndBool(false);
    if (verdict.noop) return 1;
    return EndBool(DevSetFileTime(file, created, accessed, written));
  } catch (...) {
    return EndBool(false);
  }
}

DeviceBool CeGetDiskFreeSpaceEx(const DeviceChar* folder, uint64_t* freeToCaller, uint64_t* total,
                                uint64_t* free) {
  try {
    if (Count(Call::CeGetDiskFreeSpaceEx).fail) return EndBool(false);
    VolumeSpace space;
    if (!DevGetVolumeSpace(folder, &space)) return EndBool(false);
    if (freeToCaller != nullptr) *freeToCaller = space.freeToCaller;
    if (total != nullptr) *total = space.total;
    if (free != nullptr) *free = space.free;
    return 1;
  } catch (...) {
    return EndBool(false);
  }
}

DeviceBool CeGetStoreInformation(DeviceStoreInformation* info) {
  try {
    if (Count(Call::CeGetStoreInformation).fail) return EndBool(false);
    if (info == nullptr) {
      SetDeviceError(kDeviceErrorInvalidParameter);
      return EndBool(false);
    }
    // The object store is the root's volume; a 32-bit field holds at most 4 GiB - 1.
    VolumeSpace space;
    if (!DevGetVolumeSpace(u"\\", &space)) return EndBool(false);
    info->StoreSize = space.total > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(space.total);
    info->FreeSize = space.freeToCaller > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(space.freeToCaller);
    return 1;
  } catch (...) {
    return EndBool(false);
  }
}

uint32_t CeGetLastError() {
  // Counted like every call, but it neither fails nor changes the last error:
  // an injected failure gives a general failure as the answer.
  if (CountCall(Call::CeGetLastError).fail) return kDeviceErrorGenFailure;
  return tLastError;
}

}  // namespace calls
}  // namespace emu

extern "C" {
#define RAPI_DEFINE_EXPORT(Return, Name, Parameters, Arguments, Bytes) \
  RAPI_EXPORT Return MERLO_STDCALL Name Parameters { return emu::calls::Name Arguments; }
MERLO_DEVICE_CALLS(RAPI_DEFINE_EXPORT)
MERLO_FURTHER_DEVICE_CALLS(RAPI_DEFINE_EXPORT)
#undef RAPI_DEFINE_EXPORT
}  // extern "C"
