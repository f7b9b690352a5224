// Files on the PC, on Windows: the narrow file calls themselves.
#include "platform/local_files.h"
#include "platform/win32/windows_api.h"

namespace {

HANDLE ToHandle(LocalHandle file) { return reinterpret_cast<HANDLE>(file); }

LocalHandle Win32CreateFileA(const char* path, uint32_t access, uint32_t share,
                             uint32_t disposition, uint32_t attributes) {
  const HANDLE file = CreateFileA(path, access, share, nullptr, disposition, attributes, nullptr);
  // INVALID_HANDLE_VALUE is -1, which is kInvalidLocalHandle.
  return reinterpret_cast<LocalHandle>(file);
}

int32_t Win32ReadFile(LocalHandle file, void* buffer, uint32_t count, uint32_t* done) {
  DWORD moved = 0;
  const BOOL ok = ReadFile(ToHandle(file), buffer, count, &moved, nullptr);
  if (done != nullptr) *done = moved;
  return ok ? 1 : 0;
}

int32_t Win32WriteFile(LocalHandle file, const void* buffer, uint32_t count, uint32_t* done) {
  DWORD moved = 0;
  const BOOL ok = WriteFile(ToHandle(file), buffer, count, &moved, nullptr);
  if (done != nullptr) *done = moved;
  return ok ? 1 : 0;
}

uint32_t Win32GetFileSize(LocalHandle file, uint32_t* sizeHigh) {
  DWORD high = 0;
  const DWORD low = GetFileSize(ToHandle(file), sizeHigh != nullptr ? &high : nullptr);
  if (sizeHigh != nullptr) *sizeHigh = high;
  return low;
}

int32_t Win32CloseHandle(LocalHandle file) { return CloseHandle(ToHandle(file)) ? 1 : 0; }

int32_t Win32DeleteFileA(const char* path) { return DeleteFileA(path) ? 1 : 0; }

}  // namespace

LocalFiles gLocalFiles = {
    Win32CreateFileA, Win32ReadFile,    Win32WriteFile,
    Win32GetFileSize, Win32CloseHandle, Win32DeleteFileA,
};
