// merlo, the module and the emulated device together: merlo runs as its own
// process against a device folder made for each test, with commands on its
// command line or a script on its standard input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "shell/platform.h"

#if defined(_WIN32)
#include <process.h>

#include "platform/win32/windows_api.h"
#else
#include <poll.h>
#include <pty.h>
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

#if defined(_WIN32)
// merlo.exe writes as a Windows console program does: its standard output and
// error are in text mode, so every line ends in CR LF. Each run is held to
// that, and the text is handed to the checks with plain LF line ends.
std::string FromCrLfLines(const std::string& text) {
  std::string lines;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      const bool crlf = i > 0 && text[i - 1] == '\r';
      EXPECT_TRUE(crlf) << "a line end without CR at byte " << i << " of:\n" << text;
      if (crlf) lines.pop_back();
    }
    lines += text[i];
  }
  return lines;
}
#endif

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

  // Runs merlo (or another program of the build) with the given words, the
  // input on its standard input.
  Outcome Run(const std::vector<std::string>& words, const std::string& input = "",
              const char* program = kMerlo) {
    WriteFile(scratch_ / "in.txt", input);
    std::string command;
#if !defined(_WIN32)
    command = "timeout 60 ";
#endif
    command += Quoted(Built(program).string());
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
#if defined(_WIN32)
    outcome.out = FromCrLfLines(outcome.out);
    outcome.err = FromCrLfLines(outcome.err);
#endif
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

// 0 all done, 1 a command failed or did not do all it was asked, 2 usage or
// setup, 3 no connection.
TEST_F(ShellTest, ExitStatusTellsWhatHappened) {
  WriteFile(scratch_ / "script.txt", "pwd\n");
  const struct {
    std::vector<std::string> Words;
    int Status;
    const char* Said;
  } cases[] = {
      {{"pwd"}, 0, ""},
      {{"frobnicate"}, 1, "frobnicate"},
      {{"cd", "a.txt"}, 1, "is a file"},
      {{"get", "missing.txt"}, 1, "missing.txt"},
      {{"get", "docs", pc_.string()}, 1, "skipped the folder docs"},
      {{"ls", "-x"}, 1, "unknown option -x"},
      {{"ls", "nosuch*"}, 1, "no match"},
      {{"-b", (scratch_ / "script.txt").string(), "ls"}, 2, "-b"},
      {{"-b", (scratch_ / "none.txt").string()}, 2, "cannot read"},
      {{"--bogus"}, 2, "--bogus"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Command(c.Words);
    EXPECT_EQ(outcome.status, c.Status) << c.Words[0] << "\n" << outcome.err;
    EXPECT_CONTAINS(outcome.err, c.Said);
  }
  EXPECT_EQ(Run({"--device", (scratch_ / "nowhere").string(), "ls"}).status, 2);
#if !defined(_WIN32)
  EXPECT_EQ(Run({"ls"}).status, 2);  // no device but the emulated one here
#endif
  SetFaults("refuse-init");
  EXPECT_EQ(Command({"ls"}).status, 3);
}

// Help, the version and the manual's commands need no device.
TEST_F(ShellTest, HelpAndVersionNeedNoDevice) {
  const Outcome version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_CONTAINS(version.out, "merlo ");
  const Outcome help = Run({"help"});
  EXPECT_EQ(help.status, 0);
  for (const char* command : {"ls", "cd", "get", "put", "cp", "mv", "rm", "lcd", "lls", "exit"}) {
    EXPECT_CONTAINS(help.out, std::string("\n  ") + command);
  }
  // Each usage stands apart from its summary: two blanks at least, or the
  // summary on the next line, in the column.
  std::istringstream lines(help.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < 3 || line.compare(0, 2, "  ") != 0 || !std::islower(line[2])) continue;
    if (line.find("  ", 2) != std::string::npos) continue;
    std::string summary;
    std::getline(lines, summary);
    EXPECT_EQ(summary.find_first_not_of(' '), 34u) << line << '\n' << summary;
  }
  const Outcome get = Run({"help", "get"});
  EXPECT_EQ(get.status, 0);
  EXPECT_CONTAINS(get.out, "-r copies");
  EXPECT_EQ(Run({"help", "nosuch"}).status, 1);

  // "/?" is --help, as Windows' tools take it; the usage names the commands,
  // and only the options that apply here are shown.
  const Outcome usage = Run({"--help"});
  EXPECT_EQ(usage.status, 0) << usage.err;
  EXPECT_EQ(Run({"/?"}).out, usage.out);
  EXPECT_EQ(Run({"--device", device_.string(), "/?"}).out, usage.out);
  EXPECT_CONTAINS(usage.out, "[COMMAND [ARGUMENTS...]]\nCOMMAND is one of:\n   ls, cd, ");
  EXPECT_CONTAINS(usage.out, "--device DIR");
#if defined(_WIN32)
  EXPECT_EQ(usage.out.find("--registry"), std::string::npos) << usage.out;
  EXPECT_CONTAINS(usage.out, "the device connected to this PC");
#else
  EXPECT_CONTAINS(usage.out, "--registry FILE");
#endif
}

#if !defined(_WIN32)
// Output that could not be written is a failure: status 2 and a word on
// standard error, also when the command itself succeeded.
TEST_F(ShellTest, AFailedWriteToStandardOutputEndsWithStatus2) {
  for (const char* words : {"ls", "help", "--help"}) {
    const std::string command = "timeout 60 " + Quoted(Built(kMerlo).string()) + " --device " +
                                Quoted(device_.string()) + " " + words + " >/dev/full 2>" +
                                Quoted((scratch_ / "err.txt").string());
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << words;
    EXPECT_EQ(WEXITSTATUS(status), 2) << words;
    EXPECT_CONTAINS(ReadFile(scratch_ / "err.txt"), "could not write to standard output");
  }
}
#endif

// A script stops at the first command that fails, however it is given; a
// line that starts with "-" may fail.
TEST_F(ShellTest, ScriptsStopAtTheFirstFailure) {
  const std::string script = "# tidy up\n\ncd Nope\nrm a.txt\n";
  WriteFile(scratch_ / "script.txt", script);
  const std::vector<Outcome> stopped = {
      Script(script),
      Command({"-b", (scratch_ / "script.txt").string()}),
      Run({"--device", device_.string(), "-b", "-"}, script),
      Command({"cd Nope; rm a.txt"}),
      Command({"cd", "Nope;", "rm", "a.txt"}),
  };
  for (const auto& outcome : stopped) {
    EXPECT_EQ(outcome.status, 1) << outcome.out << outcome.err;
    EXPECT_CONTAINS(outcome.err, "Nope: no such folder");
    EXPECT_TRUE(fs::exists(device_ / "a.txt"));
  }
  EXPECT_CONTAINS(stopped[1].out, "merlo \\> cd Nope");  // -b shows each command
  EXPECT_EQ(stopped[1].out.find("rm a.txt"), std::string::npos);
  // A script says where it stopped and what it did not run.
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_CONTAINS(stopped[i].err,
                    "merlo: script stopped at line 3 (cd Nope), which failed; line 4 was not run");
  }

  // Also as Notepad saves a script: a byte order mark first, CR LF line ends.
  for (const std::string script :
       {"-cd Nope\nrm a.txt\n", "\xEF\xBB\xBF-cd Nope\r\nrm a.txt\r\n"}) {
    WriteFile(device_ / "a.txt", "a");
    const Outcome goesOn = Script(script);
    EXPECT_EQ(goesOn.status, 0) << goesOn.err;
    EXPECT_FALSE(fs::exists(device_ / "a.txt"));
  }
}

#if defined(_WIN32)
// A name of a device folder in the system's ANSI code page (not the process's), as
// an editor there saves it; empty when none of these names fits it.
std::string InSystemCodePage(const std::string& utf8Candidates, std::string* chosen) {
  wchar_t number[8] = {};
  GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, number, 8);
  const UINT codePage = static_cast<UINT>(std::wcstoul(number, nullptr, 10));
  std::istringstream names(utf8Candidates);
  for (std::string name; std::getline(names, name, '|');) {
    wchar_t wide[64];
    const int units = MultiByteToWideChar(CP_UTF8, 0, name.data(), int(name.size()), wide, 64);
    char bytes[128];
    BOOL lost = FALSE;
    const int length =
        WideCharToMultiByte(codePage, 0, wide, units, bytes, sizeof bytes, nullptr, &lost);
    if (length > 0 && !lost) {
      *chosen = name;
      return std::string(bytes, size_t(length));
    }
  }
  return "";
}
#endif

// Scripts as editors save them: UTF-16 with its byte order mark (Notepad's
// "Unicode", either byte order) is read; text that is no UTF-8 is read in the
// system's ANSI code page on Windows, which is said, and refused elsewhere
// before its first line runs, naming the line and its bytes.
TEST_F(ShellTest, ScriptsAsEditorsSaveThem) {
  const fs::path folder = device_ / fs::u8path("Отчёт");
  const std::u16string text =
      u"cd \"Отчёт\"\r\nget 表示.txt " + pc_.u16string() + u"\r\nrm 表示.txt\r\n";
  for (const bool little : {true, false}) {
    std::string bytes = little ? "\xFF\xFE" : "\xFE\xFF";
    for (const char16_t unit : text) {
      const char low = char(unit & 0xFF), high = char(unit >> 8);
      bytes += little ? std::string{low, high} : std::string{high, low};
    }
    WriteFile(scratch_ / "unicode.txt", bytes);
    WriteFile(folder / fs::u8path("表示.txt"), "report");
    fs::remove(pc_ / fs::u8path("表示.txt"));
    const Outcome outcome = Command({"-b", (scratch_ / "unicode.txt").string()});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ReadFile(pc_ / fs::u8path("表示.txt")), "report");
    EXPECT_FALSE(fs::exists(folder / fs::u8path("表示.txt")));
  }

  // A UTF-8 byte order mark declares UTF-8: a name that is no UTF-8 is
  // refused by name when its line runs, never read in another encoding.
  const Outcome declared = Script("\xEF\xBB\xBF-rm caf\xE9.txt\npwd\n");
  EXPECT_EQ(declared.status, 0) << declared.err;
  EXPECT_CONTAINS(declared.err, "caf\\xE9.txt: it is not valid UTF-8");
  EXPECT_CONTAINS(declared.out, "\\\n");

#if defined(_WIN32)
  std::string name;
  const std::string inCodePage = InSystemCodePage("Отчёт|表示|Données|Ελληνικά", &name);
  ASSERT_FALSE(inCodePage.empty());
  const std::string script = "pwd\ncd \"" + inCodePage + "\"\nrm inside.txt\n";
  WriteFile(scratch_ / "ansi.txt", script);
  for (const bool fromFile : {false, true}) {
    WriteFile(device_ / fs::u8path(name) / "inside.txt", "in");
    const Outcome outcome =
        fromFile ? Command({"-b", (scratch_ / "ansi.txt").string()}) : Script(script);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_CONTAINS(outcome.err, "is not UTF-8: read in code page ");
    EXPECT_CONTAINS(outcome.out, "cd \"" + name + "\"");
    EXPECT_FALSE(fs::exists(device_ / fs::u8path(name) / "inside.txt"));
  }
#else
  // "Отчёт" in code page 1251, on the second line.
  const std::string script = "pwd\ncd \"\xCE\xF2\xF7\xB8\xF2\"\nrm a.txt\n";
  WriteFile(scratch_ / "ansi.txt", script);
  for (const bool fromFile : {false, true}) {
    const Outcome outcome =
        fromFile ? Command({"-b", (scratch_ / "ansi.txt").string()}) : Script(script);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_CONTAINS(outcome.err, "line 2 is not valid UTF-8: cd \"\\xCE\\xF2\\xF7\\xB8\\xF2\"");
    EXPECT_CONTAINS(outcome.err, "nothing was run");
    EXPECT_EQ(outcome.out.find("merlo \\> pwd"), std::string::npos) << outcome.out;
    EXPECT_TRUE(fs::exists(device_ / "a.txt"));
  }
  // Through a pipe, read line by line as it comes: the lines before run, and
  // the script stops at the line, naming its bytes.
  const std::string piped = "cat " + Quoted((scratch_ / "ansi.txt").string()) + " | " +
                            Quoted(Built(kMerlo).string()) + " --device " +
                            Quoted(device_.string()) + " >/dev/null 2>" +
                            Quoted((scratch_ / "err.txt").string());
  const int status = std::system(piped.c_str());
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
  EXPECT_CONTAINS(ReadFile(scratch_ / "err.txt"),
                  "line 2 is not valid UTF-8: cd \"\\xCE\\xF2\\xF7\\xB8\\xF2\"");
  EXPECT_TRUE(fs::exists(device_ / "a.txt"));
#endif
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
  // Piped commands are echoed after the prompt, as a session shows them.
  EXPECT_CONTAINS(outcome.out, "merlo \\docs> pwd\n\\docs\nmerlo \\docs> cd ..\n");
  EXPECT_CONTAINS(outcome.out, "merlo \\> pwd\n\\\nmerlo \\> exit\n");
  EXPECT_EQ(outcome.out.find("b.bin"), std::string::npos);
}

TEST_F(ShellTest, GetCopiesToAPcFolder) {
  const Outcome outcome = Command({"get", "a.txt", "b.bin", pc_.string()});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_CONTAINS(outcome.out, "copied 2 of 2 files");
  EXPECT_EQ(ReadFile(pc_ / "a.txt"), "alpha");
  EXPECT_EQ(ReadFile(pc_ / "b.bin"), std::string(3000, '\x7f'));
  EXPECT_TRUE(fs::exists(device_ / "a.txt"));

  // Over existing files each old one is set aside and removed after its copy,
  // even where the batch also copies a file of the name it was set aside under.
  WriteFile(device_ / "a.txt.merlo-old", "newer");
  WriteFile(pc_ / "a.txt", "old");
  for (int round = 0; round < 2; ++round) {
    const Outcome again = Command({"get", "a.txt", "a.txt.merlo-old", "b.bin", pc_.string()});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(ReadFile(pc_ / "a.txt"), "alpha");
    EXPECT_EQ(ReadFile(pc_ / "a.txt.merlo-old"), "newer");
    EXPECT_EQ(std::distance(fs::directory_iterator(pc_), fs::directory_iterator()), 3);
  }
}

TEST_F(ShellTest, GetWithWildcardsSkipsFoldersAndMoves) {
  const Outcome outcome = Script("lcd " + pc_.string() + "\nget -m *\n");
  EXPECT_EQ(outcome.status, 1) << outcome.err;  // the folders were not copied
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
                                 (pc_ / "two" / "other.txt").string() + " .\nlpwd\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_CONTAINS(outcome.out, "copied 2 of 2 files");
  EXPECT_EQ(ReadFile(device_ / "docs" / "new.txt"), "fresh");
  EXPECT_EQ(ReadFile(device_ / "docs" / "other.txt"), "more");
  EXPECT_TRUE(fs::exists(pc_ / "one" / "new.txt"));
  // merlo's own folder is back where it was.
  EXPECT_CONTAINS(outcome.out, "\n" + fs::current_path().string() + "\n");
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

// rm deletes in the order ls shows, one line for each entry, and at a
// failure names the entry, the reason and what was not tried.
TEST_F(ShellTest, RmReportsEachEntryInTheOrderLsShows) {
  struct Case {
    const char* Label;
    std::vector<std::string> Words;
    const char* Faults;
    const char* ReadOnly;  // a file made read-only first, or ""
    int Status;
    std::string Out;                // exactly
    std::vector<std::string> Errs;  // each somewhere in standard error
  };
  const std::vector<Case> cases = {
      {"all",
       {"rm", "*.txt"},
       "",
       "",
       0,
       "deleted a.txt\ndeleted b.txt\ndeleted C.txt\ndeleted 3 of 3 files\n",
       {}},
      {"read-only",
       {"rm", "*.txt"},
       "",
       "b.txt",
       1,
       "deleted a.txt\ndeleted 1 of 3 files\n",
       {"rm: cannot delete b.txt: it is read-only\n", "rm: not tried: C.txt\n"}},
      {"refused",
       {"rm", "C.txt", "b.txt", "a.txt"},
       "refuse-delete=b.txt",
       "",
       1,
       "deleted a.txt\ndeleted 1 of 3 files\n",
       {"rm: cannot delete b.txt: access denied (read-only, or in use)\n",
        "rm: not tried: C.txt\n"}},
      {"device error",
       {"rm", "*.txt"},
       "fail=CeDeleteFile:3",
       "",
       1,
       "deleted a.txt\ndeleted b.txt\ndeleted 2 of 3 files\n",
       {"rm: cannot delete C.txt: a general failure on the device\n"}},
      {"tree",
       {"rm", "-r", "t"},
       "",
       "",
       0,
       "deleted t\\inner.txt\ndeleted t\\Z.txt\ndeleted t\\sub\\x.txt\ndeleted 3 of 3 files\n"
       "removed the folder t\\sub\nremoved the folder t\nremoved 2 folders\n",
       {}},
      {"tree, a folder kept",
       {"rm", "-r", "t"},
       "fail=CeRemoveDirectory:1",
       "",
       1,
       "deleted t\\inner.txt\ndeleted t\\Z.txt\ndeleted t\\sub\\x.txt\ndeleted 3 of 3 files\n",
       {"rm: cannot remove \\t\\sub: a general failure on the device\n",
        "rm: removed 0 of 2 folders; left on the device: \\t\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    for (const char* name : {"a.txt", "b.txt", "C.txt"}) WriteFile(device_ / name, name);
    for (const char* name : {"t/Z.txt", "t/inner.txt", "t/sub/x.txt"})
      WriteFile(device_ / name, name);
    if (*c.ReadOnly != '\0') {
      fs::permissions(device_ / c.ReadOnly, fs::perms::owner_write, fs::perm_options::remove);
    }
    SetFaults(c.Faults);
    const Outcome rm = Command(c.Words);
    SetFaults("");
    if (*c.ReadOnly != '\0') {
      fs::permissions(device_ / c.ReadOnly, fs::perms::owner_write, fs::perm_options::add);
    }
    EXPECT_EQ(rm.status, c.Status) << rm.err;
    EXPECT_EQ(rm.out, c.Out);
    for (const auto& err : c.Errs) EXPECT_CONTAINS(rm.err, err);
    fs::remove_all(device_ / "t");
  }
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
  EXPECT_CONTAINS(outcome.err, "nothing was left at " + (pc_ / "b.bin").string());
  EXPECT_FALSE(fs::exists(pc_ / "b.bin"));
}

// After the module's box merlo says why, where it can tell, and what is at
// the destination now; a read-only PC file is not copied over at all.
TEST_F(ShellTest, AFailedCopySaysWhy) {
  const auto readOnly = [](const fs::path& file) {
    fs::permissions(file, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  };
  WriteFile(pc_ / "a.txt", "old");
  readOnly(pc_ / "a.txt");
  fs::create_directories(pc_ / "b.bin");
  WriteFile(device_ / "ro.txt", "device");
  readOnly(device_ / "ro.txt");
  WriteFile(pc_ / "ro.txt", "new");
  WriteFile(pc_ / "docs", "new");
  const struct {
    std::vector<std::string> Words;
    std::vector<std::string> Said;
  } cases[] = {
      {{"get", "a.txt", pc_.string()},
       {(pc_ / "a.txt").string() + " is read-only; a.txt was not copied"}},
      {{"get", "b.bin", pc_.string()},
       {"a folder is in the way at " + (pc_ / "b.bin").string(),
        (pc_ / "b.bin").string() + " is a folder, as it was"}},
      {{"put", (pc_ / "ro.txt").string()},
       {"the device's last error: access denied", "\\ro.txt is as it was"}},
      {{"put", (pc_ / "docs").string()}, {"a folder is in the way at \\docs"}},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Command(c.Words);
    EXPECT_EQ(outcome.status, 1) << c.Words[1];
    for (const auto& said : c.Said) EXPECT_CONTAINS(outcome.err, said);
    EXPECT_EQ(outcome.err.find("nothing was left"), std::string::npos) << outcome.err;
#if !defined(_WIN32)
    // The module's Z:\ form of a PC path is shown as the user knows it.
    EXPECT_EQ(outcome.err.find("Z:\\"), std::string::npos) << outcome.err;
    if (c.Words[0] == "put") {
      EXPECT_CONTAINS(outcome.err, "| Could not copy " + c.Words[1]);
    }
#endif
  }
  EXPECT_EQ(ReadFile(pc_ / "a.txt"), "old");
  EXPECT_EQ(ReadFile(device_ / "ro.txt"), "device");
  // Windows removes no read-only file.
  for (const fs::path& file : {pc_ / "a.txt", device_ / "ro.txt"}) {
    fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
  }
}

#if !defined(_WIN32)
// Names in every language, as UTF-8 on both sides: listed, entered, left, and
// copied both ways with their bytes and their exact names.
struct LanguageCase {
  const char* Label;
  const char* Folder;
  const char* File;    // on the device, fetched with get
  const char* PcFile;  // on the PC, sent with put
};

void PrintTo(const LanguageCase& c, std::ostream* out) { *out << c.Label; }

class ShellLanguageTest : public ShellTest, public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(ShellLanguageTest, NamesTravelWholeBothWays) {
  const LanguageCase& c = GetParam();
  const std::string bytes = std::string("contents \x00\xFF ", 12) + c.File;
  WriteFile(device_ / c.Folder / c.File, bytes);
  WriteFile(pc_ / c.PcFile, bytes + "from the PC");
  const Outcome outcome =
      Script(std::string("ls\ncd \"") + c.Folder + "\"\nls\nget \"" + c.File + "\" " +
             pc_.string() + "\nput \"" + (pc_ / c.PcFile).string() + "\"\ncd ..\npwd\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_CONTAINS(outcome.out, std::string("<DIR>  ") + c.Folder + "\n");
  EXPECT_CONTAINS(outcome.out, std::to_string(bytes.size()) + "  " + c.File + "\n");
  EXPECT_CONTAINS(outcome.out, "\n\\\n");  // back at the root
  EXPECT_EQ(ReadFile(pc_ / c.File), bytes);
  EXPECT_EQ(ReadFile(device_ / c.Folder / c.PcFile), bytes + "from the PC");
  EXPECT_EQ(outcome.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Names, ShellLanguageTest,
    ::testing::Values(LanguageCase{"Latin1", "Données", "Résumé.txt", "Café crème.txt"},
                      LanguageCase{"Cyrillic", "Мои документы", "Отчёт.txt", "Отчёт за год.txt"},
                      LanguageCase{"Japanese", "表示", "表示.txt", "日本語.txt"},
                      // Outside the BMP: a surrogate pair on the device.
                      LanguageCase{"Emoji", "Фото 📷", "😀.txt", "🎉 party.txt"}),
    [](const ::testing::TestParamInfo<LanguageCase>& info) { return info.param.Label; });

// The device tells no case apart, in any script: typed names find the entries
// that differ only in case, and a file put beside another case of its name
// overwrites that file, which keeps its name.
TEST_F(ShellTest, DeviceNamesMatchWithoutRegardToCase) {
  WriteFile(device_ / "Мои документы" / "Отчёт.txt", "report");
  WriteFile(device_ / "Мои документы" / "Σοφία.txt", "wisdom");
  WriteFile(device_ / "Readme.TXT", "old");
  WriteFile(pc_ / "readme.txt", "new");
  const Outcome outcome = Script("get \"мои документы\\ОТЧЁТ.TXT\" " + pc_.string() +
                                 "\nls \"МОИ ДОКУМЕНТЫ\\σο*\"\ncd \"мОИ ДОКУМЕНТЫ\"\npwd\ncd \\\n"
                                 "put " +
                                 (pc_ / "readme.txt").string() + "\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(ReadFile(pc_ / "Отчёт.txt"), "report");  // named as the device names it
  EXPECT_CONTAINS(outcome.out, "  Σοφία.txt\n");
  EXPECT_CONTAINS(outcome.out, "\\Мои документы\n");
  EXPECT_EQ(ReadFile(device_ / "Readme.TXT"), "new");
  EXPECT_FALSE(fs::exists(device_ / "readme.txt"));
}

// A PC name that is no UTF-8 never reaches a file: it is refused by name
// before anything is done, whoever names it.
TEST_F(ShellTest, NamesThatAreNoUtf8AreRefusedBeforeAnythingIsDone) {
  WriteFile(pc_ / "caf\xE9.txt", "Latin-1 name");
  WriteFile(pc_ / "café.txt", "UTF-8 name");
  WriteFile(device_ / "café.txt", "on the device");
  fs::create_directories(pc_ / "dossier\xE9");
  for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
           {"put", "-m", (pc_ / "caf\xE9.txt").string()},
           {"put", "-m", (pc_ / "caf*").string()},
           {"get", "-m", "café.txt", (pc_ / "dossier\xE9").string()},
           {"get", "-m", "caf\xE9.txt", pc_.string()},
           {"rm", "caf\xE9.txt"},
           {"cd", "caf\xE9"}}) {
    const Outcome outcome = Command(words);
    EXPECT_EQ(outcome.status, 1) << words[0] << " " << words.back() << "\n" << outcome.err;
    EXPECT_CONTAINS(outcome.err, "\\xE9");
    EXPECT_CONTAINS(outcome.err, "UTF-8");
    EXPECT_EQ(outcome.out.find("of 1 file"), std::string::npos) << outcome.out;
  }
  EXPECT_EQ(ReadFile(pc_ / "caf\xE9.txt"), "Latin-1 name");
  EXPECT_EQ(ReadFile(pc_ / "café.txt"), "UTF-8 name");
  EXPECT_EQ(ReadFile(device_ / "café.txt"), "on the device");
  EXPECT_TRUE(fs::is_empty(pc_ / "dossier\xE9"));
  // lls shows such a name as the messages name it.
  const Outcome lls = Command({"lls", pc_.string()});
  EXPECT_EQ(lls.status, 0) << lls.err;
  EXPECT_CONTAINS(lls.out, "  caf\\xE9.txt\n");
}
#endif

// Two sources that would land on one destination name: nothing is copied,
// both are named, and the command fails.
TEST_F(ShellTest, TwoSourcesForOneDestinationCopyNothing) {
  WriteFile(device_ / "a" / "x.txt", "a's");
  WriteFile(device_ / "b" / "x.txt", "b's");
  WriteFile(device_ / "c" / "X.TXT", "c's");
  WriteFile(device_ / "a" / "sub" / "y.txt", "a's y");
  WriteFile(device_ / "b" / "sub" / "y.txt", "b's y");
  WriteFile(pc_ / "one" / "x.txt", "one's");
  WriteFile(pc_ / "two" / "x.txt", "two's");
  const fs::path out = scratch_ / "out";
  fs::create_directories(out);
  const struct {
    std::vector<std::string> Words;
    std::string First, Second;
  } cases[] = {
      {{"get", "-m", "a\\x.txt", "b\\x.txt", out.string()}, "a\\x.txt", "b\\x.txt"},
      {{"get", "-r", "-m", "a\\sub", "b\\sub", out.string()}, "a\\sub\\y.txt", "b\\sub\\y.txt"},
      {{"put", "-m", (pc_ / "one" / "x.txt").string(), (pc_ / "two" / "x.txt").string(), "."},
       (pc_ / "one" / "x.txt").string(),
       (pc_ / "two" / "x.txt").string()},
      // One name on the device.
      {{"mv", "a\\x.txt", "c\\X.TXT", "backup"}, "a\\x.txt", "c\\X.TXT"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Command(c.Words);
    EXPECT_EQ(outcome.status, 1) << c.Words[0] << "\n" << outcome.err;
    EXPECT_CONTAINS(outcome.err, c.First + " and " + c.Second + " would both land on");
    EXPECT_EQ(outcome.out, "");
  }
  EXPECT_TRUE(fs::is_empty(out));
  EXPECT_TRUE(fs::is_empty(device_ / "backup"));
  EXPECT_EQ(ReadFile(device_ / "a" / "x.txt"), "a's");
  EXPECT_EQ(ReadFile(device_ / "b" / "x.txt"), "b's");
  EXPECT_EQ(ReadFile(device_ / "c" / "X.TXT"), "c's");
  EXPECT_EQ(ReadFile(device_ / "b" / "sub" / "y.txt"), "b's y");
  EXPECT_EQ(ReadFile(pc_ / "one" / "x.txt"), "one's");
  EXPECT_FALSE(fs::exists(device_ / "x.txt"));
#if !defined(_WIN32)
  // Names that differ in case are two names on a Linux PC.
  const Outcome apart = Command({"get", "a\\x.txt", "c\\X.TXT", out.string()});
  EXPECT_EQ(apart.status, 0) << apart.err;
  EXPECT_EQ(ReadFile(out / "x.txt") + ReadFile(out / "X.TXT"), "a'sc's");
#endif
}

// One entry named twice is taken once.
TEST_F(ShellTest, AnEntryNamedTwiceIsTakenOnce) {
  WriteFile(device_ / "c.TXT", "gamma");
  WriteFile(device_ / "d.Txt", "delta");
  for (const char* name : {"l1.old", "l2.old", "l3.old"}) WriteFile(device_ / "Old" / name, name);
  const Outcome outcome = Script("get *.txt *.TXT " + pc_.string() +
                                 "\nrm Old\\l1.old Old\\*.old\nmv a.txt A.TXT \\a.txt backup\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_CONTAINS(outcome.out, "copied 3 of 3 files");
  EXPECT_EQ(ReadFile(pc_ / "c.TXT"), "gamma");
  EXPECT_CONTAINS(outcome.out, "deleted 3 of 3 files");
  EXPECT_TRUE(fs::is_empty(device_ / "Old"));
  EXPECT_CONTAINS(outcome.out, "moved 1 of 1 file\n");
  EXPECT_EQ(ReadFile(device_ / "backup" / "a.txt"), "alpha");
  EXPECT_FALSE(fs::exists(device_ / "a.txt"));
}

TEST_F(ShellTest, InfoAndMenuShowWhatTheModuleTells) {
  const Outcome info = Command({"info"});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_CONTAINS(info.out, "device:          Windows CE (panel format WINCE)\n");
  EXPECT_CONTAINS(info.out, "current folder:  \\\n");
  EXPECT_EQ(info.out.find("0x"), std::string::npos) << info.out;
  const Outcome configure = Command({"configure"});
  EXPECT_EQ(configure.status, 0) << configure.err;
  EXPECT_CONTAINS(configure.out, "The module took configuration entry 0");
  const Outcome missing = Command({"configure", "5"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_CONTAINS(missing.err, "the module has no configuration entry 5");
  // The settings' defaults: an empty settings file here, the test prefix's
  // empty registry on Windows.
  std::vector<std::string> words = {"--device", device_.string(), "menu"};
#if !defined(_WIN32)
  words.insert(words.begin(), {"--registry", (scratch_ / "none.reg").string()});
#endif
  const Outcome menu = Run(words);
  EXPECT_EQ(menu.status, 0) << menu.err;
  EXPECT_CONTAINS(menu.out, "\"" + ModuleText(3) + "\"");
  EXPECT_CONTAINS(menu.out, "\"" + ModuleText(4) + "\", number 9");
}

// Paths work wherever a name goes, and the current folder stays as it was.
TEST_F(ShellTest, PathsAnywhereANameGoes) {
  WriteFile(device_ / "docs" / "deep" / "x.ini", "[x]");
  WriteFile(device_ / "docs" / "y.ini", "[y]");
  const Outcome outcome = Script(
      "cd backup\n"
      "get \\docs\\inner.txt " +
      pc_.string() +
      "\n"
      "get ..\\docs\\*.ini " +
      pc_.string() +
      "\n"
      "ls ..\\docs\n"
      "cp \\a.txt ..\\docs\\deep\n"
      "mv ..\\docs\\y.ini .\n"
      "rm \\docs\\deep\\x.ini\n"
      "pwd\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(ReadFile(pc_ / "inner.txt"), "inside docs");
  EXPECT_EQ(ReadFile(pc_ / "y.ini"), "[y]");
  EXPECT_FALSE(fs::exists(pc_ / "x.ini"));        // a pattern does not reach into folders below
  EXPECT_CONTAINS(outcome.out, "<DIR>  deep\n");  // ls of a folder lists what it holds
  EXPECT_EQ(ReadFile(device_ / "docs" / "deep" / "a.txt"), "alpha");
  EXPECT_EQ(ReadFile(device_ / "backup" / "y.ini"), "[y]");
  EXPECT_FALSE(fs::exists(device_ / "docs" / "deep" / "x.ini"));
  EXPECT_CONTAINS(outcome.out, "\\backup\n");
}

TEST_F(ShellTest, TreesGoBothWaysAndRmRRemovesThem) {
  WriteFile(device_ / "docs" / "deep" / "deeper" / "z.txt", "zed");
  fs::create_directories(device_ / "docs" / "empty");
  const Outcome outcome = Command({"get", "-r", "docs", pc_.string()});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(ReadFile(pc_ / "docs" / "inner.txt"), "inside docs");
  EXPECT_EQ(ReadFile(pc_ / "docs" / "deep" / "deeper" / "z.txt"), "zed");
  EXPECT_TRUE(fs::is_directory(pc_ / "docs" / "empty"));
  EXPECT_CONTAINS(outcome.out, "copied 2 of 2 files");

  // The root's tree lands in the PC folder itself.
  fs::create_directories(scratch_ / "whole");
#if defined(_WIN32)
  const char* const root = "/";  // "\\" before a quote would escape it on a Windows command line
#else
  const char* const root = "\\";
#endif
  const Outcome whole = Command({"get", "-r", root, (scratch_ / "whole").string()});
  EXPECT_EQ(whole.status, 0) << whole.err;
  EXPECT_EQ(ReadFile(scratch_ / "whole" / "a.txt"), "alpha");
  EXPECT_EQ(ReadFile(scratch_ / "whole" / "docs" / "deep" / "deeper" / "z.txt"), "zed");
  EXPECT_TRUE(fs::is_directory(scratch_ / "whole" / "backup"));

  // put -r makes DEVDIR\NAME and every folder below it, the empty ones too.
  WriteFile(pc_ / "tree" / "f.txt", "f");
  WriteFile(pc_ / "tree" / "sub" / "g.txt", "g");
  fs::create_directories(pc_ / "tree" / "none");
  const Outcome put = Command({"put", "-r", (pc_ / "tree").string(), "backup"});
  EXPECT_EQ(put.status, 0) << put.err;
  EXPECT_EQ(ReadFile(device_ / "backup" / "tree" / "f.txt"), "f");
  EXPECT_EQ(ReadFile(device_ / "backup" / "tree" / "sub" / "g.txt"), "g");
  EXPECT_TRUE(fs::is_directory(device_ / "backup" / "tree" / "none"));
  // A second put -r goes into the folders that are there now.
  EXPECT_EQ(Command({"put", "-r", (pc_ / "tree").string(), "backup"}).status, 0);

  const Outcome plain = Command({"rm", "docs"});
  EXPECT_EQ(plain.status, 1);
  EXPECT_CONTAINS(plain.err, "docs is a folder: rmdir removes an empty folder, rm -r");
  const Outcome rm = Command({"rm", "-r", "docs", "backup\\tree"});
  EXPECT_EQ(rm.status, 0) << rm.err;
  EXPECT_CONTAINS(rm.out, "deleted 4 of 4 files");
  EXPECT_CONTAINS(rm.out, "removed 7 folders");
  EXPECT_FALSE(fs::exists(device_ / "docs"));
  EXPECT_EQ(fs::directory_iterator(device_ / "backup"), fs::directory_iterator());
}

// Every copy keeps its source's last-write time: a 2007 file arrives dated 2007.
TEST_F(ShellTest, FileTimesTravelWithTheFiles) {
  const auto year2007 = fs::last_write_time(device_ / "a.txt") - std::chrono::hours(24 * 365 * 19);
  fs::last_write_time(device_ / "a.txt", year2007);
  fs::last_write_time(device_ / "docs" / "inner.txt", year2007);
  WriteFile(pc_ / "tree" / "t.txt", "t");
  fs::last_write_time(pc_ / "tree" / "t.txt", year2007);
  fs::create_directories(scratch_ / "back");
  WriteFile(scratch_ / "script.txt", "get -p a.txt " + Quoted(pc_.string()) + "\nget -r docs " +
                                         Quoted((scratch_ / "back").string()) +
                                         "\ncp a.txt backup\n" + "put -r " +
                                         Quoted((pc_ / "tree").string()) + "\n");
  const Outcome outcome = Command({"-b", (scratch_ / "script.txt").string()});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  for (const fs::path& copy : {pc_ / "a.txt", scratch_ / "back" / "docs" / "inner.txt",
                               device_ / "backup" / "a.txt", device_ / "tree" / "t.txt"}) {
    // Device times are kept to the 100 ns of a file time.
    const auto off = fs::last_write_time(copy) - year2007;
    EXPECT_LT(std::chrono::abs(std::chrono::duration_cast<std::chrono::nanoseconds>(off)).count(),
              100)
        << copy;
  }
}

TEST_F(ShellTest, FolderCommandsAskTheDeviceItself) {
  WriteFile(scratch_ / "script.txt",
            "mkdir new\n-mkdir new\nmkdir -p x\\y\\z x\\y\nrename a.txt x\\y\\moved.txt\n"
            "-rename b.bin docs\\inner.txt\n-rmdir docs\nrmdir x\\y\\z\nrename backup Saved\n"
            "df\ndf x\\y\n");
  const Outcome outcome = Command({"-b", (scratch_ / "script.txt").string()});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(fs::is_directory(device_ / "new"));
  EXPECT_CONTAINS(outcome.err, "mkdir: \\new exists");
  EXPECT_EQ(ReadFile(device_ / "x" / "y" / "moved.txt"), "alpha");
  EXPECT_FALSE(fs::exists(device_ / "a.txt"));
  EXPECT_CONTAINS(outcome.err, "rename: \\docs\\inner.txt exists; nothing was renamed");
  EXPECT_EQ(ReadFile(device_ / "docs" / "inner.txt"), "inside docs");
  EXPECT_CONTAINS(outcome.err, "rmdir: cannot remove \\docs: the folder is not empty");
  EXPECT_FALSE(fs::exists(device_ / "x" / "y" / "z"));
  EXPECT_TRUE(fs::is_directory(device_ / "Saved"));
  EXPECT_CONTAINS(outcome.out, "volume of \\: ");
  EXPECT_CONTAINS(outcome.out, "volume of \\x\\y: ");
  EXPECT_CONTAINS(outcome.out, " free (");
}

TEST_F(ShellTest, LsShowsAttributesAndTreesAndPutChecksFreeSpace) {
  fs::permissions(device_ / "a.txt", fs::perms::owner_write, fs::perm_options::remove);
  WriteFile(device_ / "docs" / "deep" / "z.txt", "zed");
  for (const char* name : {"Kiwi", "apple", "Mango", "banana", "lime"}) {
    fs::create_directories(device_ / "docs" / "fruit" / name);
  }
  const Outcome ls = Command({"ls", "-l", "-R"});
  fs::permissions(device_ / "a.txt", fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(ls.status, 0) << ls.err;
  EXPECT_CONTAINS(ls.out, " r--a            5  a.txt\n");
  EXPECT_CONTAINS(ls.out, " ---a         3000  b.bin\n");
  EXPECT_CONTAINS(ls.out, "\n\\docs\\deep:\n");
  EXPECT_CONTAINS(ls.out, "            3  z.txt\n0 folders, 1 file, 3 bytes\n");
  // Folders in ls's order, each before those below it, whatever the device's order.
  std::string order;
  for (size_t at = ls.out.find("\n\\"); at != std::string::npos; at = ls.out.find("\n\\", at + 1)) {
    order += ls.out.substr(at + 1, ls.out.find(':', at) - at - 1) + " ";
  }
  EXPECT_NE(order.find("\\docs \\docs\\deep \\docs\\fruit \\docs\\fruit\\apple "
                       "\\docs\\fruit\\banana \\docs\\fruit\\Kiwi \\docs\\fruit\\lime "
                       "\\docs\\fruit\\Mango "),
            std::string::npos)
      << order;
  // In a subfolder the ".." row keeps the columns: a blank attribute column.
  const Outcome sub = Command({"cd docs; ls -l"});
  EXPECT_EQ(sub.status, 0) << sub.err;
  const size_t up = sub.out.find("<DIR>  ..\n"), deep = sub.out.find("<DIR>  deep\n");
  ASSERT_NE(up, std::string::npos) << sub.out;
  ASSERT_NE(deep, std::string::npos) << sub.out;
  EXPECT_EQ(up - (sub.out.rfind('\n', up) + 1), deep - (sub.out.rfind('\n', deep) + 1)) << sub.out;

#if !defined(_WIN32)
  // A sparse file larger than the volume: refused with the figures, nothing copied.
  WriteFile(pc_ / "small.txt", "s");
  { std::ofstream huge(pc_ / "huge.bin", std::ios::binary); }
  fs::resize_file(pc_ / "huge.bin", uint64_t(1) << 43);
  const Outcome put =
      Command({"put", (pc_ / "small.txt").string(), (pc_ / "huge.bin").string(), "\\"});
  EXPECT_EQ(put.status, 1);
  EXPECT_CONTAINS(put.err,
                  "2 files of 8.0 TiB (8796093022209 bytes) cannot fit: the volume of \\ has ");
  EXPECT_FALSE(fs::exists(device_ / "small.txt"));
  // Also into a device folder that put -r is still to make.
  fs::create_directories(pc_ / "tree");
  fs::rename(pc_ / "huge.bin", pc_ / "tree" / "huge.bin");
  const Outcome tree = Command({"put", "-r", (pc_ / "tree").string(), "new"});
  EXPECT_EQ(tree.status, 1);
  EXPECT_CONTAINS(tree.err, "1 file of 8.0 TiB (8796093022208 bytes) cannot fit: the volume of ");
  EXPECT_FALSE(fs::exists(device_ / "new"));
#endif
}

// What a plain copy refuses, saving under another name refuses too: a
// read-only file is not replaced, and a new name holds no wildcards.
TEST_F(ShellTest, SavingUnderAnotherNameRefusesWhatAPlainCopyRefuses) {
  WriteFile(pc_ / "ro.txt", "keep me");
  fs::permissions(pc_ / "ro.txt",
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const Outcome get = Command({"get", "a.txt", (pc_ / "ro.txt").string()});
  fs::permissions(pc_ / "ro.txt", fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(get.status, 1);
  EXPECT_CONTAINS(get.err, "ro.txt is read-only; nothing was copied");
  EXPECT_EQ(ReadFile(pc_ / "ro.txt"), "keep me");

  WriteFile(pc_ / "new.txt", "new");
  fs::permissions(device_ / "b.bin", fs::perms::owner_write, fs::perm_options::remove);
  const Outcome put = Command({"put", (pc_ / "new.txt").string(), "b.bin"});
  fs::permissions(device_ / "b.bin", fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(put.status, 1);
  EXPECT_CONTAINS(put.err, "\\b.bin is read-only; nothing was copied");
  EXPECT_EQ(ReadFile(device_ / "b.bin"), std::string(3000, '\x7f'));

  const Outcome wild = Script("lcd \"" + pc_.u8string() + "\"\nget a.txt *.txt\n");
  EXPECT_EQ(wild.status, 1);
  EXPECT_CONTAINS(wild.err, "*.txt: a new name holds no wildcards; nothing was copied");
  EXPECT_FALSE(fs::exists(pc_ / "a.txt"));
}

// A folder is never set aside or replaced as if it were a file, also where
// merlo cannot list the folder that holds it.
TEST_F(ShellTest, AFolderIsNeverTakenForAFile) {
  // \docs\<123 x>\<123 y> can be entered, not listed: its dest cannot be looked up.
  const std::string deep = "docs\\" + std::string(123, 'x') + "\\" + std::string(123, 'y');
  const fs::path dest = device_ / "docs" / std::string(123, 'x') / std::string(123, 'y') / "dest";
  WriteFile(dest / "inside.txt", "inside");
  WriteFile(pc_ / "file.txt", "file");
  for (const char* move : {"", "-m "}) {
    const Outcome put = Script(std::string("put ") + move + "\"" + (pc_ / "file.txt").u8string() +
                               "\" " + deep + "\\dest\n");
    EXPECT_EQ(put.status, 1) << move;
    EXPECT_CONTAINS(put.err, "dest is a folder that merlo cannot read");
    EXPECT_EQ(ReadFile(dest / "inside.txt"), "inside");
    EXPECT_EQ(ReadFile(pc_ / "file.txt"), "file");
  }
  fs::rename(device_ / "docs" / std::string(123, 'x'), device_ / "docs" / "x");  // for Windows
}

// A device copy keeps the source's time by itself: a read-only source makes a
// read-only copy, which is then never opened to set it. A file with a long
// name in UTF-8 is set aside under a name that fits, and replaced.
TEST_F(ShellTest, ReadOnlyAndLongNamedDeviceFilesAreCopiedWhole) {
  fs::permissions(device_ / "a.txt", fs::perms::owner_write, fs::perm_options::remove);
  for (const char* command : {"cp", "mv"}) {
    const Outcome outcome = Command({command, "a.txt", "backup"});
    EXPECT_EQ(outcome.status, 0) << command << '\n' << outcome.err;
    EXPECT_EQ(ReadFile(device_ / "backup" / "a.txt"), "alpha");
    fs::permissions(device_ / "backup" / "a.txt", fs::perms::owner_write, fs::perm_options::add);
    fs::remove(device_ / "backup" / "a.txt");
  }
  std::string name;
  for (int i = 0; i < 81; ++i) name += "予";
  name += ".txt";
  WriteFile(device_ / fs::u8path(name), "old");
  // A short PC folder: the module's paths hold 299 bytes, the name takes 247.
  const fs::path shortFolder =
      fs::temp_directory_path() / ("m" + scratch_.filename().string().substr(12, 6));
  WriteFile(shortFolder / fs::u8path(name), "new");
  const Outcome put = Script("put \"" + (shortFolder / fs::u8path(name)).u8string() + "\"\n");
  fs::remove_all(shortFolder);
  EXPECT_EQ(put.status, 0) << put.err;
  EXPECT_EQ(ReadFile(device_ / fs::u8path(name)), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(device_), fs::directory_iterator()), 4)
      << "something was left beside it";  // b.bin, docs, backup and the file
}

TEST_F(ShellTest, MirrorCopiesWhatChangedBothWays) {
  WriteFile(device_ / "docs" / "deep" / "z.txt", "zed");
  const fs::path copy = pc_ / "copy";
  const auto mirror = [&](std::vector<std::string> words) {
    words.insert(words.begin(), "mirror");
    return Command(words);
  };
  Outcome first = mirror({"docs", copy.string()});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(ReadFile(copy / "deep" / "z.txt"), "zed");
  EXPECT_CONTAINS(mirror({"docs", copy.string()}).out, "copied 0 of 0 files");

  // Changed on the device, extra on the PC: -n tells, --delete removes.
  WriteFile(device_ / "docs" / "inner.txt", "changed");
  WriteFile(copy / "extra" / "e.txt", "e");
  const Outcome plan = mirror({"-n", "--delete", "docs", copy.string()});
  EXPECT_CONTAINS(plan.out, "copy docs\\inner.txt to ");
  EXPECT_CONTAINS(plan.out, "remove folder " + (copy / "extra").string());
  EXPECT_CONTAINS(plan.out, "1 file to copy, 1 file and 1 folder to delete; nothing was changed");
  EXPECT_EQ(ReadFile(copy / "inner.txt"), "inside docs");
  const Outcome second = mirror({"--delete", "docs", copy.string()});
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(ReadFile(copy / "inner.txt"), "changed");
  EXPECT_FALSE(fs::exists(copy / "extra"));
  // Each entry deleted is named, on the PC as on the device.
  EXPECT_CONTAINS(second.out, "deleted " + (copy / "extra" / "e.txt").string() + "\n");
  EXPECT_CONTAINS(second.out, "removed the folder " + (copy / "extra").string() + "\n");

  // -R: the PC tree onto a new device folder, then only what changed.
  const Outcome up = mirror({"-R", "saved", copy.string()});
  ASSERT_EQ(up.status, 0) << up.err;
  EXPECT_EQ(ReadFile(device_ / "saved" / "deep" / "z.txt"), "zed");
  EXPECT_CONTAINS(mirror({"-R", "saved", copy.string()}).out, "copied 0 of 0 files");
  fs::remove_all(copy / "deep");
  WriteFile(copy / "new.txt", "new");
  const Outcome again = mirror({"-R", "--delete", "saved", copy.string()});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_CONTAINS(again.out, "copied 1 of 1 file");
  EXPECT_EQ(ReadFile(device_ / "saved" / "new.txt"), "new");
  EXPECT_FALSE(fs::exists(device_ / "saved" / "deep"));
  EXPECT_CONTAINS(again.out, "deleted saved\\deep\\z.txt\n");
  EXPECT_CONTAINS(again.out, "removed the folder \\saved\\deep\n");

  // A copy that arrived but whose time the device would not keep: no deletion,
  // and the reason is that, not a failed copy.
  WriteFile(copy / "newer.txt", "newer");
  WriteFile(device_ / "saved" / "stale.txt", "stale");
  SetFaults("fail=CeSetFileTime:1");
  const Outcome timeless = mirror({"-R", "--delete", "saved", copy.string()});
  SetFaults("");
  EXPECT_EQ(timeless.status, 1);
  EXPECT_CONTAINS(timeless.err,
                  "mirror: a copy's last-write time could not be kept, so nothing was deleted");
  EXPECT_TRUE(fs::exists(device_ / "saved" / "stale.txt"));
}

#if !defined(_WIN32)
// A restore makes the device folder like the backup, the case of its names
// too; a second run then finds nothing to do. (Under Wine a PC rename that
// changes only the case changes nothing, so the backup cannot be made there.)
TEST_F(ShellTest, ARestoreGivesDeviceNamesTheBackupsCase) {
  WriteFile(device_ / "tree" / "readme.txt", "same");
  WriteFile(device_ / "tree" / "docs" / "x.txt", "x");
  const fs::path backup = pc_ / "backup";
  ASSERT_EQ(Command({"mirror", "tree", backup.string()}).status, 0);
  fs::rename(backup / "readme.txt", backup / "README.TXT");
  fs::rename(backup / "docs", backup / "DOCS");
  const Outcome plan = Command({"mirror", "-n", "-R", "tree", backup.string()});
  EXPECT_CONTAINS(plan.out, "rename \\tree\\readme.txt to \\tree\\README.TXT\n");
  EXPECT_CONTAINS(plan.out, "rename \\tree\\docs to \\tree\\DOCS\n");
  const Outcome restore = Command({"mirror", "-R", "tree", backup.string()});
  EXPECT_EQ(restore.status, 0) << restore.err;
  EXPECT_CONTAINS(restore.out, "copied 0 of 0 files");
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(device_ / "tree")) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"DOCS", "README.TXT"}));
  EXPECT_EQ(ReadFile(device_ / "tree" / "README.TXT"), "same");
  EXPECT_EQ(ReadFile(device_ / "tree" / "DOCS" / "x.txt"), "x");
  const Outcome again = Command({"mirror", "-R", "tree", backup.string()});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out.find("renamed"), std::string::npos) << again.out;
}
#endif

// mirror changes only what its words name: the device's root names no PC
// folder, so the current local folder is never taken for one; a word after
// "--" is an operand, never the option it looks like.
TEST_F(ShellTest, MirrorTakesNoUnnamedTarget) {
  for (const char* line : {"mirror --delete \\\n", "mirror -R --delete \\\n", "mirror \\\n"}) {
    const Outcome outcome = Script(line);
    EXPECT_EQ(outcome.status, 1) << outcome.out;
    EXPECT_CONTAINS(outcome.err, "the device's root has no name for a PC folder");
  }
  EXPECT_TRUE(fs::exists(device_ / "a.txt"));
  const Outcome dashes =
      Command({"mirror", "-n", "docs", (pc_ / "copy").string(), "--", "--delete"});
  EXPECT_EQ(dashes.status, 1);
  EXPECT_CONTAINS(dashes.err, "mirror [-R] [--delete] [-n] DEVDIR [PCDIR]");
  const Outcome named = Command({"mirror", "-n", "docs", "--", "--delete"});
  EXPECT_EQ(named.status, 0) << named.err;
  EXPECT_CONTAINS(named.out, "1 file to copy, 0 files and 0 folders to delete");
}

#if !defined(_WIN32)
// A link in a PC tree is never walked: not to copy what lies behind it, not
// to delete it, not to delete what its name holds on the device. It is named.
TEST_F(ShellTest, MirrorNeitherFollowsNorDeletesLinks) {
  const fs::path elsewhere = scratch_ / "elsewhere";
  WriteFile(elsewhere / "precious.txt", "precious");
  const fs::path copy = pc_ / "copy";
  fs::create_directories(copy);
  fs::create_directory_symlink(elsewhere, copy / "link");
  const Outcome down = Command({"mirror", "--delete", "docs", copy.string()});
  EXPECT_EQ(down.status, 1);
  EXPECT_CONTAINS(down.err, "mirror: skipped the link " + (copy / "link").string() +
                                ": merlo neither follows nor deletes links");
  EXPECT_EQ(ReadFile(elsewhere / "precious.txt"), "precious");
  EXPECT_TRUE(fs::is_symlink(copy / "link"));
  EXPECT_EQ(ReadFile(copy / "inner.txt"), "inside docs");

  // -R: the link is not copied, and the device folder of its name stays.
  WriteFile(device_ / "saved" / "link" / "kept.txt", "kept");
  const Outcome up = Command({"mirror", "-R", "--delete", "saved", copy.string()});
  EXPECT_EQ(up.status, 1);
  EXPECT_CONTAINS(up.err, "mirror: skipped the link " + (copy / "link").string());
  EXPECT_EQ(ReadFile(device_ / "saved" / "link" / "kept.txt"), "kept");
  EXPECT_FALSE(fs::exists(device_ / "saved" / "link" / "precious.txt"));
  EXPECT_EQ(ReadFile(device_ / "saved" / "inner.txt"), "inside docs");

  // put -r and get -r: a link is skipped and named; nothing is copied through one.
  const Outcome put = Command({"put", "-r", copy.string(), "\\"});
  EXPECT_EQ(put.status, 1);
  EXPECT_CONTAINS(put.err, "put: skipped the link ");
  EXPECT_CONTAINS(put.out, "skipped 1 link");
  EXPECT_FALSE(fs::exists(device_ / "copy" / "link"));
  const fs::path into = pc_ / "into";
  fs::create_directories(into);
  fs::create_directory_symlink(elsewhere, into / "docs");
  const Outcome get = Command({"get", "-r", "docs", into.string()});
  EXPECT_EQ(get.status, 1);
  EXPECT_CONTAINS(get.err, " is a link; merlo does not copy through links; nothing was copied");
  EXPECT_FALSE(fs::exists(elsewhere / "inner.txt"));
}
#endif

#if !defined(_WIN32)
// Links to files, on the PC, in every command that overwrites or deletes:
// what lies behind a link is never written or deleted by way of it.
TEST_F(ShellTest, NothingBehindAPcLinkToAFileChanges) {
  const fs::path behind = scratch_ / "elsewhere" / "precious.txt";
  const struct {
    const char* Label;
    std::vector<std::string> Words;  // "LINKS" is the PC folder that holds the link
  } cases[] = {
      {"get onto a link", {"get", "a.txt", "LINKS"}},
      {"get -r into a tree with a link", {"get", "-r", "docs", "PC"}},
      {"mirror --delete", {"mirror", "--delete", "docs", "LINKS"}},
      {"mirror -R --delete", {"mirror", "-R", "--delete", "docs", "LINKS"}},
      {"put -m of a link", {"put", "-m", "LINKS/a.txt"}},
      {"put -r -m", {"put", "-r", "-m", "LINKS", "\\"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    fs::remove_all(scratch_ / "elsewhere");
    fs::remove_all(pc_);
    WriteFile(behind, "precious");
    const fs::path links = pc_ / "docs";
    fs::create_directories(links);
    fs::create_symlink(behind, links / "a.txt");
    fs::create_symlink(behind, links / "inner.txt");
    std::vector<std::string> words;
    for (const auto& w : c.Words) {
      words.push_back(w == "LINKS"                ? links.string()
                      : w == "PC"                 ? pc_.string()
                      : w.rfind("LINKS/", 0) == 0 ? (links / w.substr(6)).string()
                                                  : w);
    }
    Command(words);
    EXPECT_EQ(ReadFile(behind), "precious");
  }
  EXPECT_EQ(ReadFile(device_ / "docs" / "inner.txt"), "inside docs");
}
#endif

// A device holds no links, and the emulated one shows none: a link in its
// folder (here to another of its folders) is neither listed nor walked, so
// rm -r and mirror --delete leave what it leads to, and the device names it.
TEST_F(ShellTest, ALinkInTheDeviceFolderIsNeverWalked) {
  WriteFile(device_ / "keep" / "k1.txt", "kept 1");
  WriteFile(device_ / "keep" / "k2.txt", "kept 2");
  WriteFile(device_ / "trash" / "t.txt", "trash");
  std::error_code ec;
  fs::create_directory_symlink(device_ / "keep", device_ / "trash" / "alias", ec);
  fs::create_directory_symlink(device_ / "keep", device_ / "alias", ec);
  if (ec || !fs::is_symlink(device_ / "alias") || !fs::is_symlink(device_ / "trash" / "alias")) {
    GTEST_SKIP() << "this system makes no symbolic link here: " << (device_ / "alias");
  }
  const auto kept = [&] {
    EXPECT_EQ(ReadFile(device_ / "keep" / "k1.txt"), "kept 1");
    EXPECT_EQ(ReadFile(device_ / "keep" / "k2.txt"), "kept 2");
  };
  const std::string named = "rapi: \\trash\\alias is a link, which the device does not show";

  const Outcome ls = Command({"ls", "trash"});
  EXPECT_EQ(ls.status, 0) << ls.err;
  EXPECT_CONTAINS(ls.out, "0 folders, 1 file");
  EXPECT_CONTAINS(ls.err, named);

  // The PC copy lacks everything but one new file: --delete removes t.txt.
  WriteFile(pc_ / "mirror" / "new.txt", "new");
  const Outcome mirror = Command({"mirror", "-R", "--delete", "trash", (pc_ / "mirror").string()});
  EXPECT_EQ(mirror.status, 0) << mirror.err;
  EXPECT_CONTAINS(mirror.out, "copied 1 of 1 file");
  EXPECT_CONTAINS(mirror.err, named);
  EXPECT_FALSE(fs::exists(device_ / "trash" / "t.txt"));
  kept();

  // The folder's files go; the folder stays, and merlo says why.
  const Outcome rm = Command({"rm", "-r", "trash"});
  EXPECT_EQ(rm.status, 1);
  EXPECT_CONTAINS(rm.out, "deleted 1 of 1 file");
  EXPECT_CONTAINS(rm.err, "the folder is not empty");
  EXPECT_CONTAINS(rm.err, named);
  EXPECT_FALSE(fs::exists(device_ / "trash" / "new.txt"));
  kept();

  // A link named itself is no entry of the device.
  for (const char* command : {"rm -r alias", "rm alias\\k1.txt", "rmdir alias", "ls alias"}) {
    const Outcome outcome = Command({command});
    EXPECT_EQ(outcome.status, 1) << command << "\n" << outcome.err;
    kept();
  }
  EXPECT_TRUE(fs::is_symlink(device_ / "alias"));
}

// Two backing files whose names differ only in case, which no device folder
// holds: the listing of their folder fails and the device names both, so
// nothing is copied or deleted and no count claims one of them.
TEST_F(ShellTest, TwoNamesThatDifferOnlyInCaseAreRefusedNamingBoth) {
  WriteFile(device_ / "pair" / "x.txt", "lower");
  WriteFile(device_ / "pair" / "X.txt", "upper");
  if (!fs::exists(device_ / "pair" / "x.txt") || ReadFile(device_ / "pair" / "x.txt") != "lower") {
    GTEST_SKIP() << "this file system holds no two names that differ only in case";
  }
  WriteFile(device_ / "pair" / "other.txt", "other");
  const std::string pc = pc_.string();
  const struct {
    std::vector<std::string> Words;
    const char* Err;
  } cases[] = {
      {{"ls", "pair"}, "ls: cannot read \\pair"},
      {{"ls", "pair\\x.txt"}, "ls: cannot read \\pair"},
      {{"get", "pair\\x.txt", pc}, "get: cannot read \\pair"},
      {{"get", "-r", "pair", pc}, "get: cannot read \\pair"},
      {{"rm", "pair\\x.txt"}, "rm: cannot read \\pair"},
      {{"rm", "pair\\*"}, "rm: cannot read \\pair"},
      {{"rm", "-r", "pair"}, "rm: cannot read \\pair"},
      {{"mirror", "--delete", "pair", (pc_ / "mirror").string()}, "mirror: cannot read \\pair"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Command(c.Words);
    const std::string said = c.Words[0] + " " + c.Words[1];
    EXPECT_EQ(outcome.status, 1) << said << "\n" << outcome.err;
    EXPECT_CONTAINS(outcome.err, c.Err) << said;
    EXPECT_CONTAINS(outcome.err, "rapi: \\pair holds both X.txt and x.txt") << said;
    EXPECT_EQ(outcome.out.find(" 1 of 1 "), std::string::npos) << said << "\n" << outcome.out;
    EXPECT_EQ(ReadFile(device_ / "pair" / "x.txt"), "lower") << said;
    EXPECT_EQ(ReadFile(device_ / "pair" / "X.txt"), "upper") << said;
    EXPECT_EQ(ReadFile(device_ / "pair" / "other.txt"), "other") << said;
    EXPECT_FALSE(fs::exists(pc_ / "x.txt")) << said;
  }
  // The rest of the device is as it was.
  const Outcome ls = Command({"ls"});
  EXPECT_EQ(ls.status, 0) << ls.err;
  EXPECT_TRUE(ls.err.empty()) << ls.err;
}

#if !defined(_WIN32)
// Two merlo sessions at once: on different files both complete; on one file
// the upload holds it open, so the device refuses the other session's delete.
// One gets the box; nothing is lost.
TEST_F(ShellTest, TwoSessionsOnOneFileOneGetsTheBoxAndNothingIsLost) {
  const std::string big(4 << 20, 'b');
  WriteFile(pc_ / "big.bin", big);
  WriteFile(device_ / "other.txt", "other");
  WriteFile(device_ / "old.txt", "old");
  int uploadStatus = -1;
  std::thread upload([&] {
    const std::string command =
        "cd " + Quoted(pc_.string()) + " && MERLO_DEVICE_FAULTS=slow=CeWriteFile:1 timeout 60 " +
        Quoted(Built(kMerlo).string()) + " --device " + Quoted(device_.string()) +
        " put -m big.bin >/dev/null 2>" + Quoted((scratch_ / "upload-err.txt").string());
    const int status = std::system(command.c_str());
    uploadStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(device_ / "big.bin") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const Outcome rm = Command({"rm", "big.bin"});
  const Outcome other = Command({"get", "other.txt", pc_.string()});
  const Outcome old = Command({"rm", "old.txt"});
  upload.join();
  EXPECT_EQ(other.status, 0) << other.err;
  EXPECT_EQ(ReadFile(pc_ / "other.txt"), "other");
  EXPECT_EQ(old.status, 0) << old.err;
  EXPECT_FALSE(fs::exists(device_ / "old.txt"));
  EXPECT_EQ(uploadStatus, 0) << ReadFile(scratch_ / "upload-err.txt");
  EXPECT_EQ(rm.status, 1) << rm.out << rm.err;
  EXPECT_CONTAINS(rm.out, "deleted 0 of 1 file");
  EXPECT_CONTAINS(rm.err, "rm: cannot delete big.bin: it is in use (open elsewhere)");
  EXPECT_EQ(ReadFile(device_ / "big.bin"), big);
  EXPECT_FALSE(fs::exists(pc_ / "big.bin"));
}
#endif

// The module's paths hold a fixed number of bytes of its text, and UTF-8
// takes two for a Cyrillic letter: a path too long for them is refused before
// the module is asked, with its length and the limit, whatever the command.
TEST_F(ShellTest, PathsTooLongForTheModuleAreRefusedWithTheirLength) {
  // Four levels of 40 Cyrillic letters: 164 characters, 324 bytes in UTF-8.
  std::string letters;
  for (int i = 0; i < 40; ++i) letters += "Ж";
  const std::string a = "А" + letters.substr(2), b = "Б" + letters.substr(2),
                    c = "В" + letters.substr(2), d = "Г" + letters.substr(2);
  const fs::path three = device_ / fs::u8path(a) / fs::u8path(b) / fs::u8path(c);
  const std::string threeText = "\\" + a + "\\" + b + "\\" + c;  // 243 bytes
  WriteFile(three / fs::u8path(d) / "deep.txt", "deep");
  // A name that makes the file's path 306 bytes: the module's file paths hold 299.
  const std::string longName = letters.substr(0, 58) + ".txt";
  WriteFile(three / fs::u8path(longName), "long");
  // A PC folder of 140 Cyrillic letters, 280 bytes: the module reads a put's
  // files from a current directory of at most 255.
  const fs::path pcDeep = pc_ / fs::u8path(letters + letters.substr(0, 60)) /
                          fs::u8path(letters + letters.substr(0, 60));
  WriteFile(pcDeep / "put.txt", "put");
  const std::string folderLimit =
      " is 324 bytes in the module's UTF-8 text; its folder paths hold 258";
  const std::string pc = pc_.u8string(), put = (pcDeep / "put.txt").u8string();
  // Through a script: its UTF-8 reaches merlo unchanged on every system.
  const struct {
    std::string Line;
    std::string Said;
  } cases[] = {
      {"cd \"" + threeText + "\\" + d + "\"", "cd: " + threeText + "\\" + d + folderLimit},
      {"ls \"" + threeText + "\\" + d + "\"", threeText + "\\" + d + folderLimit},
      {"get -r \"" + a + "\" \"" + pc + "\"", threeText + "\\" + d + folderLimit},
      {"rm -r \"" + a + "\"", threeText + "\\" + d + folderLimit},
      {"mirror \"" + a + "\" \"" + pc + "/mirror\"", threeText + "\\" + d + folderLimit},
      {"get \"" + threeText + "\\" + longName + "\" \"" + pc + "\"",
       "get: " + threeText + "\\" + longName +
           " is 306 bytes in the module's UTF-8 text; its file paths hold 299; nothing was copied"},
      {"put \"" + put + "\"", "put: the PC folder " + pcDeep.u8string() + " is "},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Script(c.Line + "\n");
    EXPECT_EQ(outcome.status, 1) << c.Line << '\n' << outcome.err;
    EXPECT_CONTAINS(outcome.err, c.Said);
    EXPECT_EQ(outcome.err.find("Could not"), std::string::npos) << outcome.err;  // no box
  }
  EXPECT_CONTAINS(Script("put \"" + put + "\"\n").err,
                  " bytes in the module's UTF-8 text; its PC folders to copy from hold 255");
  EXPECT_TRUE(fs::exists(three / fs::u8path(d) / "deep.txt"));
  EXPECT_FALSE(fs::exists(device_ / "put.txt"));
  // The same depth in English letters fits, and is entered.
  const std::string english = "\\" + std::string(40, 'a') + "\\" + std::string(40, 'b') + "\\" +
                              std::string(40, 'c') + "\\" + std::string(40, 'd');
  fs::create_directories(device_ / english.substr(1, 40) / std::string(40, 'b') /
                         std::string(40, 'c') / std::string(40, 'd'));
  const Outcome fits = Command({"cd " + english + "; pwd"});
  EXPECT_EQ(fits.status, 0) << fits.err;
  EXPECT_CONTAINS(fits.out, english + "\n");

#if defined(_WIN32)
  // A device name of 255 characters makes a PC path that Windows' narrow file
  // calls, which the module makes, do not take: said before it is asked.
  const std::string wide(255, 'w');
  WriteFile(device_ / wide, "wide");
  const Outcome get = Command({"get", wide, pc_.string()});
  EXPECT_EQ(get.status, 1);
  EXPECT_CONTAINS(get.err,
                  " characters; Windows' file calls that the module makes take paths of "
                  "at most 259; nothing was copied");
  EXPECT_EQ(get.err.find("Could not"), std::string::npos) << get.err;
  EXPECT_EQ(get.err.find("nothing was left"), std::string::npos) << get.err;
  fs::remove(device_ / wide);
#endif
}

#if defined(_WIN32)
// merlo-ansi.exe keeps the system's ANSI code page, in which the module's
// paths hold as many letters as they do in the file manager: it reaches a
// folder whose path merlo.exe's UTF-8 makes too long for the module. A name
// that the code page cannot hold it refuses, naming the character.
TEST_F(ShellTest, TheAnsiProgramReachesWhatTheModuleReachesInTheSystemsCodePage) {
  std::string letter;
  // A letter that takes more bytes in UTF-8 than in the code page.
  const std::string inCodePage = InSystemCodePage("表|Ж|é", &letter);
  ASSERT_FALSE(inCodePage.empty());
  ASSERT_LT(inCodePage.size(), letter.size());
  // Three levels, more than 258 bytes in UTF-8, at most 177 in the code page.
  const size_t count = 258 / (3 * letter.size()) + 1;
  std::string level;
  for (size_t i = 0; i < count; ++i) level += letter;
  const std::string path = "\\" + level + "\\" + level + "\\" + level;
  const fs::path folder = device_ / fs::u8path(level) / fs::u8path(level) / fs::u8path(level);
  WriteFile(folder / "deep.txt", "deep");
  WriteFile(device_ / fs::u8path("ł.txt"), "l");
  const std::string script =
      "cd \"" + path + "\"\nget deep.txt \"" + pc_.u8string() + "\"\ncd \\\n";
  const Outcome ansi = Run({"--device", device_.string()}, script, "merlo-ansi.exe");
  EXPECT_EQ(ansi.status, 0) << ansi.err;
  EXPECT_EQ(ReadFile(pc_ / "deep.txt"), "deep");
  const Outcome utf8 = Script(script);
  EXPECT_EQ(utf8.status, 1);
  EXPECT_CONTAINS(utf8.err, " bytes in the module's UTF-8 text; its folder paths hold 258");
  // Folders made and entered (without regard to case), a file put, matched,
  // renamed and listed, all by names of the code page.
  const std::string lower = letter == "Ж" ? "ж" : letter;
  WriteFile(pc_ / fs::u8path(letter + ".txt"), "put");
  const std::string names = "mkdir -p \"" + letter + "1\\" + letter + "2\"\ncd \"" + lower +
                            "1\"\nput \"" + (pc_ / fs::u8path(letter + ".txt")).u8string() +
                            "\"\nls *.txt\nrename \"" + lower + ".txt\" \"" + letter + "2\\" +
                            letter + "3.txt\"\nls \"" + letter + "2\"\n";
  const Outcome named = Run({"--device", device_.string()}, names, "merlo-ansi.exe");
  EXPECT_EQ(named.status, 0) << named.err;
  EXPECT_CONTAINS(named.out, "  " + letter + ".txt\n");
  EXPECT_EQ(ReadFile(device_ / fs::u8path(letter + "1") / fs::u8path(letter + "2") /
                     fs::u8path(letter + "3.txt")),
            "put");
  const Outcome other = Run({"--device", device_.string()},
                            "get ł.txt \"" + pc_.u8string() + "\"\n", "merlo-ansi.exe");
  EXPECT_EQ(other.status, 1);
  EXPECT_CONTAINS(other.err, "ł cannot be written in code page ");
  EXPECT_FALSE(fs::exists(pc_ / fs::u8path("ł.txt")));
}
#endif

#if !defined(_WIN32)
// The device tells no case apart: two PC entries whose names differ only in
// case, as files or folders, would be one on the device. put -r and mirror -R
// refuse them before anything is copied, also when one is up to date.
TEST_F(ShellTest, NamesThatDifferOnlyInCaseOnThePcAreRefused) {
  const struct {
    const char* Label;
    std::vector<std::pair<const char*, bool>> Entries;  // name, a folder
  } pairs[] = {
      {"two files", {{"b.txt", false}, {"B.TXT", false}}},
      {"two folders", {{"Dir", true}, {"DIR", true}}},
      {"a folder and a file", {{"Dir", true}, {"DIR", false}}},
  };
  for (const auto& pair : pairs) {
    for (const char* command : {"put -r", "mirror -R"}) {
      SCOPED_TRACE(std::string(pair.Label) + ", " + command);
      const fs::path tree = pc_ / "tree";
      fs::remove_all(tree);
      fs::remove_all(device_ / "tree");
      for (const auto& [name, folder] : pair.Entries) {
        WriteFile(folder ? tree / name / "in.txt" : tree / name, name);
      }
      const bool put = std::string(command) == "put -r";
      const std::string line =
          put ? "put -r \"" + tree.string() + "\" \\" : "mirror -R tree \"" + tree.string() + "\"";
      const Outcome outcome = Script(line + "\n");
      EXPECT_EQ(outcome.status, 1) << outcome.out;
      const bool said = outcome.err.find("would be one") != std::string::npos ||
                        outcome.err.find("would both land on") != std::string::npos ||
                        outcome.err.find("would land on the folder") != std::string::npos;
      EXPECT_TRUE(said) << outcome.err;
      EXPECT_FALSE(fs::exists(device_ / "tree")) << outcome.out;
    }
  }
  // One of the pair up to date on the device: mirror -R still refuses.
  fs::remove_all(pc_ / "tree");
  WriteFile(pc_ / "tree" / "b.txt", "b");
  ASSERT_EQ(Command({"mirror", "-R", "tree", (pc_ / "tree").string()}).status, 0);
  WriteFile(pc_ / "tree" / "B.TXT", "B");
  const Outcome again = Command({"mirror", "-R", "tree", (pc_ / "tree").string()});
  EXPECT_EQ(again.status, 1);
  EXPECT_CONTAINS(again.err, "would be one entry on the device");
  EXPECT_EQ(ReadFile(device_ / "tree" / "b.txt"), "b");
}
#endif

// rm -r deletes each folder's files in ls -R's order, then removes the
// folders in the reverse of that order: a folder only after everything in it.
TEST_F(ShellTest, RmRRemovesFoldersInTheReverseOfLsROrder) {
  for (const char* folder : {"tree\\Kiwi\\deep", "tree\\apple", "tree\\Mango", "tree\\banana"}) {
    std::string path = folder;
    for (char& c : path) c = c == '\\' ? '/' : c;
    WriteFile(device_ / path / "f.txt", "f");
  }
  const Outcome listed = Command({"ls", "-R", "tree"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  std::vector<std::string> order;  // the folders, as ls -R shows them
  for (size_t at = listed.out.find("\\tree"); at != std::string::npos;
       at = listed.out.find("\n\\tree", at + 1)) {
    const size_t from = listed.out[at] == '\n' ? at + 1 : at;
    order.push_back(listed.out.substr(from, listed.out.find(':', from) - from));
  }
  ASSERT_EQ(order.size(), 6u) << listed.out;
  const Outcome rm = Command({"rm", "-r", "tree"});
  ASSERT_EQ(rm.status, 0) << rm.err;
  std::vector<std::string> removed;
  for (size_t at = rm.out.find("removed the folder "); at != std::string::npos;
       at = rm.out.find("removed the folder ", at + 1)) {
    const size_t from = at + std::strlen("removed the folder ");
    removed.push_back("\\" + rm.out.substr(from, rm.out.find('\n', from) - from));
  }
  EXPECT_EQ(removed, std::vector<std::string>(order.rbegin(), order.rend())) << rm.out;
  EXPECT_FALSE(fs::exists(device_ / "tree"));
}

// A device that reports a change it did not make is not believed: each
// change is asked of again, and one that did not happen fails the command,
// named, with the user's files as they were.
TEST_F(ShellTest, ALyingDeviceIsNotBelieved) {
  WriteFile(pc_ / "new.txt", "new");
  WriteFile(device_ / "docs" / "sys2.dat", "old system");
  const std::string pc = pc_.string(), newFile = (pc_ / "new.txt").string();
  const struct {
    const char* Faults;
    std::vector<std::string> Words;
    const char* Said;
    fs::path Kept;  // holds what it held before
  } cases[] = {
      {"noop=CeWriteFile:1+",
       {"put", newFile, "a.txt"},
       "holds 0 of its 3 bytes",
       device_ / "a.txt"},
      {"noop=CeWriteFile:1+", {"put", "-m", newFile}, "holds 0 of its 3 bytes", pc_ / "new.txt"},
      {"noop=CeDeleteFile:1",
       {"get", "-m", "a.txt", pc},
       "its source \\a.txt is still on the device, which said it deleted it",
       device_ / "a.txt"},
      {"noop=CeMoveFile:1",
       {"mv", "a.txt", "backup"},
       "nothing is at \\backup\\a.txt",
       device_ / "a.txt"},
      {"noop=CeCopyFile:1", {"cp", "a.txt", "backup"}, "nothing is at \\backup\\a.txt", {}},
      {"noop=CeMoveFile:1",
       {"rename", "a.txt", "b2.txt"},
       "the device reported that it renamed",
       device_ / "a.txt"},
      {"noop=CeCreateDirectory:1",
       {"mkdir", "made"},
       "the device reported that it made \\made",
       {}},
      {"noop=CeRemoveDirectory:1", {"rmdir", "backup"}, "\\backup is still there", {}},
      {"noop=CeMoveFile:2",
       {"put", newFile, "docs\\sys2.dat"},
       "the copy stays at \\docs\\new.txt",
       device_ / "docs" / "sys2.dat"},
  };
  for (const auto& c : cases) {
    const std::string before = c.Kept.empty() ? "" : ReadFile(c.Kept);
    SetFaults(c.Faults);
    const Outcome outcome = Command(c.Words);
    SetFaults("");
    const std::string said = std::string(c.Faults) + " " + c.Words[0];
    EXPECT_EQ(outcome.status, 1) << said << '\n' << outcome.out << outcome.err;
    EXPECT_CONTAINS(outcome.err, c.Said) << said;
    if (!c.Kept.empty()) {
      EXPECT_EQ(ReadFile(c.Kept), before) << said;
    }
  }
  EXPECT_TRUE(fs::is_directory(device_ / "backup"));
  EXPECT_FALSE(fs::exists(device_ / "made"));
  EXPECT_FALSE(fs::exists(device_ / "b2.txt"));
}

// What the module cannot do is said, never passed over: a folder it enters
// but cannot list, a name that is taken, a file the device will not delete.
TEST_F(ShellTest, NothingIsPassedOverInSilence) {
  // \docs\<123 x>\<123 y> is 253 characters long: the module enters it but lists nothing.
  const fs::path deep = device_ / "docs" / std::string(123, 'x') / std::string(123, 'y');
  WriteFile(deep / "lost.txt", "lost");
  const Outcome get = Command({"get", "-r", "docs", pc_.string()});
  EXPECT_EQ(get.status, 1);
  EXPECT_CONTAINS(get.err, std::string(123, 'y') +
                               " is 253 bytes in the module's UTF-8 text; its listed folder paths "
                               "hold 251 (it can enter this folder, but not list it)");
  // A shorter name, so that the scratch folder can go on Windows too.
  fs::rename(device_ / "docs" / std::string(123, 'x'), device_ / "docs" / "x");

  WriteFile(device_ / "backup" / "a.txt", "old");
  for (const char* command : {"cp", "mv"}) {
    const Outcome onto = Command({command, "a.txt", "backup"});
    EXPECT_EQ(onto.status, 1) << command;
    EXPECT_CONTAINS(onto.err, std::string(command) + ": \\backup\\a.txt exists; nothing was");
    EXPECT_EQ(onto.err.find("Could not"), std::string::npos) << onto.err;
  }
  EXPECT_EQ(ReadFile(device_ / "backup" / "a.txt"), "old");

  WriteFile(device_ / "many" / "1.txt", "1");
  WriteFile(device_ / "many" / "2.txt", "2");
  WriteFile(device_ / "many" / "3.txt", "3");
  fs::permissions(device_ / "many" / "2.txt", fs::perms::owner_write, fs::perm_options::remove);
  const Outcome rm = Command({"rm", "-r", "many"});
  EXPECT_EQ(rm.status, 1);
  EXPECT_CONTAINS(rm.err, "cannot delete many\\2.txt: it is read-only");
  EXPECT_CONTAINS(rm.err, "not tried: many\\3.txt");
  EXPECT_CONTAINS(rm.err, "no folder was removed; left on the device: \\many");
  EXPECT_TRUE(fs::exists(device_ / "many" / "3.txt"));
  fs::permissions(device_ / "many" / "2.txt", fs::perms::owner_write, fs::perm_options::add);

  // The device says it deleted the file, yet still lists it.
  SetFaults("noop=CeDeleteFile:1");
  const Outcome noop = Command({"rm", "b.bin"});
  EXPECT_EQ(noop.status, 1);
  EXPECT_CONTAINS(noop.err, "b.bin is still on the device");
  EXPECT_CONTAINS(noop.out, "deleted 0 of 1 file");
}

// The module shows a listing it could not read as an empty one; merlo asks
// the device and fails, naming the folder. Listings come in order: the root
// (1), docs (2), docs\pics (3); an empty folder's is checked once more.
// Wildcards may stand in any part of a device path.
TEST_F(ShellTest, AFailedListingIsAFailureAndWildcardsGoAnywhere) {
  WriteFile(device_ / "docs" / "pics" / "p.jpg", "jpeg");
  WriteFile(device_ / "notes" / "n.txt", "note");
  WriteFile(device_ / "notes" / "n.txt2", "note 2");
  const std::string pc = pc_.string();
  const struct {
    const char* Faults;
    std::vector<std::string> Words;
    int Status;
    const char* Err;  // what stderr holds
    const char* Out;  // what stdout holds
    fs::path Kept;    // a file that must be there afterwards
  } cases[] = {
      {"fail=CeFindAllFiles:1", {"ls"}, 1, "ls: cannot read \\: a general failure", "", {}},
      {"fail=CeFindAllFiles:1", {"cd", "docs"}, 1, "cd: cannot read \\: a general failure", "", {}},
      {"fail=CeFindAllFiles:2", {"ls", "docs"}, 1, "ls: cannot read \\docs: a general", "", {}},
      {"fail=CeFindAllFiles:3",
       {"get", "-r", "docs", pc},
       1,
       "get: cannot read \\docs\\pics: a general failure on the device; nothing in it was copied",
       "copied 1 of 1 file listed; 1 folder could not be read",
       pc_ / "docs" / "inner.txt"},
      {"fail=CeFindAllFiles:3",
       {"ls", "-R", "docs"},
       1,
       "ls: cannot read \\docs\\pics",
       "\\docs:",
       {}},
      {"fail=CeFindAllFiles:3",
       {"rm", "-r", "docs"},
       1,
       "rm: cannot read \\docs\\pics: a general failure on the device; nothing was deleted",
       "",
       device_ / "docs" / "inner.txt"},
      // An empty folder stays empty, even when the module's listing failed
      // (2) and the device tells that it is empty; not when the device fails (3).
      {"", {"ls", "backup"}, 0, "", "0 folders, 0 files, 0 bytes", {}},
      {"fail=CeFindAllFiles:2", {"ls", "backup"}, 0, "", "0 folders, 0 files, 0 bytes", {}},
      {"fail=CeFindAllFiles:3", {"ls", "backup"}, 1, "ls: cannot read \\backup", "", {}},
      {"", {"cd", ".."}, 0, "", "", {}},
      {"", {"cd", "D?CS"}, 0, "", "", {}},
      {"", {"cd", "*"}, 1, "cd: * matches 3 folders: \\backup, \\docs, ...", "", {}},
      {"", {"ls", "*\\*.txt"}, 0, "", "\\docs:\n", {}},
      {"", {"ls", "*\\*.txt"}, 0, "", "\\notes:\n", {}},
      {"", {"ls", "D?CS\\p*\\*"}, 0, "", "p.jpg", {}},
      {"", {"ls", "*\\zz*"}, 1, "ls: nothing matches *\\zz*", "", {}},
      {"", {"ls", "q*\\*.txt"}, 1, "ls: nothing matches q*\\*.txt", "", {}},
      {"", {"get", "*\\*.txt", pc}, 0, "", "copied 2 of 2 files", pc_ / "n.txt"},
      {"", {"rm", "*\\p*\\*.jpg"}, 0, "", "deleted 1 of 1 file", device_ / "docs" / "inner.txt"},
      // A "?" stands for one character: none is no match.
      {"", {"rm", "notes\\n?txt?"}, 0, "", "deleted 1 of 1 file", device_ / "notes" / "n.txt"},
  };
  for (const auto& c : cases) {
    SetFaults(c.Faults);
    const Outcome outcome = Command(c.Words);
    const std::string said = std::string(c.Faults) + " " + c.Words[0] + " " + c.Words.back();
    EXPECT_EQ(outcome.status, c.Status) << said << "\n" << outcome.err;
    EXPECT_CONTAINS(outcome.err, c.Err) << said;
    EXPECT_CONTAINS(outcome.out, c.Out) << said;
    EXPECT_TRUE(c.Kept.empty() || fs::exists(c.Kept)) << said << ": " << c.Kept;
  }
  EXPECT_FALSE(fs::exists(device_ / "docs" / "pics" / "p.jpg"));
  EXPECT_FALSE(fs::exists(device_ / "notes" / "n.txt2"));
  SetFaults("");
  EXPECT_EQ(Command({"cd ..; pwd"}).out, "\\\n");
}

// One line for each file that arrives; -q prints only errors; a failure
// tells what it left behind.
TEST_F(ShellTest, ProgressAndWhatAFailureLeft) {
  const Outcome loud = Command({"get", "a.txt", "b.bin", pc_.string()});
  EXPECT_EQ(loud.status, 0) << loud.err;
  EXPECT_CONTAINS(loud.out, "a.txt  5 B  ");
  EXPECT_CONTAINS(loud.out, "b.bin  2.9 KiB  ");
  const Outcome quiet = Command({"-q", "get", "a.txt", pc_.string()});
  EXPECT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.out, "");

  // The second read of b.bin comes short: over the copy made above, that copy
  // comes back; where there was none, the first 2048 bytes stay.
  SetFaults("short-read=2");
  const std::string whole = ReadFile(pc_ / "b.bin");
  const Outcome kept = Command({"get", "b.bin", pc_.string()});
  EXPECT_EQ(kept.status, 1);
  EXPECT_CONTAINS(kept.err, "b.bin failed; " + (pc_ / "b.bin").string() + " is as it was");
  EXPECT_EQ(ReadFile(pc_ / "b.bin"), whole);
  EXPECT_EQ(std::distance(fs::directory_iterator(pc_), fs::directory_iterator()), 2);
  fs::remove(pc_ / "b.bin");
  const Outcome partial = Command({"get", "b.bin", pc_.string()});
  EXPECT_EQ(partial.status, 1);
  EXPECT_CONTAINS(partial.err,
                  "partial copy at " + (pc_ / "b.bin").string() + " (2048 of 3000 bytes)");
  SetFaults("fail=CeDeleteFile:1");
  const Outcome rm = Command({"rm", "a.txt"});
  EXPECT_EQ(rm.status, 1);
  EXPECT_CONTAINS(rm.out, "deleted 0 of 1 file");
  EXPECT_TRUE(fs::exists(device_ / "a.txt"));
}

#if !defined(_WIN32)
// The module reads "\" as a folder separator: a PC name that holds one
// would reach another file.
TEST_F(ShellTest, PutRefusesPcNamesWithBackslashes) {
  WriteFile(pc_ / "we\\ird.txt", "odd");
  const Outcome outcome = Command({"put", (pc_ / "we\\ird.txt").string()});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_CONTAINS(outcome.err, "folder separator");
  EXPECT_FALSE(fs::exists(device_ / "ird.txt"));
  EXPECT_FALSE(fs::exists(device_ / "we\\ird.txt"));
}
#endif

// put's live line asks how far the module has read its source: the position
// of this process's own descriptor (handle) on that file, found by the file.
TEST_F(ShellTest, TheReadPositionIsThatOfTheDescriptorOpenOnTheFile) {
  const fs::path file = pc_ / "position.bin";
  WriteFile(file, std::string(10000, 'p'));
  const merlo::platform::ReadPosition watch = merlo::platform::WatchReading(file);
  uint64_t position = 0;
  EXPECT_FALSE(watch(&position));  // nothing holds it open yet
  FILE* in = std::fopen(file.string().c_str(), "rb");
  ASSERT_NE(in, nullptr);
  std::setvbuf(in, nullptr, _IONBF, 0);  // each read reaches the file
  char buffer[3000];
  EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, in), sizeof buffer);
  EXPECT_TRUE(watch(&position));
  EXPECT_EQ(position, sizeof buffer);
  std::fclose(in);
}

#if !defined(_WIN32)
// merlo at a terminal: a pseudo-terminal that a test types into.
class Terminal {
 public:
  Terminal(const std::vector<std::string>& args, const fs::path& home) {
    winsize size{};
    size.ws_col = 100;
    size.ws_row = 30;
    pid_ = forkpty(&fd_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      setenv("HOME", home.c_str(), 1);
      std::vector<char*> argv;
      const std::string merlo = Built(kMerlo).string();
      argv.push_back(const_cast<char*>(merlo.c_str()));
      for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) kill(pid_, SIGKILL);
    if (fd_ >= 0) close(fd_);
  }

  void Type(const std::string& keys) {
    ASSERT_EQ(write(fd_, keys.data(), keys.size()), ssize_t(keys.size()));
  }

  // Everything shown until the text appears after what was already read; empty on time-out.
  std::string Await(const std::string& text) {
    for (int waited = 0; waited < 200; ++waited) {
      const size_t at = shown_.find(text, seen_);
      if (at != std::string::npos) {
        const std::string part = shown_.substr(seen_, at + text.size() - seen_);
        seen_ = at + text.size();
        return part;
      }
      pollfd ready{fd_, POLLIN, 0};
      if (poll(&ready, 1, 100) > 0) {
        char buffer[4096];
        const ssize_t got = read(fd_, buffer, sizeof buffer);
        if (got > 0) shown_.append(buffer, static_cast<size_t>(got));
      }
    }
    ADD_FAILURE() << "no \"" << text << "\" in:\n" << shown_.substr(seen_);
    return "";
  }

  int Status() {
    int status = 0;
    for (int waited = 0; waited < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++waited) {
      // Reads on, so that the child is never blocked on a full terminal.
      pollfd ready{fd_, POLLIN, 0};
      char buffer[4096];
      if (poll(&ready, 1, 100) > 0 && read(fd_, buffer, sizeof buffer) <= 0) usleep(100000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  int fd_ = -1;
  pid_t pid_ = -1;
  std::string shown_;
  size_t seen_ = 0;
};

// A slow device: each read of the emulated library takes 0.7 s, so a file
// of two chunks takes 1.4 s.
TEST_F(ShellTest, AtATerminalALongCopyShowsItsProgressAndCtrlCStopsBetweenFiles) {
  for (const char* name : {"b1.bin", "b2.bin", "b3.bin"})
    WriteFile(device_ / name, std::string(3000, 'b'));
  SetFaults("slow=CeReadFile:700");
  Terminal terminal({"--device", device_.string()}, scratch_);
  terminal.Await("merlo \\> ");
  terminal.Type("get b1.bin b2.bin b3.bin " + pc_.string() + "\r");
  terminal.Await("b1.bin  2.0 KiB of 2.9 KiB  68%");  // read from the growing file
  terminal.Type("\x03");
  terminal.Await("stopping after b1.bin");
  terminal.Await("interrupted after 1 of 3");
  terminal.Await("merlo \\> ");
  EXPECT_EQ(ReadFile(pc_ / "b1.bin"), std::string(3000, 'b'));
  EXPECT_FALSE(fs::exists(pc_ / "b2.bin"));
  // A second Ctrl-C ends merlo at once, and says what may be half written.
  terminal.Type("get b2.bin b3.bin " + pc_.string() + "\r");
  terminal.Await("68%");
  terminal.Type("\x03");
  terminal.Await("stopping after b2.bin");
  terminal.Type("\x03");
  terminal.Await((pc_ / "b2.bin").string() + " may hold part of b2.bin");
  EXPECT_EQ(terminal.Status(), 130);
  SetFaults("");
}

// A Ctrl-C that stops a batch or a script always ends with what it stopped
// and what was not run, even when it comes during the last file.
TEST_F(ShellTest, AtATerminalCtrlCTellsWhatItStoppedAndWhatWasNotRun) {
  struct Case {
    const char* Label;
    std::vector<std::string> Words;  // after --device DIR
    std::string Script;              // for -b, or ""
    const char* Faults;
    const char* Before;  // shown before the Ctrl-C is typed
    std::vector<std::string> Told;
  };
  const std::string pc = pc_.string();
  const std::vector<Case> cases = {
      {"-b, during its only file",
       {"-b", (scratch_ / "script.txt").string()},
       "ls\nget big.bin " + pc + "\n\n# on\n-pwd\nls\n",
       "slow=CeReadFile:700",
       "68%",
       {"get: interrupted after 1 of 1 file\r\n", "merlo: script stopped at line 2 (get big.bin " +
                                                      pc +
                                                      ") by Ctrl-C; lines 5-6 were not run\r\n"}},
      // A word that holds ";" is shown quoted, as it must be typed again.
      {"commands on the command line",
       {"get", "big.bin", pc + ";", "ls", "a;b"},
       "",
       "slow=CeReadFile:700",
       "68%",
       {"get: interrupted after 1 of 1 file\r\n",
        "merlo: stopped at get big.bin " + pc + " by Ctrl-C; not run: ls \"a;b\"\r\n"}},
      {"rm, a line with ;",
       {"-b", (scratch_ / "script.txt").string()},
       "rm r1.txt r2.txt r3.txt; ls\n",
       "slow=CeDeleteFile:1500",
       "deleting r2.txt  1 s",  // the live line of a slow deletion
       {"rm: stopping after the deletion of r2.txt", "rm: not tried: r3.txt\r\n",
        "rm: interrupted after 2 of 3 files\r\n",
        "merlo: script stopped at line 1 (rm r1.txt r2.txt r3.txt) by Ctrl-C; the rest of "
        "line 1 (ls) was not run\r\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    WriteFile(device_ / "big.bin", std::string(3000, 'b'));
    for (const char* name : {"r1.txt", "r2.txt", "r3.txt"}) WriteFile(device_ / name, name);
    WriteFile(scratch_ / "script.txt", c.Script);
    SetFaults(c.Faults);
    std::vector<std::string> words = {"--device", device_.string()};
    words.insert(words.end(), c.Words.begin(), c.Words.end());
    Terminal terminal(words, scratch_);
    terminal.Await(c.Before);
    terminal.Type("\x03");
    for (const auto& line : c.Told) terminal.Await(line);
    EXPECT_EQ(terminal.Status(), 1);
    SetFaults("");
    fs::remove_all(pc_ / "big.bin");
  }
}

// put's live line tells how far the module has read the PC file.
TEST_F(ShellTest, AtATerminalALongPutShowsItsProgress) {
  WriteFile(pc_ / "up.bin", std::string(6000, 'u'));
  SetFaults("slow=CeWriteFile:700");
  Terminal terminal({"--device", device_.string(), "put", (pc_ / "up.bin").string()}, scratch_);
  const std::string shown = terminal.Await("KiB of 5.9 KiB");
  EXPECT_EQ(shown.find("0 B of"), std::string::npos) << shown;
  terminal.Await("copied 1 of 1 file");
  EXPECT_EQ(terminal.Status(), 0);
  SetFaults("");
  EXPECT_EQ(ReadFile(device_ / "up.bin"), std::string(6000, 'u'));
}

TEST_F(ShellTest, AtATerminalTabCompletesAndCtrlCDropsTheLine) {
  WriteFile(device_ / "docs" / "my notes.txt", "n");
  Terminal terminal({"--device", device_.string()}, scratch_);
  terminal.Await("merlo \\> ");
  terminal.Type("cd do\t");
  terminal.Await("cs\\");  // the line is redrawn from the cursor on
  terminal.Type("\r");
  terminal.Await("merlo \\docs> ");
  terminal.Type("get my\t");
  terminal.Await("\"my notes.txt\" ");
  terminal.Type("\x03");  // Ctrl-C: the line is dropped, merlo stays
  terminal.Await("merlo \\docs> ");
  terminal.Type("ls nosuch*\r");
  terminal.Await("no match");
  terminal.Await("merlo \\docs> ");
  // The history is saved after every command.
  const std::string history = ReadFile(scratch_ / ".merlo_history");
  EXPECT_CONTAINS(history, "nosuch*");
  EXPECT_EQ(history.find("my\\040notes"), std::string::npos);
  terminal.Type("exit\r");
  EXPECT_EQ(terminal.Status(), 1);  // that of the last command
  EXPECT_FALSE(fs::exists(pc_ / "my notes.txt"));
}

// Tab by characters: after letters with accents the word is found and
// replaced whole, a common start never ends inside a character, and device
// paths written with "/" complete as those with "\" do.
TEST_F(ShellTest, AtATerminalTabCompletesByCharacters) {
  WriteFile(device_ / "Résumé.txt", "cv");
  WriteFile(device_ / "accents" / "é1.txt", "1");
  WriteFile(device_ / "accents" / "è2.txt", "2");
  WriteFile(pc_ / "Été photos" / "plage.jpg", "jpg");
  Terminal terminal({"--device", device_.string()}, scratch_);
  terminal.Await("merlo \\> ");
  terminal.Type("ls Ré\t\r");
  terminal.Await("2  Résumé.txt\r\n");
  terminal.Await("merlo \\> ");
  terminal.Type("lls " + pc_.string() + "/É\t\r");
  terminal.Await("3  plage.jpg\r\n");
  terminal.Await("merlo \\> ");
  terminal.Type("ls /docs/in\t\r");
  terminal.Await("11  inner.txt\r\n");
  terminal.Await("merlo \\> ");
  terminal.Type("cd accents\r");
  terminal.Await("merlo \\accents> ");
  terminal.Type("get \t");
  terminal.Await("è2.txt  é1.txt");         // the choices: é and è share their first byte
  terminal.Await("merlo \\accents> get ");  // and the line as it was
  terminal.Type("\x03");
  terminal.Await("merlo \\accents> ");
  // A typed byte that is no UTF-8 stays that byte, and is refused: it is
  // never taken for the character of the same value (é).
  WriteFile(pc_ / "café.txt", "UTF-8 name");
  WriteFile(pc_ / "caf\xE9.txt", "Latin-1 name");
  terminal.Type("put " + pc_.string() + "/caf\xE9.txt\r");
  terminal.Await("caf\\xE9.txt: it is not valid UTF-8");
  terminal.Await("merlo \\accents> ");
  EXPECT_FALSE(fs::exists(device_ / "accents" / "café.txt"));
  terminal.Type("exit\r");
  EXPECT_EQ(terminal.Status(), 1);  // that of the refused put
}
#endif

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

// Where the last word of get and put sends the files: always the destination,
// a folder, or with one source file the name to save under.
TEST_F(ShellTest, TheLastWordIsAlwaysTheDestination) {
  const struct {
    std::string Line;  // run in the PC folder
    std::string Faults;
    int Status;
    std::vector<std::pair<std::string, std::string>> Files;  // "pc/..." or "device/...": contents
  } cases[] = {
      {"get a.txt new.txt", "", 0, {{"pc/new.txt", "alpha"}, {"pc/a.txt", ""}}},
      {"get a.txt .", "", 0, {{"pc/a.txt", "alpha"}}},
      {"get a.txt missing/", "", 1, {{"pc/missing", ""}}},
      {"get a.txt b.bin missing", "", 1, {{"pc/missing", ""}}},
      {"get -r docs made/deeper", "", 0, {{"pc/made/deeper/docs/inner.txt", "inside docs"}}},
      // An unrelated file of the source's name stays as it is.
      {"get a.txt f.txt", "", 0, {{"pc/f.txt", "alpha"}}},
      {"get b.bin new.bin",
       "",
       0,
       {{"pc/new.bin", std::string(3000, '\x7f')}, {"pc/b.bin", "pc b"}}},
      // A failed copy under a new name keeps the old file there.
      {"get b.bin keep.txt", "short-read=1", 1, {{"pc/keep.txt", "kept"}, {"pc/b.bin", "pc b"}}},
      {"put f.txt docs\\g.txt", "", 0, {{"device/docs/g.txt", "pc f"}, {"device/docs/f.txt", ""}}},
      {"put a.txt b.bin", "", 0, {{"device/b.bin", "pc a"}, {"device/a.txt", "alpha"}}},
      {"put f.txt a.txt nowhere", "", 1, {{"device/f.txt", ""}}},
      {"put -r t made", "", 0, {{"device/made/t/x.txt", "tx"}}},
  };
  for (const auto& c : cases) {
    fs::remove_all(pc_);
    fs::remove_all(device_);
    SetUp();
    WriteFile(pc_ / "f.txt", "pc f");
    WriteFile(pc_ / "a.txt", "pc a");
    WriteFile(pc_ / "keep.txt", "kept");
    WriteFile(pc_ / "b.bin", "pc b");
    WriteFile(pc_ / "t" / "x.txt", "tx");
    if (c.Line.rfind("get", 0) == 0) fs::remove(pc_ / "a.txt");
    SetFaults(c.Faults);
    const Outcome outcome = Script("lcd " + pc_.string() + "\n" + c.Line + "\n");
    SetFaults("");
    EXPECT_EQ(outcome.status, c.Status) << c.Line << "\n" << outcome.err;
    for (const auto& [path, contents] : c.Files) {
      const fs::path file = scratch_ / path;
      if (contents.empty()) {
        EXPECT_FALSE(fs::exists(file)) << c.Line << ": " << path;
      } else {
        EXPECT_EQ(ReadFile(file), contents) << c.Line << ": " << path;
      }
    }
    // Nothing of merlo's own staging is left on either side.
    for (const auto& side : {pc_, device_}) {
      for (const auto& entry : fs::recursive_directory_iterator(side)) {
        EXPECT_EQ(entry.path().filename().string().find("merlo-"), std::string::npos)
            << c.Line << ": " << entry.path();
      }
    }
  }

  // The same script does the same thing every night: the second run finds
  // the folder the first one made, and copies into it again.
  const std::string night = "lcd " + pc_.string() + "\nget -r docs backup \"My Backup\"\n";
  for (int run = 0; run < 2; ++run) {
    const Outcome outcome = Script(night);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(pc_)) {
      files.push_back(fs::relative(entry.path(), pc_).generic_string());
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"My Backup", "My Backup/backup", "My Backup/docs",
                                               "My Backup/docs/inner.txt", "a.txt", "b.bin",
                                               "f.txt", "keep.txt", "t", "t/x.txt"}))
        << "run " << run;
  }
}

void SetHome(const fs::path& home) {
#if defined(_WIN32)
  _putenv(("USERPROFILE=" + home.string()).c_str());
#else
  setenv("HOME", home.c_str(), 1);
#endif
}

// What sftp users type by habit.
TEST_F(ShellTest, SftpHabits) {
  const fs::path home = scratch_ / "home";
  WriteFile(home / "sub" / "h.txt", "from home");
  WriteFile(pc_ / "one.txt", "1");
  WriteFile(pc_ / "two.log", "22");
#if defined(_WIN32)
  const char* const homeVariable = "USERPROFILE";
#else
  const char* const homeVariable = "HOME";
#endif
  const char* const saved = std::getenv(homeVariable);
  const std::string savedHome = saved != nullptr ? saved : "";
  SetHome(home);
  const Outcome outcome = Script("lcd " + pc_.string() +
                                 "\n"
                                 "lls -l *.txt two.log\n"
                                 "lcd\n"
                                 "lls ~/sub\n"
                                 "put ~/sub/h.txt\n"
                                 "get a.txt ~/sub/a2.txt\n"
                                 "lcd ~/sub\n"
                                 "bye\n"
                                 "ls\n");
  SetHome(savedHome);
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_CONTAINS(outcome.out, "            1  one.txt\n");
  EXPECT_CONTAINS(outcome.out, "            2  two.log\n0 folders, 2 files, 3 bytes\n");
  EXPECT_CONTAINS(outcome.out, "lcd\n" + home.string() + "\n");
  EXPECT_CONTAINS(outcome.out, "            9  h.txt\n");
  EXPECT_CONTAINS(outcome.out, "lcd ~/sub\n" + (home / "sub").string() + "\n");
  EXPECT_EQ(outcome.out.find("b.bin"), std::string::npos);  // after bye nothing runs
  EXPECT_EQ(ReadFile(device_ / "h.txt"), "from home");
  EXPECT_EQ(ReadFile(home / "sub" / "a2.txt"), "alpha");
  EXPECT_NE(Script("lls nothing*\n").status, 0);

#if !defined(_WIN32)
  // A local command gets the whole rest of the line; its failure stops a script.
  const Outcome local = Script("!echo one; echo two\n!exit 3\nls\n");
  EXPECT_EQ(local.status, 1);
  EXPECT_CONTAINS(local.out, "one\ntwo\n");
  EXPECT_CONTAINS(local.err, "ended with status 3");
  EXPECT_EQ(local.out.find("b.bin"), std::string::npos);
  // "!" alone starts $SHELL.
  WriteFile(scratch_ / "shell.sh", "#!/bin/sh\necho in the shell\n");
  fs::permissions(scratch_ / "shell.sh", fs::perms::owner_exec, fs::perm_options::add);
  const char* const shell = std::getenv("SHELL");
  const std::string savedShell = shell != nullptr ? shell : "";
  setenv("SHELL", (scratch_ / "shell.sh").c_str(), 1);
  const Outcome interactive = Command({"!"});
  setenv("SHELL", savedShell.c_str(), 1);
  EXPECT_EQ(interactive.status, 0) << interactive.err;
  EXPECT_CONTAINS(interactive.out, "in the shell\n");
#endif
}
