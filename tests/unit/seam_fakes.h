// Recording fakes of the module's seams: the host's services, the device
// library, PC files, the settings store and the process. A FakeWorld installs
// itself on construction and puts the real tables back on destruction.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "host/module_state.h"
#include "platform/device_library.h"
#include "platform/local_files.h"
#include "platform/process.h"
#include "platform/registry.h"

struct FakeBox {
  uint32_t Flags;
  std::string HelpTopic;  // "<null>" when none was given
  std::vector<std::string> Items;
  int32_t ButtonCount;
};

struct FakeWorld {
  FakeWorld();
  ~FakeWorld();
  FakeWorld(const FakeWorld&) = delete;
  FakeWorld& operator=(const FakeWorld&) = delete;

  // Every call through a seam, in order, e.g. "CeCreateFile(\a.txt,80000000,0,3,80)".
  std::vector<std::string> Calls;
  // Calls whose name starts with the prefix, in order.
  std::vector<std::string> CallsOf(const std::string& prefix) const;

  // Host.
  std::map<int, std::string> Texts;  // missing ids read as "text<id>"
  bool NullTexts = false;            // HostText answers null
  std::vector<FakeBox> Boxes;
  StartupRecord Startup;  // installed with SetStartupInfo
  std::string SettingsRoot = "Software\\Host\\Plugins";

  // Connection.
  DeviceResult InitResult = 0;
  uint32_t WaitResult = kWaitObject0;
  DeviceResult ConnectResult = 0;

  // Listing.
  std::vector<DeviceFindRecord> Records;
  bool FindLeavesCountUntouched = false;
  uint32_t FindCalls = 0;

  // Files on both sides; device paths are stored in narrow form for readability.
  std::map<std::string, std::string> DeviceFiles;
  std::map<std::string, std::string> PcFiles;
  std::map<std::string, uint32_t> SizeHigh;  // a path's reported high size half
  // Call counters and failures: the n-th (1-based) read or write across both sides.
  int FailRead = 0, ShortRead = 0, FailWrite = 0, ShortWrite = 0;
  bool DeviceDeleteRefused = false, PcDeleteRefused = false;
  bool DeviceCreateRefused = false, PcCreateRefused = false;
  bool DeviceCloseFails = false, PcCloseFails = false;  // the close releases, then reports failure
  DeviceBool CopyResult = 1, MoveResult = 1;

  // Settings store: key path (lower case) -> value name -> bytes.
  std::map<std::string, std::map<std::string, std::vector<uint8_t>>> Keys;

  // Process.
  std::string CurrentDirectory = "C:\\data";
  uint32_t CurrentDirectoryResult = 0;  // non-zero replaces the real length

  // Starts the module with Startup (SettingsRoot pointing at SettingsRoot).
  void StartModule();

  // Internal: counters.
  int Reads = 0, Writes = 0;

 private:
  DeviceLibrary savedDevice_;
  LocalFiles savedLocal_;
  Registry savedRegistry_;
  ProcessCalls savedProcess_;
  ModuleState savedModule_;
};

// A device find record with the given name units.
DeviceFindRecord MakeRecord(const std::u16string& name, uint32_t attributes = 0x20,
                            uint32_t sizeLow = 0);
std::string Narrow(const DeviceChar* text);
