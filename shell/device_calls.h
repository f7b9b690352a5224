// merlo's own access to the device library the module loaded, for what the
// module has no entry point for: folders, attributes, file times, free space
// and the device's last error. Every file copy still goes through the module.
#pragma once

#include <string>

#include "platform/device_calls.h"

namespace merlo {

// One pointer per device call, the module's and the further ones; null where
// the library lacks the call.
struct DeviceCalls {
#define MERLO_SHELL_DEVICE_CALL(Return, Name, Parameters, Arguments, Bytes) \
  Return(MERLO_STDCALL* Name) Parameters = nullptr;
  MERLO_DEVICE_CALLS(MERLO_SHELL_DEVICE_CALL)
  MERLO_FURTHER_DEVICE_CALLS(MERLO_SHELL_DEVICE_CALL)
#undef MERLO_SHELL_DEVICE_CALL
};

// The calls of the device library that the module loaded: the library already
// in the process (the system's rapi.dll on Windows, the emulated one with
// --device). Resolved once, on the first call after the module has connected;
// before that, or without a loaded library, every pointer is null and the
// next call tries again.
const DeviceCalls& DeviceLibraryCalls();

// The plain sentence a command prints when the library lacks `call`.
std::string MissingCallMessage(const char* call);

}  // namespace merlo
