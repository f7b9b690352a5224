// Single-file transfers, batches and deletion.
#include <gtest/gtest.h>

#include <cstring>

#include "host/entry_points.h"
#include "panel/device_panel.h"
#include "seam_fakes.h"
#include "transfer/transfer_file.h"
#include "transfer/transfer_items.h"

namespace {

using Strings = std::vector<std::string>;

std::string Bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 3);
  return s;
}

// The read and write sizes of a run, e.g. "CeReadFile(2048)".
Strings DataCalls(const FakeWorld& w) {
  Strings out;
  for (const auto& c : w.Calls)
    if (c.find("ReadFile(") != std::string::npos || c.find("WriteFile(") != std::string::npos)
      out.push_back(c);
  return out;
}

class ChunkSizes : public testing::TestWithParam<size_t> {};

TEST_P(ChunkSizes, DownloadMovesFullChunksThenAlwaysTheRest) {
  FakeWorld w;
  const size_t size = GetParam();
  w.DeviceFiles["\\d\\f.bin"] = Bytes(size);
  ASSERT_TRUE(TransferFile("\\d\\f.bin", "C:\\pc\\f.bin", 0, 0));
  EXPECT_EQ(w.PcFiles["C:\\pc\\f.bin"], Bytes(size));
  Strings expected;
  for (size_t i = 0; i < size / 2048; ++i) {
    expected.push_back("CeReadFile(2048)");
    expected.push_back("WriteFile(2048)");
  }
  expected.push_back("CeReadFile(" + std::to_string(size % 2048) + ")");
  expected.push_back("WriteFile(" + std::to_string(size % 2048) + ")");
  EXPECT_EQ(DataCalls(w), expected);
}

TEST_P(ChunkSizes, UploadCopiesByteForByte) {
  FakeWorld w;
  w.PcFiles["C:\\pc\\f.bin"] = Bytes(GetParam());
  ASSERT_TRUE(TransferFile("C:\\pc\\f.bin", "\\f.bin", 0, 0));
  EXPECT_EQ(w.DeviceFiles["\\f.bin"], Bytes(GetParam()));
  EXPECT_EQ(DataCalls(w).size(), 2 * (GetParam() / 2048 + 1));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ChunkSizes, testing::Values(0, 1, 2047, 2048, 2049, 5000));

TEST(TransferFile, DownloadOpensClosesAndDeletesInOrder) {
  FakeWorld w;
  w.DeviceFiles["\\a.txt"] = "hello";
  ASSERT_TRUE(TransferFile("\\a.txt", "C:\\a.txt", 1, 0));
  EXPECT_EQ(w.Calls,
            (Strings{"CeCreateFile(\\a.txt,80000000,0,3,80)", "CeGetFileSize(high)",
                     "CreateFileA(C:\\a.txt,40000000,0,2,80)", "CeReadFile(5)", "WriteFile(5)",
                     "CeCloseHandle", "CloseHandle", "CeDeleteFile(\\a.txt)"}));
  EXPECT_EQ(w.DeviceFiles.count("\\a.txt"), 0u);
}

TEST(TransferFile, UploadOpensClosesAndDeletesInOrder) {
  FakeWorld w;
  w.PcFiles["C:\\a.txt"] = "hello";
  ASSERT_TRUE(TransferFile("C:\\a.txt", "\\d\\a.txt", 1, 0));
  EXPECT_EQ(w.Calls,
            (Strings{"CreateFileA(C:\\a.txt,80000000,0,3,80)", "GetFileSize(high)",
                     "CeCreateFile(\\d\\a.txt,40000000,0,2,80)", "ReadFile(5)", "CeWriteFile(5)",
                     "CloseHandle", "CeCloseHandle", "DeleteFileA(C:\\a.txt)"}));
  EXPECT_EQ(w.DeviceFiles["\\d\\a.txt"], "hello");
}

TEST(TransferFile, DirectionIsDecidedByTheColon) {
  FakeWorld w;
  EXPECT_TRUE(TransferFile("\\a", "\\\\server\\share\\a", 0, 0));  // no drive: device copy
  EXPECT_TRUE(TransferFile("\\a", "\\b", 1, 0));
  w.PcFiles["C:\\x"] = "1";
  EXPECT_TRUE(TransferFile("C:\\x", "D:\\y", 0, 0));  // upload: the destination is a device path
  EXPECT_EQ(w.CallsOf("Ce"),
            (Strings{"CeCopyFile(\\a,\\\\server\\share\\a,0)", "CeMoveFile(\\a,\\b)",
                     "CeCreateFile(D:\\y,40000000,0,2,80)", "CeWriteFile(1)", "CeCloseHandle"}));
  w.CopyResult = 0;
  w.MoveResult = 0;
  EXPECT_FALSE(TransferFile("\\a", "\\b", 0, 0));
  EXPECT_FALSE(TransferFile("\\a", "\\b", 1, 0));
}

TEST(TransferFile, MissingSourceTouchesNoDestination) {
  FakeWorld w;
  w.PcFiles["C:\\keep"] = "old";
  EXPECT_FALSE(TransferFile("\\missing", "C:\\keep", 1, 0));
  EXPECT_EQ(w.PcFiles["C:\\keep"], "old");
  EXPECT_TRUE(w.CallsOf("CreateFileA").empty());
  w.Calls.clear();
  EXPECT_FALSE(TransferFile("C:\\missing", "\\keep", 1, 0));
  EXPECT_TRUE(w.CallsOf("CeCreateFile").empty());
}

TEST(TransferFile, UncreatableDestinationClosesTheSourceAndKeepsIt) {
  FakeWorld w;
  w.DeviceFiles["\\a"] = "data";
  w.PcCreateRefused = true;
  EXPECT_FALSE(TransferFile("\\a", "C:\\ro", 1, 0));
  EXPECT_EQ(w.Calls.back(), "CeCloseHandle");
  EXPECT_EQ(w.DeviceFiles.count("\\a"), 1u);

  w.PcFiles["C:\\b"] = "data";
  w.DeviceCreateRefused = true;
  EXPECT_FALSE(TransferFile("C:\\b", "\\b", 1, 0));
  EXPECT_EQ(w.Calls.back(), "CloseHandle");
  EXPECT_EQ(w.PcFiles.count("C:\\b"), 1u);
}

struct Fault {
  int FailRead, ShortRead, FailWrite, ShortWrite;
  size_t Calls;  // read and write calls made before the loop stopped
};

class ChunkFaults : public testing::TestWithParam<Fault> {};

TEST_P(ChunkFaults, StopAtOnceCloseBothAndKeepTheSource) {
  FakeWorld w;
  w.DeviceFiles["\\big"] = Bytes(5000);
  w.FailRead = GetParam().FailRead;
  w.ShortRead = GetParam().ShortRead;
  w.FailWrite = GetParam().FailWrite;
  w.ShortWrite = GetParam().ShortWrite;
  EXPECT_FALSE(TransferFile("\\big", "C:\\big", 1, 0));
  EXPECT_EQ(DataCalls(w).size(), GetParam().Calls);
  EXPECT_EQ(w.CallsOf("CeCloseHandle").size(), 1u);
  EXPECT_EQ(w.CallsOf("CloseHandle").size(), 1u);
  EXPECT_TRUE(w.CallsOf("CeDeleteFile").empty());
  EXPECT_EQ(w.DeviceFiles["\\big"], Bytes(5000));
}

INSTANTIATE_TEST_SUITE_P(Positions, ChunkFaults,
                         testing::Values(Fault{1, 0, 0, 0, 1}, Fault{0, 2, 0, 0, 3},
                                         Fault{3, 0, 0, 0, 5},  // the remainder's read
                                         Fault{0, 0, 1, 0, 2}, Fault{0, 0, 0, 2, 4},
                                         Fault{0, 0, 3, 0, 6}));

TEST(TransferFile, MoveWhoseSourceCannotBeRemovedFails) {
  FakeWorld w;
  w.DeviceFiles["\\a"] = "data";
  w.DeviceDeleteRefused = true;
  EXPECT_FALSE(TransferFile("\\a", "C:\\a", 1, 0));
  EXPECT_EQ(w.PcFiles["C:\\a"], "data");
  EXPECT_EQ(w.DeviceFiles["\\a"], "data");
  w.PcDeleteRefused = true;
  EXPECT_FALSE(TransferFile("C:\\a", "\\b", 1, 0));
  EXPECT_EQ(w.DeviceFiles["\\b"], "data");
  EXPECT_EQ(w.PcFiles.count("C:\\a"), 1u);
}

struct CloseCase {
  bool Upload;
  bool DestinationFails;  // else the source's close fails
};

class FailedClose : public testing::TestWithParam<CloseCase> {};

TEST_P(FailedClose, OnlyTheWrittenFilesCloseDecides) {
  FakeWorld w;
  const CloseCase c = GetParam();
  // The device end is an upload's destination and a download's source.
  (c.Upload == c.DestinationFails ? w.DeviceCloseFails : w.PcCloseFails) = true;
  w.DeviceFiles["\\f"] = "data";
  w.PcFiles["C:\\f"] = "data";
  const bool result =
      c.Upload ? TransferFile("C:\\f", "\\g", 1, 0) : TransferFile("\\f", "C:\\g", 1, 0);
  EXPECT_EQ(result, !c.DestinationFails);
  EXPECT_EQ(c.Upload ? w.DeviceFiles["\\g"] : w.PcFiles["C:\\g"], "data");
  // A move removes its source only after the written file closed.
  EXPECT_EQ(c.Upload ? w.PcFiles.count("C:\\f") : w.DeviceFiles.count("\\f"),
            c.DestinationFails ? 1u : 0u);
  EXPECT_EQ(w.CallsOf(c.Upload ? "DeleteFileA" : "CeDeleteFile").size(),
            c.DestinationFails ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Ends, FailedClose,
                         testing::Values(CloseCase{false, false}, CloseCase{false, true},
                                         CloseCase{true, false}, CloseCase{true, true}),
                         [](const testing::TestParamInfo<CloseCase>& info) {
                           return std::string(info.param.Upload ? "Upload" : "Download") +
                                  (info.param.DestinationFails ? "Destination" : "Source");
                         });

TEST(TransferFile, FilesOf4GiBOrMoreAreRefusedBeforeTheDestination) {
  for (const uint32_t high : {1u, 2u}) {  // 4 to 8 GiB, and beyond
    SCOPED_TRACE(high);
    FakeWorld w;
    w.DeviceFiles["\\huge"] = "x";
    w.SizeHigh["\\huge"] = high;
    w.PcFiles["C:\\huge"] = "keep";
    EXPECT_FALSE(TransferFile("\\huge", "C:\\huge", 1, 0));
    EXPECT_EQ(w.Calls, (Strings{"CeCreateFile(\\huge,80000000,0,3,80)", "CeGetFileSize(high)",
                                "CeCloseHandle"}));
    EXPECT_EQ(w.PcFiles["C:\\huge"], "keep");
    w.SizeHigh["C:\\huge"] = high;
    w.Calls.clear();
    EXPECT_FALSE(TransferFile("C:\\huge", "\\huge", 1, 0));
    EXPECT_EQ(w.Calls, (Strings{"CreateFileA(C:\\huge,80000000,0,3,80)", "GetFileSize(high)",
                                "CloseHandle"}));
    EXPECT_EQ(w.DeviceFiles["\\huge"], "x");
  }
}

// Batches through the entry points.
struct BatchFixture : testing::Test {
  FakeWorld w;
  DevicePanel* panel = nullptr;
  std::vector<PanelItem> items;
  void SetUp() override {
    panel = static_cast<DevicePanel*>(OpenPlugin(0, 0));
    ASSERT_NE(panel, MERLO_NO_PANEL);
    w.Calls.clear();
  }
  void TearDown() override { ClosePlugin(panel); }
  void Add(const std::string& name, uint32_t attributes = 0x20, uint32_t flags = 0x40000001) {
    PanelItem item;
    std::memset(&item, 0xEE, sizeof item);  // the host's own bytes stay the host's
    item.Attributes = attributes;
    std::snprintf(item.Name, sizeof item.Name, "%s", name.c_str());
    item.ItemFlags = flags;
    items.push_back(item);
  }
  int32_t Get(const char* destination, int32_t move = 0) {
    return GetFiles(panel, items.data(), static_cast<int32_t>(items.size()), move, destination, 0);
  }
  uint32_t Flags(size_t i) const { return items[i].ItemFlags; }
  Strings BoxTexts() const {
    Strings out;
    for (const auto& b : w.Boxes) out.push_back(b.Items[1]);
    return out;
  }
};

using Batch = BatchFixture;

TEST_F(Batch, StopsAtTheFirstFailureAndClearsOnlyWhatArrived) {
  w.Texts[10] = "copy %s";
  w.DeviceFiles = {{"\\one", "1"}, {"\\three", "3"}};
  Add("one");
  Add("two");
  Add("three");
  EXPECT_EQ(Get("C:\\out\\"), 1);
  EXPECT_EQ(Flags(0), 0x00000001u);
  EXPECT_EQ(Flags(1), 0x40000001u);
  EXPECT_EQ(Flags(2), 0x40000001u);
  EXPECT_EQ(BoxTexts(), (Strings{"copy \\two"}));
  EXPECT_EQ(w.PcFiles.count("C:\\out\\one"), 1u);
  EXPECT_EQ(w.CallsOf("CeCreateFile(\\three").size(), 0u);
}

TEST_F(Batch, FoldersAreSkippedAndNothingElseIsWritten) {
  w.DeviceFiles = {{"\\f", "x"}};
  Add("dir", 0x10);
  Add("f");
  std::vector<PanelItem> before = items;
  EXPECT_EQ(Get("C:\\o"), 1);
  EXPECT_EQ(std::memcmp(&items[0], &before[0], sizeof(PanelItem)), 0);
  items[1].ItemFlags |= 0x40000000u;
  EXPECT_EQ(std::memcmp(&items[1], &before[1], sizeof(PanelItem)), 0);
  EXPECT_EQ(w.PcFiles.count("C:\\o\\f"), 1u);
  EXPECT_TRUE(w.Boxes.empty());
}

TEST_F(Batch, DestinationFoldersAreJoinedWithOneBackslash) {
  w.DeviceFiles = {{"\\sub\\f", "x"}};
  ASSERT_EQ(SetDirectory(panel, "sub", 0), 1);
  Add("f");
  Get("C:\\a/");
  Get("");
  Get("dest");  // neither ":" nor a leading "\": still a device path
  EXPECT_EQ(w.CallsOf("CreateFileA"), (Strings{"CreateFileA(C:\\a/\\f,40000000,0,2,80)"}));
  EXPECT_EQ(w.CallsOf("CeCopyFile"),
            (Strings{"CeCopyFile(\\sub\\f,\\f,0)", "CeCopyFile(\\sub\\f,dest\\f,0)"}));
  EXPECT_EQ(GetFiles(panel, items.data(), 0, 0, "C:\\", 0), 1);
  EXPECT_EQ(GetFiles(panel, items.data(), -3, 0, "C:\\", 0), 1);
  EXPECT_TRUE(w.Boxes.empty());
}

TEST_F(Batch, PathsThatDoNotFitFailTheirItem) {
  w.Texts[10] = "%s";
  std::string name(259, 'n');
  for (int i = 0; i < 4; ++i) ASSERT_EQ(SetDirectory(panel, std::string(60, 'd').c_str(), 0), 1);
  Add(name);
  Add("next");
  Get("C:\\o");
  ASSERT_EQ(w.Boxes.size(), 1u);
  EXPECT_EQ(w.Boxes[0].Items[1].size(), 199u);
  EXPECT_TRUE(w.CallsOf("Ce").empty());
  EXPECT_EQ(Flags(0), 0x40000001u);

  items.clear();
  w.Boxes.clear();
  ASSERT_EQ(SetDirectory(panel, "\\", 0), 1);
  Add("x");
  std::memset(items[0].Name, 'z', sizeof items[0].Name);  // no terminator
  Get("C:\\o");
  ASSERT_EQ(w.Boxes.size(), 1u);
  EXPECT_EQ(w.Boxes[0].Items[1], "\\" + std::string(198, 'z'));
  EXPECT_TRUE(w.CallsOf("Ce").empty());
}

TEST_F(Batch, ANameWithoutItsNulFailsWithNothingReadPastTheField) {
  w.Texts[10] = "%s";
  Add("x");
  std::string name(sizeof items[0].Name, '\0');
  for (size_t i = 0; i < name.size(); ++i) name[i] = static_cast<char>('a' + i % 26);
  std::memcpy(items[0].Name, name.data(), name.size());
  std::memcpy(items[0].ShortName, "SHORT~1.TXT", 12);
  // Were the name taken whole, or read on into ShortName, these would be copied.
  w.DeviceFiles["\\" + name] = "x";
  w.DeviceFiles["\\" + name + "SHORT~1.TXT"] = "x";
  Get("C:\\o");
  EXPECT_EQ(BoxTexts(), (Strings{("\\" + name).substr(0, 199)}));
  EXPECT_TRUE(w.CallsOf("Ce").empty());
  EXPECT_TRUE(w.PcFiles.empty());
  EXPECT_EQ(Flags(0), 0x40000001u);
}

TEST_F(Batch, AFailedCloseOfTheWrittenFileEndsTheBatchAndKeepsTheSource) {
  w.Texts[10] = "copy %s";
  w.CurrentDirectory = "C:\\";
  w.PcFiles = {{"C:\\a", "A"}, {"C:\\b", "B"}};
  w.DeviceCloseFails = true;
  Add("a");
  Add("b");
  EXPECT_EQ(PutFiles(panel, items.data(), 2, 1, 0), 1);
  EXPECT_EQ(BoxTexts(), (Strings{"copy C:\\a"}));
  EXPECT_EQ(w.PcFiles.count("C:\\a"), 1u);
  EXPECT_EQ(w.DeviceFiles["\\a"], "A");
  EXPECT_TRUE(w.CallsOf("CreateFileA(C:\\b").empty());
  EXPECT_EQ(Flags(0), 0x40000001u);
  EXPECT_EQ(Flags(1), 0x40000001u);
}

TEST_F(Batch, PutCopiesFromTheCurrentDirectoryIntoThePanelsFolder) {
  w.CurrentDirectory = "C:\\";
  w.PcFiles = {{"C:\\a", "A"}, {"C:\\b", "B"}};
  ASSERT_EQ(SetDirectory(panel, "in", 0), 1);
  Add("a");
  Add("b");
  EXPECT_EQ(PutFiles(panel, items.data(), 2, 1, 0), 1);
  EXPECT_EQ(w.Calls.front(), "GetCurrentDirectoryA(256)");
  EXPECT_EQ(w.DeviceFiles["\\in\\a"], "A");
  EXPECT_EQ(w.DeviceFiles["\\in\\b"], "B");
  EXPECT_TRUE(w.PcFiles.empty());
  EXPECT_EQ(Flags(1), 1u);
}

TEST_F(Batch, PutFromADirectoryTooLongFailsAtTheFirstFile) {
  w.Texts[10] = "copy %s";
  w.CurrentDirectory = "C:\\" + std::string(253, 'l');  // 256 characters
  Add("dir", 0x10);
  Add("a");
  Add("b");
  EXPECT_EQ(PutFiles(panel, items.data(), 3, 0, 0), 1);
  EXPECT_EQ(BoxTexts(), (Strings{"copy a"}));
  EXPECT_EQ(w.Calls, (Strings{"GetCurrentDirectoryA(256)", "HostText(42,10)", "HostText(42,2)",
                              "HostText(42,0)", "HostMessageBox(42)"}));
}

TEST_F(Batch, MoveThatFailsAtTheThirdKeepsTheFirstTwoMoved) {
  w.DeviceFiles = {{"\\1", "a"}, {"\\2", "b"}, {"\\3", "c"}};
  w.FailWrite = 3;
  Add("1");
  Add("2");
  Add("3");
  Get("C:\\o", 1);
  EXPECT_EQ(w.DeviceFiles.count("\\1") + w.DeviceFiles.count("\\2"), 0u);
  EXPECT_EQ(w.DeviceFiles["\\3"], "c");
  EXPECT_EQ(w.Boxes.size(), 1u);
}

using Deletion = BatchFixture;

TEST_F(Deletion, DeletesInOrderAndStopsAtTheFirstRefusal) {
  w.Texts[11] = "del %s";
  Add("a", 0x10);
  Add("b");
  std::vector<PanelItem> before = items;
  ASSERT_EQ(SetDirectory(panel, "d", 0), 1);
  EXPECT_EQ(DeleteFiles(panel, items.data(), 2, 0), 1);
  EXPECT_EQ(w.CallsOf("CeDeleteFile"), (Strings{"CeDeleteFile(\\d\\a)", "CeDeleteFile(\\d\\b)"}));
  EXPECT_EQ(std::memcmp(items.data(), before.data(), 2 * sizeof(PanelItem)), 0);
  w.DeviceDeleteRefused = true;
  ASSERT_EQ(SetDirectory(panel, "\\", 0), 1);
  EXPECT_EQ(DeleteFiles(panel, items.data(), 2, 0), 1);
  EXPECT_EQ(w.CallsOf("CeDeleteFile").back(), "CeDeleteFile(\\a)");
  EXPECT_EQ(BoxTexts(), (Strings{"del \\a"}));
  EXPECT_EQ(DeleteFiles(panel, items.data(), 0, 0), 1);
  EXPECT_EQ(w.Boxes.size(), 1u);
}

TEST_F(Deletion, TheBackslashIsAddedWhateverTheFolderEndsIn) {
  Add("b");
  ASSERT_EQ(SetDirectory(panel, "", 0), 1);  // the folder now ends in "\"
  EXPECT_EQ(DeleteFiles(panel, items.data(), 1, 0), 1);
  EXPECT_EQ(w.CallsOf("CeDeleteFile"), (Strings{"CeDeleteFile(\\\\b)"}));
}

TEST_F(Deletion, PathsThatDoNotFitAreNotDeleted) {
  w.Texts[11] = "%s";
  for (int i = 0; i < 4; ++i) ASSERT_EQ(SetDirectory(panel, std::string(9, 'd').c_str(), 0), 1);
  Add(std::string(259, 'n'));  // 40 + 1 + 259 = 300: one too many
  EXPECT_EQ(DeleteFiles(panel, items.data(), 1, 0), 1);
  EXPECT_TRUE(w.CallsOf("CeDeleteFile").empty());
  ASSERT_EQ(w.Boxes.size(), 1u);
  ASSERT_EQ(SetDirectory(panel, "..", 0), 1);  // 30 + 1 + 259 = 290 fits
  EXPECT_EQ(DeleteFiles(panel, items.data(), 1, 0), 1);
  EXPECT_EQ(w.CallsOf("CeDeleteFile").size(), 1u);
}

}  // namespace
