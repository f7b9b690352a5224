// Listings of real folders through the emulated device, and moving through them.
#include <cstring>
#include <map>

#include "module_host.h"

namespace merlo_test {
namespace {

class ListingTest : public ModuleTest {
 protected:
  // The listing by name; fails the test on a name listed twice.
  static std::map<std::string, PanelItem> ByName(const std::vector<PanelItem>& items) {
    std::map<std::string, PanelItem> byName;
    for (const PanelItem& item : items) {
      EXPECT_TRUE(byName.emplace(ItemName(item), item).second) << ItemName(item);
    }
    return byName;
  }

  static std::vector<std::string> Names(const std::vector<PanelItem>& items) {
    std::vector<std::string> names;
    for (const PanelItem& item : items) names.push_back(ItemName(item));
    return names;
  }

  static bool AllZero(const void* bytes, size_t size) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < size; ++i) {
      if (p[i] != 0) return false;
    }
    return true;
  }

  static uint64_t LastWrite(const PanelItem& item) {
    return uint64_t(item.LastWriteTime[1]) << 32 | item.LastWriteTime[0];
  }
};

TEST_F(ListingTest, CarriesNamesSizesTimesAndTheFolderAttribute) {
  WriteFile(Device("empty.txt"), "");
  WriteFile(Device("five.bin"), Pattern(5000, 1));
  fs::create_directories(Device("Folder"));
  // A sparse file past 4 GiB: the high half of its size is listed too.
  {
    WriteFile(Device("huge.img"), "");
    std::error_code error;
    fs::resize_file(Device("huge.img"), (uint64_t(5) << 30) + 7, error);
    if (error) GTEST_SKIP() << "no sparse file of 5 GiB here: " << error.message();
  }
  const uint64_t written = 132000000001234500u;  // 100 ns units since 1601: 2019
  SetLastWriteTime(Device("five.bin"), written);
  SetLastWriteTime(Device("Folder"), written + 10000000u);

  Panel panel(device());
  ASSERT_TRUE(panel.open());
  const std::vector<PanelItem> items = panel.List();
  ASSERT_EQ(4u, items.size());  // at the root: no parent entry
  std::map<std::string, PanelItem> byName = ByName(items);
  ASSERT_EQ(4u, byName.size());

  const PanelItem& five = byName["five.bin"];
  EXPECT_EQ(0u, five.Attributes & 0x10);
  EXPECT_EQ(0u, uint32_t(five.SizeHigh));
  EXPECT_EQ(5000u, uint32_t(five.SizeLow));
  EXPECT_EQ(written, LastWrite(five));
  EXPECT_NE(0u, five.CreationTime[0] | five.CreationTime[1]);

  const PanelItem& huge = byName["huge.img"];
  EXPECT_EQ(1u, uint32_t(huge.SizeHigh));
  EXPECT_EQ(0x40000007u, uint32_t(huge.SizeLow));

  const PanelItem& empty = byName["empty.txt"];
  EXPECT_EQ(0u, uint32_t(empty.SizeHigh));
  EXPECT_EQ(0u, uint32_t(empty.SizeLow));

  const PanelItem& folder = byName["Folder"];
  EXPECT_EQ(0x10u, folder.Attributes & 0x10);
  EXPECT_EQ(written + 10000000u, LastWrite(folder));

  // What the module builds beyond the device's record is zero.
  for (const PanelItem& item : items) {
    SCOPED_TRACE(ItemName(item));
    EXPECT_EQ(0u, uint32_t(item.Reserved36));
    EXPECT_EQ(0u, uint32_t(item.Reserved40));
    EXPECT_EQ('\0', item.ShortName[0]);
    EXPECT_EQ(0u, uint32_t(item.ItemFlags));
    EXPECT_TRUE(AllZero(item.Reserved318, sizeof item.Reserved318));
    EXPECT_TRUE(AllZero(item.Reserved330, sizeof item.Reserved330));
    EXPECT_EQ(0u, uint32_t(item.Field342));
    EXPECT_EQ(0u, uint32_t(item.Field346));
  }
  EXPECT_TRUE(Boxes().empty());
}

// Names arrive in the system's narrow text: UTF-8 on Linux; on Windows the
// code page, here a Western one, with "?" for what it cannot hold.
TEST_F(ListingTest, DeviceNamesReachTheHostInTheSystemsNarrowText) {
  WriteFile(Device(u8"Gr\u00fc\u00dfe.txt"), "latin");
  WriteFile(Device(u8"price\u20ac.txt"), "euro");
  WriteFile(Device(u8"\u041c\u043e\u0438"), "cyrillic");
  WriteFile(Device(u8"\U0001F600.txt"), "emoji");
  const std::string longName(255, 'n');  // as long as a Linux file name may be
  WriteFile(Device(longName), "long");

  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::map<std::string, PanelItem> byName = ByName(panel.List());
  EXPECT_EQ(5u, byName.size());
#if defined(_WIN32)
  const char* const expected[] = {
      "Gr\xFC\xDF"
      "e.txt",
      "price\x80.txt", "???", "?.txt"};
#else
  const char* const expected[] = {
      "Gr\xC3\xBC\xC3\x9F"
      "e.txt",
      "price\xE2\x82\xAC.txt", "\xD0\x9C\xD0\xBE\xD0\xB8", "\xF0\x9F\x98\x80.txt"};
#endif
  for (const char* name : expected) EXPECT_EQ(1u, byName.count(name)) << name;
  EXPECT_EQ(1u, byName.count(longName));
}

TEST_F(ListingTest, AnEmptyRootGivesNoItemsInARealArray) {
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  PanelItem* items = nullptr;
  int32_t count = -1;
  EXPECT_EQ(1, api().GetFindData(panel.handle(), &items, &count, 0));
  EXPECT_EQ(0, count);
  EXPECT_NE(nullptr, items);
  api().FreeFindData(panel.handle(), items, count);
}

TEST_F(ListingTest, BelowTheRootTheParentEntryComesLast) {
  fs::create_directories(Device("sub/deeper"));
  WriteFile(Device("sub/a.txt"), "a");
  WriteFile(Device("sub/b.txt"), "bb");
  fs::create_directories(Device("void"));

  Panel panel(device());
  ASSERT_TRUE(panel.open());
  ASSERT_EQ(1, panel.Cd("sub"));
  const std::vector<PanelItem> items = panel.List();
  ASSERT_EQ(4u, items.size());
  const PanelItem& parent = items.back();
  EXPECT_EQ("..", ItemName(parent));
  PanelItem expected;
  std::memset(&expected, 0, sizeof expected);
  std::memcpy(expected.Name, "..", 3);
  expected.Attributes = 0x10;
  EXPECT_EQ(0, std::memcmp(&expected, &parent, sizeof parent));
  std::map<std::string, PanelItem> byName = ByName(items);
  EXPECT_EQ(2u, uint32_t(byName["b.txt"].SizeLow));
  EXPECT_EQ(0x10u, byName["deeper"].Attributes & 0x10);

  // An empty folder below the root holds the parent entry only.
  ASSERT_EQ(1, panel.Cd("\\"));
  ASSERT_EQ(1, panel.Cd("void"));
  EXPECT_EQ(std::vector<std::string>{".."}, Names(panel.List()));
}

TEST_F(ListingTest, AFolderThatDoesNotExistIsEnteredAndListsOnlyTheParentEntry) {
  WriteFile(Device("file.txt"), "f");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  EXPECT_EQ(1, panel.Cd("nothere"));
  EXPECT_EQ(std::vector<std::string>{".."}, Names(panel.List()));
  EXPECT_EQ(1, panel.Cd("file.txt"));  // a file is no folder either
  EXPECT_EQ(std::vector<std::string>{".."}, Names(panel.List()));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(ListingTest, NavigatesDownUpAndBackToTheRoot) {
  fs::create_directories(Device("a/b"));
  WriteFile(Device("top.txt"), "");
  WriteFile(Device("a/in_a.txt"), "");
  WriteFile(Device("a/b/in_b.txt"), "");

  Panel panel(device());
  ASSERT_TRUE(panel.open());
  const std::map<std::string, PanelItem> root = ByName(panel.List());
  EXPECT_EQ(2u, root.size());
  EXPECT_EQ(1u, root.count("a"));
  EXPECT_EQ(1u, root.count("top.txt"));

  ASSERT_EQ(1, panel.Cd("a"));
  ASSERT_EQ(1, panel.Cd("b"));
  EXPECT_EQ((std::vector<std::string>{"in_b.txt", ".."}), Names(panel.List()));

  // The parent entry's own name takes the panel up.
  const std::vector<PanelItem> inB = panel.List();
  ASSERT_EQ(1, panel.Cd(inB.back().Name));
  const std::map<std::string, PanelItem> inA = ByName(panel.List());
  EXPECT_EQ(3u, inA.size());
  EXPECT_EQ(1u, inA.count("in_a.txt"));
  EXPECT_EQ(1u, inA.count("b"));
  EXPECT_EQ(1u, inA.count(".."));

  EXPECT_EQ(1, panel.Cd(".."));
  EXPECT_EQ(2u, panel.List().size());
  EXPECT_EQ(0, panel.Cd(".."));  // nothing above the root
  EXPECT_EQ(2u, panel.List().size());

  // "\" goes to the root from any depth.
  ASSERT_EQ(1, panel.Cd("a"));
  ASSERT_EQ(1, panel.Cd("b"));
  EXPECT_EQ(1, panel.Cd("\\"));
  EXPECT_EQ(1u, ByName(panel.List()).count("top.txt"));
  EXPECT_EQ(0, panel.Cd(".."));
}

TEST_F(ListingTest, FolderNamesAreTakenAsTheyCome) {
  fs::create_directories(Device("a/b"));
  WriteFile(Device("a/b/deep.txt"), "");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  // A name holding a separator is one level.
  ASSERT_EQ(1, panel.Cd("a\\b"));
  EXPECT_EQ((std::vector<std::string>{"deep.txt", ".."}), Names(panel.List()));
  ASSERT_EQ(1, panel.Cd(".."));
  // Now in \a at level 0: no parent entry, and no way further up.
  const std::vector<std::string> names = Names(panel.List());
  EXPECT_EQ(std::vector<std::string>{"b"}, names);
  EXPECT_EQ(0, panel.Cd(".."));
  // The name is passed on unchanged; the device, on every platform, finds the
  // folder whose name differs only in case.
  ASSERT_EQ(1, panel.Cd("\\"));
  ASSERT_EQ(1, panel.Cd("A"));
  EXPECT_EQ((std::vector<std::string>{"b", ".."}), Names(panel.List()));
}

TEST_F(ListingTest, ThePanelDescriptionIsTheSameEverywhere) {
  fs::create_directories(Device("a"));
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  for (const char* folder : {"", "a", "nothere"}) {
    SCOPED_TRACE(folder);
    if (folder[0] != '\0') {
      ASSERT_EQ(1, panel.Cd(folder));
    }
    PanelInfoRecord info;
    std::memset(&info, 0xA5, sizeof info);
    info.HostField28 = 0x1234567;
    api().GetOpenPluginInfo(panel.handle(), &info);
    EXPECT_EQ(68, info.StructSize);
    EXPECT_EQ(0x27u, info.Flags);
    EXPECT_EQ(0, info.Field8);
    EXPECT_STREQ("\\", info.CurrentFolder);
    EXPECT_STREQ("WINCE", info.Format);
    EXPECT_STREQ("Windows CE", info.Title);
    EXPECT_EQ(0, info.Field24);
    EXPECT_EQ(0x1234567, info.HostField28);
    for (int32_t zero : {info.Field32, info.Field36, info.Field40, info.Field44, info.Field48,
                         info.Field52, info.Field60, info.Field64}) {
      EXPECT_EQ(0, zero);
    }
    EXPECT_EQ(1, info.Field56);
  }
}

}  // namespace
}  // namespace merlo_test
