// The calls of the emulated device-access library, exported by their plain
// names with C linkage (stdcall and a .def file on Windows). Each call counts
// itself for fault injection (faults.h), then does its work in the platform
// backend; nothing is thrown across the interface.
#include <type_traits>

#include "backend.h"
#include "faults.h"
#include "platform/device_library.h"

#if defined(_WIN32)
#define RAPI_EXPORT
#else
#define RAPI_EXPORT __attribute__((visibility("default")))
#endif

using emu::Call;
using emu::CountCall;
using emu::Verdict;

extern "C" {

RAPI_EXPORT DeviceResult MERLO_STDCALL CeRapiInitEx(ConnectRecord* record) {
  try {
    return emu::BeginConnection(record);
  } catch (...) {
    return emu::kEUnexpected;
  }
}

RAPI_EXPORT DeviceResult MERLO_STDCALL CeRapiUninit() {
  try {
    Verdict verdict = CountCall(Call::CeRapiUninit);
    bool ended = emu::EndConnection();
    emu::WriteReport();
    return (ended && !verdict.fail) ? 0 : emu::kEFail;
  } catch (...) {
    return emu::kEUnexpected;
  }
}

RAPI_EXPORT DeviceBool MERLO_STDCALL CeFindAllFiles(const DeviceChar* pattern, uint32_t flags,
                                                    uint32_t* foundCount,
                                                    DeviceFindRecord** records) {
  try {
    if (CountCall(Call::CeFindAllFiles).fail) return 0;
    if (foundCount == nullptr || records == nullptr) return 0;
    return emu::DevFindAllFiles(pattern, flags, foundCount, records);
  } catch (...) {
    return 0;
  }
}

RAPI_EXPORT DeviceResult MERLO_STDCALL CeRapiFreeBuffer(void* buffer) {
  try {
    Verdict verdict = CountCall(Call::CeRapiFreeBuffer);
    emu::DevFreeBuffer(buffer);
    return verdict.fail ? emu::kEFail : 0;
  } catch (...) {
    return emu::kEUnexpected;
  }
}

RAPI_EXPORT DeviceHandle MERLO_STDCALL CeCreateFile(const DeviceChar* path, uint32_t access,
                                                    uint32_t share, void* security,
                                                    uint32_t disposition, uint32_t attributes,
                                                    DeviceHandle templateFile) {
  (void)security;
  (void)templateFile;
  try {
    if (CountCall(Call::CeCreateFile).fail) return kInvalidDeviceHandle;
    DeviceHandle handle = emu::DevCreateFile(path, access, share, disposition, attributes);
    if (handle != kInvalidDeviceHandle) emu::CountHandle(1);
    return handle;
  } catch (...) {
    return kInvalidDeviceHandle;
  }
}

RAPI_EXPORT uint32_t MERLO_STDCALL CeGetFileSize(DeviceHandle file, uint32_t* sizeHigh) {
  try {
    uint64_t size;
    if (CountCall(Call::CeGetFileSize).fail || !emu::DevGetFileSize(file, &size)) {
      return 0xFFFFFFFFu;
    }
    if (sizeHigh != nullptr) *sizeHigh = uint32_t(size >> 32);
    return uint32_t(size);
  } catch (...) {
    return 0xFFFFFFFFu;
  }
}

RAPI_EXPORT DeviceBool MERLO_STDCALL CeReadFile(DeviceHandle file, void* buffer, uint32_t count,
                                                uint32_t* done, void* overlapped) {
  (void)overlapped;
  try {
    if (done != nullptr) *done = 0;
    Verdict verdict = CountCall(Call::CeReadFile);
    if (verdict.fail || (buffer == nullptr && count != 0)) return 0;
    uint32_t moved = 0;
    bool ok = emu::DevReadFile(file, buffer, verdict.shortMove ? count / 2 : count, &moved);
    if (done != nullptr) *done = moved;
    return ok ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

RAPI_EXPORT DeviceBool MERLO_STDCALL CeWriteFile(DeviceHandle file, const void* buffer,
                                                 uint32_t count, uint32_t* done, void* overlapped) {
  (void)overlapped;
  try {
    if (done != nullptr) *done = 0;
    Verdict verdict = CountCall(Call::CeWriteFile);
    if (verdict.fail || (buffer == nullptr && count != 0)) return 0;
    uint32_t moved = 0;
    bool ok = emu::DevWriteFile(file, buffer, verdict.shortMove ? count / 2 : count, &moved);
    if (done != nullptr) *done = moved;
    return ok ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

RAPI_EXPORT DeviceBool MERLO_STDCALL CeCloseHandle(DeviceHandle file) {
  try {
    Verdict verdict = CountCall(Call::CeCloseHandle);
    bool closed = emu::DevCloseHandle(file);
    if (closed) emu::CountHandle(-1);
    return (closed && !verdict.fail) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

RAPI_EXPORT DeviceBool MERLO_STDCALL CeCopyFile(const DeviceChar* existing,
                                                const DeviceChar* target, DeviceBool failIfExists) {
  try {
    Verdict verdict = CountCall(Call::CeCopyFile);
    if (verdict.fail) return 0;
    return emu::DevCopyFile(existing, target, failIfExists != 0, verdict.shortMove) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

RAPI_EXPORT DeviceBool MERLO_STDCALL CeMoveFile(const DeviceChar* existing,
                                                const DeviceChar* target) {
  try {
    if (CountCall(Call::CeMoveFile).fail) return 0;
    return emu::DevMoveFile(existing, target) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

RAPI_EXPORT DeviceBool MERLO_STDCALL CeDeleteFile(const DeviceChar* path) {
  try {
    if (CountCall(Call::CeDeleteFile).fail || emu::DeleteRefused(path)) return 0;
    return emu::DevDeleteFile(path) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

}  // extern "C"

// The exports have exactly the types of the module's table.
#define RAPI_SAME_TYPE(name)                                                           \
  static_assert(std::is_same<decltype(&::name), decltype(DeviceLibrary::name)>::value, \
                #name " differs from DeviceLibrary")
RAPI_SAME_TYPE(CeRapiInitEx);
RAPI_SAME_TYPE(CeRapiUninit);
RAPI_SAME_TYPE(CeFindAllFiles);
RAPI_SAME_TYPE(CeRapiFreeBuffer);
RAPI_SAME_TYPE(CeCreateFile);
RAPI_SAME_TYPE(CeGetFileSize);
RAPI_SAME_TYPE(CeReadFile);
RAPI_SAME_TYPE(CeWriteFile);
RAPI_SAME_TYPE(CeCloseHandle);
RAPI_SAME_TYPE(CeCopyFile);
RAPI_SAME_TYPE(CeMoveFile);
RAPI_SAME_TYPE(CeDeleteFile);
