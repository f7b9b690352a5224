#include "session.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <ostream>
#include <set>

#include "host_services.h"
#include "text.h"

namespace fs = std::filesystem;

namespace merlo {

namespace {

// A listing from GetFindData that goes back through FreeFindData when it ends.
class Listing {
 public:
  Listing(const EntryPoints& module, PanelHandle panel) : module_(module), panel_(panel) {
    ok_ = module_.GetFindData(panel_, &items_, &count_, 0) != 0;
    if (!ok_ || count_ < 0) count_ = 0;
  }
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;
  ~Listing() {
    if (ok_) module_.FreeFindData(panel_, items_, count_);
  }

  bool ok() const { return ok_; }
  size_t size() const { return static_cast<size_t>(count_); }
  const PanelItem& operator[](size_t i) const { return items_[i]; }

 private:
  const EntryPoints& module_;
  PanelHandle panel_;
  PanelItem* items_ = nullptr;
  int32_t count_ = 0;
  bool ok_ = false;
};

uint64_t ItemSize(const PanelItem& item) {
  return (static_cast<uint64_t>(item.SizeHigh) << 32) | item.SizeLow;
}

// One line of a listing: date, size or folder mark, name.
struct Row {
  std::string Date;
  bool Folder = false;
  uint64_t Size = 0;
  std::string Name;  // user text
};

bool RowBefore(const Row& a, const Row& b) {
  if ((a.Name == "..") != (b.Name == "..")) return a.Name == "..";
  if (a.Folder != b.Folder) return a.Folder;
  std::string x = a.Name, y = b.Name;
  std::transform(x.begin(), x.end(), x.begin(), [](unsigned char c) { return std::tolower(c); });
  std::transform(y.begin(), y.end(), y.begin(), [](unsigned char c) { return std::tolower(c); });
  return x != y ? x < y : a.Name < b.Name;
}

void PrintRows(std::vector<Row> rows, std::ostream& out) {
  std::sort(rows.begin(), rows.end(), RowBefore);
  size_t folders = 0, files = 0;
  uint64_t bytes = 0;
  for (const auto& row : rows) {
    out << std::left << std::setw(16) << row.Date << std::right << ' ' << std::setw(12);
    if (row.Folder) {
      out << "<DIR>";
      if (row.Name != "..") ++folders;
    } else {
      out << row.Size;
      ++files;
      bytes += row.Size;
    }
    out << "  " << row.Name << '\n';
  }
  out << CountOf(folders, "folder", "folders") << ", " << CountOf(files, "file", "files") << ", "
      << CountOf(bytes, "byte", "bytes") << '\n';
}

int64_t LocalModificationTime(const fs::path& path) {
#if defined(_WIN32)
  struct _stat64 info;
  if (_stat64(path.string().c_str(), &info) != 0) return 0;
#else
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return 0;
#endif
  return static_cast<int64_t>(info.st_mtime);
}

// The local path as user text.
std::string Shown(const fs::path& path) { return path.string(); }

// An absolute, normal form of a local folder, without a trailing separator.
fs::path AbsoluteFolder(const fs::path& folder) {
  std::error_code ec;
  fs::path path = fs::absolute(folder, ec).lexically_normal();
  if (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
  return path;
}

// Splits off "-m" options; true when one was present.
bool TakeMoveOption(const std::vector<std::string>& args, std::vector<std::string>* rest) {
  bool move = false;
  for (const auto& arg : args) {
    if (arg == "-m") {
      move = true;
    } else {
      rest->push_back(arg);
    }
  }
  return move;
}

const char* const kHelp =
    "Device commands (names are matched against the device listing; * and ? are wildcards):\n"
    "  ls [PATTERN...]        list the current device folder\n"
    "  cd NAME | cd a\\b | cd .. | cd \\\n"
    "                         change the device folder (one level at a time)\n"
    "  pwd                    show the current device folder\n"
    "  get [-m] NAME... [PCDIR]\n"
    "                         copy (-m: move) to a PC folder, by default the local current\n"
    "                         folder; the last word is the PC folder when it names one\n"
    "  put [-m] FILE...       copy (-m: move) PC files into the current device folder\n"
    "  cp NAME... DEVDIR      copy within the device (DEVDIR \\x is absolute, x relative)\n"
    "  mv NAME... DEVDIR      move within the device\n"
    "  rm NAME...             delete on the device\n"
    "  info                   the panel's description from the module\n"
    "  menu                   the menu entries the module offers\n"
    "  configure [N]          pick the module's configuration entry N (default 0)\n"
    "PC commands:\n"
    "  lcd DIR, lpwd, lls [DIR]\n"
    "Other: help, exit (or quit). Quote names that hold blanks: cd \"My Documents\"\n";

}  // namespace

std::string ItemName(const PanelItem& item) {
  return std::string(item.Name, strnlen(item.Name, sizeof item.Name));
}

bool IsFolder(const PanelItem& item) { return (item.Attributes & kFileAttributeDirectory) != 0; }

Session::Session(const EntryPoints& module, PanelHandle panel, std::ostream& out, std::ostream& err)
    : module_(module), panel_(panel), out_(out), err_(err) {}

std::string Session::DeviceFolder() const { return UserFromNarrow(DevicePathText(folder_)); }

bool Session::RunLine(const std::string& line) {
  const auto words = SplitCommandLine(line);
  if (!words) {
    err_ << "a quote is not closed\n";
    return false;
  }
  return Run(*words);
}

bool Session::Run(const std::vector<std::string>& words) {
  if (words.empty()) return true;
  const size_t boxesBefore = ShownBoxes().size();
  bool ok = false;
  try {
    ok = Dispatch(words[0], Words(words.begin() + 1, words.end()));
  } catch (const std::exception& e) {
    err_ << words[0] << ": " << e.what() << '\n';
  }
  out_.flush();
  return ok && ShownBoxes().size() == boxesBefore;
}

bool Session::Dispatch(const std::string& command, const Words& args) {
  if (command == "ls" || command == "dir") return List(args);
  if (command == "cd") return ChangeFolder(args);
  if (command == "pwd") return PrintFolder(args);
  if (command == "info") return Info(args);
  if (command == "menu") return Menu(args);
  if (command == "configure") return Configure(args);
  if (command == "get") return Get(args);
  if (command == "put") return Put(args);
  if (command == "cp") return CopyWithin(args, false);
  if (command == "mv") return CopyWithin(args, true);
  if (command == "rm" || command == "del") return Remove(args);
  if (command == "lcd") return LocalChangeFolder(args);
  if (command == "lpwd") return LocalPrintFolder(args);
  if (command == "lls") return LocalList(args);
  if (command == "help" || command == "?") return Help(args);
  if (command == "exit" || command == "quit") {
    exitRequested_ = true;
    return true;
  }
  err_ << "unknown command \"" << command << "\"; \"help\" lists the commands\n";
  return false;
}

bool Session::List(const Words& args) {
  Listing listing(module_, panel_);
  if (!listing.ok()) {
    err_ << "ls: the module gave no listing\n";
    return false;
  }
  std::vector<Row> rows;
  for (size_t i = 0; i < listing.size(); ++i) {
    const PanelItem& item = listing[i];
    const std::string name = ItemName(item);
    if (!args.empty()) {
      const bool wanted = std::any_of(args.begin(), args.end(), [&](const std::string& pattern) {
        return WildcardMatch(NarrowFromUser(pattern), name, false);
      });
      if (!wanted) continue;
    }
    const bool parent = name == "..";
    rows.push_back({parent ? "" : FormatFileTime(item.LastWriteTime[0], item.LastWriteTime[1]),
                    IsFolder(item), ItemSize(item), UserFromNarrow(name)});
  }
  PrintRows(std::move(rows), out_);
  return true;
}

bool Session::EnterFolder(const std::string& command, const std::string& name) {
  std::string listed;
  bool isFile = false;
  {
    Listing listing(module_, panel_);
    // The exact name first; else the one name that differs only in case.
    std::vector<std::string> caseless;
    for (size_t i = 0; i < listing.size(); ++i) {
      const std::string itemName = ItemName(listing[i]);
      if (itemName == "..") continue;
      if (itemName == name) {
        if (IsFolder(listing[i])) {
          listed = itemName;
          caseless.clear();
          break;
        }
        isFile = true;
      } else if (IsFolder(listing[i]) && WildcardMatch(name, itemName, false) &&
                 !HasWildcards(name)) {
        caseless.push_back(itemName);
      }
    }
    if (listed.empty() && caseless.size() == 1) listed = caseless[0];
  }
  if (listed.empty()) {
    err_ << command << ": " << UserFromNarrow(DevicePathText(folder_))
         << (folder_.empty() ? "" : "\\") << UserFromNarrow(name)
         << (isFile ? " is a file, not a folder\n" : ": no such folder\n");
    return false;
  }
  if (module_.SetDirectory(panel_, listed.c_str(), 0) == 0) {
    err_ << command << ": the module refused to enter " << UserFromNarrow(listed) << '\n';
    return false;
  }
  folder_.push_back(listed);
  return true;
}

void Session::ReturnTo(const std::vector<std::string>& folder) {
  module_.SetDirectory(panel_, "\\", 0);
  folder_.clear();
  for (const auto& name : folder) {
    if (module_.SetDirectory(panel_, name.c_str(), 0) == 0) break;
    folder_.push_back(name);
  }
}

bool Session::ChangeFolder(const Words& args) {
  if (args.size() > 1) {
    err_ << "cd: one folder at a time (quote a name that holds blanks)\n";
    return false;
  }
  const std::string path = args.empty() ? "\\" : NarrowFromUser(args[0]);
  const std::vector<std::string> saved = folder_;
  if (path[0] == '\\' || path[0] == '/') {
    module_.SetDirectory(panel_, "\\", 0);
    folder_.clear();
  }
  for (const auto& part : SplitDevicePath(path)) {
    if (part == ".") continue;
    if (part == "..") {
      if (module_.SetDirectory(panel_, "..", 0) == 0) {
        err_ << "cd: already at the root\n";
        if (folder_ != saved) ReturnTo(saved);
        return false;
      }
      if (!folder_.empty()) folder_.pop_back();
      continue;
    }
    if (!EnterFolder("cd", part)) {
      if (folder_ != saved) ReturnTo(saved);
      return false;
    }
  }
  return true;
}

bool Session::PrintFolder(const Words&) {
  out_ << DeviceFolder() << '\n';
  return true;
}

bool Session::Info(const Words&) {
  PanelInfoRecord info{};
  module_.GetOpenPluginInfo(panel_, &info);
  const auto text = [](const char* value) {
    return value != nullptr ? "\"" + UserFromNarrow(value) + "\"" : std::string("(none)");
  };
  out_ << "size:            " << info.StructSize << '\n'
       << "flags:           0x" << std::hex << info.Flags << std::dec << '\n'
       << "current folder:  " << text(info.CurrentFolder) << '\n'
       << "format:          " << text(info.Format) << '\n'
       << "title:           " << text(info.Title) << '\n'
       << "other fields:    8=" << info.Field8 << " 24=" << info.Field24 << " 32=" << info.Field32
       << " 36=" << info.Field36 << " 40=" << info.Field40 << " 44=" << info.Field44
       << " 48=" << info.Field48 << " 52=" << info.Field52 << " 56=" << info.Field56
       << " 60=" << info.Field60 << " 64=" << info.Field64 << '\n';
  return true;
}

bool Session::Menu(const Words&) {
  PluginInfoRecord info{};
  module_.GetPluginInfo(&info);
  const auto texts = [](const char* const* array, int32_t count) {
    std::string shown;
    for (int32_t i = 0; array != nullptr && i < count; ++i) {
      if (i > 0) shown += ", ";
      shown += "\"" + UserFromNarrow(array[i] != nullptr ? array[i] : "") + "\"";
    }
    return shown.empty() ? std::string("(none)") : shown;
  };
  out_ << "plug-in menu:        " << texts(info.PluginMenuTexts, info.PluginMenuCount) << '\n'
       << "configuration menu:  " << texts(info.ConfigMenuTexts, info.ConfigMenuCount) << '\n'
       << "disks menu:          ";
  if (info.DisksMenuCount == 1 && info.DisksMenuTexts != nullptr) {
    out_ << texts(info.DisksMenuTexts, 1);
    if (info.DisksMenuNumbers != nullptr) out_ << ", number " << info.DisksMenuNumbers[0];
    out_ << '\n';
  } else {
    out_ << "(none; " << info.DisksMenuCount << " entries)\n";
  }
  return true;
}

bool Session::Configure(const Words& args) {
  int32_t item = 0;
  if (!args.empty()) {
    try {
      item = std::stoi(args[0]);
    } catch (const std::exception&) {
      err_ << "configure: " << args[0] << " is no item number\n";
      return false;
    }
  }
  const int32_t result = module_.Configure(item);
  out_ << "configuration entry " << item << ": " << (result != 0 ? "handled" : "not handled")
       << " (" << result << ")\n";
  return true;
}

bool Session::Select(const std::string& command, const Words& patterns,
                     std::vector<PanelItem>* items) {
  Listing listing(module_, panel_);
  std::vector<bool> taken(listing.size(), false);
  for (const auto& userPattern : patterns) {
    const std::string pattern = NarrowFromUser(userPattern);
    std::vector<size_t> matches;
    for (size_t i = 0; i < listing.size(); ++i) {
      const std::string name = ItemName(listing[i]);
      if (name == "..") continue;
      if (HasWildcards(pattern) ? WildcardMatch(pattern, name, false) : name == pattern) {
        matches.push_back(i);
      }
    }
    if (matches.empty() && !HasWildcards(pattern)) {
      for (size_t i = 0; i < listing.size(); ++i) {
        const std::string name = ItemName(listing[i]);
        if (name != ".." && WildcardMatch(pattern, name, false)) matches.push_back(i);
      }
      if (matches.size() > 1) {
        err_ << command << ": " << userPattern << " names several entries that differ in case\n";
        return false;
      }
    }
    if (matches.empty()) {
      err_ << command << ": nothing in " << DeviceFolder() << " matches " << userPattern << '\n';
      return false;
    }
    for (const size_t i : matches) {
      if (taken[i]) continue;
      taken[i] = true;
      PanelItem item = listing[i];
      item.ItemFlags |= kItemSelected;
      items->push_back(item);
    }
  }
  return true;
}

bool Session::ReportTransfer(bool move, const std::vector<PanelItem>& items) {
  size_t files = 0, done = 0, folders = 0;
  for (const auto& item : items) {
    if (IsFolder(item)) {
      ++folders;
    } else {
      ++files;
      if ((item.ItemFlags & kItemSelected) == 0) ++done;
    }
  }
  out_ << (move ? "moved " : "copied ") << done << " of " << CountOf(files, "file", "files");
  if (folders > 0) out_ << ", skipped " << CountOf(folders, "folder", "folders");
  out_ << '\n';
  return done == files;
}

bool Session::Get(const Words& args) {
  Words names;
  const bool move = TakeMoveOption(args, &names);
  if (names.empty()) {
    err_ << "get: which files? (get [-m] NAME... [PCDIR])\n";
    return false;
  }
  fs::path target = ".";
  std::error_code ec;
  if (names.size() >= 2 && fs::is_directory(names.back(), ec)) {
    target = names.back();
    names.pop_back();
  } else if (names.size() >= 2 && names.back().find_first_of("/:") != std::string::npos) {
    err_ << "get: there is no PC folder " << names.back() << '\n';
    return false;
  }
  const fs::path folder = AbsoluteFolder(target);
  if (!HasNarrowForm(folder.string())) {
    err_ << "get: the module cannot be given the PC folder " << Shown(folder) << '\n';
    return false;
  }
  std::vector<PanelItem> items;
  if (!Select("get", names, &items)) return false;
  const std::string destination = ModulePcPath(folder.string());
  module_.GetFiles(panel_, items.data(), static_cast<int32_t>(items.size()), move ? 1 : 0,
                   destination.c_str(), 0);
  return ReportTransfer(move, items);
}

bool Session::Put(const Words& args) {
  Words files;
  const bool move = TakeMoveOption(args, &files);
  if (files.empty()) {
    err_ << "put: which files? (put [-m] FILE...)\n";
    return false;
  }
  // Local wildcards are expanded here, within the folder the pattern names.
  std::vector<fs::path> paths;
  for (const auto& file : files) {
    const fs::path path(file);
    std::error_code ec;
    if (!HasWildcards(path.filename().string())) {
      if (!fs::exists(path, ec)) {
        err_ << "put: " << file << ": no such file\n";
        return false;
      }
      paths.push_back(path);
      continue;
    }
    const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(parent, ec)) {
      if (WildcardMatch(path.filename().string(), entry.path().filename().string())) {
        found.push_back(path.has_parent_path() ? parent / entry.path().filename()
                                               : entry.path().filename());
      }
    }
    if (found.empty()) {
      err_ << "put: nothing matches " << file << '\n';
      return false;
    }
    std::sort(found.begin(), found.end());
    paths.insert(paths.end(), found.begin(), found.end());
  }

  // Files are grouped by the folder that holds them, in the order given.
  std::vector<std::pair<fs::path, std::vector<PanelItem>>> groups;
  std::set<std::string> seen;
  for (const auto& path : paths) {
    const fs::path absolute = AbsoluteFolder(path);
    if (!seen.insert(absolute.string()).second) continue;
    const std::string base = absolute.filename().string();
    if (!HasNarrowForm(base) || base.size() >= sizeof(PanelItem::Name)) {
      err_ << "put: the module cannot be given the name " << base << '\n';
      return false;
    }
    PanelItem item;
    std::memset(&item, 0, sizeof item);
    const std::string narrow = NarrowFromUser(base);
    std::memcpy(item.Name, narrow.c_str(), narrow.size() + 1);
    std::error_code ec;
    const bool folder = fs::is_directory(absolute, ec);
    item.Attributes = folder ? kFileAttributeDirectory : 0x20u;
    if (!folder) {
      const uint64_t size = fs::file_size(absolute, ec);
      if (!ec) {
        item.SizeHigh = static_cast<uint32_t>(size >> 32);
        item.SizeLow = static_cast<uint32_t>(size);
      }
    }
    item.ItemFlags = kItemSelected;
    const fs::path parent = absolute.parent_path();
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&](const auto& g) { return g.first == parent; });
    if (group == groups.end()) {
      groups.emplace_back(parent, std::vector<PanelItem>{});
      group = groups.end() - 1;
    }
    group->second.push_back(item);
  }

  std::error_code ec;
  const fs::path previous = fs::current_path(ec);
  std::vector<PanelItem> all;
  bool ok = true;
  for (auto& [parent, items] : groups) {
    fs::current_path(parent, ec);
    if (ec) {
      err_ << "put: cannot enter " << Shown(parent) << ": " << ec.message() << '\n';
      ok = false;
      break;
    }
    const size_t boxesBefore = ShownBoxes().size();
    module_.PutFiles(panel_, items.data(), static_cast<int32_t>(items.size()), move ? 1 : 0, 0);
    all.insert(all.end(), items.begin(), items.end());
    // The module stops a batch at its first failure; so does merlo.
    if (ShownBoxes().size() != boxesBefore) break;
  }
  fs::current_path(previous, ec);
  return ReportTransfer(move, all) && ok;
}

bool Session::CopyWithin(const Words& args, bool move) {
  const char* command = move ? "mv" : "cp";
  if (args.size() < 2) {
    err_ << command << ": " << command << " NAME... DEVDIR\n";
    return false;
  }
  const std::vector<std::string> target = ResolveDevicePath(folder_, NarrowFromUser(args.back()));
  if (target == folder_) {
    err_ << command << ": the files are in " << DeviceFolder() << " already\n";
    return false;
  }
  std::vector<PanelItem> items;
  if (!Select(command, Words(args.begin(), args.end() - 1), &items)) return false;
  const std::string destination = DevicePathText(target);
  module_.GetFiles(panel_, items.data(), static_cast<int32_t>(items.size()), move ? 1 : 0,
                   destination.c_str(), 0);
  return ReportTransfer(move, items);
}

bool Session::Remove(const Words& args) {
  if (args.empty()) {
    err_ << "rm: which files? (rm NAME...)\n";
    return false;
  }
  std::vector<PanelItem> items;
  if (!Select("rm", args, &items)) return false;
  module_.DeleteFiles(panel_, items.data(), static_cast<int32_t>(items.size()), 0);

  std::set<std::string> remaining;
  {
    Listing listing(module_, panel_);
    for (size_t i = 0; i < listing.size(); ++i) remaining.insert(ItemName(listing[i]));
  }
  size_t deleted = 0;
  bool folders = false;
  for (const auto& item : items) {
    if (remaining.count(ItemName(item)) == 0) ++deleted;
    folders = folders || IsFolder(item);
  }
  out_ << "deleted " << deleted << " of "
       << (folders ? CountOf(items.size(), "entry", "entries")
                   : CountOf(items.size(), "file", "files"))
       << '\n';
  return deleted == items.size();
}

bool Session::LocalChangeFolder(const Words& args) {
  if (args.size() != 1) {
    err_ << "lcd: lcd DIR\n";
    return false;
  }
  std::error_code ec;
  fs::current_path(args[0], ec);
  if (ec) {
    err_ << "lcd: " << args[0] << ": " << ec.message() << '\n';
    return false;
  }
  return LocalPrintFolder({});
}

bool Session::LocalPrintFolder(const Words&) {
  std::error_code ec;
  out_ << Shown(fs::current_path(ec)) << '\n';
  return !ec;
}

bool Session::LocalList(const Words& args) {
  const fs::path folder = args.empty() ? fs::path(".") : fs::path(args[0]);
  std::error_code ec;
  std::vector<Row> rows;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    std::error_code entryError;
    const bool isFolder = entry.is_directory(entryError);
    const uint64_t size = isFolder ? 0 : entry.file_size(entryError);
    rows.push_back({FormatLocalTime(LocalModificationTime(entry.path())), isFolder,
                    entryError ? 0 : size, entry.path().filename().string()});
  }
  if (ec) {
    err_ << "lls: " << Shown(folder) << ": " << ec.message() << '\n';
    return false;
  }
  PrintRows(std::move(rows), out_);
  return true;
}

bool Session::Help(const Words&) {
  out_ << kHelp;
  return true;
}

}  // namespace merlo
