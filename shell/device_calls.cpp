#include "device_calls.h"

#include "platform.h"

namespace merlo {
namespace {

bool Resolve(DeviceCalls* calls) {
  void* library = platform::LoadedDeviceLibrary();
  if (library == nullptr) return false;
#define MERLO_RESOLVE_SHELL_CALL(Return, Name, Parameters, Arguments, Bytes) \
  calls->Name = reinterpret_cast<decltype(calls->Name)>(                     \
      reinterpret_cast<void (*)()>(platform::LibrarySymbol(library, #Name)));
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
