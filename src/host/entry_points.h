// The thirteen entry points the host calls, by their plain names.
#pragma once

#include <type_traits>

#include "panel/panel_item.h"
#include "platform/records.h"

#if defined(_WIN32)
#define MERLO_EXPORT
#else
#define MERLO_EXPORT __attribute__((visibility("default")))
#endif

// A panel handle as the host holds it; all bits set means no panel.
using PanelHandle = void*;
#define MERLO_NO_PANEL (reinterpret_cast<PanelHandle>(static_cast<intptr_t>(-1)))

extern "C" {
MERLO_EXPORT void MERLO_STDCALL SetStartupInfo(const StartupRecord* info);
MERLO_EXPORT void MERLO_STDCALL GetPluginInfo(PluginInfoRecord* info);
MERLO_EXPORT int32_t MERLO_STDCALL Configure(int32_t itemNumber);
MERLO_EXPORT PanelHandle MERLO_STDCALL OpenPlugin(int32_t openFrom, int32_t item);
MERLO_EXPORT void MERLO_STDCALL ClosePlugin(PanelHandle panel);
MERLO_EXPORT void MERLO_STDCALL GetOpenPluginInfo(PanelHandle panel, PanelInfoRecord* info);
MERLO_EXPORT int32_t MERLO_STDCALL GetFindData(PanelHandle panel, PanelItem** items,
                                               int32_t* itemCount, int32_t opMode);
MERLO_EXPORT void MERLO_STDCALL FreeFindData(PanelHandle panel, PanelItem* items,
                                             int32_t itemCount);
MERLO_EXPORT int32_t MERLO_STDCALL SetDirectory(PanelHandle panel, const char* folder,
                                                int32_t opMode);
MERLO_EXPORT int32_t MERLO_STDCALL GetFiles(PanelHandle panel, PanelItem* items, int32_t itemCount,
                                            int32_t move, const char* destination, int32_t opMode);
MERLO_EXPORT int32_t MERLO_STDCALL PutFiles(PanelHandle panel, PanelItem* items, int32_t itemCount,
                                            int32_t move, int32_t opMode);
MERLO_EXPORT int32_t MERLO_STDCALL DeleteFiles(PanelHandle panel, PanelItem* items,
                                               int32_t itemCount, int32_t opMode);
MERLO_EXPORT void MERLO_STDCALL ExitFAR();
}

// Pointer types, for a host that resolves the entry points by name.
using SetStartupInfoFn = void(MERLO_STDCALL*)(const StartupRecord*);
using GetPluginInfoFn = void(MERLO_STDCALL*)(PluginInfoRecord*);
using ConfigureFn = int32_t(MERLO_STDCALL*)(int32_t);
using OpenPluginFn = PanelHandle(MERLO_STDCALL*)(int32_t, int32_t);
using ClosePluginFn = void(MERLO_STDCALL*)(PanelHandle);
using GetOpenPluginInfoFn = void(MERLO_STDCALL*)(PanelHandle, PanelInfoRecord*);
using GetFindDataFn = int32_t(MERLO_STDCALL*)(PanelHandle, PanelItem**, int32_t*, int32_t);
using FreeFindDataFn = void(MERLO_STDCALL*)(PanelHandle, PanelItem*, int32_t);
using SetDirectoryFn = int32_t(MERLO_STDCALL*)(PanelHandle, const char*, int32_t);
using GetFilesFn = int32_t(MERLO_STDCALL*)(PanelHandle, PanelItem*, int32_t, int32_t, const char*,
                                           int32_t);
using PutFilesFn = int32_t(MERLO_STDCALL*)(PanelHandle, PanelItem*, int32_t, int32_t, int32_t);
using DeleteFilesFn = int32_t(MERLO_STDCALL*)(PanelHandle, PanelItem*, int32_t, int32_t);
using ExitFARFn = void(MERLO_STDCALL*)();

// The thirteen entry points of a loaded module, as a host holds them.
struct ModuleEntryPoints {
  SetStartupInfoFn SetStartupInfo = nullptr;
  GetPluginInfoFn GetPluginInfo = nullptr;
  ConfigureFn Configure = nullptr;
  OpenPluginFn OpenPlugin = nullptr;
  ClosePluginFn ClosePlugin = nullptr;
  GetOpenPluginInfoFn GetOpenPluginInfo = nullptr;
  GetFindDataFn GetFindData = nullptr;
  FreeFindDataFn FreeFindData = nullptr;
  SetDirectoryFn SetDirectory = nullptr;
  GetFilesFn GetFiles = nullptr;
  PutFilesFn PutFiles = nullptr;
  DeleteFilesFn DeleteFiles = nullptr;
  ExitFARFn ExitFAR = nullptr;
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
  bind("SetStartupInfo", &entries->SetStartupInfo);
  bind("GetPluginInfo", &entries->GetPluginInfo);
  bind("Configure", &entries->Configure);
  bind("OpenPlugin", &entries->OpenPlugin);
  bind("ClosePlugin", &entries->ClosePlugin);
  bind("GetOpenPluginInfo", &entries->GetOpenPluginInfo);
  bind("GetFindData", &entries->GetFindData);
  bind("FreeFindData", &entries->FreeFindData);
  bind("SetDirectory", &entries->SetDirectory);
  bind("GetFiles", &entries->GetFiles);
  bind("PutFiles", &entries->PutFiles);
  bind("DeleteFiles", &entries->DeleteFiles);
  bind("ExitFAR", &entries->ExitFAR);
  return all;
}
