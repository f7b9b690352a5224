// The shell's platform layer on POSIX systems: a UTF-8 terminal with libedit,
// SIGINT, stat, dlopen and /proc/self/exe.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <histedit.h>
#include <langinfo.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <fstream>
#include <iostream>

#include "interrupt.h"
#include "line_editor.h"
#include "platform.h"
#include "text.h"
#include "unicode/unicode.h"

namespace merlo {

// Linux: user text and the module's narrow text are both UTF-8.
std::string NarrowFromUser(const std::string& text) { return text; }
std::string UserFromNarrow(const std::string& text) { return text; }
bool HasNarrowForm(const std::string& text) {
  return unicode::IsValidUtf8(text) && !HasReplacement(text);
}

std::string ModulePcPath(const std::string& absolutePath) {
  std::string path = "Z:";
  for (const char c : NarrowFromUser(absolutePath)) path.push_back(c == '/' ? '\\' : c);
  if (path == "Z:") path += '\\';
  // Collapse doubled separators that a path such as "//x" would bring.
  std::string collapsed;
  for (const char c : path) {
    if (c == '\\' && !collapsed.empty() && collapsed.back() == '\\') continue;
    collapsed.push_back(c);
  }
  return collapsed;
}

std::string UserPcPaths(const std::string& moduleText) {
  // A path runs from "Z:\" to the end of the line, or to the quote that
  // opened it.
  std::string text;
  for (size_t i = 0; i < moduleText.size();) {
    const bool starts = moduleText.compare(i, 3, "Z:\\") == 0 &&
                        (i == 0 || !std::isalnum(static_cast<unsigned char>(moduleText[i - 1])));
    if (!starts) {
      text.push_back(moduleText[i++]);
      continue;
    }
    const char quote =
        i > 0 && (moduleText[i - 1] == '"' || moduleText[i - 1] == '\'') ? moduleText[i - 1] : '\n';
    size_t end = moduleText.find_first_of(std::string(1, quote) + "\n", i);
    if (end == std::string::npos) end = moduleText.size();
    for (size_t j = i + 2; j < end; ++j)
      text.push_back(moduleText[j] == '\\' ? '/' : moduleText[j]);
    i = end;
  }
  return text;
}

std::string NarrowFormProblem(const std::string& text) {
  if (!unicode::IsValidUtf8(text)) {
    return "it is not valid UTF-8 (the bytes shown as \\x..), which the module's text (" +
           NarrowTextName() + ") cannot carry";
  }
  if (HasReplacement(text)) {
    return "it holds U+FFFD, which stands for a character that could not be converted and names "
           "no file";
  }
  return "";
}

std::string NarrowTextName() { return "UTF-8"; }

std::filesystem::path PathFromUser(const std::string& text) { return std::filesystem::path(text); }

bool HasReplacement(const std::string& narrowName) {
  // U+FFFD in UTF-8.
  return narrowName.find("\xEF\xBF\xBD") != std::string::npos;
}

}  // namespace merlo

namespace merlo::platform {

void PrepareUserText() {
  // User text is UTF-8 here; line editing must read it so, whatever the locale says.
  if (std::setlocale(LC_CTYPE, "") == nullptr || std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
  }
}

std::string PcPathProblem(const std::filesystem::path&) { return ""; }

bool FromSystemCodePage(const std::string&, std::string*, std::string*) { return false; }

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void SetEnvironment(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) != 0; }

bool IsFile(FILE* stream) {
  struct stat status {};
  return fstat(fileno(stream), &status) == 0 && S_ISREG(status.st_mode);
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* user = getpwuid(getuid()); user != nullptr && user->pw_dir != nullptr) {
    return user->pw_dir;
  }
  return "";
}

int RunLocalCommand(const std::string& command, std::string* error) {
  std::string shell = "/bin/sh";
  if (const char* own = std::getenv("SHELL"); command.empty() && own != nullptr && *own != '\0') {
    shell = own;
  }
  std::cout.flush();
  std::cerr.flush();
  // As system() does: merlo takes no Ctrl-C while the command runs; the
  // command gets it, with SIGINT as it was before merlo.
  struct sigaction ignore, previous;
  std::memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGINT, &ignore, &previous);
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGINT, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    if (command.empty()) {
      execl(shell.c_str(), shell.c_str(), static_cast<char*>(nullptr));
    } else {
      execl(shell.c_str(), shell.c_str(), "-c", command.c_str(), static_cast<char*>(nullptr));
    }
    const std::string failed = shell + ": " + std::strerror(errno) + "\n";
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, failed.data(), failed.size());
    _exit(127);
  }
  int status = 0;
  int waited = child < 0 ? -1 : 0;
  const int forkError = errno;
  while (child > 0 && (waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
  }
  sigaction(SIGINT, &previous, nullptr);
  if (child < 0 || waited < 0) {
    *error =
        std::string("cannot run ") + shell + ": " + std::strerror(child < 0 ? forkError : errno);
    return -1;
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

size_t TerminalWidth() {
  winsize size{};
  return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

namespace {

// At the prompt: waits until the descriptor can be read. False when a Ctrl-C
// came first, also one that came before the wait began.
bool WaitForKey(int fd) {
  sigset_t waiting;
  pthread_sigmask(SIG_SETMASK, nullptr, &waiting);
  sigdelset(&waiting, SIGINT);
  pollfd ready{fd, POLLIN, 0};
  while (!Interrupted()) {
    if (ppoll(&ready, 1, nullptr, &waiting) >= 0) return true;
    if (errno != EINTR) return true;  // the read that follows tells what is wrong
  }
  return false;
}

}  // namespace

struct Terminal {
  EditLine* el = nullptr;
  History* history = nullptr;
  std::string historyFile;
  std::string prompt;
  Completer completer;
  std::string pending;  // bytes read that make no whole character yet

  static Terminal* Of(EditLine* el) {
    void* self = nullptr;
    el_get(el, EL_CLIENTDATA, &self);
    return static_cast<Terminal*>(self);
  }

  static const char* Prompt(EditLine* el) { return Of(el)->prompt.c_str(); }

  // Reads one character for the editor, taking a Ctrl-C as the end of the
  // read (-1, EINTR). A byte that is no part of a character of the locale's
  // encoding becomes kRawByteBase + byte.
  static int ReadCharacter(EditLine* el, wchar_t* character) {
    std::string& pending = Of(el)->pending;
    for (;;) {
      if (!pending.empty()) {
        std::mbstate_t state{};
        wchar_t decoded = 0;
        const size_t used = std::mbrtowc(&decoded, pending.data(), pending.size(), &state);
        if (used == static_cast<size_t>(-1)) {
          *character = kRawByteBase + static_cast<unsigned char>(pending[0]);
          pending.erase(0, 1);
          return 1;
        }
        if (used != static_cast<size_t>(-2)) {
          *character = decoded;
          pending.erase(0, used == 0 ? 1 : used);
          return 1;
        }
      }
      if (!WaitForKey(STDIN_FILENO)) {
        pending.clear();
        errno = EINTR;
        return -1;
      }
      char byte = 0;
      const ssize_t got = read(STDIN_FILENO, &byte, 1);
      if (got == 0) {
        if (pending.empty()) return 0;
        *character = kRawByteBase + static_cast<unsigned char>(pending[0]);
        pending.erase(0, 1);
        return 1;
      }
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return -1;
      }
      pending.push_back(byte);
    }
  }

  static unsigned char OnTab(EditLine* el, int) { return Of(el)->CompleteLine(); }

  // The editor's line and cursor count wide characters; the completer works
  // on the line's UTF-8 and counts bytes.
  unsigned char CompleteLine() {
    const LineInfoW* info = el_wline(el);
    const std::string before = UserTextFromWide(info->buffer, info->cursor);
    const std::string line = before + UserTextFromWide(info->cursor, info->lastchar);
    const TabResult tab = ApplyCompletion(line, before.size(), completer(line, before.size()));
    if (!tab.Choices.empty()) {
      std::cout << '\n' << ChoiceColumns(tab.Choices, TerminalWidth()) << std::flush;
      return CC_REDISPLAY;
    }
    if (!tab.Changed) return CC_REFRESH_BEEP;
    // Only the text before the cursor changes.
    el_wdeletestr(el, static_cast<int>(WideFromUserText(before).size()));
    el_winsertstr(el, WideFromUserText(tab.Line.substr(0, tab.Cursor)).c_str());
    return CC_REFRESH;
  }
};

Terminal* OpenTerminal(Completer completer) {
  auto* t = new Terminal;
  t->completer = std::move(completer);
  t->history = history_init();
  HistEvent event;
  history(t->history, &event, H_SETSIZE, 1000);
  history(t->history, &event, H_SETUNIQUE, 1);
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    t->historyFile = std::string(home) + "/.merlo_history";
    history(t->history, &event, H_LOAD, t->historyFile.c_str());
  }
  t->el = el_init("merlo", stdin, stdout, stderr);
  el_set(t->el, EL_CLIENTDATA, t);
  el_set(t->el, EL_EDITOR, "emacs");
  el_set(t->el, EL_GETCFN, &Terminal::ReadCharacter);
  el_set(t->el, EL_PROMPT, &Terminal::Prompt);
  el_set(t->el, EL_HIST, history, t->history);
  // The wide calls keep these texts as they are; the narrow ones copy them and never free the
  // copies.
  el_wset(t->el, EL_ADDFN, L"merlo-complete", L"complete the word at the cursor", &Terminal::OnTab);
  el_wset(t->el, EL_BIND, L"^I", L"merlo-complete", nullptr);
  el_source(t->el, nullptr);  // the user's ~/.editrc
  return t;
}

void CloseTerminal(Terminal* terminal) {
  if (terminal == nullptr) return;
  el_end(terminal->el);
  history_end(terminal->history);
  delete terminal;
}

ReadResult ReadTerminalLine(Terminal* terminal, const std::string& prompt, std::string* line) {
  std::cout << std::flush;
  terminal->prompt = prompt;
  int count = 0;
  errno = 0;
  const wchar_t* text = el_wgets(terminal->el, &count);
  if (text == nullptr || count <= 0) {
    if (Interrupted()) {
      el_reset(terminal->el);
      std::cout << '\n';
      return ReadResult::Interrupted;
    }
    return ReadResult::End;
  }
  *line = UserTextFromWide(text, text + count);
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
  return ReadResult::Line;
}

void RememberLine(Terminal* terminal, const std::string& line) {
  HistEvent event;
  history(terminal->history, &event, H_ENTER, line.c_str());
  if (!terminal->historyFile.empty()) {
    history(terminal->history, &event, H_SAVE, terminal->historyFile.c_str());
  }
}

namespace {

void (*gInterruptHandler)() = nullptr;

void OnInterrupt(int) {
  if (gInterruptHandler != nullptr) gInterruptHandler();
}

}  // namespace

void CatchInterrupts(void (*handler)()) {
  gInterruptHandler = handler;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

void SetInterruptsAtPrompt(bool atPrompt) {
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  pthread_sigmask(atPrompt ? SIG_BLOCK : SIG_UNBLOCK, &interrupt, nullptr);
}

void WriteErrorNow(const char* text) {
  const size_t length = std::strlen(text);
  if (length == 0) return;
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text, length);
}

void EndProcessNow(int status) { _exit(status); }

namespace {

// File times: 100-nanosecond steps since 1601 (a device's) against the PC's
// own clock for files, which stands a whole number of seconds from the
// system clock, whose epoch is 1970.
constexpr int64_t kFileTimeTo1970 = 116444736000000000;

std::chrono::nanoseconds PcClockOffset() {
  static const std::chrono::nanoseconds offset = [] {
    const auto pc = std::filesystem::file_time_type::clock::now().time_since_epoch();
    const auto system = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::round<std::chrono::seconds>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(pc) -
        std::chrono::duration_cast<std::chrono::nanoseconds>(system));
    return std::chrono::duration_cast<std::chrono::nanoseconds>(seconds);
  }();
  return offset;
}

}  // namespace

const char* const kPcSeparators = "/";
const bool kPcNamesIgnoreCase = false;
const bool kPcPathsStartWithSlash = true;

bool StatPcFile(const std::filesystem::path& path, PcFileStatus* status) {
  // One call: mirror takes this for every file of a tree.
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  status->Regular = S_ISREG(info.st_mode);
  status->Folder = S_ISDIR(info.st_mode);
  status->ReadOnly = (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  status->Size = static_cast<uint64_t>(info.st_size);
  status->WrittenSeconds = static_cast<int64_t>(info.st_mtim.tv_sec);
  status->WrittenNanoseconds = static_cast<int64_t>(info.st_mtim.tv_nsec);
  status->Written = static_cast<uint64_t>(status->WrittenSeconds * 10000000 +
                                          status->WrittenNanoseconds / 100 + kFileTimeTo1970);
  return true;
}

bool IsPcLink(const std::filesystem::path& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool SetPcWriteTime(const std::filesystem::path& path, uint64_t steps, std::string* error) {
  // Nanoseconds reach about 290 years either side of 1970; a time outside
  // them (a device that gave none: 1601) is left as the copy made it.
  constexpr int64_t kReach = 90000000000000000;  // in 100 ns steps
  const int64_t fromEpoch = static_cast<int64_t>(steps) - kFileTimeTo1970;
  if (steps > static_cast<uint64_t>(INT64_MAX) || fromEpoch < -kReach || fromEpoch > kReach) {
    return true;
  }
  const std::chrono::nanoseconds since1970(fromEpoch * 100);
  const std::filesystem::file_time_type time(
      std::chrono::duration_cast<std::filesystem::file_time_type::duration>(since1970 +
                                                                            PcClockOffset()));
  std::error_code ec;
  std::filesystem::last_write_time(path, time, ec);
  if (ec) *error = "cannot set the time of " + path.string() + ": " + ec.message();
  return !ec;
}

namespace {

bool ReadPositionOf(const std::filesystem::path& file, uint64_t* position) {
  // Linux tells each descriptor's position in /proc/self/fdinfo/N ("pos:");
  // the descriptor is the one whose file is this one. It may be closed, and
  // its number taken again, while it is looked at: it is checked on both
  // sides of the read.
  struct stat wanted {};
  if (stat(file.c_str(), &wanted) != 0) return false;
  const auto isWanted = [&wanted](int fd) {
    struct stat open {};
    return fstat(fd, &open) == 0 && open.st_dev == wanted.st_dev && open.st_ino == wanted.st_ino;
  };
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return false;
  bool found = false;
  while (const dirent* entry = readdir(folder)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == dirfd(folder) || !isWanted(int(fd))) continue;
    std::ifstream info(std::string("/proc/self/fdinfo/") + entry->d_name);
    for (std::string line; std::getline(info, line);) {
      if (line.compare(0, 4, "pos:") != 0) continue;
      const char* digits = line.c_str() + 4;
      while (*digits == ' ' || *digits == '\t') ++digits;
      found = *digits >= '0' && *digits <= '9' && isWanted(int(fd));
      if (found) *position = std::strtoull(digits, nullptr, 10);
      break;
    }
    if (found) break;
  }
  closedir(folder);
  return found;
}

}  // namespace

ReadPosition WatchReading(const std::filesystem::path& file) {
  return [file](uint64_t* position) { return ReadPositionOf(file, position); };
}

bool RenamePcFile(const std::filesystem::path& from, const std::filesystem::path& to,
                  std::string* error, bool* taken) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS) {
    // A file system without RENAME_NOREPLACE.
    struct stat info;
    if (lstat(to.c_str(), &info) == 0) {
      errno = EEXIST;
    } else if (rename(from.c_str(), to.c_str()) == 0) {
      return true;
    }
  }
  if (taken != nullptr) *taken = errno == EEXIST;
  *error = std::strerror(errno);
  return false;
}

bool RemovePcFile(const std::filesystem::path& path, std::string* error) {
  if (unlink(path.c_str()) == 0) return true;
  *error = std::strerror(errno);
  return false;
}

std::string PcWriteProblem(const std::filesystem::path& path, uint64_t size) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return "a folder is in the way at " + path.string();
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return path.string() + " is read-only";
    if (access(path.c_str(), W_OK) != 0 && errno == EACCES) {
      return "no permission to write " + path.string();
    }
  }
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  struct statvfs volume;
  if (statvfs(folder.c_str(), &volume) == 0) {
    if ((volume.f_flag & ST_RDONLY) != 0) {
      return "the file system that holds " + folder.string() + " is read-only";
    }
    const uint64_t free = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    if (free < size) {
      return "the disk that holds " + folder.string() + " is full (" + std::to_string(free) +
             " bytes free)";
    }
  }
  if (access(folder.c_str(), W_OK) != 0 && errno == EACCES) {
    return "no permission to write in " + folder.string();
  }
  return "";
}

std::string LocalTimeText(int64_t seconds) {
  std::tm local{};
  const time_t t = static_cast<time_t>(seconds);
  if (localtime_r(&t, &local) == nullptr) return "?";
  char text[32];
  if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local) == 0) return "?";
  return text;
}

void* OpenLibrary(const std::string& path, std::string* error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    *error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown reason");
  }
  return library;
}

void* LibrarySymbol(void* library, const char* name) { return dlsym(library, name); }

void* LoadedDeviceLibrary() {
  // The module opens "librapi.so" by that name, or by its path beside the
  // module; either way the loaded object carries that name as its soname, which
  // RTLD_NOLOAD matches without loading anything new.
  return dlopen("librapi.so", RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
}

void CloseLibrary(void* library) { dlclose(library); }

std::string ExecutableFolder() {
  std::vector<char> path(4096);
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (length <= 0) return "";
  const std::string whole(path.data(), static_cast<size_t>(length));
  return whole.substr(0, whole.find_last_of('/') + 1);
}

const char* ModuleFileName() { return "MERLO.so"; }

DeviceLibraryState PrepareDeviceLibrary(bool deviceGiven, std::string* error) {
  // The module loads the emulated library itself; here it is the only one,
  // and MERLO_DEVICE_ROOT may name its folder instead of --device.
  const char* root = std::getenv("MERLO_DEVICE_ROOT");
  if (deviceGiven || (root != nullptr && *root != '\0')) return DeviceLibraryState::kReady;
  *error =
      "--device DIR is needed: here the device is a folder that the emulated device library "
      "presents (or set MERLO_DEVICE_ROOT)";
  return DeviceLibraryState::kNoDeviceGiven;
}

bool HasSystemDevice() { return false; }

bool HasRegistryFile() { return true; }

}  // namespace merlo::platform
