// Start-up, message boxes, settings and menus.
#include <gtest/gtest.h>

#include <cstring>

#include "host/entry_points.h"
#include "host/messages.h"
#include "host/settings.h"
#include "seam_fakes.h"

namespace {

using Strings = std::vector<std::string>;

TEST(StartUp, WorksFromItsOwnCopyOfTheHostRecord) {
  FakeWorld w;
  StartupRecord record = w.Startup;
  record.SettingsRoot = w.SettingsRoot.c_str();
  SetStartupInfo(&record);
  std::memset(&record, 0, sizeof record);  // the host reuses its record
  ShowConnectError(MsgInitFailed);
  ASSERT_EQ(w.Boxes.size(), 1u);
  EXPECT_EQ(w.CallsOf("HostText").front(), "HostText(42,5)");
}

TEST(ErrorBoxes, ConnectionBoxFetchesHelpThenMessageThenButton) {
  FakeWorld w;
  ShowConnectError(MsgConnectTimeout);
  EXPECT_EQ(w.CallsOf("HostText"), (Strings{"HostText(42,5)", "HostText(42,9)", "HostText(42,6)"}));
  ASSERT_EQ(w.Boxes.size(), 1u);
  EXPECT_EQ(w.Boxes[0].Flags, 1u);
  EXPECT_EQ(w.Boxes[0].HelpTopic, "text5");
  EXPECT_EQ(w.Boxes[0].Items, (Strings{"text9", "text6"}));
  EXPECT_EQ(w.Boxes[0].ButtonCount, 1);
}

TEST(ErrorBoxes, OperationBoxFormatsThePathIntoTheMessage) {
  FakeWorld w;
  w.Texts[10] = "Cannot copy %s now";
  ShowOperationError(MsgCopyFailed, "\\a\\b.txt");
  EXPECT_EQ(w.CallsOf("HostText"),
            (Strings{"HostText(42,10)", "HostText(42,2)", "HostText(42,0)"}));
  ASSERT_EQ(w.Boxes.size(), 1u);
  EXPECT_EQ(w.Boxes[0].Flags, 3u);
  EXPECT_EQ(w.Boxes[0].HelpTopic, "<null>");
  EXPECT_EQ(w.Boxes[0].Items, (Strings{"text2", "Cannot copy \\a\\b.txt now", "text0"}));
  EXPECT_EQ(w.Boxes[0].ButtonCount, 1);
}

TEST(ErrorBoxes, NullHostTextsCountAsEmpty) {
  FakeWorld w;
  w.NullTexts = true;
  ShowOperationError(MsgDeleteFailed, "\\x");
  ShowConnectError(MsgConnectFailed);
  ASSERT_EQ(w.Boxes.size(), 2u);
  EXPECT_EQ(w.Boxes[0].Items, (Strings{"", "", ""}));
  EXPECT_EQ(w.Boxes[1].HelpTopic, "");
}

TEST(FormatWithPath, OnlyTheFirstPercentSTakesThePath) {
  char out[200];
  FormatWithPath("%s and %s, 100%% %d %", "P", out, sizeof out);
  EXPECT_STREQ(out, "P and %s, 100% %d %");
  FormatWithPath("no argument", "P", out, sizeof out);
  EXPECT_STREQ(out, "no argument");
}

TEST(FormatWithPath, CutsALongTextToTheBuffer) {
  std::string path(500, 'x');
  char out[200];
  std::memset(out, '#', sizeof out);
  FormatWithPath("Copy %s failed", path.c_str(), out, sizeof out);
  EXPECT_EQ(std::strlen(out), 199u);
  EXPECT_EQ(std::string(out, 5), "Copy ");
}

void SetValue(FakeWorld& w, const std::string& name, std::vector<uint8_t> bytes) {
  w.Keys["software\\host\\plugins\\merlo"][name] = std::move(bytes);
}

TEST(Settings, DefaultsWithoutAKey) {
  FakeWorld w;
  w.StartModule();
  EXPECT_EQ(gModule.AddToDisksMenu, 1);
  EXPECT_EQ(gModule.DisksMenuDigit, 9);
}

TEST(Settings, ReadsEachValueThroughOpenQueryClose) {
  FakeWorld w;
  SetValue(w, "AddToDisksMenu", {0, 0, 0, 0});
  SetValue(w, "DisksMenuDigit", {3, 0, 0, 0});
  w.Startup.SettingsRoot = w.SettingsRoot.c_str();
  SetStartupInfo(&w.Startup);
  EXPECT_EQ(gModule.AddToDisksMenu, 0);
  EXPECT_EQ(gModule.DisksMenuDigit, 3);
  EXPECT_STREQ(gModule.SettingsKeyPath, "Software\\Host\\Plugins\\MERLO");
  EXPECT_EQ(w.Calls, (Strings{"RegOpenKeyExA(80000001,Software\\Host\\Plugins\\MERLO,0,1)",
                              "RegQueryValueExA(key,AddToDisksMenu,4)", "RegCloseKey(key)",
                              "RegOpenKeyExA(80000001,Software\\Host\\Plugins\\MERLO,0,1)",
                              "RegQueryValueExA(key,DisksMenuDigit,4)", "RegCloseKey(key)"}));
}

TEST(Settings, ValuesAreTakenAsTheirRawBytes) {
  FakeWorld w;
  SetValue(w, "DisksMenuDigit", {'7', 0});         // a string "7"
  SetValue(w, "AddToDisksMenu", {1, 2, 3, 4, 5});  // too long: the default stays
  w.StartModule();
  EXPECT_EQ(gModule.DisksMenuDigit, 55);
  EXPECT_EQ(gModule.AddToDisksMenu, 1);
  SetValue(w, "DisksMenuDigit", {5});  // one byte over the default 9
  EXPECT_EQ(ReadSettingInt(kHkeyCurrentUser, "", "DisksMenuDigit", 9), 5);
  SetValue(w, "DisksMenuDigit", {0xfe, 0xff, 0xff, 0xff});
  EXPECT_EQ(ReadSettingInt(kHkeyCurrentUser, "", "DisksMenuDigit", 9), -2);
}

TEST(Settings, MissingKeyStillQueriesAndClosesNothing) {
  FakeWorld w;
  w.StartModule();
  EXPECT_EQ(ReadSettingInt(kHkeyCurrentUser, "", "AddToDisksMenu", 1), 1);
  EXPECT_EQ(w.Calls, (Strings{"RegOpenKeyExA(80000001,Software\\Host\\Plugins\\MERLO,0,1)",
                              "RegQueryValueExA(null,AddToDisksMenu,4)", "RegCloseKey(null)"}));
}

TEST(Settings, SubkeyIsJoinedWithOneBackslash) {
  FakeWorld w;
  w.StartModule();
  OpenSettingsKey(kHkeyCurrentUser, "Sub");
  EXPECT_EQ(w.Calls.back(), "RegOpenKeyExA(80000001,Software\\Host\\Plugins\\MERLO\\Sub,0,1)");
}

TEST(Settings, RootTooLongForTheKeyPathKeepsTheDefaults) {
  FakeWorld w;
  w.SettingsRoot = std::string(73, 'r');
  w.Keys[std::string(73, 'r') + "\\merlo"]["DisksMenuDigit"] = {4, 0, 0, 0};
  w.StartModule();
  EXPECT_EQ(gModule.DisksMenuDigit, 4);  // 73 characters still fit

  FakeWorld longer;
  longer.SettingsRoot = std::string(74, 'r');
  longer.Keys[std::string(74, 'r') + "\\merlo"]["DisksMenuDigit"] = {4, 0, 0, 0};
  longer.StartModule();
  EXPECT_EQ(gModule.DisksMenuDigit, 9);
  EXPECT_TRUE(longer.CallsOf("RegOpenKeyExA").empty());
  EXPECT_EQ(ReadSettingInt(kHkeyCurrentUser, "", "DisksMenuDigit", 9), 9);
  EXPECT_TRUE(longer.CallsOf("RegOpenKeyExA").empty());
}

TEST(Menus, OffersAllThreeEntriesFromModuleStorage) {
  FakeWorld w;
  SetValue(w, "DisksMenuDigit", {0xf9, 0xff, 0xff, 0xff});
  w.StartModule();
  PluginInfoRecord info;
  std::memset(&info, 0xAB, sizeof info);
  GetPluginInfo(&info);
  EXPECT_EQ(w.CallsOf("HostText"), (Strings{"HostText(42,4)", "HostText(42,3)", "HostText(42,3)"}));
  EXPECT_EQ(info.StructSize, 40);
  EXPECT_EQ(info.Flags, 0u);
  EXPECT_STREQ(info.DisksMenuTexts[0], "text4");
  EXPECT_EQ(info.DisksMenuNumbers[0], -7);
  EXPECT_EQ(info.DisksMenuCount, 1);
  EXPECT_STREQ(info.PluginMenuTexts[0], "text3");
  EXPECT_EQ(info.PluginMenuCount, 1);
  EXPECT_STREQ(info.ConfigMenuTexts[0], "text3");
  EXPECT_EQ(info.ConfigMenuCount, 1);
  int32_t untouched;
  std::memset(&untouched, 0xAB, sizeof untouched);
  EXPECT_EQ(info.Reserved, untouched);

  PluginInfoRecord again{};
  GetPluginInfo(&again);
  EXPECT_EQ(again.DisksMenuTexts, info.DisksMenuTexts);
  EXPECT_EQ(again.DisksMenuNumbers, info.DisksMenuNumbers);
  EXPECT_EQ(again.PluginMenuTexts, info.PluginMenuTexts);
  EXPECT_EQ(again.ConfigMenuTexts, info.ConfigMenuTexts);
}

TEST(Menus, NoDisksMenuEntryWhenSwitchedOff) {
  FakeWorld w;
  SetValue(w, "AddToDisksMenu", {0, 0, 0, 0});
  w.StartModule();
  PluginInfoRecord info{};
  GetPluginInfo(&info);
  EXPECT_EQ(info.DisksMenuCount, 0);
  ASSERT_NE(info.DisksMenuTexts, nullptr);
  EXPECT_STREQ(info.DisksMenuTexts[0], "text4");
  EXPECT_EQ(info.DisksMenuNumbers[0], 9);
}

TEST(Menus, ConfigureAcknowledgesOnlyItsOwnEntry) {
  FakeWorld w;
  EXPECT_EQ(Configure(0), 1);
  EXPECT_EQ(Configure(1), 0);
  EXPECT_EQ(Configure(-1), 0);
  EXPECT_TRUE(w.Boxes.empty());
  ExitFAR();
  EXPECT_TRUE(w.Calls.empty());
}

}  // namespace
