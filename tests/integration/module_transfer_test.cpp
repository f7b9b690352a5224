// Copies and moves of real files between a PC folder and the emulated device,
// and within the device, as the host's copy and move commands make them.
#include <cstring>

#include "module_host.h"

namespace merlo_test {
namespace {

// Sizes around the 2048-byte chunk, and one of about a megabyte.
const size_t kSizes[] = {0, 2048, 2049, 5000, (size_t(1) << 20) + 123};

std::string SizedName(size_t size) { return "s" + std::to_string(size) + ".bin"; }

class TransferTest : public ModuleTest {
 protected:
  // Checks the one operation error box shown, naming `path`.
  void ExpectCopyBox(const std::string& path) const { ExpectOperationBox(CopyFailedText(path)); }

  static bool Selected(const PanelItem& item) { return (item.ItemFlags & kItemSelected) != 0; }
};

TEST_F(TransferTest, DownloadsCopyEverySizeByteForByte) {
  std::vector<std::string> names;
  for (size_t size : kSizes) {
    WriteFile(Device(SizedName(size)), Pattern(size, unsigned(size)));
    names.push_back(SizedName(size));
  }
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = panel.Select(names);
  for (PanelItem& item : items) item.ItemFlags |= 0x100;  // a bit of the host's own

  EXPECT_EQ(1, panel.Get(items, false, PcPath(pc())));
  EXPECT_TRUE(Boxes().empty());
  for (size_t i = 0; i < items.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(0x100u, uint32_t(items[i].ItemFlags));
    EXPECT_EQ(Pattern(kSizes[i], unsigned(kSizes[i])), ReadFile(Pc(names[i])));
    EXPECT_TRUE(fs::exists(Device(names[i])));
  }
}

TEST_F(TransferTest, UploadsCopyEverySizeByteForByteIntoTheCurrentFolder) {
  // The PC folder's name is narrow text in the module's current directory.
  const fs::path from = pc() / fs::u8path(u8"m\u00e4ppchen");
  fs::create_directories(from);
  fs::create_directories(Device("sub"));
  std::vector<PanelItem> items;
  for (size_t size : kSizes) {
    WriteFile(from / SizedName(size), Pattern(size, unsigned(size) + 1));
    items.push_back(PcItem(SizedName(size)));
  }
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  ASSERT_EQ(1, panel.Cd("sub"));

  EXPECT_EQ(1, panel.Put(items, false, from));
  EXPECT_TRUE(Boxes().empty());
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string name = SizedName(kSizes[i]);
    SCOPED_TRACE(name);
    EXPECT_FALSE(Selected(items[i]));
    EXPECT_EQ(Pattern(kSizes[i], unsigned(kSizes[i]) + 1), ReadFile(Device("sub/" + name)));
    EXPECT_TRUE(fs::exists(from / name));
    EXPECT_FALSE(fs::exists(Device(name)));
  }
}

TEST_F(TransferTest, MovesInEveryDirectionLeaveNoSourceBehind) {
  WriteFile(Device("down1.bin"), Pattern(3000, 1));
  WriteFile(Device("down2.bin"), Pattern(0, 2));
  WriteFile(Pc("up1.bin"), Pattern(4096, 3));
  WriteFile(Pc("up2.bin"), Pattern(1, 4));
  WriteFile(Device("inside.bin"), Pattern(2500, 5));
  fs::create_directories(Device("sub"));
  Panel panel(device());
  ASSERT_TRUE(panel.open());

  std::vector<PanelItem> down = panel.Select({"down1.bin", "down2.bin"});
  EXPECT_EQ(1, panel.Get(down, true, PcPath(pc())));
  EXPECT_EQ(Pattern(3000, 1), ReadFile(Pc("down1.bin")));
  EXPECT_TRUE(fs::exists(Pc("down2.bin")));
  EXPECT_EQ(0u, fs::file_size(Pc("down2.bin")));
  EXPECT_FALSE(fs::exists(Device("down1.bin")));
  EXPECT_FALSE(fs::exists(Device("down2.bin")));
  EXPECT_FALSE(Selected(down[0]) || Selected(down[1]));

  std::vector<PanelItem> up = {PcItem("up1.bin"), PcItem("up2.bin")};
  EXPECT_EQ(1, panel.Put(up, true, pc()));
  EXPECT_EQ(Pattern(4096, 3), ReadFile(Device("up1.bin")));
  EXPECT_EQ(Pattern(1, 4), ReadFile(Device("up2.bin")));
  EXPECT_FALSE(fs::exists(Pc("up1.bin")));
  EXPECT_FALSE(fs::exists(Pc("up2.bin")));
  EXPECT_FALSE(Selected(up[0]) || Selected(up[1]));

  std::vector<PanelItem> inside = panel.Select({"inside.bin"});
  EXPECT_EQ(1, panel.Get(inside, true, "\\sub"));
  EXPECT_EQ(Pattern(2500, 5), ReadFile(Device("sub/inside.bin")));
  EXPECT_FALSE(fs::exists(Device("inside.bin")));
  EXPECT_FALSE(Selected(inside[0]));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(TransferTest, AShortReadFailsADownloadMoveAndKeepsItsSource) {
  WriteFile(Device("big.bin"), Pattern(5000, 7));
  WriteFile(Pc("big.bin"), "an older copy");
  Panel panel(device(), "short-read=2");
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = panel.Select({"big.bin"});

  EXPECT_EQ(1, panel.Get(items, true, PcPath(pc())));
  ExpectCopyBox("\\big.bin");
  EXPECT_TRUE(Selected(items[0]));
  EXPECT_EQ(Pattern(5000, 7), ReadFile(Device("big.bin")));
  // The destination was truncated and holds the one chunk that passed.
  EXPECT_EQ(Pattern(5000, 7).substr(0, 2048), ReadFile(Pc("big.bin")));
}

TEST_F(TransferTest, AShortWriteEndsAnUploadMoveBatchCleanly) {
  // one.bin takes writes 1 and 2; the third write, two.bin's first chunk, moves short.
  WriteFile(Pc("one.bin"), Pattern(2049, 8));
  WriteFile(Pc("two.bin"), Pattern(5000, 9));
  WriteFile(Pc("three.bin"), Pattern(10, 10));
  Panel panel(device(), "short-write=3");
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = {PcItem("one.bin"), PcItem("two.bin"), PcItem("three.bin")};

  EXPECT_EQ(1, panel.Put(items, true, pc()));
  ExpectCopyBox(PcPath(Pc("two.bin")));
  EXPECT_EQ(Pattern(2049, 8), ReadFile(Device("one.bin")));
  EXPECT_FALSE(fs::exists(Pc("one.bin")));
  EXPECT_EQ(Pattern(5000, 9), ReadFile(Pc("two.bin")));
  EXPECT_NE(Pattern(5000, 9), ReadFile(Device("two.bin")));
  EXPECT_FALSE(fs::exists(Device("three.bin")));
  EXPECT_TRUE(fs::exists(Pc("three.bin")));
  EXPECT_FALSE(Selected(items[0]));
  EXPECT_TRUE(Selected(items[1]));
  EXPECT_TRUE(Selected(items[2]));
}

TEST_F(TransferTest, ABatchStopsAtAMissingSource) {
  fs::create_directories(Device("sub"));
  for (const char* name : {"a.txt", "b.txt", "c.txt"})
    WriteFile(Device(std::string("sub/") + name), name);
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  ASSERT_EQ(1, panel.Cd("sub"));
  std::vector<PanelItem> items = panel.Select({"a.txt", "b.txt", "c.txt"});
  fs::remove(Device("sub/b.txt"));  // gone since the panel listed it

  EXPECT_EQ(1, panel.Get(items, false, PcPath(pc())));
  ExpectCopyBox("\\sub\\b.txt");
  EXPECT_EQ("a.txt", ReadFile(Pc("a.txt")));
  EXPECT_FALSE(fs::exists(Pc("b.txt")));
  EXPECT_FALSE(fs::exists(Pc("c.txt")));
  EXPECT_FALSE(Selected(items[0]));
  EXPECT_TRUE(Selected(items[1]));
  EXPECT_TRUE(Selected(items[2]));
}

TEST_F(TransferTest, AMoveBatchThatFailsAtTheThirdKeepsTheFirstTwoMoved) {
  WriteFile(Pc("p1.txt"), "one");
  WriteFile(Pc("p2.txt"), "two");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = {PcItem("p1.txt"), PcItem("p2.txt"), PcItem("p3.txt")};

  EXPECT_EQ(1, panel.Put(items, true, pc()));
  ExpectCopyBox(PcPath(Pc("p3.txt")));
  EXPECT_EQ("one", ReadFile(Device("p1.txt")));
  EXPECT_EQ("two", ReadFile(Device("p2.txt")));
  EXPECT_FALSE(fs::exists(Pc("p1.txt")));
  EXPECT_FALSE(fs::exists(Pc("p2.txt")));
  EXPECT_FALSE(fs::exists(Device("p3.txt")));
  EXPECT_TRUE(Selected(items[2]));
}

TEST_F(TransferTest, FoldersInASelectionAreSkipped) {
  fs::create_directories(Device("dir"));
  WriteFile(Device("dir/inner.txt"), "inner");
  WriteFile(Device("f.txt"), "file");
  fs::create_directories(Pc("pcdir"));
  WriteFile(Pc("pcdir/x.txt"), "x");
  WriteFile(Pc("g.txt"), "g");
  Panel panel(device());
  ASSERT_TRUE(panel.open());

  std::vector<PanelItem> down = panel.Select({"dir", "f.txt"});
  EXPECT_EQ(1, panel.Get(down, false, PcPath(pc())));
  EXPECT_TRUE(Selected(down[0]));
  EXPECT_FALSE(Selected(down[1]));
  EXPECT_EQ("file", ReadFile(Pc("f.txt")));
  EXPECT_FALSE(fs::exists(Pc("dir")));

  std::vector<PanelItem> up = {PcItem("pcdir", 0x10), PcItem("g.txt")};
  EXPECT_EQ(1, panel.Put(up, true, pc()));
  EXPECT_TRUE(Selected(up[0]));
  EXPECT_FALSE(Selected(up[1]));
  EXPECT_FALSE(fs::exists(Device("pcdir")));
  EXPECT_TRUE(fs::exists(Pc("pcdir/x.txt")));
  EXPECT_EQ("g", ReadFile(Device("g.txt")));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(TransferTest, ADestinationFolderWorksWithAndWithoutATrailingBackslash) {
  WriteFile(Device("f.txt"), "contents");
  fs::create_directories(Pc("with"));
  fs::create_directories(Pc("without"));
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> first = panel.Select({"f.txt"});
  std::vector<PanelItem> second = first;

  EXPECT_EQ(1, panel.Get(first, false, PcPath(Pc("with")) + "\\"));
  EXPECT_EQ(1, panel.Get(second, false, PcPath(Pc("without"))));
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ("contents", ReadFile(Pc("with/f.txt")));
  EXPECT_EQ("contents", ReadFile(Pc("without/f.txt")));
}

TEST_F(TransferTest, ACopyWithinTheDeviceOverwritesAnExistingFile) {
  fs::create_directories(Device("sub"));
  WriteFile(Device("a.txt"), "new");
  WriteFile(Device("sub/a.txt"), "an old and longer text");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = panel.Select({"a.txt"});

  EXPECT_EQ(1, panel.Get(items, false, "\\sub"));
  EXPECT_TRUE(Boxes().empty());
  EXPECT_FALSE(Selected(items[0]));
  EXPECT_EQ("new", ReadFile(Device("sub/a.txt")));
  EXPECT_EQ("new", ReadFile(Device("a.txt")));
}

TEST_F(TransferTest, AnEmptyDestinationCopiesWithinTheDeviceIntoItsRoot) {
  fs::create_directories(Device("sub"));
  WriteFile(Device("sub/deep.txt"), Pattern(3000, 11));
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  ASSERT_EQ(1, panel.Cd("sub"));
  std::vector<PanelItem> items = panel.Select({"deep.txt"});

  EXPECT_EQ(1, panel.Get(items, false, ""));
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(Pattern(3000, 11), ReadFile(Device("deep.txt")));
  EXPECT_EQ(Pattern(3000, 11), ReadFile(Device("sub/deep.txt")));
  EXPECT_TRUE(fs::is_empty(pc()));
}

TEST_F(TransferTest, AReadOnlyPcDestinationFails) {
  if (!ReadOnlyFilesAreEnforced()) GTEST_SKIP() << "read-only files are writable here";
  // Without any write permission bit the file is read-only, for root as well.
  WriteFile(Device("ro.txt"), "from the device");
  WriteFile(Pc("ro.txt"), "keep");
  MakeReadOnly(Pc("ro.txt"), true);
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = panel.Select({"ro.txt"});

  EXPECT_EQ(1, panel.Get(items, true, PcPath(pc())));
  ExpectCopyBox("\\ro.txt");
  EXPECT_TRUE(Selected(items[0]));
  EXPECT_EQ("keep", ReadFile(Pc("ro.txt")));
  EXPECT_EQ("from the device", ReadFile(Device("ro.txt")));
}

TEST_F(TransferTest, APcFileHeldOpenExclusivelyFailsItsTransfer) {
  WriteFile(Pc("up.txt"), "up");
  WriteFile(Pc("down.txt"), "held");
  WriteFile(Device("down.txt"), "device");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> down = panel.Select({"down.txt"});
  std::vector<PanelItem> up = {PcItem("up.txt")};
  {
    ExclusiveHold holdSource(Pc("up.txt"));
    ExclusiveHold holdDestination(Pc("down.txt"));
    ASSERT_TRUE(holdSource.held());
    ASSERT_TRUE(holdDestination.held());

    EXPECT_EQ(1, panel.Put(up, true, pc()));
    ExpectCopyBox(PcPath(Pc("up.txt")));
    ClearBoxes();
    EXPECT_EQ(1, panel.Get(down, false, PcPath(pc())));
    ExpectCopyBox("\\down.txt");
  }
  EXPECT_FALSE(fs::exists(Device("up.txt")));
  EXPECT_EQ("up", ReadFile(Pc("up.txt")));
  EXPECT_EQ("held", ReadFile(Pc("down.txt")));
  EXPECT_TRUE(Selected(up[0]));
  EXPECT_TRUE(Selected(down[0]));

  // Once released, the same selections go through.
  ClearBoxes();
  EXPECT_EQ(1, panel.Put(up, false, pc()));
  EXPECT_EQ(1, panel.Get(down, false, PcPath(pc())));
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ("up", ReadFile(Device("up.txt")));
  EXPECT_EQ("device", ReadFile(Pc("down.txt")));
}

TEST_F(TransferTest, ADownloadMoveWhoseDeleteIsRefusedReportsAndKeepsBothCopies) {
  WriteFile(Device("a.txt"), Pattern(3000, 12));
  WriteFile(Device("b.txt"), "b");
  Panel panel(device(), "refuse-delete=a.txt");
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = panel.Select({"a.txt", "b.txt"});

  EXPECT_EQ(1, panel.Get(items, true, PcPath(pc())));
  ExpectCopyBox("\\a.txt");
  EXPECT_EQ(Pattern(3000, 12), ReadFile(Pc("a.txt")));
  EXPECT_EQ(Pattern(3000, 12), ReadFile(Device("a.txt")));
  EXPECT_TRUE(Selected(items[0]));
  EXPECT_TRUE(Selected(items[1]));
  EXPECT_FALSE(fs::exists(Pc("b.txt")));
}

TEST_F(TransferTest, AFileOfFourGibibytesIsNotCutShort) {
  WriteFile(Device("huge.img"), "");
  std::error_code error;
  fs::resize_file(Device("huge.img"), (uint64_t(4) << 30) + 10, error);
  if (error) GTEST_SKIP() << "no sparse file of 4 GiB here: " << error.message();
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = panel.Select({"huge.img"});

  EXPECT_EQ(1, panel.Get(items, true, PcPath(pc())));
  ExpectCopyBox("\\huge.img");
  EXPECT_FALSE(fs::exists(Pc("huge.img")));
  EXPECT_EQ((uint64_t(4) << 30) + 10, fs::file_size(Device("huge.img")));
}

// A name the narrow text holds makes the round trip, device to PC to device;
// on Linux that is every name, one outside the BMP too.
TEST_F(TransferTest, NamesMakeTheRoundTrip) {
#if defined(_WIN32)
  const std::string utf8Name = u8"Gr\u00fc\u00dfe \u20ac.txt";
  const std::string narrow =
      "Gr\xFC\xDF"
      "e \x80.txt";
#else
  const std::string utf8Name = u8"\u041e\u0442\u0447\u0451\u0442 \U0001F600.txt";
  const std::string narrow = utf8Name;
#endif
  WriteFile(Device(utf8Name), "contents");
  fs::create_directories(Device("back"));
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = panel.Select({narrow});

  EXPECT_EQ(1, panel.Get(items, false, PcPath(pc())));
  EXPECT_EQ("contents", ReadFile(pc() / fs::u8path(utf8Name)));

  ASSERT_EQ(1, panel.Cd("back"));
  std::vector<PanelItem> up = {items[0]};
  up[0].ItemFlags |= kItemSelected;
  EXPECT_EQ(1, panel.Put(up, false, pc()));
  EXPECT_EQ("contents", ReadFile(device() / "back" / fs::u8path(utf8Name)));
  EXPECT_TRUE(Boxes().empty());
}

#if !defined(_WIN32)
// A PC name that is no UTF-8 fails with the box, and the UTF-8 name beside it
// is neither written to nor removed.
TEST_F(TransferTest, APcNameThatIsNoUtf8FailsAndReachesNoOtherFile) {
  WriteFile(pc() / "caf\xE9.txt", "latin-1 name");
  WriteFile(Pc(u8"caf\u00e9.txt"), "utf-8 name");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = {PcItem("caf\xE9.txt")};
  EXPECT_EQ(1, panel.Put(items, true, pc()));
  ExpectCopyBox(PcPath(pc() / "caf\xE9.txt"));
  EXPECT_TRUE(fs::is_empty(device()));
  EXPECT_EQ("latin-1 name", ReadFile(pc() / "caf\xE9.txt"));
  EXPECT_EQ("utf-8 name", ReadFile(Pc(u8"caf\u00e9.txt")));
}
#endif

}  // namespace
}  // namespace merlo_test
