// The fault sweep: merlo, the module and the emulated device, run as a user runs
// them, through every file operation and every device fault that the operation
// reaches. A clean run of each operation counts its device calls (the library's
// report, MERLO_DEVICE_REPORT); then each call position fails in a run of its
// own (fail=CALL:N), and each read and write position moves short
// (short-read=N, short-write=N). Every run is judged by what does not depend on
// merlo's wording: its exit status, the files on disk, the module's error boxes
// on stderr, the library's report and whether a following `ls` works. The
// lying device comes last: each call that changes the device reports success
// and does nothing (noop=CALL:N), at each position; then no file may be lost,
// and a success must be one.
#if !defined(_WIN32)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

enum class Way { Download, Upload, Within, Delete };

struct Operation {
  const char* Command;  // merlo's command word
  Way Direction;
  bool Move;
  size_t Files;           // 1, or a batch of 3
  bool Existing = false;  // each destination holds an old file first
};

std::string NameOf(const Operation& op) {
  return std::string(op.Command) + (op.Move && op.Direction != Way::Within ? " -m" : "") +
         (op.Files == 1 ? "" : " x3") + (op.Existing ? " over old" : "");
}

const size_t kSizes[] = {3000, 5000, 2049};  // none a whole number of 2048-byte chunks

std::string Contents(size_t i) {
  std::string bytes(kSizes[i], '\0');
  uint32_t state = 0x2545F491u * static_cast<uint32_t>(i + 1);
  for (char& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<char>(state >> 16);
  }
  return bytes;
}

// A name as a test name: "put -m x3" is put_m_x3.
std::string TagOf(const std::string& name) {
  std::string tag;
  for (const char c : name) {
    if (std::isalnum(static_cast<unsigned char>(c))) tag += c;
    if (c == ' ') tag += '_';
  }
  return tag;
}
std::string TagOf(const Operation& op) { return TagOf(NameOf(op)); }

void PrintTo(const Operation& op, std::ostream* out) { *out << NameOf(op); }

// What an existing destination holds before the copy: shorter than the new file.
std::string OldContents(size_t i) { return "old " + std::to_string(i + 1) + "\n"; }

std::string FileName(size_t i) { return "f" + std::to_string(i + 1) + ".bin"; }

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

// The module's message text for an id, from the language file beside merlo.
std::string ModuleText(int id) {
  std::ifstream in(fs::path(MERLO_BUILD_DIR) / "MERLOEng.lng");
  std::string line;
  std::getline(in, line);
  for (int i = 0; std::getline(in, line);) {
    const size_t open = line.find('"'), close = line.rfind('"');
    if (open == std::string::npos || close == open) continue;
    if (i++ == id) return line.substr(open + 1, close - open - 1);
  }
  return "";
}

// Operation error boxes on stderr, told by the text before "%s" of the module's
// two operation messages (copy, delete).
size_t CountBoxes(const std::string& err) {
  static const std::vector<std::string> leads = [] {
    std::vector<std::string> found;
    for (const int id : {10, 11}) {
      const std::string text = ModuleText(id);
      found.push_back(text.substr(0, text.find("%s")));
    }
    return found;
  }();
  size_t count = 0;
  for (const std::string& lead : leads) {
    if (lead.empty()) continue;
    for (size_t at = err.find(lead); at != std::string::npos; at = err.find(lead, at + 1)) ++count;
  }
  return count;
}

// Sanitizer reports end the child with this status.
constexpr int kSanitizerStatus = 86;

struct Exit {
  int Status = -1;  // exit status, or 128 + signal
  std::string Err;
  std::string Out;  // when RunMerlo was given a file for it
};

// Runs merlo with `args` in `folder`, `environment` added to the test's own.
// Without `leakCheck` the leak check at exit, half of a start's cost, is left out.
Exit RunMerlo(const std::vector<std::string>& args, const fs::path& folder,
              const std::vector<std::string>& environment, const fs::path& errFile,
              bool leakCheck = true, const fs::path& outFile = "/dev/null") {
  std::vector<std::string> env;
  std::string asan = "ASAN_OPTIONS=", ubsan = "UBSAN_OPTIONS=";
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("MERLO_DEVICE_", 0) == 0) continue;
    if (entry.rfind("ASAN_OPTIONS=", 0) == 0) {
      asan = entry + ":";
    } else if (entry.rfind("UBSAN_OPTIONS=", 0) == 0) {
      ubsan = entry + ":";
    } else {
      env.push_back(entry);
    }
  }
  env.push_back(asan + "exitcode=" + std::to_string(kSanitizerStatus) +
                (leakCheck ? "" : ":detect_leaks=0"));
  env.push_back(ubsan + "exitcode=" + std::to_string(kSanitizerStatus));
  env.insert(env.end(), environment.begin(), environment.end());
  std::vector<char*> envp, argv;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string merlo = (fs::path(MERLO_BUILD_DIR) / "merlo").string();
  std::vector<std::string> words = args;
  argv.push_back(merlo.data());
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, merlo.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  Exit exit;
  if (spawned != 0) {
    exit.Err = "posix_spawn: " + std::string(std::strerror(spawned));
    return exit;
  }
  // A run that hangs is stopped after a minute and counts as killed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  exit.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  exit.Err = ReadFile(errFile);
  if (outFile != "/dev/null") exit.Out = ReadFile(outFile);
  return exit;
}

// The library's report: "CALL N" lines and "open-handles N".
std::map<std::string, int> ReadReport(const fs::path& path) {
  std::map<std::string, int> report;
  std::ifstream in(path);
  std::string name;
  int count;
  while (in >> name >> count) report[name] = count;
  return report;
}

const char* const kCalls[] = {"CeRapiUninit", "CeFindAllFiles", "CeRapiFreeBuffer",
                              "CeCreateFile", "CeGetFileSize",  "CeReadFile",
                              "CeWriteFile",  "CeCloseHandle",  "CeCopyFile",
                              "CeMoveFile",   "CeDeleteFile"};

// What a fault must do to an operation.
enum class Effect {
  None,     // the module does not look at the call's result
  Fails,    // the operation fails with one box
  Listing,  // the listing comes back empty: merlo may fail, the module shows no box
};

Effect EffectOf(const Operation& op, const std::string& fault) {
  if (fault.rfind("short-", 0) == 0) return Effect::Fails;
  const std::string call = fault.substr(5, fault.find(':') - 5);  // "fail=CALL:N"
  if (call == "CeRapiUninit" || call == "CeRapiFreeBuffer") return Effect::None;
  if (call == "CeFindAllFiles") return Effect::Listing;
  // Only an upload writes through a device handle; a download's device handle is read.
  if (call == "CeCloseHandle") return op.Direction == Way::Upload ? Effect::Fails : Effect::None;
  return Effect::Fails;
}

class Scene {
 public:
  Scene(const Operation& op, const fs::path& folder) : op_(op), folder_(folder) {
    fs::remove_all(folder_);
    fs::create_directories(Device() / "sub");
    fs::create_directories(Pc());
    for (size_t i = 0; i < op_.Files; ++i) {
      WriteFile(Source(i), Contents(i));
      if (op_.Existing) WriteFile(Destination(i), OldContents(i));
    }
  }

  // The file a path in merlo's messages names: "\\a\\b" on the device, else a PC path.
  fs::path FileOf(const std::string& shown) const {
    if (shown.empty() || shown[0] != '\\') return fs::path(shown);
    std::string relative = shown.substr(1);
    for (char& c : relative) c = c == '\\' ? '/' : c;
    return Device() / relative;
  }

  fs::path Device() const { return folder_ / "device"; }
  fs::path Pc() const { return folder_ / "pc"; }

  fs::path Source(size_t i) const {
    return (op_.Direction == Way::Upload ? Pc() : Device()) / FileName(i);
  }
  fs::path Destination(size_t i) const {
    switch (op_.Direction) {
      case Way::Download:
        return Pc() / FileName(i);
      case Way::Upload:
        return Device() / FileName(i);
      case Way::Within:
        return Device() / "sub" / FileName(i);
      case Way::Delete:
        break;
    }
    return fs::path();
  }

  // The operation as merlo's command line, with the folder to run it in.
  std::vector<std::string> Words() const {
    std::vector<std::string> words = {"--device", Device().string(), op_.Command};
    if (op_.Move && op_.Direction != Way::Within) words.push_back("-m");
    for (size_t i = 0; i < op_.Files; ++i) words.push_back(FileName(i));
    if (op_.Direction == Way::Download) words.push_back(Pc().string());
    if (op_.Direction == Way::Within) words.push_back("sub");
    // With several files the last word is the device folder.
    if (op_.Direction == Way::Upload && op_.Files > 1) words.push_back(".");
    return words;
  }
  fs::path Folder() const { return op_.Direction == Way::Upload ? Pc() : folder_; }

  // The leak check at exit runs on the clean run: it doubles a run's cost.
  Exit Run(const std::string& faults, bool leakCheck = true) const {
    return RunMerlo(Words(), Folder(),
                    {"MERLO_DEVICE_FAULTS=connect-delay=0," + faults,
                     "MERLO_DEVICE_REPORT=" + (folder_ / "report.txt").string()},
                    folder_ / "err.txt", leakCheck);
  }
  std::map<std::string, int> Report() const { return ReadReport(folder_ / "report.txt"); }
  Exit List() const {
    return RunMerlo({"--device", Device().string(), "ls"}, folder_, {}, folder_ / "ls-err.txt",
                    false);
  }

  // Whether every file is where the operation meant it to be, with no source left
  // of a move; `lost` gets the sources that are neither intact nor copied whole.
  bool Inspect(std::vector<std::string>* lost) const {
    bool complete = true;
    for (size_t i = 0; i < op_.Files; ++i) {
      const auto holds = [&](const fs::path& p) {
        return fs::exists(p) && ReadFile(p) == Contents(i);
      };
      const bool deleting = op_.Direction == Way::Delete;
      const bool gone = !fs::exists(Source(i)), intact = holds(Source(i));
      const bool copied = !deleting && holds(Destination(i));
      if (!intact && !copied && !(deleting && gone)) {
        lost->push_back(FileName(i) + (gone ? " lost" : " damaged"));
      }
      complete = complete && (deleting ? gone : copied && (op_.Move ? gone : intact));
    }
    return complete;
  }

 private:
  Operation op_;
  fs::path folder_;
};

// Every sentence merlo says about what a failure left, checked against the
// file it names: "X is as it was" (the old file), "X holds a complete copy",
// "partial copy at X (N of M bytes)", "nothing was left at X".
std::vector<std::string> CheckSentences(const Operation& op, const Scene& scene,
                                        const std::string& err) {
  std::vector<std::string> broken;
  const auto indexOf = [&](const fs::path& file) {
    for (size_t i = 0; i < op.Files; ++i) {
      if (file.filename() == FileName(i)) return i;
    }
    return size_t{0};
  };
  // The path before `end`, after the "; " or the command's ": " that starts the clause.
  const auto pathBefore = [](const std::string& line, size_t end) {
    size_t start = line.rfind("; ", end);
    start = start == std::string::npos ? line.find(": ") + 2 : start + 2;
    return line.substr(start, end - start);
  };
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);) {
    if (const size_t at = line.find(" is as it was"); at != std::string::npos) {
      const fs::path file = scene.FileOf(pathBefore(line, at));
      if (!op.Existing || !fs::exists(file) || ReadFile(file) != OldContents(indexOf(file))) {
        broken.push_back("said \"" + line + "\", but that file is not the old one");
      }
    }
    if (const size_t at = line.find(" holds a complete copy ("); at != std::string::npos) {
      const fs::path file = scene.FileOf(pathBefore(line, at));
      if (!fs::exists(file) || ReadFile(file) != Contents(indexOf(file))) {
        broken.push_back("said \"" + line + "\", but that file is no complete copy");
      }
    }
    if (const size_t at = line.find("partial copy at "); at != std::string::npos) {
      const size_t open = line.find(" (", at);
      const fs::path file = scene.FileOf(line.substr(at + 16, open - at - 16));
      const uint64_t size = std::strtoull(line.c_str() + open + 2, nullptr, 10);
      if (!fs::exists(file) || fs::file_size(file) != size) {
        broken.push_back("said \"" + line + "\", but the file there is not of that size");
      }
    }
    if (const size_t at = line.find("nothing was left at "); at != std::string::npos) {
      const size_t end = line.find(';', at);
      const std::string shown =
          line.substr(at + 20, end == std::string::npos ? std::string::npos : end - at - 20);
      if (fs::exists(scene.FileOf(shown))) {
        broken.push_back("said \"" + line + "\", but something is there");
      }
    }
  }
  return broken;
}

// The invariants of a copy over existing files: each ends as the new copy
// whole or the old file byte for byte, with its source; no old file is left
// under another name unless merlo named it; success is the whole job done.
std::vector<std::string> JudgeOverOld(const Operation& op, const Scene& scene, const Exit& run) {
  std::vector<std::string> broken;
  bool complete = true;
  for (size_t i = 0; i < op.Files; ++i) {
    const std::string now = fs::exists(scene.Destination(i)) ? ReadFile(scene.Destination(i)) : "";
    const bool intact = fs::exists(scene.Source(i)) && ReadFile(scene.Source(i)) == Contents(i);
    const bool copied = fs::exists(scene.Destination(i)) && now == Contents(i);
    const bool kept = fs::exists(scene.Destination(i)) && now == OldContents(i);
    if (!(copied && (intact || op.Move)) && !(kept && intact)) {
      broken.push_back(FileName(i) + ": neither the new copy whole nor the old file back");
    }
    complete = complete && copied && (op.Move ? !fs::exists(scene.Source(i)) : intact);
  }
  const fs::path folder = scene.Destination(0).parent_path();
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_directory() || name.rfind("f", 0) != 0 ||
        name.find(".merlo-old") == std::string::npos) {
      continue;
    }
    if (run.Err.find(name) == std::string::npos) broken.push_back(name + " left behind, unnamed");
  }
  const size_t boxes = CountBoxes(run.Err);
  if (boxes > 1) broken.push_back(std::to_string(boxes) + " boxes");
  if (run.Status == 0 && (!complete || boxes > 0)) {
    broken.push_back("exit status 0, yet not done");
  }
  if (run.Status != 0 && run.Err.empty()) broken.push_back("failed without a word");
  return broken;
}

// The four invariants for one run; what was broken, or nothing.
std::vector<std::string> Judge(const Operation& op, const std::string& fault, const Scene& scene,
                               const Exit& run) {
  std::vector<std::string> broken;
  if (run.Status == kSanitizerStatus || run.Status >= 128 ||
      run.Err.find("Sanitizer") != std::string::npos ||
      run.Err.find("runtime error:") != std::string::npos) {
    broken.push_back("crashed or a sanitizer reported (status " + std::to_string(run.Status) + ")");
  }
  for (std::string& b : CheckSentences(op, scene, run.Err)) broken.push_back(std::move(b));
  if (op.Existing) {
    for (std::string& b : JudgeOverOld(op, scene, run)) broken.push_back(std::move(b));
    const Exit ls = scene.List();
    if (ls.Status != 0) broken.push_back("a following ls failed");
    const auto report = scene.Report();
    if (report.count("open-handles") == 0 || report.at("open-handles") != 0) {
      broken.push_back("handles left open, or no report");
    }
    return broken;
  }
  const bool complete = scene.Inspect(&broken);
  const size_t boxes = CountBoxes(run.Err);
  const bool failed = boxes > 0 || !complete;
  const Effect effect = EffectOf(op, fault);
  // A fault on the calls that keep a copy's time, after the module's copy: the
  // copy is whole, merlo says so and fails.
  const bool timeOnly =
      run.Err.find("the copy is whole, its time is the copy's") != std::string::npos &&
      boxes == 0 && complete;
  if (timeOnly && run.Status != 1) {
    broken.push_back("exit status " + std::to_string(run.Status) + " for a time not kept");
  }
  // Without a listing merlo may count a command failed that the module completed.
  if (!timeOnly && (run.Status != 0) != failed && !(effect == Effect::Listing && complete)) {
    broken.push_back("exit status " + std::to_string(run.Status) + " for an operation that " +
                     (failed ? "failed" : "succeeded"));
  }
  const size_t wanted = effect == Effect::Fails && !timeOnly ? 1 : 0;
  if (boxes != wanted) {
    broken.push_back(std::to_string(boxes) + " boxes, not " + std::to_string(wanted));
  }
  if (effect == Effect::None && !complete) broken.push_back("a harmless fault failed it");

  const auto report = scene.Report();
  const auto handles = report.find("open-handles");
  if (handles == report.end()) {
    broken.push_back("no report from the device library");
  } else if (handles->second != 0) {
    broken.push_back(std::to_string(handles->second) + " handles left open");
  }
  const Exit ls = scene.List();
  if (ls.Status != 0)
    broken.push_back("a following ls failed (status " + std::to_string(ls.Status) + ")");
  return broken;
}

fs::path SweepFolder() {
  static const fs::path folder =
      fs::temp_directory_path() / ("merlo-sweep-" + std::to_string(getpid()));
  return folder;
}

std::atomic<size_t> gCombinations{0};

// Runs each fault in a folder of its own below base, three at a time, with
// `judge` saying what broke; a broken run fails the test and keeps its folder.
void RunFaults(const std::string& name, const fs::path& base,
               const std::vector<std::string>& faults,
               const std::function<std::vector<std::string>(const std::string& fault,
                                                            const fs::path& folder)>& judge) {
  std::mutex lock;
  std::vector<std::string> failures;
  std::atomic<size_t> next{0};
  const auto work = [&] {
    for (size_t i; (i = next++) < faults.size();) {
      const fs::path folder = base / std::to_string(i);
      const std::vector<std::string> broken = judge(faults[i], folder);
      if (broken.empty()) {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        continue;
      }
      std::string line = name + " with " + faults[i] + ":";
      for (const std::string& b : broken) line += " " + b + ";";
      const std::lock_guard<std::mutex> guard(lock);
      failures.push_back(line + " (left in " + folder.string() + ")");
    }
  };
  std::vector<std::thread> workers;
  for (int w = 0; w < 3; ++w) workers.emplace_back(work);
  for (std::thread& t : workers) t.join();

  gCombinations += faults.size();
  const auto listings = std::count_if(faults.begin(), faults.end(), [](const std::string& f) {
    return f.rfind("fail=CeFindAllFiles:", 0) == 0;
  });
  std::cout << "[ sweep    ] " << name << ": " << faults.size() << " fault positions, " << listings
            << " of them listings\n";
  for (const std::string& failure : failures) ADD_FAILURE() << failure;
  if (failures.empty()) {
    std::error_code ignored;
    fs::remove_all(base, ignored);
  }
}

class FaultSweep : public testing::TestWithParam<Operation> {};

TEST_P(FaultSweep, NothingIsLostUnderAnyFault) {
  const Operation op = GetParam();
  const fs::path base = SweepFolder() / TagOf(op);

  // The clean run: it succeeds, and its call counts give the fault positions.
  const Scene clean(op, base / "clean");
  const Exit cleanRun = clean.Run("");
  std::vector<std::string> lost;
  ASSERT_EQ(cleanRun.Status, 0) << cleanRun.Err;
  ASSERT_TRUE(clean.Inspect(&lost));
  ASSERT_EQ(CountBoxes(cleanRun.Err), 0u) << cleanRun.Err;
  const auto counts = clean.Report();
  ASSERT_EQ(counts.count("open-handles"), 1u) << "no report from the device library";
  ASSERT_EQ(counts.at("open-handles"), 0);

  std::vector<std::string> faults;
  std::vector<std::string> calls(std::begin(kCalls), std::end(kCalls));
  // merlo's own calls about the destination: what is there, the device's reason.
  if (op.Existing) calls.insert(calls.end(), {"CeGetFileAttributes", "CeGetLastError"});
  for (const std::string& call : calls) {
    const auto it = counts.find(call);
    for (int n = 1; it != counts.end() && n <= it->second; ++n) {
      faults.push_back("fail=" + call + ":" + std::to_string(n));
    }
  }
  for (const auto& [kind, call] : {std::pair<const char*, const char*>{"short-read", "CeReadFile"},
                                   {"short-write", "CeWriteFile"}}) {
    for (int n = 1; n <= counts.at(call); ++n)
      faults.push_back(kind + std::string("=") + std::to_string(n));
  }

  // Each fault in a scene of its own.
  RunFaults(NameOf(op), base, faults, [&](const std::string& fault, const fs::path& folder) {
    const Scene scene(op, folder);
    return Judge(op, fault, scene, scene.Run(fault, false));
  });
}

std::vector<Operation> AllOperations() {
  const Operation single[] = {
      {"get", Way::Download, false, 1}, {"get", Way::Download, true, 1},
      {"put", Way::Upload, false, 1},   {"put", Way::Upload, true, 1},
      {"cp", Way::Within, false, 1},    {"mv", Way::Within, true, 1},
      {"rm", Way::Delete, false, 1},
  };
  std::vector<Operation> all;
  for (const size_t files : {1, 3}) {
    for (Operation op : single) {
      op.Files = files;
      all.push_back(op);
      // A copy over existing files, to the PC and to the device (a batch
      // without -m: the sweep's time).
      if ((op.Direction == Way::Download || op.Direction == Way::Upload) &&
          (files == 1 || !op.Move)) {
        op.Existing = true;
        all.push_back(op);
      }
    }
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultSweep, testing::ValuesIn(AllOperations()),
                         [](const testing::TestParamInfo<Operation>& info) {
                           return TagOf(info.param);
                         });

// The folder commands and tree copies: each fault position of a clean run's
// calls, the further calls included, in a scene of its own.
struct TreeOp {
  const char* Name;
  std::vector<std::string> Words;  // after --device DEV; "PC" stands for the PC folder
  // The files each must end as ("" for absent); a file may also keep what it held before.
  std::vector<std::pair<std::string, int>> Goal;  // path below the scene, content index or -1
  bool DeletesOld;  // --delete: what the source lacks goes, only after the copies
  // Every device listing it makes decides what it does: a failed one fails
  // it, names the folder, and neither a count that claims all nor a deletion
  // follows from it.
  bool ListingsJudged = false;
};

// device/tree: a.bin (2), sub/b.bin (1), empty/, old.bin (0)
// pc/tree:     a.bin (0), sub/b.bin (1), empty/;  pc/copy: stale.bin (0), sub/b.bin (0)
class TreeScene {
 public:
  explicit TreeScene(const fs::path& folder) : folder_(folder) {
    fs::remove_all(folder_);
    for (const char* f : {"device/tree/sub", "device/tree/empty", "device/dest", "pc/tree/sub",
                          "pc/tree/empty", "pc/copy/sub"}) {
      fs::create_directories(folder_ / f);
    }
    Write("device/tree/a.bin", 2);
    Write("device/tree/sub/b.bin", 1);
    Write("device/tree/old.bin", 0);
    Write("pc/tree/a.bin", 0);
    Write("pc/tree/sub/b.bin", 1);
    Write("pc/copy/stale.bin", 0);
    // An older copy: a device folder read as empty would have it deleted.
    Write("pc/copy/sub/b.bin", 0);
    // Older than the PC's, so that mirror -R copies b.bin too.
    fs::last_write_time(folder_ / "device/tree/sub/b.bin",
                        fs::last_write_time(folder_ / "pc/tree/sub/b.bin") - std::chrono::hours(1));
    for (const auto& entry : fs::recursive_directory_iterator(folder_)) {
      if (entry.is_regular_file()) before_[entry.path()] = ReadFile(entry.path());
    }
  }
  void Write(const char* path, int content) { WriteFile(folder_ / path, Contents(content)); }
  const fs::path& Folder() const { return folder_; }
  std::string Before(const fs::path& path) const {
    const auto it = before_.find(path);
    return it == before_.end() ? std::string() : it->second;
  }
  bool Had(const fs::path& path) const { return before_.count(path) != 0; }

  Exit Run(const TreeOp& op, const std::string& faults, bool leakCheck) const {
    std::vector<std::string> words = {"--device", (folder_ / "device").string()};
    for (const auto& w : op.Words) words.push_back(w == "PC" ? (folder_ / "pc").string() : w);
    for (auto& w : words) {
      if (w.rfind("PC/", 0) == 0) w = (folder_ / "pc" / w.substr(3)).string();
    }
    return RunMerlo(words, folder_,
                    {"MERLO_DEVICE_FAULTS=connect-delay=0," + faults,
                     "MERLO_DEVICE_REPORT=" + (folder_ / "report.txt").string()},
                    folder_ / "err.txt", leakCheck, folder_ / "out.txt");
  }

 private:
  fs::path folder_;
  std::map<fs::path, std::string> before_;
};

// A failed listing (fail=CeFindAllFiles:N) of an operation whose listings
// decide: failing, it names a device folder that exists as the one it could
// not read (or a file it could not ask about); its last count claims no
// complete success; and nothing that was there and that the source has is
// gone. It may succeed only when all is done (a listing the device showed to
// be empty after all).
void JudgeListing(const TreeOp& op, const TreeScene& scene, const Exit& run,
                  std::vector<std::string>* broken) {
  const fs::path& base = scene.Folder();
  if (run.Status != 0) {
    // A folder it could not list, or a file whose state it could not ask for.
    bool named = false;
    for (const std::string lead :
         {"cannot read \\", "cannot tell what is at \\", "cannot set \\"}) {
      for (size_t at = run.Err.find(lead); at != std::string::npos;
           at = run.Err.find(lead, at + 1)) {
        std::string entry = run.Err.substr(at + lead.size());
        entry = entry.substr(0, std::min(entry.find(':'), entry.find(" aside")));
        std::replace(entry.begin(), entry.end(), '\\', '/');
        named = named || fs::exists(base / "device" / entry);
      }
    }
    if (!named) broken->push_back("failed without naming a device entry it could not read");
    std::string line, last;
    for (std::istringstream out(run.Out); std::getline(out, line);) {
      if (line.rfind("copied ", 0) == 0 || line.rfind("deleted ", 0) == 0) last = line;
    }
    std::istringstream words(last);
    std::string verb, of, unit, more;
    long done = -1, total = -2;
    if (words >> verb >> done >> of >> total >> unit && done == total && !(words >> more)) {
      broken->push_back("its count claims all: " + last);
    }
  }
  for (const auto& [path, content] : op.Goal) {
    if (content >= 0 && scene.Had(base / path) && !fs::exists(base / path)) {
      broken->push_back(path + " was there and is gone");
    }
  }
  if (run.Err.find("nothing was deleted") != std::string::npos) {
    for (const char* file : {"device/tree/a.bin", "device/tree/sub/b.bin", "device/tree/old.bin"}) {
      if (!fs::exists(base / file)) broken->push_back(std::string(file) + " is gone all the same");
    }
  }
}

std::vector<std::string> JudgeTree(const TreeOp& op, const TreeScene& scene, const Exit& run,
                                   const std::string& fault = "") {
  std::vector<std::string> broken;
  if (op.ListingsJudged && fault.rfind("fail=CeFindAllFiles:", 0) == 0) {
    JudgeListing(op, scene, run, &broken);
  }
  if (run.Status == kSanitizerStatus || run.Status >= 128 ||
      run.Err.find("Sanitizer") != std::string::npos ||
      run.Err.find("runtime error:") != std::string::npos) {
    broken.push_back("crashed or a sanitizer reported (status " + std::to_string(run.Status) + ")");
  }
  const fs::path& base = scene.Folder();
  bool reached = true, allCopied = true;
  for (const auto& [path, content] : op.Goal) {
    const fs::path file = base / path;
    const bool exists = fs::exists(file);
    const std::string now = exists && !fs::is_directory(file) ? ReadFile(file) : std::string();
    // -1: absent; -2: a folder
    const bool done = content == -2 ? fs::is_directory(file)
                      : content < 0 ? !exists
                                    : exists && now == Contents(content);
    reached = reached && done;
    if (content >= 0) allCopied = allCopied && done;
    if (done || !exists || content < 0 || (scene.Had(file) && now == scene.Before(file))) continue;
    // Anything else there is a partial copy, and merlo must have named it.
    if (run.Err.find("partial copy at") == std::string::npos ||
        run.Err.find(file.filename().string()) == std::string::npos) {
      broken.push_back(path + " holds something unnamed");
    }
  }
  if (run.Status == 0 && !reached) broken.push_back("exit status 0, yet not done");
  // A rename moves, never loses: the content is at one of the two names.
  if (std::string(op.Name) == "rename" && ReadFile(base / "device/tree/a.bin") != Contents(2) &&
      ReadFile(base / "device/tree/sub/r.bin") != Contents(2)) {
    broken.push_back("the renamed file is lost");
  }
  // A folder goes only once its contents went.
  const fs::path tree = base / "device" / "tree";
  if (fs::exists(tree / "sub" / "b.bin") || fs::exists(tree / "a.bin")) {
    for (const char* f : {"", "sub"}) {
      if (!fs::is_directory(tree / f))
        broken.push_back(std::string("removed the folder tree/") + f);
    }
  }
  // --delete removes nothing when a copy failed.
  if (op.DeletesOld && !allCopied) {
    const bool oldKept = fs::exists(base / "pc" / "copy" / "stale.bin") &&
                         fs::exists(base / "device" / "tree" / "old.bin");
    if (!oldKept) broken.push_back("deleted what the source lacks although a copy failed");
  }
  const auto report = ReadReport(base / "report.txt");
  const auto handles = report.find("open-handles");
  if (handles == report.end()) {
    broken.push_back("no report from the device library");
  } else if (handles->second != 0) {
    broken.push_back(std::to_string(handles->second) + " handles left open");
  }
  return broken;
}

void PrintTo(const TreeOp& op, std::ostream* out) { *out << op.Name; }

class TreeSweep : public testing::TestWithParam<TreeOp> {};

TEST_P(TreeSweep, NothingIsLostUnderAnyFault) {
  const TreeOp op = GetParam();
  const fs::path base = SweepFolder() / ("tree_" + TagOf(op.Name));
  const TreeScene clean(base / "clean");
  const Exit cleanRun = clean.Run(op, "", true);
  ASSERT_EQ(cleanRun.Status, 0) << cleanRun.Err;
  ASSERT_TRUE(JudgeTree(op, clean, cleanRun).empty()) << cleanRun.Err;
  const auto counts = ReadReport(base / "clean" / "report.txt");
  std::vector<std::string> faults;
  for (const auto& [call, count] : counts) {
    if (call == "open-handles" || call == "CeRapiInitEx" || call == "CeRapiUninit") continue;
    for (int n = 1; n <= count; ++n) faults.push_back("fail=" + call + ":" + std::to_string(n));
  }
  for (const auto& [kind, call] : {std::pair<const char*, const char*>{"short-read", "CeReadFile"},
                                   {"short-write", "CeWriteFile"}}) {
    const auto it = counts.find(call);
    for (int n = 1; it != counts.end() && n <= it->second; ++n) {
      faults.push_back(kind + std::string("=") + std::to_string(n));
    }
  }
  RunFaults(op.Name, base, faults, [&](const std::string& fault, const fs::path& folder) {
    const TreeScene scene(folder);
    return JudgeTree(op, scene, scene.Run(op, fault, false), fault);
  });
}

const TreeOp kTreeOps[] = {
    {"mkdir -p", {"mkdir", "-p", "n1\\n2\\n3"}, {{"device/n1/n2/n3", -2}}, false, true},
    {"rmdir", {"rmdir", "tree\\empty"}, {{"device/tree/empty", -1}}, false, true},
    {"rename",
     {"rename", "tree\\a.bin", "tree\\sub\\r.bin"},
     {{"device/tree/sub/r.bin", 2}, {"device/tree/a.bin", -1}},
     false,
     true},
    {"rm -r",
     {"rm", "-r", "tree"},
     {{"device/tree/a.bin", -1}, {"device/tree/sub/b.bin", -1}, {"device/tree/old.bin", -1}},
     false,
     true},
    {"get -r",
     {"get", "-r", "tree", "PC/copy"},
     {{"pc/copy/tree/a.bin", 2}, {"pc/copy/tree/sub/b.bin", 1}, {"pc/copy/tree/empty", -2}},
     false,
     true},
    {"put -r",
     {"put", "-r", "PC/tree", "dest"},
     {{"device/dest/tree/a.bin", 0}, {"device/dest/tree/sub/b.bin", 1}},
     false},
    {"mirror",
     {"mirror", "tree", "PC/copy"},
     {{"pc/copy/a.bin", 2}, {"pc/copy/sub/b.bin", 1}},
     false,
     true},
    {"mirror --delete",
     {"mirror", "--delete", "tree", "PC/copy"},
     {{"pc/copy/a.bin", 2}, {"pc/copy/sub/b.bin", 1}, {"pc/copy/stale.bin", -1}},
     true,
     true},
    {"mirror -R",
     {"mirror", "-R", "tree", "PC/tree"},
     {{"device/tree/a.bin", 0}, {"device/tree/sub/b.bin", 1}},
     false,
     true},
    {"mirror -R --delete",
     {"mirror", "-R", "--delete", "tree", "PC/tree"},
     {{"device/tree/a.bin", 0}, {"device/tree/sub/b.bin", 1}, {"device/tree/old.bin", -1}},
     true,
     true},
};

INSTANTIATE_TEST_SUITE_P(Commands, TreeSweep, testing::ValuesIn(kTreeOps),
                         [](const testing::TestParamInfo<TreeOp>& info) {
                           return TagOf(info.param.Name);
                         });

// The calls that change the device, each of which a lying device may report
// done without doing it.
const char* const kChangingCalls[] = {
    "CeWriteFile",       "CeCopyFile",        "CeMoveFile",          "CeDeleteFile",
    "CeCreateDirectory", "CeRemoveDirectory", "CeSetFileAttributes", "CeSetFileTime"};

std::vector<std::string> LiesOf(const std::map<std::string, int>& counts) {
  std::vector<std::string> faults;
  for (const char* call : kChangingCalls) {
    const auto it = counts.find(call);
    for (int n = 1; it != counts.end() && n <= it->second; ++n) {
      faults.push_back(std::string("noop=") + call + ":" + std::to_string(n));
    }
  }
  return faults;
}

// A lie at each position of each command that changes something: nothing is
// lost or left unnamed, and a command that says it succeeded did.
TEST_P(FaultSweep, ALyingDeviceIsNeverBelieved) {
  const Operation op = GetParam();
  const fs::path base = SweepFolder() / ("lie_" + TagOf(op));
  const Scene clean(op, base / "clean");
  ASSERT_EQ(clean.Run("").Status, 0);
  const std::vector<std::string> faults = LiesOf(clean.Report());
  RunFaults(NameOf(op) + " (lies)", base, faults,
            [&](const std::string& fault, const fs::path& folder) {
              const Scene scene(op, folder);
              const Exit run = scene.Run(fault, false);
              std::vector<std::string> broken;
              if (run.Status == kSanitizerStatus || run.Status >= 128) {
                broken.push_back("crashed (status " + std::to_string(run.Status) + ")");
              }
              for (std::string& b : CheckSentences(op, scene, run.Err)) broken.push_back(b);
              if (op.Existing) {
                for (std::string& b : JudgeOverOld(op, scene, run)) broken.push_back(b);
              } else {
                const bool complete = scene.Inspect(&broken);
                if (run.Status == 0 && !complete) broken.push_back("exit status 0, yet not done");
              }
              if (run.Status != 0 && run.Err.empty()) broken.push_back("failed without a word");
              return broken;
            });
}

// Two faults at once around an old file set aside: the copy fails, and then
// putting the old file back, or removing what the copy left, fails or is a
// lie too. The old file is whole at its name, or named where it is.
class OldFileSweep : public testing::TestWithParam<Operation> {};

TEST_P(OldFileSweep, AFailureWhileTheOldFileGoesBackLeavesItNamed) {
  const Operation op = GetParam();
  const fs::path base = SweepFolder() / ("twice_" + TagOf(op));
  std::vector<std::string> faults;
  for (const char* second :
       {"fail=CeMoveFile:", "noop=CeMoveFile:", "fail=CeDeleteFile:", "noop=CeDeleteFile:"}) {
    for (int n = 1; n <= 3; ++n)
      faults.push_back("fail=CeWriteFile:1," + std::string(second) + std::to_string(n));
  }
  RunFaults(NameOf(op) + " (two faults)", base, faults,
            [&](const std::string& fault, const fs::path& folder) {
              const Scene scene(op, folder);
              const Exit run = scene.Run(fault, false);
              std::vector<std::string> broken;
              for (std::string& b : JudgeOverOld(op, scene, run)) {
                // The old file may stay aside when it cannot go back: whole, and named.
                const std::string file = b.substr(0, b.find(':'));
                const fs::path aside = scene.Destination(0).parent_path() / (file + ".merlo-old");
                const bool namedAside =
                    b.find("neither the new copy") != std::string::npos && fs::exists(aside) &&
                    ReadFile(aside) == OldContents(std::stoul(file.substr(1)) - 1) &&
                    run.Err.find(aside.filename().string()) != std::string::npos;
                if (!namedAside) broken.push_back(std::move(b));
              }
              if (run.Status == 0) broken.push_back("exit status 0 after a failed copy");
              return broken;
            });
}

// The uploads over old files: those that set a device file aside.
std::vector<Operation> UploadsOverOldFiles() {
  std::vector<Operation> ops;
  for (const Operation& op : AllOperations()) {
    if (op.Existing && op.Direction == Way::Upload) ops.push_back(op);
  }
  return ops;
}

INSTANTIATE_TEST_SUITE_P(Uploads, OldFileSweep, testing::ValuesIn(UploadsOverOldFiles()),
                         [](const testing::TestParamInfo<Operation>& info) {
                           return TagOf(info.param);
                         });

TEST_P(TreeSweep, ALyingDeviceIsNeverBelieved) {
  const TreeOp op = GetParam();
  const fs::path base = SweepFolder() / ("lie_tree_" + TagOf(op.Name));
  const TreeScene clean(base / "clean");
  ASSERT_EQ(clean.Run(op, "", false).Status, 0);
  const std::vector<std::string> faults = LiesOf(ReadReport(base / "clean" / "report.txt"));
  RunFaults(std::string(op.Name) + " (lies)", base, faults,
            [&](const std::string& fault, const fs::path& folder) {
              const TreeScene scene(folder);
              return JudgeTree(op, scene, scene.Run(op, fault, false), fault);
            });
}

// The size and the time of the whole sweep.
class SweepSummary : public testing::Environment {
 public:
  void SetUp() override { started_ = std::chrono::steady_clock::now(); }
  void TearDown() override {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    std::cout << "[ sweep    ] " << gCombinations.load() << " fault combinations in " << seconds
              << " s\n";
    std::error_code ignored;
    if (fs::is_empty(SweepFolder(), ignored)) fs::remove_all(SweepFolder(), ignored);
  }

 private:
  std::chrono::steady_clock::time_point started_;
};

const testing::Environment* const gSummary = testing::AddGlobalTestEnvironment(new SweepSummary);

}  // namespace

#endif  // !_WIN32
