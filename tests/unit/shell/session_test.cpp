// Sessions against a fake module that keeps a small device in memory and
// records how it is called.
#include "session.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "completion.h"
#include "host_services.h"
#include "interrupt.h"
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
  std::vector<std::string>
      CallFolders;  // the panel's folder at each GetFiles, PutFiles, DeleteFiles
  std::vector<std::string> GetFilesDestinations;
  std::vector<int32_t> GetFilesMoves;
  std::vector<std::vector<PanelItem>> Selections;
  std::vector<PutCall> PutCalls;
  std::set<std::string> Refused;   // names whose transfer or deletion fails
  std::set<std::string> Stubborn;  // names whose deletion reports success but leaves them
  std::string InterruptAt;         // a Ctrl-C comes while this file is copied
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
  device.CallFolders.push_back(device.Current);
  device.GetFilesDestinations.push_back(destination);
  device.GetFilesMoves.push_back(move);
  device.Selections.emplace_back(items, items + count);
  for (int32_t i = 0; i < count; ++i) {
    if (items[i].Attributes & 0x10) continue;
    if (device.InterruptAt == items[i].Name) std::raise(SIGINT);
    if (device.Refused.count(items[i].Name) != 0) {
      ShowFailure(device.Current + "\\" + items[i].Name);
      break;
    }
    // To the PC: the file arrives, as large as listed.
    if (destination[0] != '\\') {
      std::ofstream(UserPcPaths(std::string(destination) + "\\" + items[i].Name), std::ios::binary)
          << std::string(items[i].SizeLow, 'x');
    }
    items[i].ItemFlags &= ~kItemSelected;
  }
  return 1;
}

int32_t MERLO_STDCALL FakePutFiles(PanelHandle, PanelItem* items, int32_t count, int32_t, int32_t) {
  device.CallFolders.push_back(device.Current);
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
  device.CallFolders.push_back(device.Current);
  auto& entries = device.Folders[device.Current];
  for (int32_t i = 0; i < count; ++i) {
    if (device.Stubborn.count(items[i].Name) != 0) continue;
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
    device.Folders[""] = {{"a", true},
                          {"notes.txt", false, 10},
                          {"big.bin", false, 5000},
                          {"readme.TXT", false, 3},
                          {"My Documents", true}};
    device.Folders["\\a"] = {{"b", true}, {"x.txt", false, 1}};
    device.Folders["\\a\\b"] = {};
    device.Folders["\\My Documents"] = {{"it's \"q\".txt", false, 1}, {"My Music", true}};
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
  const std::string shown = out_.str();
  EXPECT_NE(shown.find("notes.txt"), std::string::npos);
  EXPECT_NE(shown.find("<DIR>  a\n"), std::string::npos);
  EXPECT_NE(shown.find("5000  big.bin"), std::string::npos);
  EXPECT_NE(shown.find("<DIR>  ..\n"), std::string::npos);
  EXPECT_NE(shown.find("2 folders, 3 files, 5013 bytes"), std::string::npos);
  EXPECT_NE(shown.find("1 folder, 1 file, 1 byte\n"), std::string::npos);  // ".." not counted
}

TEST_F(SessionTest, CdMovesOneLevelPerCallAndOnlyToFoldersThatExist) {
  ASSERT_TRUE(Run("cd a\\b"));
  EXPECT_EQ(device.SetDirectoryCalls, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(session_.DeviceFolder(), "\\a\\b");
  ASSERT_TRUE(Run("cd .."));
  EXPECT_EQ(session_.DeviceFolder(), "\\a");
  ASSERT_TRUE(Run("cd \\"));
  EXPECT_EQ(device.Current, "");
  ASSERT_TRUE(Run("cd /A/b"));  // the one folder that differs only in case
  EXPECT_EQ(device.Current, "\\a\\b");
  EXPECT_FALSE(Run("cd \\notes.txt"));
  EXPECT_FALSE(Run("cd ..\\nothing"));
  EXPECT_EQ(device.Current, "\\a\\b");
  ASSERT_TRUE(Run("cd \\..\\a"));  // the root's ".." is the root
  EXPECT_EQ(device.Current, "\\a");
  EXPECT_NE(err_.str().find("is a file"), std::string::npos);
  EXPECT_NE(err_.str().find("\\a\\nothing: no such folder"), std::string::npos);
}

// Whatever a command does with a path, and however it ends, the panel is
// back in the user's folder afterwards.
TEST_F(SessionTest, PathsLeaveThePanelWhereItWas) {
  ASSERT_TRUE(Run("cd a"));
  for (const std::string& line : std::vector<std::string>{
           "ls \\", "ls ..\\*.txt", "get ..\\notes.txt " + scratch_.string(), "get b\\nothing",
           "rm \\missing", "cp ..\\big.bin b", "mv ..\\readme.TXT \\a\\b"}) {
    Run(line);
    EXPECT_EQ(device.Current, "\\a") << line;
  }
  // Each file was taken in its own folder.
  EXPECT_EQ(device.CallFolders, (std::vector<std::string>{"", "", ""}));
  EXPECT_EQ(device.GetFilesDestinations[1], "\\a\\b");
}

TEST_F(SessionTest, GetHandsTheModuleOneFileAtATimeAndStopsAtTheFirstFailure) {
  device.Refused = {"readme.TXT"};
  EXPECT_FALSE(Run("get *.TXT big.bin a " + scratch_.string()));
  // notes.txt, then readme.TXT fails; big.bin is not tried; the folder a is skipped.
  ASSERT_EQ(device.Selections.size(), 2u);
  for (const auto& selection : device.Selections) {
    ASSERT_EQ(selection.size(), 1u);
    EXPECT_EQ(uint32_t{selection[0].ItemFlags}, kItemSelected);
  }
  EXPECT_STREQ(device.Selections[0][0].Name, "notes.txt");
  EXPECT_EQ(uint32_t{device.Selections[0][0].SizeLow}, 10u);
  EXPECT_EQ(device.GetFilesDestinations[0], ModulePcPath(scratch_.string()));
  EXPECT_NE(out_.str().find("copied 1 of 3 files, skipped 1 folder"), std::string::npos);
  EXPECT_NE(err_.str().find("skipped the folder a"), std::string::npos);
  EXPECT_NE(boxes_.str().find("Could not do \\readme.TXT"), std::string::npos);

  device.Refused.clear();
  fs::current_path(scratch_);
  ASSERT_TRUE(Run("get -m big.bin"));
  EXPECT_EQ(device.GetFilesDestinations.back(), ModulePcPath(fs::current_path().string()));
  // The module copies; merlo deletes the source once it has seen the copy.
  EXPECT_EQ(device.GetFilesMoves.back(), 0);
  EXPECT_EQ(device.CallFolders.back(), "");
  EXPECT_NE(out_.str().find("moved 1 of 1 file\n"), std::string::npos);
}

TEST_F(SessionTest, ACtrlCStopsABatchAfterTheCurrentFile) {
  InstallInterruptHandler();
  device.InterruptAt = "notes.txt";
  EXPECT_FALSE(Run("get notes.txt big.bin readme.TXT " + scratch_.string()));
  EXPECT_EQ(device.Selections.size(), 1u);
  EXPECT_NE(err_.str().find("interrupted after 1 of 3"), std::string::npos);
  ClearInterrupt();
}

TEST_F(SessionTest, WordsThatNameNothingStopTheCommandBeforeAnyCopy) {
  // The last word is the destination: the first names nothing on the device.
  EXPECT_FALSE(Run("get missing.txt " + scratch_.string()));
  EXPECT_FALSE(Run("rm *.doc"));
  EXPECT_FALSE(Run("rm .."));
  EXPECT_FALSE(Run("get notes.txt " + (scratch_ / "no" / "such").string()));
  EXPECT_FALSE(Run("ls -x"));
  EXPECT_FALSE(Run("ls nothing*"));
  EXPECT_TRUE(device.Selections.empty());
  EXPECT_TRUE(device.CallFolders.empty());
  for (const char* said : {"\\missing.txt: no such file or folder", "no PC folder",
                           "unknown option -x", "nothing*: no match"}) {
    EXPECT_NE(err_.str().find(said), std::string::npos) << said;
  }
}

TEST_F(SessionTest, PutRunsEachFileInItsFolderAndTakesADeviceFolderLast) {
  WriteFile(scratch_ / "one" / "a.txt", 7);
  WriteFile(scratch_ / "one" / "b.txt", 70000);
  WriteFile(scratch_ / "two" / "c.txt", 1);
  fs::create_directories(scratch_ / "one" / "sub");
  const fs::path before = fs::current_path();
  EXPECT_FALSE(Run("put " + (scratch_ / "one" / "*").string() + " " +
                   (scratch_ / "two" / "c.txt").string() + " a\\b"));
  EXPECT_EQ(fs::current_path(), before);
  ASSERT_EQ(device.PutCalls.size(), 3u);
  EXPECT_EQ(device.CallFolders, (std::vector<std::string>(3, "\\a\\b")));
  EXPECT_EQ(device.PutCalls[0].Cwd, scratch_ / "one");
  EXPECT_EQ(device.PutCalls[1].Names, (std::vector<std::string>{"b.txt"}));
  EXPECT_EQ(device.PutCalls[1].Sizes, (std::vector<uint32_t>{70000}));
  EXPECT_EQ(device.PutCalls[2].Cwd, scratch_ / "two");
  EXPECT_NE(out_.str().find("copied 3 of 3 files, skipped 1 folder"), std::string::npos);
  EXPECT_FALSE(Run("put " + (scratch_ / "nothing.txt").string()));
  EXPECT_FALSE(Run("put -r " + (scratch_ / "one").string()));
  EXPECT_EQ(device.PutCalls.size(), 3u);
}

TEST_F(SessionTest, CpAndMvNameExistingDeviceFolders) {
  ASSERT_TRUE(Run("cd a"));
  ASSERT_TRUE(Run("cp x.txt b"));
  ASSERT_TRUE(Run("mv x.txt \\"));
  EXPECT_EQ(device.GetFilesDestinations, (std::vector<std::string>{"\\a\\b", "\\"}));
  EXPECT_EQ(device.GetFilesMoves, (std::vector<int32_t>{0, 1}));
  EXPECT_FALSE(Run("cp x.txt ."));
  EXPECT_FALSE(Run("cp x.txt nowhere"));
  EXPECT_EQ(device.GetFilesDestinations.size(), 2u);
}

TEST_F(SessionTest, RmCountsWhatTheDeviceNoLongerLists) {
  device.Stubborn = {"readme.TXT"};
  EXPECT_FALSE(Run("rm big.bin readme.TXT notes.txt"));
  EXPECT_NE(out_.str().find("deleted 2 of 3 files"), std::string::npos);
  EXPECT_NE(err_.str().find("readme.TXT is still on the device"), std::string::npos);
  // A folder is not a file: rm names the commands that remove folders.
  const size_t calls = device.CallFolders.size();
  EXPECT_FALSE(Run("rm a"));
  EXPECT_NE(err_.str().find("a is a folder: rmdir removes an empty folder, rm -r"),
            std::string::npos);
  EXPECT_EQ(device.CallFolders.size(), calls);
}

// A name is never widened into a pattern: "ł" is one character, and a name
// that the module shows with U+FFFD (a character it could not convert) is
// refused, never passed on to reach another entry.
TEST_F(SessionTest, NamesAreTakenAsTheyAreOrRefused) {
  device.Folders["\\a\\b"] = {
      {"x1.txt"}, {"x\xC5\x82.txt"}, {"xy.txt"}, {"u\xEF\xBF\xBD.txt"}, {"\xEF\xBF\xBD", true}};
  ASSERT_TRUE(Run("rm a\\b\\x\xC5\x82.txt"));
  ASSERT_EQ(device.Folders["\\a\\b"].size(), 4u);
  EXPECT_EQ(device.Folders["\\a\\b"][1].Name, "xy.txt");
  EXPECT_NE(out_.str().find("deleted 1 of 1 file"), std::string::npos);

  ASSERT_TRUE(Run("ls a\\b"));
  EXPECT_NE(out_.str().find("u\xEF\xBF\xBD.txt"), std::string::npos);
  const size_t calls = device.CallFolders.size();
  for (const char* line : {"rm a\\b\\*", "get a\\b\\u\xEF\xBF\xBD.txt", "cd a\\b\\\xEF\xBF\xBD",
                           "ls a\\b\\\xEF\xBF\xBD\\"}) {
    EXPECT_FALSE(Run(line)) << line;
  }
  EXPECT_EQ(device.CallFolders.size(), calls);
  EXPECT_EQ(device.Folders["\\a\\b"].size(), 4u);
  EXPECT_NE(err_.str().find("rm: a\\b\\u\xEF\xBF\xBD.txt: the module could not convert"),
            std::string::npos)
      << err_.str();
  EXPECT_EQ(session_.DeviceFolder(), "\\");
}

TEST_F(SessionTest, UnknownCommandsAndExit) {
  EXPECT_FALSE(Run("frobnicate"));
  EXPECT_NE(err_.str().find("unknown command"), std::string::npos);
  EXPECT_FALSE(Run("cd \"unclosed"));
  EXPECT_FALSE(session_.ExitRequested());
  EXPECT_TRUE(Run("pwd; exit; frobnicate"));
  EXPECT_TRUE(session_.ExitRequested());
}

// What Tab puts in place of the word before the cursor, or the choices it shows.
struct CompletionCase {
  const char* Line;
  const char* Text;     // the replacement of the word at the cursor
  const char* Choices;  // or, joined by blanks, the choices shown
};

class CompletionTest : public SessionTest, public ::testing::WithParamInterface<CompletionCase> {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    device.Folders["\\a\\b"] = {{"\xC3\xA9"
                                 "1.txt"},
                                {"\xC3\xA8"
                                 "2.txt"},
                                {"R\xC3\xA9sum\xC3\xA9.txt"},
                                {"x;y.txt"}};
  }
};

TEST_P(CompletionTest, QuotesWhatItInsertsAndNeverEscapes) {
  fs::current_path(scratch_);
  WriteFile(scratch_ / "local file.txt", 1);
  fs::create_directories(scratch_ / "lfolder");
  const CompletionCase& c = GetParam();
  const std::string line = c.Line;
  const Completion completion = Complete(session_, line, line.size());
  std::string choices;
  for (const auto& choice : completion.Choices) choices += (choices.empty() ? "" : " ") + choice;
  EXPECT_EQ(line.substr(0, completion.From) + completion.Text, std::string(c.Text));
  EXPECT_EQ(choices, c.Choices);
  EXPECT_EQ(device.Current, "");  // the listing was read fresh, and the panel went back
}

INSTANTIATE_TEST_SUITE_P(
    Words, CompletionTest,
    ::testing::Values(
        CompletionCase{"ge", "get ", ""}, CompletionCase{"l", "l", "lcd lls lpwd ls"},
        CompletionCase{"get no", "get notes.txt ", ""},
        CompletionCase{"get NO", "get notes.txt ", ""},
        CompletionCase{"cd My", "cd \"My Documents\\\"", ""},
        CompletionCase{"cd \"My Documents\\\"My", "cd \"My Documents\\My Music\\\"", ""},
        CompletionCase{"ls My Documents\\i", "ls My Documents\\i", ""},  // two words: no match
        CompletionCase{"ls 'My Documents\\i", "ls \"My Documents\\it's \"'\"'\"q\"'\"'\".txt\" ",
                       ""},
        CompletionCase{"cd a\\", "cd a\\b\\", ""}, CompletionCase{"cd a\\b\\", "cd a\\b\\", ""},
        CompletionCase{"cd ", "cd ", "My Documents\\ a\\"},
        CompletionCase{"ls; put loc", "ls; put \"local file.txt\" ", ""},
        CompletionCase{"lcd l", "lcd lfolder/", ""}, CompletionCase{"pwd x", "pwd x", ""},
        CompletionCase{"get \\a\\x", "get \\a\\x.txt ", ""},
        // By characters, without regard to case, and "/" as a device separator.
        CompletionCase{"get a\\b\\r", "get a\\b\\R\xC3\xA9sum\xC3\xA9.txt ", ""},
        CompletionCase{"get a\\b\\\xC3\x88",
                       "get a\\b\\\xC3\xA8"
                       "2.txt ",
                       ""},
        CompletionCase{"ls a\\b\\", "ls a\\b\\",
                       "R\xC3\xA9sum\xC3\xA9.txt x;y.txt \xC3\xA8"
                       "2.txt \xC3\xA9"
                       "1.txt"},
        CompletionCase{"get /a/b/R", "get /a/b/R\xC3\xA9sum\xC3\xA9.txt ", ""},
        // ";" separates commands: a name that holds one goes in quotes.
        CompletionCase{"get a\\b\\x", "get \"a\\b\\x;y.txt\" ", ""},
        CompletionCase{"cd /a/", "cd /a/b/", ""},
        CompletionCase{"cd /", "cd /", "My Documents\\ a\\"}));

}  // namespace
}  // namespace merlo
