// The connection wait and the current directory, on Windows.
#include "platform/process.h"
#include "platform/win32/windows_api.h"

namespace {

uint32_t Win32WaitForSingleObject(int32_t event, uint32_t milliseconds) {
  return WaitForSingleObject(reinterpret_cast<HANDLE>(static_cast<intptr_t>(event)), milliseconds);
}

uint32_t Win32GetCurrentDirectoryA(uint32_t size, char* buffer) {
  return GetCurrentDirectoryA(size, buffer);
}

}  // namespace

ProcessCalls gProcess = {Win32WaitForSingleObject, Win32GetCurrentDirectoryA, nullptr};
