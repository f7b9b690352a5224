// MERLO.dll on a PC without the device library: this program's folder holds
// MERLO.dll but no rapi.dll. The module still loads and builds its menus, and
// opening a panel ends in the connection box with message 7. A rapi.dll in
// the current folder or on PATH is never loaded.
#include <gtest/gtest.h>

#include <cstring>

#include "host_fixture.h"

namespace merlo_windows_test {
namespace {

const PanelHandle kNoPanel = MERLO_NO_PANEL;

std::string PlantedFolder() { return ProgramFolder() + "planted"; }
std::string PlantedMarker() { return PlantedFolder() + "\\planted_loaded.txt"; }

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// One OpenPlugin that must fail to start a connection: message 7 in the
// connection box, no panel.
void ExpectInitFailedBox(const Module& module) {
  ClearBoxes();
  EXPECT_EQ(module.OpenPlugin(0, 0), kNoPanel);
  ASSERT_EQ(Boxes().size(), 1u);
  const MessageBoxCall& box = Boxes()[0];
  EXPECT_EQ(box.flags, 1u);
  EXPECT_EQ(box.helpTopic, HostTextFor(5));
  EXPECT_EQ(box.items, (std::vector<std::string>{HostTextFor(7), HostTextFor(6)}));
  EXPECT_EQ(box.buttonCount, 1);
}

TEST(NoDeviceLibrary, ModuleLoadsAndOffersItsMenus) {
  ASSERT_FALSE(Exists(ProgramFolder() + "rapi.dll")) << "this folder must hold no rapi.dll";
  const Module& module = LoadedModule();
  ASSERT_NE(module.library, nullptr) << "MERLO.dll did not load: " << GetLastError();
  EXPECT_TRUE(module.allThirteenResolved);
  ASSERT_NE(module.GetPluginInfo, nullptr);

  PluginInfoRecord info;
  std::memset(&info, 0, sizeof info);
  info.StructSize = sizeof info;
  module.GetPluginInfo(&info);
  ASSERT_EQ(info.PluginMenuCount, 1);
  EXPECT_STREQ(info.PluginMenuTexts[0], HostTextFor(3).c_str());
  ASSERT_EQ(info.DisksMenuCount, 1);
  EXPECT_STREQ(info.DisksMenuTexts[0], HostTextFor(4).c_str());
  EXPECT_EQ(info.DisksMenuNumbers[0], 9);
  ASSERT_EQ(info.ConfigMenuCount, 1);
  EXPECT_STREQ(info.ConfigMenuTexts[0], HostTextFor(3).c_str());

  // Loading and starting the module touches no device library.
  EXPECT_EQ(GetModuleHandleA("rapi.dll"), nullptr);
}

TEST(NoDeviceLibrary, OpenPluginShowsMessage7EveryTime) {
  const Module& module = LoadedModule();
  ASSERT_NE(module.OpenPlugin, nullptr);
  ExpectInitFailedBox(module);
  // A second try looks for the library again and fails the same way.
  ExpectInitFailedBox(module);
  EXPECT_EQ(GetModuleHandleA("rapi.dll"), nullptr);
  module.ExitFAR();
}

TEST(PlantedDeviceLibrary, NeitherCurrentFolderNorPathIsSearched) {
  const Module& module = LoadedModule();
  ASSERT_NE(module.OpenPlugin, nullptr);
  ASSERT_TRUE(Exists(PlantedFolder() + "\\rapi.dll"));
  DeleteFileA(PlantedMarker().c_str());

  char previous[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryA(PlantedFolder().c_str()));
  const DWORD pathLength = GetEnvironmentVariableA("PATH", nullptr, 0);
  std::string path(pathLength, '\0');
  GetEnvironmentVariableA("PATH", &path[0], pathLength);
  path.resize(pathLength > 0 ? pathLength - 1 : 0);
  SetEnvironmentVariableA("PATH", (PlantedFolder() + ";" + path).c_str());

  ExpectInitFailedBox(module);
  EXPECT_EQ(GetModuleHandleA("rapi.dll"), nullptr);
  EXPECT_FALSE(Exists(PlantedMarker()));

  SetEnvironmentVariableA("PATH", path.c_str());
  SetCurrentDirectoryA(previous);

  // The planted library is a real one: loaded on purpose it leaves its marker,
  // so the checks above would have seen it.
  const HMODULE planted = LoadLibraryA((PlantedFolder() + "\\rapi.dll").c_str());
  ASSERT_NE(planted, nullptr);
  EXPECT_TRUE(Exists(PlantedMarker()));
  FreeLibrary(planted);
  DeleteFileA(PlantedMarker().c_str());
}

}  // namespace
}  // namespace merlo_windows_test
