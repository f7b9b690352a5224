// A minimal host for MERLO.dll on Windows: loads the module from the test
// program's own folder, resolves the entry points by name and records the
// message boxes the module shows.
#pragma once

#include <string>
#include <vector>

#include "host/entry_points.h"
#include "platform/win32/windows_api.h"

namespace merlo_windows_test {

// The folder of the running test program, ending in "\".
std::string ProgramFolder();

// The text the host serves for a message id ("text N").
std::string HostTextFor(int32_t id);

struct MessageBoxCall {
  uint32_t flags = 0;
  std::string helpTopic;
  std::vector<std::string> items;
  int32_t buttonCount = 0;
};

// Boxes shown since the last ClearBoxes().
const std::vector<MessageBoxCall>& Boxes();
void ClearBoxes();

struct Module : ModuleEntryPoints {
  HMODULE library = nullptr;
  bool allThirteenResolved = false;
};

// Loads MERLO.dll from the program's folder once for the whole run and starts
// it up with a settings root whose MERLO key is removed first (defaults).
const Module& LoadedModule();

}  // namespace merlo_windows_test
