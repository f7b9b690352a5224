// Connection, listing, navigation and the panel description.
#include <gtest/gtest.h>

#include <cstring>

#include "host/entry_points.h"
#include "panel/device_panel.h"
#include "panel/listing.h"
#include "panel/navigation.h"
#include "seam_fakes.h"

namespace {

using Strings = std::vector<std::string>;

struct Listing {
  PanelItem* Items = nullptr;
  int32_t Count = -1;
  ~Listing() { FreeFindData(nullptr, Items, Count); }
};

TEST(Connection, ConnectedPanelStartsAtTheRoot) {
  FakeWorld w;
  PanelHandle handle = OpenPlugin(3, 99);
  ASSERT_NE(handle, MERLO_NO_PANEL);
  auto* panel = static_cast<DevicePanel*>(handle);
  EXPECT_TRUE(panel->Connected);
  EXPECT_STREQ(panel->CurrentPath, "");
  EXPECT_EQ(panel->Depth, 0);
  EXPECT_EQ(w.Calls, (Strings{"CeRapiInitEx(12)", "WaitForSingleObject(7,5000)"}));
  ClosePlugin(handle);
  EXPECT_EQ(w.Calls.back(), "CeRapiUninit");
  EXPECT_TRUE(w.Boxes.empty());
}

struct Outcome {
  DeviceResult Init;
  uint32_t Wait;
  DeviceResult Result;
  int Message;  // 0: connected
};

class ConnectionOutcome : public testing::TestWithParam<Outcome> {};

TEST_P(ConnectionOutcome, ShowsOneBoxAndAlwaysUninitialises) {
  FakeWorld w;
  w.InitResult = GetParam().Init;
  w.WaitResult = GetParam().Wait;
  w.ConnectResult = GetParam().Result;
  PanelHandle handle = OpenPlugin(0, 0);
  if (GetParam().Message == 0) {
    ASSERT_NE(handle, MERLO_NO_PANEL);
    EXPECT_TRUE(w.Boxes.empty());
    ClosePlugin(handle);
  } else {
    EXPECT_EQ(handle, MERLO_NO_PANEL);
    ASSERT_EQ(w.Boxes.size(), 1u);
    EXPECT_EQ(w.Boxes[0].Items[0], "text" + std::to_string(GetParam().Message));
  }
  EXPECT_EQ(w.CallsOf("CeRapiUninit").size(), 1u);
  EXPECT_EQ(w.CallsOf("WaitForSingleObject").size(), GetParam().Init == 0 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Ends, ConnectionOutcome,
                         testing::Values(Outcome{1, 0, 0, 7},           // start refused
                                         Outcome{0, 0, 5, 8},           // completed with an error
                                         Outcome{0, 258, 0, 9},         // not in time
                                         Outcome{0, 0xFFFFFFFF, 5, 0},  // failed wait: connected
                                         Outcome{0, 0x80, 0, 0}));      // abandoned: connected

TEST(Connection, TwoPanelsMakeTwoPairsAndNullCloseIsIgnored) {
  FakeWorld w;
  PanelHandle a = OpenPlugin(0, 0);
  PanelHandle b = OpenPlugin(0, 0);
  ASSERT_NE(a, b);
  ClosePlugin(a);
  ClosePlugin(b);
  ClosePlugin(nullptr);
  EXPECT_EQ(w.CallsOf("CeRapiInitEx").size(), 2u);
  EXPECT_EQ(w.CallsOf("CeRapiUninit").size(), 2u);
}

struct PanelFixture : testing::Test {
  FakeWorld w;
  DevicePanel* panel = nullptr;
  void SetUp() override {
    panel = static_cast<DevicePanel*>(OpenPlugin(0, 0));
    ASSERT_NE(panel, MERLO_NO_PANEL);
    w.Calls.clear();
  }
  void TearDown() override { ClosePlugin(panel); }
  void Enter(const char* name) { ASSERT_EQ(SetDirectory(panel, name, 0), 1); }
};

using ListingTest = PanelFixture;

TEST_F(ListingTest, EmptyRootGivesAnArrayOfNoItems) {
  Listing l;
  EXPECT_EQ(GetFindData(panel, &l.Items, &l.Count, 0), 1);
  EXPECT_EQ(l.Count, 0);
  EXPECT_NE(l.Items, nullptr);
  EXPECT_EQ(w.Calls, (Strings{"CeFindAllFiles(\\*.*,bf)", "CeRapiFreeBuffer"}));
}

TEST_F(ListingTest, ItemsCarryTheRecordAndTheParentComesLast) {
  DeviceFindRecord a = MakeRecord(u"a.txt", 0x20, 5000);
  for (size_t i = 0; i < 9; ++i) reinterpret_cast<uint32_t*>(&a)[i] = 0x01010101u * (i + 1);
  a.ObjectId = 0xDEADBEEF;
  w.Records = {a, MakeRecord(u"Sub", 0x10)};
  Enter("x");
  Listing l;
  GetFindData(panel, &l.Items, &l.Count, 0);
  ASSERT_EQ(l.Count, 3);
  EXPECT_EQ(w.Calls, (Strings{"CeFindAllFiles(\\x\\*.*,bf)", "CeRapiFreeBuffer"}));
  EXPECT_EQ(std::memcmp(&l.Items[0], &a, 36), 0);
  EXPECT_STREQ(l.Items[0].Name, "a.txt");
  EXPECT_STREQ(l.Items[1].Name, "Sub");
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&l.Items[0]);
  for (size_t i : {36, 40, 318, 326, 330, 342, 346, 350, 365})
    EXPECT_EQ(bytes[i], 0) << "byte " << i;
  EXPECT_EQ(l.Items[0].ShortName[0], '\0');
  PanelItem parent{};
  parent.Attributes = 0x10;
  std::memcpy(parent.Name, "..", 3);
  EXPECT_EQ(std::memcmp(&l.Items[2], &parent, sizeof parent), 0);
}

// Names arrive in the system's narrow text: UTF-8 on Linux, the code page on
// Windows (the tests run in a Western one there), "?" for what it cannot hold.
TEST_F(ListingTest, NamesArriveInTheSystemsNarrowText) {
  w.Records = {MakeRecord(u"\u00FC\u00DF"), MakeRecord(u"a\u0101b"), MakeRecord(u"\u4E2D"),
               MakeRecord(u"x\xD800y")};
  Listing l;
  GetFindData(panel, &l.Items, &l.Count, 0);
  ASSERT_EQ(l.Count, 4);
#if defined(_WIN32)
  EXPECT_STREQ(l.Items[0].Name, "\xFC\xDF");
  EXPECT_STREQ(l.Items[1].Name, "a?b");
  EXPECT_STREQ(l.Items[2].Name, "?");
  EXPECT_STREQ(l.Items[3].Name, "x?y");
#else
  EXPECT_STREQ(l.Items[0].Name, "\xC3\xBC\xC3\x9F");
  EXPECT_STREQ(l.Items[1].Name,
               "a\xC4\x81"
               "b");
  EXPECT_STREQ(l.Items[2].Name, "\xE4\xB8\xAD");
  EXPECT_STREQ(l.Items[3].Name, "x\xEF\xBF\xBDy");  // an unpaired surrogate is U+FFFD
#endif
}

#if !defined(_WIN32)
// 100 characters of three UTF-8 bytes each: 86 fit whole in the 259 bytes before the NUL.
TEST_F(ListingTest, ANameTooLongForTheFieldEndsOnACharacter) {
  w.Records = {MakeRecord(std::u16string(100, u'\u8868'))};
  Listing l;
  GetFindData(panel, &l.Items, &l.Count, 0);
  ASSERT_EQ(l.Count, 1);
  std::string expected;
  for (int i = 0; i < 86; ++i) expected += "\xE8\xA1\xA8";
  EXPECT_EQ(std::string(l.Items[0].Name), expected);
}
#endif

TEST_F(ListingTest, ALongestNameFillsTheField) {
  std::u16string name(259, u'n');
  w.Records = {MakeRecord(name)};
  w.Records[0].Name[259] = u'X';  // no terminator inside the record
  Listing l;
  GetFindData(panel, &l.Items, &l.Count, 0);
  ASSERT_EQ(l.Count, 1);
  EXPECT_EQ(std::strlen(l.Items[0].Name), 259u);
  EXPECT_EQ(l.Items[0].Name[259], '\0');
}

TEST_F(ListingTest, FailedFindBelowTheRootListsOnlyTheParent) {
  w.FindLeavesCountUntouched = true;
  Enter("gone");
  Listing l;
  EXPECT_EQ(GetFindData(panel, &l.Items, &l.Count, 0), 1);
  ASSERT_EQ(l.Count, 1);
  EXPECT_STREQ(l.Items[0].Name, "..");
  EXPECT_TRUE(w.CallsOf("CeRapiFreeBuffer").empty());
}

TEST_F(ListingTest, PatternThatDoesNotFitAsksNothingOfTheDevice) {
  std::string level(250, 'p');  // "\" + 250 = 251 characters: fits exactly
  Enter(level.c_str());
  Listing l;
  GetFindData(panel, &l.Items, &l.Count, 0);
  EXPECT_EQ(w.FindCalls, 1u);
  Enter("..");
  Enter(std::string(251, 'p').c_str());  // 252 characters
  Listing m;
  GetFindData(panel, &m.Items, &m.Count, 0);
  EXPECT_EQ(w.FindCalls, 1u);
  ASSERT_EQ(m.Count, 1);
  EXPECT_STREQ(m.Items[0].Name, "..");
}

TEST_F(ListingTest, SuccessiveListingsAreIndependentArrays) {
  w.Records = {MakeRecord(u"one")};
  Listing a, b;
  GetFindData(panel, &a.Items, &a.Count, 0);
  w.Records.push_back(MakeRecord(u"two"));
  GetFindData(panel, &b.Items, &b.Count, 0);
  EXPECT_NE(a.Items, b.Items);
  EXPECT_EQ(a.Count, 1);
  EXPECT_EQ(b.Count, 2);
}

using Navigation = PanelFixture;

TEST_F(Navigation, DownUpAndBackToTheRoot) {
  Enter("a");
  Enter("b");
  EXPECT_STREQ(panel->CurrentPath, "\\a\\b");
  EXPECT_EQ(panel->Depth, 2);
  Enter("..");
  EXPECT_STREQ(panel->CurrentPath, "\\a");
  EXPECT_EQ(panel->Depth, 1);
  Enter("..");
  EXPECT_STREQ(panel->CurrentPath, "");
  EXPECT_EQ(panel->Depth, 0);
  EXPECT_EQ(SetDirectory(panel, "..", 0), 0);
  EXPECT_EQ(panel->Depth, 0);
  Enter("a");
  Enter("b");
  Enter("\\");
  EXPECT_STREQ(panel->CurrentPath, "");
  EXPECT_EQ(panel->Depth, 0);
  EXPECT_TRUE(w.Calls.empty());  // nothing is asked of the device
}

TEST_F(Navigation, OddTextsAreOrdinaryNames) {
  Enter("a");
  Enter("");
  EXPECT_STREQ(panel->CurrentPath, "\\a\\");
  EXPECT_EQ(panel->Depth, 2);
  Enter("..");
  EXPECT_STREQ(panel->CurrentPath, "\\a");
  Enter("\\");
  Enter("/");
  Enter("..");
  EXPECT_STREQ(panel->CurrentPath, "\\");
  EXPECT_EQ(panel->Depth, 0);
  Enter("\\");
  Enter("A\\b");
  EXPECT_EQ(panel->Depth, 1);
  Enter("..");
  EXPECT_STREQ(panel->CurrentPath, "\\A");
  EXPECT_EQ(panel->Depth, 0);
  EXPECT_EQ(SetDirectory(panel, "..", 0), 0);
}

TEST_F(Navigation, RefusesToGrowPastTheLongestPath) {
  Enter(std::string(200, 'a').c_str());
  EXPECT_EQ(SetDirectory(panel, std::string(57, 'b').c_str(), 0), 0);  // would be 259
  EXPECT_EQ(panel->Depth, 1);
  EXPECT_EQ(std::strlen(panel->CurrentPath), 201u);
  Enter(std::string(56, 'b').c_str());  // exactly 258
  EXPECT_EQ(std::strlen(panel->CurrentPath), 258u);
  EXPECT_EQ(SetDirectory(panel, "", 0), 0);
  EXPECT_EQ(SetDirectory(panel, nullptr, 0), 0);
  EXPECT_EQ(SetDirectory(nullptr, "a", 0), 0);
}

TEST(PanelInfo, SameDescriptionEverywhereAndHostFieldKept) {
  FakeWorld w;
  PanelInfoRecord info;
  std::memset(&info, 0x5A, sizeof info);
  GetOpenPluginInfo(nullptr, &info);
  EXPECT_EQ(info.StructSize, 68);
  EXPECT_EQ(info.Flags, 39u);
  EXPECT_STREQ(info.CurrentFolder, "\\");
  EXPECT_STREQ(info.Format, "WINCE");
  EXPECT_STREQ(info.Title, "Windows CE");
  EXPECT_EQ(info.HostField28, 0x5A5A5A5A);
  EXPECT_EQ(info.Field56, 1);
  for (int32_t v : {info.Field8, info.Field24, info.Field32, info.Field36, info.Field40,
                    info.Field44, info.Field48, info.Field52, info.Field60, info.Field64})
    EXPECT_EQ(v, 0);
}

TEST(BadHandles, NullPanelsAreRefusedWithoutTouchingAnything) {
  FakeWorld w;
  PanelItem* items = reinterpret_cast<PanelItem*>(1);
  int32_t count = 5;
  EXPECT_EQ(GetFindData(nullptr, &items, &count, 0), 0);
  EXPECT_EQ(items, nullptr);
  EXPECT_EQ(count, 0);
  PanelItem item{};
  EXPECT_EQ(GetFiles(nullptr, &item, 1, 0, "C:\\", 0), 0);
  EXPECT_EQ(PutFiles(MERLO_NO_PANEL, &item, 1, 0, 0), 0);
  EXPECT_EQ(DeleteFiles(nullptr, &item, 1, 0), 0);
  EXPECT_TRUE(w.Calls.empty());
}

}  // namespace
