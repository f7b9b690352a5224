#include "device_calls.h"

#if defined(_WIN32)
#include "platform/win32/windows_api.h"
#else
#include <dlfcn.h>
#endif

namespace merlo {
namespace {

// The device library already loaded by the module; null when there is none.
// The reference taken here is kept: the calls must stay valid.
void* LoadedDeviceLibrary() {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetModuleHandleW(L"rapi.dll"));
#else
  // The module opens "librapi.so" by that name, or by its path beside the
  // module; either way the loaded object carries that name as its soname, which
  // RTLD_NOLOAD matches without loading anything new.
  return dlopen("librapi.so", RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
#endif
}

void* CallAddress(void* library, const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(
      reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(library), name)));
#else
  return dlsym(library, name);
#endif
}

bool Resolve(DeviceCalls* calls) {
  void* library = LoadedDeviceLibrary();
  if (library == nullptr) return false;
#define MERLO_RESOLVE_SHELL_CALL(Return, Name, Parameters, Arguments, Bytes) \
  calls->Name = reinterpret_cast<decltype(calls->Name)>(                     \
      reinterpret_cast<void (*)()>(CallAddress(library, #Name)));
  MERLO_DEVICE_CALLS(MERLO_RESOLVE_SHELL_CALL)
  MERLO_FURTHER_DEVICE_CALLS(MERLO_RESOLVE_SHELL_CALL)
#undef MERLO_RESOLVE_SHELL_CALL
  return true;
}

}  // namespace

const DeviceCalls& DeviceLibraryCalls() {
  static DeviceCalls calls;
  static bool resolved = false;
  if (!resolved) resolved = Resolve(&calls);
  return calls;
}

std::string MissingCallMessage(const char* call) {
  return std::string("the device library has no ") + call + ": this command cannot work with it";
}

}  // namespace merlo
