// Sessions against a fake module that keeps a small device in memory and
// records how it is called.
#include "session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "host_services.h"
#include "text.h"

namespace fs = std::filesystem;

namespace merlo {
namespace {

struct FakeEntry {
  std::string Name;
  bool Folder = false;
  uint32_t Size = 0;
};

struct PutCall {
  fs::path Cwd;
  std::vector<std::string> Names;
  std::vector<uint32_t> Attributes;
  std::vector<uint32_t> Sizes;
};

// The device and the record of calls; reset by every test.
struct FakeDevice {
  std::map<std::string, std::vector<FakeEntry>> Folders;  // "" is the root
  std::string Current;
  std::set<PanelItem*> Outstanding;
  int Listings = 0;
  std::vector<std::string> SetDirectoryCalls;
  std::vector<std::string> GetFilesDestinations;
  std::vector<int32_t> GetFilesMoves;
  std::vector<std::vector<PanelItem>> Selections;
  std::vector<PutCall> PutCalls;
  std::set<std::string> Refused;  // names whose transfer or deletion fails
} device;

PanelHandle const kPanel = reinterpret_cast<PanelHandle>(0x1234);

void ShowFailure(const std::string& path) {
  const std::string text = "Could not do " + path;
  const char* items[] = {"Error", text.c_str(), "OK"};
  HostMessageBoxService(kModuleId, 3, nullptr, items, 3, 1);
}

int32_t MERLO_STDCALL FakeGetFindData(PanelHandle, PanelItem** items, int32_t* count, int32_t) {
  const auto& entries = device.Folders[device.Current];
  const size_t total = entries.size() + (device.Current.empty() ? 0 : 1);
  auto* array = new PanelItem[total + 1];
  std::memset(array, 0, sizeof(PanelItem) * (total + 1));
  for (size_t i = 0; i < entries.size(); ++i) {
    std::strcpy(array[i].Name, entries[i].Name.c_str());
    array[i].Attributes = entries[i].Folder ? 0x10 : 0x20;
    array[i].SizeLow = entries[i].Size;
  }
  if (!device.Current.empty()) {
    std::strcpy(array[entries.size()].Name, "..");
    array[entries.size()].Attributes = 0x10;
  }
  device.Outstanding.insert(array);
  ++device.Listings;
  *items = array;
  *count = static_cast<int32_t>(total);
  return 1;
}

void MERLO_STDCALL FakeFreeFindData(PanelHandle, PanelItem* items, int32_t) {
  ASSERT_EQ(device.Outstanding.erase(items), 1u) << "freed an array that was not handed out";
  delete[] items;
}

int32_t MERLO_STDCALL FakeSetDirectory(PanelHandle, const char* folder, int32_t) {
  device.SetDirectoryCalls.push_back(folder);
  const std::string name = folder;
  if (name == "\\") {
    device.Current.clear();
  } else if (name == "..") {
    if (device.Current.empty()) return 0;
    device.Current.erase(device.Current.rfind('\\'));
  } else {
    device.Current += "\\" + name;
  }
  return 1;
}

int32_t MERLO_STDCALL FakeGetFiles(PanelHandle, PanelItem* items, int32_t count, int32_t move,
                                   const char* destination, int32_t) {
  device.GetFilesDestinations.push_back(destination);
  device.GetFilesMoves.push_back(move);
  device.Selections.emplace_back(items, items + count);
  for (int32_t i = 0; i < count; ++i) {
    if (items[i].Attributes & 0x10) continue;
    if (device.Refused.count(items[i].Name) != 0) {
      ShowFailure(device.Current + "\\" + items[i].Name);
      break;
    }
    items[i].ItemFlags &= ~kItemSelected;
  }
  return 1;
}

int32_t MERLO_STDCALL FakePutFiles(PanelHandle, PanelItem* items, int32_t count, int32_t, int32_t) {
  PutCall call;
  call.Cwd = fs::current_path();
  for (int32_t i = 0; i < count; ++i) {
    call.Names.push_back(items[i].Name);
    call.Attributes.push_back(uint32_t{items[i].Attributes});
    call.Sizes.push_back(uint32_t{items[i].SizeLow});
    EXPECT_EQ(uint32_t{items[i].ItemFlags}, kItemSelected);
    if (!(items[i].Attributes & 0x10)) items[i].ItemFlags &= ~kItemSelected;
  }
  device.PutCalls.push_back(call);
  return 1;
}

int32_t MERLO_STDCALL FakeDeleteFiles(PanelHandle, PanelItem* items, int32_t count, int32_t) {
  auto& entries = device.Folders[device.Current];
  for (int32_t i = 0; i < count; ++i) {
    if (device.Refused.count(items[i].Name) != 0) {
      ShowFailure(device.Current + "\\" + items[i].Name);
      break;
    }
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const FakeEntry& e) { return e.Name == items[i].Name; }),
                  entries.end());
  }
  return 1;
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device = FakeDevice();
    device.Folders[""] = {
        {"a", true}, {"notes.txt", false, 10}, {"big.bin", false, 5000}, {"readme.TXT", false, 3}};
    device.Folders["\\a"] = {{"b", true}, {"x.txt", false, 1}};
    device.Folders["\\a\\b"] = {};
    module_.GetFindData = FakeGetFindData;
    module_.FreeFindData = FakeFreeFindData;
    module_.SetDirectory = FakeSetDirectory;
    module_.GetFiles = FakeGetFiles;
    module_.PutFiles = FakePutFiles;
    module_.DeleteFiles = FakeDeleteFiles;
    SetBoxStream(&boxes_);
    scratch_ =
        fs::temp_directory_path() /
        ("merlo_session_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(scratch_);
    fs::create_directories(scratch_);
    cwd_ = fs::current_path();
  }

  void TearDown() override {
    SetBoxStream(&std::cerr);
    fs::current_path(cwd_);
    fs::remove_all(scratch_);
    // Every listing went back to the module.
    EXPECT_TRUE(device.Outstanding.empty());
  }

  bool Run(const std::string& line) { return session_.RunLine(line); }

  void WriteFile(const fs::path& path, size_t size) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
  }

  EntryPoints module_;
  std::ostringstream out_, err_, boxes_;
  Session session_{module_, kPanel, out_, err_};
  fs::path scratch_, cwd_;
};

TEST_F(SessionTest, ListingShowsEntriesAndGivesEveryArrayBack) {
  ASSERT_TRUE(Run("ls"));
  ASSERT_TRUE(Run("cd a"));
  ASSERT_TRUE(Run("ls"));
  EXPECT_GE(device.Listings, 3);
  const std::string shown = out_.str();
  EXPECT_NE(shown.find("notes.txt"), std::string::npos);
  EXPECT_NE(shown.find("<DIR>  a\n"), std::string::npos);
  EXPECT_NE(shown.find("5000  big.bin"), std::string::npos);
  EXPECT_NE(shown.find("<DIR>  ..\n"), std::string::npos);
  EXPECT_NE(shown.find("1 folder, 3 files, 5013 bytes"), std::string::npos);
}

TEST_F(SessionTest, CdEntersOneLevelPerCallAndTracksTheFolder) {
  ASSERT_TRUE(Run("cd a\\b"));
  EXPECT_EQ(device.SetDirectoryCalls, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(session_.DeviceFolder(), "\\a\\b");
  ASSERT_TRUE(Run("cd .."));
  EXPECT_EQ(session_.DeviceFolder(), "\\a");
  ASSERT_TRUE(Run("cd \\"));
  EXPECT_EQ(device.SetDirectoryCalls.back(), "\\");
  EXPECT_EQ(session_.DeviceFolder(), "\\");
  ASSERT_TRUE(Run("cd /a/b"));
  EXPECT_EQ(device.Current, "\\a\\b");
  ASSERT_TRUE(Run("pwd"));
  EXPECT_NE(out_.str().find("\\a\\b\n"), std::string::npos);
}

TEST_F(SessionTest, CdRefusesWhatIsNoFolderAndStaysPut) {
  EXPECT_FALSE(Run("cd notes.txt"));
  EXPECT_NE(err_.str().find("is a file"), std::string::npos);
  EXPECT_TRUE(device.SetDirectoryCalls.empty());

  ASSERT_TRUE(Run("cd a"));
  EXPECT_FALSE(Run("cd b\\nothing"));
  EXPECT_NE(err_.str().find("no such folder"), std::string::npos);
  EXPECT_EQ(session_.DeviceFolder(), "\\a");
  EXPECT_EQ(device.Current, "\\a");
}

TEST_F(SessionTest, CdUpAtTheRootFails) {
  EXPECT_FALSE(Run("cd .."));
  EXPECT_EQ(session_.DeviceFolder(), "\\");
}

TEST_F(SessionTest, GetSelectsCopiesOfListedItemsAndReportsClearedBits) {
  device.Refused = {"readme.TXT"};
  EXPECT_FALSE(Run("get *.txt a " + scratch_.string()));
  ASSERT_EQ(device.Selections.size(), 1u);
  const auto& items = device.Selections[0];
  ASSERT_EQ(items.size(), 3u);
  EXPECT_STREQ(items[0].Name, "notes.txt");
  EXPECT_STREQ(items[1].Name, "readme.TXT");  // wildcards ignore case
  EXPECT_STREQ(items[2].Name, "a");
  EXPECT_EQ(uint32_t{items[0].SizeLow}, 10u);
  EXPECT_EQ(uint32_t{items[2].Attributes}, 0x10u);
  EXPECT_EQ(device.GetFilesDestinations[0], ModulePcPath(scratch_.string()));
  EXPECT_EQ(device.GetFilesMoves[0], 0);
  EXPECT_NE(out_.str().find("copied 1 of 2 files, skipped 1 folder"), std::string::npos);
  EXPECT_NE(boxes_.str().find("Could not do \\readme.TXT"), std::string::npos);
}

TEST_F(SessionTest, GetDefaultsToTheLocalFolderAndMoves) {
  fs::current_path(scratch_);
  ASSERT_TRUE(Run("get -m big.bin"));
  EXPECT_EQ(device.GetFilesDestinations[0], ModulePcPath(fs::current_path().string()));
  EXPECT_EQ(device.GetFilesMoves[0], 1);
  EXPECT_EQ(uint32_t{device.Selections[0][0].ItemFlags}, kItemSelected);
  EXPECT_NE(out_.str().find("moved 1 of 1 file\n"), std::string::npos);
}

TEST_F(SessionTest, NamesThatMatchNothingStopTheCommand) {
  EXPECT_FALSE(Run("get notes.txt missing.txt"));
  EXPECT_FALSE(Run("rm *.doc"));
  EXPECT_FALSE(Run("get notes.txt " + (scratch_ / "no" / "such").string()));
  EXPECT_NE(err_.str().find("no PC folder"), std::string::npos);
  EXPECT_TRUE(device.Selections.empty());
  EXPECT_NE(err_.str().find("matches missing.txt"), std::string::npos);
}

TEST_F(SessionTest, PutGroupsFilesByFolderAndRunsInEach) {
  WriteFile(scratch_ / "one" / "a.txt", 7);
  WriteFile(scratch_ / "one" / "b.txt", 70000);
  WriteFile(scratch_ / "two" / "c.txt", 1);
  fs::create_directories(scratch_ / "one" / "sub");
  const fs::path before = fs::current_path();
  ASSERT_TRUE(Run("put " + (scratch_ / "one" / "*").string() + " " +
                  (scratch_ / "two" / "c.txt").string()));
  EXPECT_EQ(fs::current_path(), before);
  ASSERT_EQ(device.PutCalls.size(), 2u);
  EXPECT_EQ(device.PutCalls[0].Cwd, scratch_ / "one");
  EXPECT_EQ(device.PutCalls[0].Names, (std::vector<std::string>{"a.txt", "b.txt", "sub"}));
  EXPECT_EQ(device.PutCalls[0].Attributes, (std::vector<uint32_t>{0x20, 0x20, 0x10}));
  EXPECT_EQ(device.PutCalls[0].Sizes, (std::vector<uint32_t>{7, 70000, 0}));
  EXPECT_EQ(device.PutCalls[1].Cwd, scratch_ / "two");
  EXPECT_EQ(device.PutCalls[1].Names, (std::vector<std::string>{"c.txt"}));
  EXPECT_NE(out_.str().find("copied 3 of 3 files, skipped 1 folder"), std::string::npos);
}

TEST_F(SessionTest, PutRefusesMissingFiles) {
  EXPECT_FALSE(Run("put " + (scratch_ / "nothing.txt").string()));
  EXPECT_TRUE(device.PutCalls.empty());
}

TEST_F(SessionTest, CpAndMvNameDeviceFolders) {
  ASSERT_TRUE(Run("cd a"));
  ASSERT_TRUE(Run("cp x.txt backup"));
  ASSERT_TRUE(Run("mv x.txt \\"));
  ASSERT_TRUE(Run("cp x.txt ..\\b"));
  EXPECT_EQ(device.GetFilesDestinations, (std::vector<std::string>{"\\a\\backup", "\\", "\\b"}));
  EXPECT_EQ(device.GetFilesMoves, (std::vector<int32_t>{0, 1, 0}));
  EXPECT_FALSE(Run("cp x.txt ."));
  EXPECT_EQ(device.GetFilesDestinations.size(), 3u);
}

TEST_F(SessionTest, RmComparesTheListingsBeforeAndAfter) {
  device.Refused = {"readme.TXT"};
  EXPECT_FALSE(Run("rm big.bin readme.TXT notes.txt"));
  EXPECT_NE(out_.str().find("deleted 1 of 3 files"), std::string::npos);
  EXPECT_NE(boxes_.str().find("\\readme.TXT"), std::string::npos);
  device.Refused.clear();
  ASSERT_TRUE(Run("rm notes.txt"));
  EXPECT_NE(out_.str().find("deleted 1 of 1 file\n"), std::string::npos);
}

TEST_F(SessionTest, ExactNamesMayDifferInCaseWhenUnique) {
  ASSERT_TRUE(Run("rm NOTES.TXT"));
  EXPECT_NE(out_.str().find("deleted 1 of 1 file"), std::string::npos);
}

TEST_F(SessionTest, UnknownCommandsAndExit) {
  EXPECT_FALSE(Run("frobnicate"));
  EXPECT_NE(err_.str().find("unknown command"), std::string::npos);
  EXPECT_FALSE(Run("cd \"unclosed"));
  EXPECT_FALSE(session_.ExitRequested());
  EXPECT_TRUE(Run("exit"));
  EXPECT_TRUE(session_.ExitRequested());
}

}  // namespace
}  // namespace merlo
