#include "platform/device_library.h"

namespace {

template <typename Call>
bool Resolve(DeviceCallLookup lookup, void* library, const char* name, Call* entry) {
  void* address = lookup(library, name);
  if (address == nullptr) return false;
  *entry = reinterpret_cast<Call>(address);
  return true;
}

}  // namespace

bool ResolveDeviceLibrary(DeviceCallLookup lookup, void* library, DeviceLibrary* table) {
  DeviceLibrary t = {};
  bool all = true;
#define MERLO_RESOLVE_CALL(Return, Name, Parameters, Arguments, Bytes) \
  all = all && Resolve(lookup, library, #Name, &t.Name);
  MERLO_DEVICE_CALLS(MERLO_RESOLVE_CALL)
#undef MERLO_RESOLVE_CALL
  if (all) *table = t;
  return all;
}

bool IsDeviceLibraryFilled(const DeviceLibrary& t) {
  bool all = true;
#define MERLO_CHECK_CALL(Return, Name, Parameters, Arguments, Bytes) all = all && t.Name != nullptr;
  MERLO_DEVICE_CALLS(MERLO_CHECK_CALL)
#undef MERLO_CHECK_CALL
  return all;
}
