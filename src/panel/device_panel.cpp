#include "panel/device_panel.h"

#include <new>

#include "host/messages.h"
#include "platform/device_library.h"
#include "platform/process.h"

DevicePanel::DevicePanel() : ConnectRecord{}, Connected(false), CurrentPath{}, Depth(0) {
  ConnectRecord.Size = sizeof(::ConnectRecord);
  // A PC without the device library cannot start a connection.
  if (!LoadDeviceLibrary() || gDeviceLibrary.CeRapiInitEx(&ConnectRecord) != 0) {
    ShowConnectError(MsgInitFailed);
    return;
  }
  const uint32_t waited =
      gProcess.WaitForSingleObject(ConnectRecord.CompletionEvent, ConnectTimeoutMs);
  if (waited == kWaitObject0 && ConnectRecord.Result != 0) {
    ShowConnectError(MsgConnectFailed);
    return;
  }
  if (waited == kWaitTimeout) {
    ShowConnectError(MsgConnectTimeout);
    return;
  }
  // Any other end of the wait counts as connected.
  CurrentPath[0] = '\0';
  Depth = 0;
  Connected = true;
}

DevicePanel::~DevicePanel() {
  if (gDeviceLibrary.CeRapiUninit != nullptr) gDeviceLibrary.CeRapiUninit();
  Connected = false;
}

DevicePanel* OpenPanel() {
  DevicePanel* panel = new (std::nothrow) DevicePanel();
  if (panel == nullptr) return nullptr;
  if (panel->Connected) return panel;
  delete panel;
  return nullptr;
}

void ClosePanel(DevicePanel* panel) { delete panel; }
