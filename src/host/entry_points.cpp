// The entry points hand over to the module's logic; none lets an exception out
// (the module is built without them) and each checks the handles it is given.
#include "host/entry_points.h"

#include "host/menus.h"
#include "host/module_state.h"
#include "panel/device_panel.h"
#include "panel/listing.h"
#include "panel/navigation.h"
#include "transfer/delete_items.h"
#include "transfer/transfer_items.h"

namespace {

DevicePanel* FromHandle(PanelHandle panel) {
  if (panel == nullptr || panel == MERLO_NO_PANEL) return nullptr;
  return static_cast<DevicePanel*>(panel);
}

}  // namespace

extern "C" {

void MERLO_STDCALL SetStartupInfo(const StartupRecord* info) { StartModule(info); }

void MERLO_STDCALL GetPluginInfo(PluginInfoRecord* info) { FillPluginInfo(info); }

int32_t MERLO_STDCALL Configure(int32_t itemNumber) { return ConfigureItem(itemNumber); }

PanelHandle MERLO_STDCALL OpenPlugin(int32_t /*openFrom*/, int32_t /*item*/) {
  DevicePanel* panel = OpenPanel();
  return panel != nullptr ? static_cast<PanelHandle>(panel) : MERLO_NO_PANEL;
}

void MERLO_STDCALL ClosePlugin(PanelHandle panel) { ClosePanel(FromHandle(panel)); }

void MERLO_STDCALL GetOpenPluginInfo(PanelHandle /*panel*/, PanelInfoRecord* info) {
  if (info != nullptr) DescribePanel(info);
}

int32_t MERLO_STDCALL GetFindData(PanelHandle panel, PanelItem** items, int32_t* itemCount,
                                  int32_t /*opMode*/) {
  DevicePanel* devicePanel = FromHandle(panel);
  if (items == nullptr || itemCount == nullptr) return 0;
  if (devicePanel == nullptr) {
    *items = nullptr;
    *itemCount = 0;
    return 0;
  }
  return ListDirectory(devicePanel, items, itemCount);
}

void MERLO_STDCALL FreeFindData(PanelHandle /*panel*/, PanelItem* items, int32_t /*itemCount*/) {
  FreeListing(items);
}

int32_t MERLO_STDCALL SetDirectory(PanelHandle panel, const char* folder, int32_t /*opMode*/) {
  DevicePanel* devicePanel = FromHandle(panel);
  if (devicePanel == nullptr || folder == nullptr) return 0;
  return ChangeDirectory(devicePanel, folder);
}

int32_t MERLO_STDCALL GetFiles(PanelHandle panel, PanelItem* items, int32_t itemCount, int32_t move,
                               const char* destination, int32_t opMode) {
  DevicePanel* devicePanel = FromHandle(panel);
  if (devicePanel == nullptr || destination == nullptr) return 0;
  return TransferItems(items, itemCount, devicePanel->CurrentPath, destination, move, opMode);
}

int32_t MERLO_STDCALL PutFiles(PanelHandle panel, PanelItem* items, int32_t itemCount, int32_t move,
                               int32_t opMode) {
  DevicePanel* devicePanel = FromHandle(panel);
  if (devicePanel == nullptr) return 0;
  return PutItems(devicePanel->CurrentPath, items, itemCount, move, opMode);
}

int32_t MERLO_STDCALL DeleteFiles(PanelHandle panel, PanelItem* items, int32_t itemCount,
                                  int32_t opMode) {
  DevicePanel* devicePanel = FromHandle(panel);
  if (devicePanel == nullptr) return 0;
  return DeleteItems(devicePanel->CurrentPath, items, itemCount, opMode);
}

void MERLO_STDCALL ExitFAR() {}

}  // extern "C"
