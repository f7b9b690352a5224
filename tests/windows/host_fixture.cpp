#include "host_fixture.h"

#include <cstring>

namespace merlo_windows_test {

namespace {

constexpr int32_t kModuleId = 4711;
const char* const kSettingsRoot = "Software\\MerloWindowsTests\\Plugins";

std::vector<MessageBoxCall> gBoxes;

const char* MERLO_STDCALL HostText(int32_t moduleId, int32_t messageId) {
  static std::string texts[32];
  if (moduleId != kModuleId || messageId < 0 || messageId >= 32) return "wrong module id";
  texts[messageId] = HostTextFor(messageId);
  return texts[messageId].c_str();
}

int32_t MERLO_STDCALL HostMessageBox(int32_t moduleId, uint32_t flags, const char* helpTopic,
                                     const char* const* items, int32_t itemCount,
                                     int32_t buttonCount) {
  MessageBoxCall call;
  call.flags = moduleId == kModuleId ? flags : 0xFFFFFFFFu;
  call.helpTopic = helpTopic != nullptr ? helpTopic : "(null)";
  for (int32_t i = 0; i < itemCount; ++i) call.items.push_back(items[i]);
  call.buttonCount = buttonCount;
  gBoxes.push_back(call);
  return 0;
}

Module Load() {
  Module module;
  module.library = LoadLibraryA((ProgramFolder() + "MERLO.dll").c_str());
  if (module.library == nullptr) return module;

  module.allThirteenResolved = ResolveEntryPoints(
      [&](const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(module.library, name));
      },
      [](const char*) {}, &module);
  if (module.SetStartupInfo == nullptr) return module;

  // No settings: the module works with its defaults.
  RegDeleteKeyA(HKEY_CURRENT_USER, (std::string(kSettingsRoot) + "\\MERLO").c_str());

  StartupRecord startup;
  std::memset(&startup, 0, sizeof startup);
  startup.ModuleId = kModuleId;
  startup.SettingsRoot = kSettingsRoot;
  startup.HostMessageBox = HostMessageBox;
  startup.HostText = HostText;
  module.SetStartupInfo(&startup);
  return module;
}

}  // namespace

std::string ProgramFolder() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

std::string HostTextFor(int32_t id) { return "text " + std::to_string(id); }

const std::vector<MessageBoxCall>& Boxes() { return gBoxes; }

void ClearBoxes() { gBoxes.clear(); }

const Module& LoadedModule() {
  static const Module module = Load();
  return module;
}

}  // namespace merlo_windows_test
