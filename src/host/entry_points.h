// The thirteen entry points the host calls, by their plain names.
#pragma once

#include <type_traits>

#include "panel/panel_item.h"
#include "platform/records.h"
#include "platform/stack_bytes.h"

#if defined(_WIN32)
#define MERLO_EXPORT
#else
#define MERLO_EXPORT __attribute__((visibility("default")))
#endif

// A panel handle as the host holds it; all bits set means no panel.
using PanelHandle = void*;
#define MERLO_NO_PANEL (reinterpret_cast<PanelHandle>(static_cast<intptr_t>(-1)))

// The thirteen entry points, written once. Each entry is
//   X(ReturnType, Name, (parameters), stack bytes of the 32-bit stdcall name)
// and is expanded into the declarations below, the pointer types and table a
// host holds, its resolution, and MERLO.def. Keep one entry per line: the build
// reads the names and byte counts from these lines to write the .def file.
// clang-format off
#define MERLO_ENTRY_POINTS(X) \
  X(void, SetStartupInfo, (const StartupRecord* info), 4) \
  X(void, GetPluginInfo, (PluginInfoRecord* info), 4) \
  X(int32_t, Configure, (int32_t itemNumber), 4) \
  X(PanelHandle, OpenPlugin, (int32_t openFrom, int32_t item), 8) \
  X(void, ClosePlugin, (PanelHandle panel), 4) \
  X(void, GetOpenPluginInfo, (PanelHandle panel, PanelInfoRecord* info), 8) \
  X(int32_t, GetFindData, (PanelHandle panel, PanelItem** items, int32_t* itemCount, int32_t opMode), 16) \
  X(void, FreeFindData, (PanelHandle panel, PanelItem* items, int32_t itemCount), 12) \
  X(int32_t, SetDirectory, (PanelHandle panel, const char* folder, int32_t opMode), 12) \
  X(int32_t, GetFiles, (PanelHandle panel, PanelItem* items, int32_t itemCount, int32_t move, const char* destination, int32_t opMode), 24) \
  X(int32_t, PutFiles, (PanelHandle panel, PanelItem* items, int32_t itemCount, int32_t move, int32_t opMode), 20) \
  X(int32_t, DeleteFiles, (PanelHandle panel, PanelItem* items, int32_t itemCount, int32_t opMode), 16) \
  X(void, ExitFAR, (), 0)
// clang-format on

#define MERLO_CHECK_ENTRY_POINT_BYTES(Return, Name, Parameters, Bytes) \
  static_assert(StdcallStackBytes<Return Parameters>::value == Bytes, #Name ": stack bytes");
MERLO_ENTRY_POINTS(MERLO_CHECK_ENTRY_POINT_BYTES)
#undef MERLO_CHECK_ENTRY_POINT_BYTES

extern "C" {
#define MERLO_DECLARE_ENTRY_POINT(Return, Name, Parameters, Bytes) \
  MERLO_EXPORT Return MERLO_STDCALL Name Parameters;
MERLO_ENTRY_POINTS(MERLO_DECLARE_ENTRY_POINT)
#undef MERLO_DECLARE_ENTRY_POINT
}

// Pointer types, for a host that resolves the entry points by name.
#define MERLO_ENTRY_POINT_TYPE(Return, Name, Parameters, Bytes) \
  using Name##Fn = Return(MERLO_STDCALL*) Parameters;
MERLO_ENTRY_POINTS(MERLO_ENTRY_POINT_TYPE)
#undef MERLO_ENTRY_POINT_TYPE

// The thirteen entry points of a loaded module, as a host holds them.
struct ModuleEntryPoints {
#define MERLO_ENTRY_POINT_FIELD(Return, Name, Parameters, Bytes) Name##Fn Name = nullptr;
  MERLO_ENTRY_POINTS(MERLO_ENTRY_POINT_FIELD)
#undef MERLO_ENTRY_POINT_FIELD
};

// Resolves every entry point by its plain name: lookup(name) gives the
// address or null, missing(name) hears of each one not found. True when all
// thirteen were found.
template <typename Lookup, typename Missing>
bool ResolveEntryPoints(Lookup lookup, Missing missing, ModuleEntryPoints* entries) {
  bool all = true;
  auto bind = [&](const char* name, auto* entry) {
    void* address = lookup(name);
    if (address == nullptr) {
      missing(name);
      all = false;
      return;
    }
    // Through a plain function pointer: a symbol's address may be any function.
    *entry = reinterpret_cast<std::remove_reference_t<decltype(*entry)>>(
        reinterpret_cast<void (*)()>(address));
  };
#define MERLO_BIND_ENTRY_POINT(Return, Name, Parameters, Bytes) bind(#Name, &entries->Name);
  MERLO_ENTRY_POINTS(MERLO_BIND_ENTRY_POINT)
#undef MERLO_BIND_ENTRY_POINT
  return all;
}
