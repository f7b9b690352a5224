#include "transfer/transfer_file.h"

#include <cstring>

#include "platform/device_library.h"
#include "platform/local_files.h"
#include "platform/text.h"

namespace {

// Moves size bytes through one ChunkSize buffer: full chunks, then always the
// remainder, even of 0 bytes. Each read and write must move exactly what it asked.
template <typename ReadFn, typename WriteFn>
bool CopyChunks(uint32_t size, ReadFn read, WriteFn write) {
  unsigned char chunk[ChunkSize];
  auto move = [&](uint32_t count) {
    uint32_t done = 0;
    if (read(chunk, count, &done) == 0 || done != count) return false;
    done = 0;
    return write(chunk, count, &done) != 0 && done == count;
  };
  for (uint32_t full = size >> 11; full > 0; --full) {
    if (!move(ChunkSize)) return false;
  }
  return move(size & (ChunkSize - 1));
}

bool IsPcPath(const char* path) { return std::strchr(path, ':') != nullptr; }

bool DeviceCopy(const char* source, const char* destination, int32_t move) {
  DeviceChar deviceSource[kDevicePathUnits];
  DeviceChar deviceDestination[kDevicePathUnits];
  if (!ToDeviceText(source, deviceSource, kDevicePathUnits) ||
      !ToDeviceText(destination, deviceDestination, kDevicePathUnits)) {
    return false;
  }
  if (move != 0) return gDeviceLibrary.CeMoveFile(deviceSource, deviceDestination) != 0;
  return gDeviceLibrary.CeCopyFile(deviceSource, deviceDestination, 0) != 0;
}

bool Download(const char* source, const char* destination, int32_t move) {
  DeviceChar deviceSource[kDevicePathUnits];
  if (!ToDeviceText(source, deviceSource, kDevicePathUnits)) return false;
  const DeviceHandle in = gDeviceLibrary.CeCreateFile(deviceSource, kGenericRead, 0, nullptr,
                                                      kOpenExisting, kFileAttributeNormal, 0);
  if (in == kInvalidDeviceHandle) return false;
  // A file of 4 GiB or more cannot be copied whole: refuse it before touching the destination.
  uint32_t sizeHigh = 0;
  const uint32_t size = gDeviceLibrary.CeGetFileSize(in, &sizeHigh);
  if (sizeHigh != 0) {
    gDeviceLibrary.CeCloseHandle(in);
    return false;
  }
  const LocalHandle out =
      gLocalFiles.CreateFileA(destination, kGenericWrite, 0, kCreateAlways, kFileAttributeNormal);
  if (out == kInvalidLocalHandle) {
    gDeviceLibrary.CeCloseHandle(in);
    return false;
  }
  const bool copied = CopyChunks(
      size,
      [&](void* buffer, uint32_t count, uint32_t* done) {
        return gDeviceLibrary.CeReadFile(in, buffer, count, done, nullptr);
      },
      [&](const void* buffer, uint32_t count, uint32_t* done) {
        return gLocalFiles.WriteFile(out, buffer, count, done);
      });
  // The source was only read: how its close went does not matter. The written
  // file counts only once its close succeeded, for a close can be where a write
  // fails; a move must not remove the only copy on the strength of it.
  gDeviceLibrary.CeCloseHandle(in);
  const bool closed = gLocalFiles.CloseHandle(out) != 0;
  if (!copied || !closed) return false;
  // A move whose source stays is not a move: the copy stands, and the caller is told.
  if (move != 0) return gDeviceLibrary.CeDeleteFile(deviceSource) != 0;
  return true;
}

bool Upload(const char* source, const char* destination, int32_t move) {
  DeviceChar deviceDestination[kDevicePathUnits];
  if (!ToDeviceText(destination, deviceDestination, kDevicePathUnits)) return false;
  const LocalHandle in =
      gLocalFiles.CreateFileA(source, kGenericRead, 0, kOpenExisting, kFileAttributeNormal);
  if (in == kInvalidLocalHandle) return false;
  uint32_t sizeHigh = 0;
  const uint32_t size = gLocalFiles.GetFileSize(in, &sizeHigh);
  if (sizeHigh != 0) {
    gLocalFiles.CloseHandle(in);
    return false;
  }
  const DeviceHandle out = gDeviceLibrary.CeCreateFile(deviceDestination, kGenericWrite, 0, nullptr,
                                                       kCreateAlways, kFileAttributeNormal, 0);
  if (out == kInvalidDeviceHandle) {
    gLocalFiles.CloseHandle(in);
    return false;
  }
  const bool copied = CopyChunks(
      size,
      [&](void* buffer, uint32_t count, uint32_t* done) {
        return gLocalFiles.ReadFile(in, buffer, count, done);
      },
      [&](const void* buffer, uint32_t count, uint32_t* done) {
        return gDeviceLibrary.CeWriteFile(out, buffer, count, done, nullptr);
      });
  gLocalFiles.CloseHandle(in);
  const bool closed = gDeviceLibrary.CeCloseHandle(out) != 0;  // as in Download
  if (!copied || !closed) return false;
  if (move != 0) return gLocalFiles.DeleteFileA(source) != 0;
  return true;
}

}  // namespace

bool TransferFile(const char* source, const char* destination, int32_t move, int32_t /*opMode*/) {
  if (IsPcPath(source)) return Upload(source, destination, move);
  if (IsPcPath(destination)) return Download(source, destination, move);
  return DeviceCopy(source, destination, move);
}
