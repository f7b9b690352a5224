// merlo, the module and the emulated device together: merlo runs as its own
// process against a device folder made for each test, with commands on its
// command line or a script on its standard input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// A file in the build folder. Under Wine the build folder's Unix path is
// reached through drive Z:.
fs::path Built(const std::string& name) {
  std::string folder = MERLO_BUILD_DIR;
#if defined(_WIN32)
  if (!folder.empty() && folder[0] == '/') folder = "Z:" + folder;
#endif
  return fs::path(folder) / name;
}

#if defined(_WIN32)
const char* const kMerlo = "merlo.exe";
#else
const char* const kMerlo = "merlo";
#endif

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& contents) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << contents;
}

std::string Quoted(const std::string& word) {
#if defined(_WIN32)
  return "\"" + word + "\"";
#else
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
#endif
}

void SetFaults(const std::string& faults) {
#if defined(_WIN32)
  _putenv(("MERLO_DEVICE_FAULTS=" + faults).c_str());
#else
  if (faults.empty()) {
    unsetenv("MERLO_DEVICE_FAULTS");
  } else {
    setenv("MERLO_DEVICE_FAULTS", faults.c_str(), 1);
  }
#endif
}

// The module's text for a message id, from the language file merlo serves.
std::string ModuleText(int id) {
  std::ifstream in(Built("MERLOEng.lng"));
  std::string line;
  std::getline(in, line);
  for (int i = 0; i <= id && std::getline(in, line);) {
    const size_t open = line.find('"'), close = line.rfind('"');
    if (open == std::string::npos || close == open) continue;
    if (i++ == id) return line.substr(open + 1, close - open - 1);
  }
  return "";
}

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
#if defined(_WIN32)
    const int pid = _getpid();
#else
    const int pid = getpid();
#endif
    scratch_ =
        fs::temp_directory_path() / ("merlo_shell_" + std::to_string(pid) + "_" + test->name());
    fs::remove_all(scratch_);
    device_ = scratch_ / "device";
    pc_ = scratch_ / "pc";
    fs::create_directories(pc_);
    WriteFile(device_ / "a.txt", "alpha");
    WriteFile(device_ / "b.bin", std::string(3000, '\x7f'));
    WriteFile(device_ / "docs" / "inner.txt", "inside docs");
    fs::create_directories(device_ / "backup");
    SetFaults("");
  }

  void TearDown() override {
    SetFaults("");
    if (!HasFailure()) fs::remove_all(scratch_);
  }

  // Runs merlo with the given words after --device, the input on its
  // standard input.
  Outcome Run(const std::vector<std::string>& words, const std::string& input = "") {
    WriteFile(scratch_ / "in.txt", input);
    std::string command;
#if !defined(_WIN32)
    command = "timeout 60 ";
#endif
    command += Quoted(Built(kMerlo).string());
    for (const auto& word : words) command += " " + Quoted(word);
    command += " <" + Quoted((scratch_ / "in.txt").string()) + " >" +
               Quoted((scratch_ / "out.txt").string()) + " 2>" +
               Quoted((scratch_ / "err.txt").string());
#if defined(_WIN32)
    // cmd /c drops the first and the last quote of a line that starts with one.
    command = "\"" + command + "\"";
#endif
    Outcome outcome;
    const int status = std::system(command.c_str());
#if defined(_WIN32)
    outcome.status = status;
#else
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
    outcome.out = ReadFile(scratch_ / "out.txt");
    outcome.err = ReadFile(scratch_ / "err.txt");
    return outcome;
  }

  Outcome Command(std::vector<std::string> words) {
    words.insert(words.begin(), {"--device", device_.string()});
    return Run(words);
  }

  Outcome Script(const std::string& script) { return Run({"--device", device_.string()}, script); }

  fs::path scratch_, device_, pc_;
};

#define EXPECT_CONTAINS(text, part) \
  EXPECT_NE((text).find(part), std::string::npos) << "no \"" << (part) << "\" in:\n" << (text)

TEST_F(ShellTest, OneCommandListsTheDeviceRoot) {
  const Outcome ls = Command({"ls"});
  EXPECT_EQ(ls.status, 0) << ls.err;
  EXPECT_CONTAINS(ls.out, "a.txt");
  EXPECT_CONTAINS(ls.out, "3000  b.bin");
  EXPECT_CONTAINS(ls.out, "<DIR>  docs");
  EXPECT_EQ(ls.out.find(".."), std::string::npos);  // no parent entry at the root
  EXPECT_TRUE(ls.err.empty()) << ls.err;
}

TEST_F(ShellTest, ExitStatusTellsFailures) {
  EXPECT_EQ(Command({"pwd"}).status, 0);
  const Outcome unknown = Command({"frobnicate"});
  EXPECT_NE(unknown.status, 0);
  EXPECT_CONTAINS(unknown.err, "frobnicate");
  EXPECT_NE(Command({"cd", "a.txt"}).status, 0);  // a file, not a folder
  EXPECT_NE(Command({"get", "missing.txt"}).status, 0);
  EXPECT_EQ(Run({"--device", (scratch_ / "nowhere").string(), "ls"}).status, 2);
  EXPECT_EQ(Run({"ls"}).status, 2);  // --device is required
}

TEST_F(ShellTest, ALibraryWithoutTheEntryPointsIsRefused) {
#if defined(_WIN32)
  const fs::path library = Built("rapi.dll");
#else
  const fs::path library = Built("librapi.so");
#endif
  const Outcome outcome = Run({"--device", device_.string(), "--module", library.string(), "ls"});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_CONTAINS(outcome.err, "SetStartupInfo");
  EXPECT_CONTAINS(outcome.err, "ExitFAR");
}

TEST_F(ShellTest, RefusedStartShowsTheBoxAndExits) {
  SetFaults("refuse-init");
  const Outcome outcome = Command({"ls"});
  EXPECT_NE(outcome.status, 0);
  EXPECT_CONTAINS(outcome.err, ModuleText(7));
  EXPECT_CONTAINS(outcome.err, "[ " + ModuleText(6) + " ]");
  EXPECT_CONTAINS(outcome.err, "no connection");
  EXPECT_EQ(outcome.out.find("a.txt"), std::string::npos);
}

TEST_F(ShellTest, FailedConnectionShowsTheBoxAndExits) {
  SetFaults("connect-error");
  const Outcome outcome = Script("ls\n");
  EXPECT_NE(outcome.status, 0);
  EXPECT_CONTAINS(outcome.err, ModuleText(8));
}

TEST_F(ShellTest, ScriptedNavigation) {
  const Outcome outcome = Script(
      "cd docs\n"
      "ls\n"
      "pwd\n"
      "cd ..\n"
      "pwd\n"
      "cd \\docs\n"
      "cd \\\n"
      "pwd\n"
      "exit\n"
      "ls\n");  // not run: the session has ended
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_CONTAINS(outcome.out, "inner.txt");
  EXPECT_CONTAINS(outcome.out, "<DIR>  ..");
  EXPECT_CONTAINS(outcome.out, "\\docs\n\\\n\\\n");
  EXPECT_EQ(outcome.out.find("b.bin"), std::string::npos);
}

TEST_F(ShellTest, GetCopiesToAPcFolder) {
  const Outcome outcome = Command({"get", "a.txt", "b.bin", pc_.string()});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_CONTAINS(outcome.out, "copied 2 of 2 files");
  EXPECT_EQ(ReadFile(pc_ / "a.txt"), "alpha");
  EXPECT_EQ(ReadFile(pc_ / "b.bin"), std::string(3000, '\x7f'));
  EXPECT_TRUE(fs::exists(device_ / "a.txt"));
}

TEST_F(ShellTest, GetWithWildcardsSkipsFoldersAndMoves) {
  const Outcome outcome = Script("lcd " + pc_.string() + "\nget -m *\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_CONTAINS(outcome.out, "moved 2 of 2 files, skipped 2 folders");
  EXPECT_EQ(ReadFile(pc_ / "a.txt"), "alpha");
  EXPECT_FALSE(fs::exists(device_ / "a.txt"));
  EXPECT_FALSE(fs::exists(device_ / "b.bin"));
  EXPECT_TRUE(fs::exists(device_ / "docs" / "inner.txt"));
}

TEST_F(ShellTest, PutCopiesPcFilesIntoTheDeviceFolder) {
  WriteFile(pc_ / "one" / "new.txt", "fresh");
  WriteFile(pc_ / "two" / "other.txt", "more");
  const Outcome outcome = Script("cd docs\nput " + (pc_ / "one" / "new.txt").string() + " " +
                                 (pc_ / "two" / "other.txt").string() + "\nlpwd\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_CONTAINS(outcome.out, "copied 2 of 2 files");
  EXPECT_EQ(ReadFile(device_ / "docs" / "new.txt"), "fresh");
  EXPECT_EQ(ReadFile(device_ / "docs" / "other.txt"), "more");
  EXPECT_TRUE(fs::exists(pc_ / "one" / "new.txt"));
  // merlo's own folder is back where it was.
  EXPECT_EQ(outcome.out.find((pc_ / "one").string()), std::string::npos);
}

TEST_F(ShellTest, PutMoveRemovesThePcFile) {
  WriteFile(pc_ / "gone.txt", "bye");
  const Outcome outcome = Command({"put", "-m", (pc_ / "gone.txt").string()});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_CONTAINS(outcome.out, "moved 1 of 1 file");
  EXPECT_EQ(ReadFile(device_ / "gone.txt"), "bye");
  EXPECT_FALSE(fs::exists(pc_ / "gone.txt"));
}

TEST_F(ShellTest, RmDeletesOnTheDevice) {
  const Outcome outcome = Script("rm a.txt\nls\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_CONTAINS(outcome.out, "deleted 1 of 1 file");
  EXPECT_FALSE(fs::exists(device_ / "a.txt"));
  EXPECT_TRUE(fs::exists(device_ / "b.bin"));
}

TEST_F(ShellTest, RefusedDeleteShowsTheBox) {
  SetFaults("refuse-delete=b.bin");
  const Outcome outcome = Command({"rm", "a.txt", "b.bin"});
  EXPECT_NE(outcome.status, 0);
  EXPECT_CONTAINS(outcome.out, "deleted 1 of 2 files");
  EXPECT_CONTAINS(outcome.err, "\\b.bin");
  EXPECT_TRUE(fs::exists(device_ / "b.bin"));
}

TEST_F(ShellTest, CpAndMvWorkWithinTheDevice) {
  const Outcome outcome = Script("cp a.txt backup\ncd docs\nmv inner.txt \\backup\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_CONTAINS(outcome.out, "copied 1 of 1 file");
  EXPECT_CONTAINS(outcome.out, "moved 1 of 1 file");
  EXPECT_EQ(ReadFile(device_ / "backup" / "a.txt"), "alpha");
  EXPECT_TRUE(fs::exists(device_ / "a.txt"));
  EXPECT_EQ(ReadFile(device_ / "backup" / "inner.txt"), "inside docs");
  EXPECT_FALSE(fs::exists(device_ / "docs" / "inner.txt"));
}

TEST_F(ShellTest, FailedCopyShowsTheBoxWithTheSourcePath) {
  SetFaults("fail=CeCreateFile:2");
  const Outcome outcome = Command({"get", "a.txt", "b.bin", pc_.string()});
  EXPECT_NE(outcome.status, 0);
  EXPECT_CONTAINS(outcome.out, "copied 1 of 2 files");
  EXPECT_CONTAINS(outcome.err, "\\b.bin");
  EXPECT_FALSE(fs::exists(pc_ / "b.bin"));
}

#if !defined(_WIN32)
TEST_F(ShellTest, Latin1NamesArriveWhole) {
  WriteFile(device_ / "R\xC3\xA9sum\xC3\xA9.txt", "cv");
  const Outcome outcome = Script("ls\nget R\xC3\xA9sum\xC3\xA9.txt " + pc_.string() + "\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_CONTAINS(outcome.out, "R\xC3\xA9sum\xC3\xA9.txt");
  EXPECT_EQ(ReadFile(pc_ / "R\xC3\xA9sum\xC3\xA9.txt"), "cv");
}
#endif

TEST_F(ShellTest, InfoAndMenuShowWhatTheModuleTells) {
  const Outcome info = Command({"info"});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_CONTAINS(info.out, "size:            68");
  EXPECT_CONTAINS(info.out, "flags:           0x27");
  const Outcome menu =
      Run({"--device", device_.string(), "--registry", (scratch_ / "none.reg").string(), "menu"});
  EXPECT_EQ(menu.status, 0) << menu.err;
  EXPECT_CONTAINS(menu.out, "\"" + ModuleText(3) + "\"");
  EXPECT_CONTAINS(menu.out, "\"" + ModuleText(4) + "\", number 9");
}

// Operation error boxes on merlo's stderr, told by the module's own message texts.
size_t OperationBoxes(const std::string& err) {
  size_t count = 0;
  for (const int id : {10, 11}) {
    const std::string text = ModuleText(id);
    const std::string lead = text.substr(0, text.find("%s"));
    for (size_t at = err.find(lead); at != std::string::npos; at = err.find(lead, at + 1)) ++count;
  }
  return count;
}

TEST_F(ShellTest, OnlyAFailedCloseOfTheWrittenFileFailsAMove) {
  WriteFile(pc_ / "p.bin", std::string(3000, 'p'));
  SetFaults("fail=CeCloseHandle:1");
  const Outcome put = Command({"put", "-m", (pc_ / "p.bin").string()});
  EXPECT_NE(put.status, 0);
  EXPECT_EQ(OperationBoxes(put.err), 1u) << put.err;
  EXPECT_EQ(ReadFile(pc_ / "p.bin"), std::string(3000, 'p'));
  // A download closes the device file that it only read: that close does not count.
  const Outcome get = Command({"get", "-m", "b.bin", pc_.string()});
  EXPECT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(ReadFile(pc_ / "b.bin"), std::string(3000, '\x7f'));
  EXPECT_FALSE(fs::exists(device_ / "b.bin"));
}

TEST_F(ShellTest, AFileOfTheDeviceFolderIsNotCopiedOntoItself) {
  // The PC folder is the one the device presents: both ends are one file.
  const Outcome get = Command({"get", "b.bin", device_.string()});
  EXPECT_NE(get.status, 0);
  EXPECT_EQ(OperationBoxes(get.err), 1u) << get.err;
  EXPECT_EQ(ReadFile(device_ / "b.bin"), std::string(3000, '\x7f'));
  const Outcome put = Command({"put", "-m", (device_ / "b.bin").string()});
  EXPECT_NE(put.status, 0);
  EXPECT_EQ(OperationBoxes(put.err), 1u) << put.err;
  EXPECT_EQ(ReadFile(device_ / "b.bin"), std::string(3000, '\x7f'));
}

TEST_F(ShellTest, TheParentEntryIsNeitherSelectedNorCounted) {
  EXPECT_NE(Script("cd docs\nrm ..\n").status, 0);
  EXPECT_NE(Script("cd docs\nget .. " + pc_.string() + "\n").status, 0);
  EXPECT_TRUE(fs::exists(device_ / "docs" / "inner.txt"));
  EXPECT_TRUE(fs::is_empty(pc_));
  const Outcome ls = Script("cd backup\nls\ncd \\docs\nls\n");
  EXPECT_EQ(ls.status, 0) << ls.err;
  EXPECT_CONTAINS(ls.out, "0 folders, 0 files, 0 bytes");
  EXPECT_CONTAINS(ls.out, "0 folders, 1 file, 11 bytes");
}

}  // namespace
