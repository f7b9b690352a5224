// One open panel on the device: its connection and its current device folder.
#pragma once

#include "platform/records.h"

constexpr uint32_t ConnectTimeoutMs = 5000;
constexpr size_t kCurrentPathSize = 259;

class DevicePanel {
 public:
  // Connects to the device; Connected tells whether it worked. A failure has
  // shown its connection error box.
  DevicePanel();
  // Ends the connection, also one that failed or timed out.
  virtual ~DevicePanel();

  DevicePanel(const DevicePanel&) = delete;
  DevicePanel& operator=(const DevicePanel&) = delete;

  // Written by the device library, also after CeRapiInitEx has returned; stays
  // in place until the destructor has called CeRapiUninit.
  ::ConnectRecord ConnectRecord;
  bool Connected;
  char CurrentPath[kCurrentPathSize];  // "" at the root, else "\name" per level
  int32_t Depth;                       // levels below the root
};

// A connected panel, or nullptr when the connection failed.
DevicePanel* OpenPanel();
void ClosePanel(DevicePanel* panel);
