#include "commands.h"

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <ostream>
#include <set>
#include <sstream>

#include "host_services.h"
#include "interrupt.h"
#include "platform.h"
#include "platform/device_calls.h"
#include "text.h"
#include "unicode/unicode.h"

namespace fs = std::filesystem;

namespace merlo {

namespace {

const std::vector<Command> kCommands = {
    {"ls", "dir", "ls [-l] [-R] [PATH...]", "list a device folder, or the entries that match",
     "With no PATH, lists the current device folder. A PATH that names a folder lists\n"
     "its contents; otherwise its last part is a pattern (* and ? are wildcards, case\n"
     "is ignored) matched in the folder the rest names: ls Windows\\*.ini. Folder\n"
     "parts may hold wildcards too: ls *\\*.txt lists the .txt files of every folder\n"
     "here. Fails with \"no match\" when a PATH matches nothing, and names a folder\n"
     "that the device cannot list. -l adds the attributes: r read-only, h hidden,\n"
     "s system, a archive. -R lists each folder named (by default the current one)\n"
     "and every folder below it.",
     Arguments::DeviceEntries, &Session::List},
    {"cd", nullptr, "cd [PATH]", "change the device folder (the root without PATH)",
     "PATH is a folder: \\a\\b from the root, a\\b from here, .. up one level (at the\n"
     "root it stays there). A PATH with * or ? must match one folder.",
     Arguments::DeviceFolders, &Session::ChangeFolder},
    {"pwd", nullptr, "pwd", "show the current device folder", "", Arguments::None,
     &Session::PrintFolder},
    {"get", nullptr, "get [-m] [-r] [-p] PATH... [PCDEST]", "copy device files to the PC",
     "Copies (-m: moves) what each PATH names. With one word it goes into the local\n"
     "current folder; with two or more the last word is always the PC destination,\n"
     "a folder: get a.txt b.txt /tmp. When the only PATH names one file, a last\n"
     "word that is no existing folder (and does not end in / or \\) is the name to\n"
     "save under: get \\Windows\\win.ini old.ini. A missing folder fails the command\n"
     "before anything is copied, except with -r, which makes it and its parents.\n"
     "A PATH may hold folders and wildcards: get Windows\\*.ini ~/ini. -r copies\n"
     "each folder named with everything below it into PCDEST/FOLDER; without -r\n"
     "folders are skipped and the command fails; get -r \\ copies the whole device.\n"
     "A folder the device cannot list is named, and the command fails.\n"
     "One line for each file that arrives: its name, size and rate. Every copy\n"
     "keeps the file's last-write time (-p is accepted for habit).",
     Arguments::DeviceEntries, &Session::Get},
    {"put", nullptr, "put [-m] [-r] [-p] FILE... [DEVDEST]", "copy PC files to the device",
     "Copies (-m: moves) PC files (wildcards are expanded). With one word they go\n"
     "into the current device folder; with two or more the last word is always the\n"
     "device destination, a folder: put a.txt b.txt Backup. When the only FILE is\n"
     "one file, a last word that is no device folder (and does not end in \\) is\n"
     "the name to store under, in an existing folder: put a.txt Backup\\b.txt.\n"
     "-r copies each PC folder named, with everything below it, into DEVDEST\\NAME,\n"
     "making the folders (and DEVDEST itself when only its last folder is\n"
     "missing); without -r folders are skipped and the command fails. A batch\n"
     "larger than the free space of DEVDEST's volume is refused before the first\n"
     "copy. Times are kept (-p is accepted).",
     Arguments::LocalEntries, &Session::Put},
    {"cp", nullptr, "cp [-p] PATH... DEVDIR", "copy device files into another device folder",
     "A name that exists in DEVDIR is refused before anything is copied; times are\n"
     "kept.",
     Arguments::DeviceEntries, &Session::Copy},
    {"mv", nullptr, "mv [-p] PATH... DEVDIR", "move device files into another device folder",
     "A name that exists in DEVDIR is refused before anything is moved; rename moves\n"
     "one file or folder with the device's own move.",
     Arguments::DeviceEntries, &Session::Move},
    {"rm", "del", "rm [-r] PATH...", "delete device files (-r: folders with all in them)",
     "Deletes in the order ls shows, one line for each entry deleted. A folder named\n"
     "without -r is refused (rmdir removes an empty one). -r deletes the files\n"
     "first, then the emptied folders from the bottom up. It stops at the first\n"
     "failure, names that entry with the device's reason (read-only, in use) and\n"
     "names what was not tried.",
     Arguments::DeviceEntries, &Session::Remove},
    {"mkdir", "md", "mkdir [-p] DEVPATH...", "make device folders",
     "Makes each folder; its parent must exist. -p makes every missing folder on the\n"
     "way and accepts one that exists.",
     Arguments::DeviceFolders, &Session::MakeFolders},
    {"rmdir", "rd", "rmdir DEVPATH...", "remove empty device folders",
     "A folder that holds anything is refused with the device's reason; rm -r\n"
     "removes a folder with everything in it.",
     Arguments::DeviceFolders, &Session::RemoveFolders},
    {"rename", "ren", "rename OLD NEW", "rename or move one device file or folder",
     "The device's own move: nothing is copied, and NEW may be in another folder\n"
     "(rename a.txt \\Backup\\b.txt). An existing NEW is refused.",
     Arguments::DeviceEntries, &Session::Rename},
    {"df", nullptr, "df [DEVPATH]", "size and free space of a device volume",
     "The volume that holds DEVPATH, by default the current folder: a storage card\n"
     "shows its own figures.",
     Arguments::DeviceFolders, &Session::DiskFree},
    {"mirror", nullptr, "mirror [-R] [--delete] [-n] DEVDIR [PCDIR]",
     "make a PC folder tree like a device one (-R: the other way)",
     "Copies what is new or changed (by size or last-write time) from DEVDIR into\n"
     "PCDIR, by default the folder of DEVDIR's name in the local folder; makes the\n"
     "folders and keeps the times, so that a second mirror copies nothing. -R copies\n"
     "from PCDIR to DEVDIR, making DEVDIR when it is missing. --delete then removes\n"
     "what the source lacks, files first, then the emptied folders; only when every\n"
     "copy succeeded. -n prints what would be done and changes nothing.",
     Arguments::DeviceFolders, &Session::Mirror},
    {"lcd", nullptr, "lcd [DIR]", "change the local (PC) folder (home without DIR)",
     "~ and ~/x in a PC path stand for the home folder (on Windows the user's\n"
     "profile folder).",
     Arguments::LocalFolders, &Session::LocalChangeFolder},
    {"lpwd", nullptr, "lpwd", "show the local folder", "", Arguments::None,
     &Session::LocalPrintFolder},
    {"lls", nullptr, "lls [-l] [PATH...]", "list local files and folders",
     "As ls on the device: a PATH that names a folder lists its contents, a file\n"
     "shows itself, and a last part with * or ? shows what it matches. Each line\n"
     "holds the time, the size and the name; -l is accepted for habit.",
     Arguments::LocalEntries, &Session::LocalList},
    {"info", nullptr, "info", "the device, the current folder and how names pass", "",
     Arguments::None, &Session::Info},
    {"menu", nullptr, "menu", "the menu entries the module offers", "", Arguments::None,
     &Session::Menu},
    {"configure", nullptr, "configure [N]", "open the module's configuration entry N (0)", "",
     Arguments::None, &Session::Configure},
    {"help", "?", "help [COMMAND]", "list the commands, or tell about one", "", Arguments::Commands,
     &Session::Help},
    {"!", nullptr, "!COMMAND", "run a command on the PC (! alone: a shell)",
     "The rest of the line goes to the PC's shell as it is (/bin/sh -c; cmd.exe on\n"
     "Windows); \"!\" alone starts an interactive one ($SHELL), until it exits. The\n"
     "command fails when the local command ends with a status other than 0.",
     Arguments::LocalEntries, &Session::LocalShell},
    {"exit", "quit", "exit", "end merlo", "", Arguments::None, &Session::Exit},
    {"bye", nullptr, "bye", "end merlo (as exit)", "", Arguments::None, &Session::Exit},
};

// One line of a listing: date, size or folder mark, name.
struct Row {
  std::string Date;
  bool Folder = false;
  uint64_t Size = 0;
  std::string Name;             // user text
  std::string Key;              // the name case aside, for sorting
  std::string Attributes = "";  // ls -l: "rhsa", a letter for each attribute set
};

std::string AttributeLetters(uint32_t attributes) {
  std::string letters = "----";
  if ((attributes & kDeviceAttributeReadOnly) != 0) letters[0] = 'r';
  if ((attributes & kDeviceAttributeHidden) != 0) letters[1] = 'h';
  if ((attributes & kDeviceAttributeSystem) != 0) letters[2] = 's';
  if ((attributes & kDeviceAttributeArchive) != 0) letters[3] = 'a';
  return letters;
}

Row RowOf(const PanelItem& item, bool attributes) {
  const std::string name = ItemName(item);
  const bool up = name == "..";
  // ".." has no attributes of its own; its column stays blank.
  std::string letters;
  if (attributes) letters = up ? "    " : AttributeLetters(item.Attributes);
  return {up ? "" : FormatFileTime(item.LastWriteTime[0], item.LastWriteTime[1]),
          IsFolder(item),
          ItemSize(item),
          UserFromNarrow(name),
          "",
          letters};
}

bool RowBefore(const Row& a, const Row& b) {
  if ((a.Name == "..") != (b.Name == "..")) return a.Name == "..";
  if (a.Folder != b.Folder) return a.Folder;
  // Case aside first, so that "b" and "B" sit together.
  return a.Key != b.Key ? a.Key < b.Key : a.Name < b.Name;
}

void PrintRows(std::vector<Row> rows, std::ostream& out) {
  for (auto& row : rows) row.Key = unicode::FoldKey(row.Name);
  std::sort(rows.begin(), rows.end(), RowBefore);
  uint64_t folders = 0, files = 0;
  uint64_t bytes = 0;
  for (const auto& row : rows) {
    out << std::left << std::setw(16) << row.Date << std::right << ' ';
    if (!row.Attributes.empty()) out << row.Attributes << ' ';
    out << std::setw(12);
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

}  // namespace

const std::vector<Command>& CommandTable() { return kCommands; }

const Command* FindCommand(const std::string& name) {
  for (const auto& command : kCommands) {
    if (name == command.Name || (command.Alias != nullptr && name == command.Alias)) {
      return &command;
    }
  }
  return nullptr;
}

std::string HelpText() {
  std::ostringstream text;
  text << "Commands (device paths use \\; quote names that hold blanks: cd \"My Documents\"):\n";
  // A usage too long for its column stands on a line of its own, with the
  // summary below it in the column.
  constexpr size_t kColumn = 32;
  for (const auto& command : kCommands) {
    text << "  " << std::left << std::setw(kColumn) << command.Usage;
    if (std::strlen(command.Usage) + 2 > kColumn) text << '\n' << std::string(kColumn + 2, ' ');
    text << command.Summary << '\n';
  }
  text << "\"help COMMAND\" tells more about one. At the prompt Tab completes commands and\n"
          "names, and Ctrl-C drops the line. \"merlo --help\" (also \"merlo /?\") tells merlo's\n"
          "options.\n";
  return text.str();
}

bool HelpText(const std::string& name, std::string* text) {
  const Command* command = FindCommand(name);
  if (command == nullptr) return false;
  *text = std::string(command->Usage) + "\n  " + command->Summary + "\n";
  if (command->Alias != nullptr) *text += "  Also: " + std::string(command->Alias) + "\n";
  if (*command->Details != '\0') {
    std::istringstream details(command->Details);
    for (std::string line; std::getline(details, line);) *text += "  " + line + "\n";
  }
  return true;
}

Session::Session(const EntryPoints& module, PanelHandle panel, std::ostream& out, std::ostream& err)
    : panel_(module, panel), out_(out), err_(err) {}

bool Session::RunLine(const std::string& line) {
  if (IsLocalCommandLine(line)) {
    lastSucceeded_ = LocalCommand(line.substr(line.find('!') + 1));
    return lastSucceeded_;
  }
  const auto commands = SplitCommands(line);
  if (!commands) {
    err_ << "a quote is not closed\n";
    lastSucceeded_ = false;
    return false;
  }
  for (const auto& words : *commands) {
    if (!Run(words)) return false;
    if (exitRequested_) break;
  }
  return true;
}

bool Session::Run(const Words& words) {
  if (words.empty()) return true;
  const Command* command = FindCommand(words[0]);
  if (command == nullptr) {
    err_ << "unknown command \"" << words[0] << "\"; \"help\" lists the commands\n";
    lastSucceeded_ = false;
    return false;
  }
  const size_t boxesBefore = ShownBoxes().size();
  // Listings are kept for one command only: the device may change between them.
  panel_.Forget();
  bool ok = false;
  try {
    ok = (this->*command->Run)(Words(words.begin() + 1, words.end()));
  } catch (const std::exception& e) {
    err_ << words[0] << ": " << e.what() << '\n';
  }
  // Whatever folders the command visited, and however it ended, the panel
  // goes back to the user's folder.
  panel_.MoveTo(panel_.Home());
  out_.flush();
  ok = ok && ShownBoxes().size() == boxesBefore;
  if (Interrupted()) {
    // A batch says after what it stopped; any other command ran to its end.
    if (!InterruptTold()) {
      err_ << words[0] << ": interrupted; the Ctrl-C came as it ran, and it "
           << (ok ? "ran to its end" : "failed") << '\n';
      MarkInterruptTold();
    }
    ok = false;
  }
  if (command->Run != &Session::Exit) lastSucceeded_ = ok;
  return ok;
}

bool Session::TakeOptions(const std::string& command, const Words& args, const std::string& allowed,
                          std::string* given, Words* operands) {
  bool optionsEnd = false;
  for (const auto& arg : args) {
    if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
      operands->push_back(arg);
    } else if (arg == "--") {
      optionsEnd = true;
    } else {
      for (size_t i = 1; i < arg.size(); ++i) {
        if (allowed.find(arg[i]) == std::string::npos || arg[i] == '-') {
          err_ << command << ": unknown option -" << arg[i]
               << (allowed.empty() ? " (it takes none)" : "") << "; \"help " << command
               << "\" tells its usage\n";
          return false;
        }
        if (given->find(arg[i]) == std::string::npos) given->push_back(arg[i]);
      }
    }
  }
  return true;
}

bool Session::List(const Words& args) {
  std::string options;
  Words paths;
  if (!TakeOptions("ls", args, "lR", &options, &paths)) return false;
  const bool attributes = options.find('l') != std::string::npos;
  if (options.find('R') != std::string::npos) return ListTrees(paths, attributes);
  if (paths.empty() && TooLongToList(panel_.Home())) {
    err_ << "ls: " << NotListable(panel_.Home()) << '\n';
    return false;
  }
  if (paths.empty()) {
    Listing listing(panel_.module(), panel_.handle());
    if (!listing.ok()) {
      err_ << "ls: the module gave no listing\n";
      return false;
    }
    std::vector<Row> rows;
    rows.reserve(listing.size());
    for (size_t i = 0; i < listing.size(); ++i) rows.push_back(RowOf(listing[i], attributes));
    // The module shows a listing it could not read as an empty one.
    std::string error;
    const bool empty =
        std::all_of(rows.begin(), rows.end(), [](const Row& r) { return r.Name == ".."; });
    if (empty && !device::ListsEmpty(panel_.Home(), &error)) {
      err_ << "ls: " << error << '\n';
      return false;
    }
    PrintRows(std::move(rows), out_);
    return true;
  }

  // What each folder shows, in the order the paths name the folders; an
  // entry that several paths name is shown once.
  struct Shown {
    FolderParts Folder;
    std::vector<PanelItem> Items;
    std::set<std::string> Names;
  };
  std::vector<Shown> shown;
  const auto add = [&](const FolderParts& folder, const std::vector<PanelItem>& items) {
    auto group = std::find_if(shown.begin(), shown.end(),
                              [&](const Shown& g) { return g.Folder == folder; });
    if (group == shown.end()) {
      shown.push_back({folder, {}, {}});
      group = shown.end() - 1;
    }
    for (const auto& item : items) {
      if (group->Names.insert(ItemName(item)).second) group->Items.push_back(item);
    }
  };
  bool ok = true;
  for (const auto& given : paths) {
    // Wildcards in folder parts: each folder that holds a match, by its path.
    std::vector<std::string> each = {given};
    if (std::string error; !panel_.ExpandFolderPatterns(&each, &error)) {
      err_ << "ls: " << error << '\n';
      ok = false;
      continue;
    }
    for (const auto& path : each) {
      FolderParts folder;
      std::string last, error;
      if (!HasWildcards(path) && panel_.FindFolder(path, &folder, &error)) {
        if (!panel_.Readable(folder, &error)) {
          err_ << "ls: " << error << '\n';
          ok = false;
          continue;
        }
        add(folder, panel_.Entries(folder));
        continue;
      }
      std::vector<PanelItem> items;
      if (!panel_.SplitPath(path, &folder, &last, &error) ||
          (!last.empty() && !panel_.Readable(folder, &error))) {
        err_ << "ls: " << error << '\n';
        ok = false;
      } else if (last.empty() || !panel_.Match(folder, last, &items, &error)) {
        err_ << "ls: " << path << ": no match\n";
        ok = false;
      } else {
        add(folder, items);
      }
    }
  }
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown.size() > 1) out_ << (i > 0 ? "\n" : "") << FolderText(shown[i].Folder) << ":\n";
    std::vector<Row> rows;
    for (const auto& item : shown[i].Items) rows.push_back(RowOf(item, attributes));
    PrintRows(std::move(rows), out_);
  }
  return ok;
}

bool Session::ListTrees(const Words& paths, bool attributes) {
  std::vector<FolderParts> tops;
  std::string error;
  for (const auto& path : paths) {
    FolderParts folder;
    if (!panel_.FindFolder(path, &folder, &error)) {
      err_ << "ls: " << error << (error.rfind("cannot ", 0) == 0 ? "" : " (ls -R lists folders)")
           << '\n';
      return false;
    }
    tops.push_back(folder);
  }
  if (tops.empty()) tops.push_back(panel_.Home());
  bool first = true;
  // A folder that cannot be read is named, and the walk goes on without it.
  std::vector<std::string> unread;
  for (const auto& top : tops) {
    std::vector<FolderParts> folders;
    const bool walked = panel_.Walk(
        top, [](const FolderParts&, const PanelItem&) {},
        [&](const FolderParts& folder) { folders.push_back(folder); }, &error, &unread);
    if (!walked) {
      err_ << "ls: " << error << '\n';
      return false;
    }
    // In ls's order, from the listings the walk has just read.
    SortAsListed(&folders);
    for (const auto& folder : folders) {
      out_ << (first ? "" : "\n") << FolderText(folder) << ":\n";
      first = false;
      std::vector<Row> rows;
      for (const auto& item : panel_.Entries(folder)) rows.push_back(RowOf(item, attributes));
      PrintRows(std::move(rows), out_);
    }
  }
  out_.flush();
  for (const auto& message : unread) err_ << "ls: " << message << '\n';
  return unread.empty();
}

bool Session::ChangeFolder(const Words& args) {
  std::string options;
  Words paths;
  if (!TakeOptions("cd", args, "", &options, &paths)) return false;
  if (paths.size() > 1) {
    err_ << "cd: one folder at a time (quote a name that holds blanks)\n";
    return false;
  }
  FolderParts folder;
  std::string error;
  std::string path = paths.empty() ? "\\" : paths[0];
  if (HasWildcards(path)) {
    // A pattern must name one folder.
    std::vector<std::string> found = {path + "\\"};
    if (!panel_.ExpandFolderPatterns(&found, &error)) {
      err_ << "cd: "
           << (error.rfind("nothing matches", 0) == 0 ? "no folder matches " + path : error)
           << '\n';
      return false;
    }
    for (auto& each : found) each.pop_back();  // the separator added above
    if (found.size() > 1) {
      err_ << "cd: " << path << " matches " << found.size() << " folders: " << found[0] << ", "
           << found[1] << (found.size() > 2 ? ", ..." : "") << '\n';
      return false;
    }
    path = found[0];
  }
  if (!panel_.FindFolder(path, &folder, &error)) {
    err_ << "cd: " << error << '\n';
    return false;
  }
  if (!panel_.MoveTo(folder)) {
    const std::string why = NotEnterable(folder);
    err_ << "cd: " << (why.empty() ? "the module refused to enter " + FolderText(folder) : why)
         << '\n';
    return false;
  }
  panel_.SetHome(folder);
  return true;
}

bool Session::PrintFolder(const Words& args) {
  std::string options;
  Words rest;
  if (!TakeOptions("pwd", args, "", &options, &rest)) return false;
  out_ << DeviceFolder() << '\n';
  return true;
}

bool Session::LocalChangeFolder(const Words& args) {
  if (args.size() > 1) {
    err_ << "lcd: one folder at a time (quote a name that holds blanks)\n";
    return false;
  }
  const std::string folder = args.empty() ? platform::HomeFolder() : args[0];
  if (folder.empty()) {
    err_ << "lcd: the home folder is not known; name the folder\n";
    return false;
  }
  std::error_code ec;
  fs::current_path(PcPathFromUser(folder), ec);
  if (ec) {
    err_ << "lcd: " << Printable(folder) << ": " << ec.message() << '\n';
    return false;
  }
  return LocalPrintFolder({});
}

bool Session::LocalPrintFolder(const Words&) {
  std::error_code ec;
  const fs::path folder = fs::current_path(ec);
  if (!quiet_ || ec) out_ << folder.string() << '\n';
  return !ec;
}

bool Session::LocalList(const Words& args) {
  std::string options;
  Words paths;
  if (!TakeOptions("lls", args, "l", &options, &paths)) return false;
  if (paths.empty()) paths.push_back(".");
  // What each folder shows, in the order the paths name the folders, as ls
  // groups them.
  struct Group {
    std::string Folder;  // as the user named it
    std::vector<Row> Rows;
    std::set<std::string> Names;
  };
  std::vector<Group> groups;
  const auto add = [&](const std::string& shownFolder, const fs::path& path) {
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&](const Group& g) { return g.Folder == shownFolder; });
    if (group == groups.end()) {
      groups.push_back({shownFolder, {}, {}});
      group = groups.end() - 1;
    }
    const std::string name = path.filename().string();
    if (!group->Names.insert(name).second) return;
    platform::PcFileStatus status;
    const bool known = platform::StatPcFile(path, &status);
    group->Rows.push_back({known ? FormatLocalTime(status.WrittenSeconds) : "", status.Folder,
                           status.Folder ? 0 : status.Size, Printable(name), "", ""});
  };
  bool ok = true;
  for (const auto& word : paths) {
    const fs::path path = PcPathFromUser(word);
    std::error_code ec;
    const std::string pattern = path.filename().string();
    if (HasWildcards(pattern)) {
      const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
      const std::string shown =
          path.has_parent_path() ? Printable(path.parent_path().string()) : ".";
      bool matched = false;
      for (const auto& entry : fs::directory_iterator(parent, ec)) {
        if (!MatchPcName(pattern, entry.path().filename().string())) continue;
        add(shown, entry.path());
        matched = true;
      }
      if (!matched) {
        err_ << "lls: " << Printable(word) << ": " << (ec ? ec.message() : "no match") << '\n';
        ok = false;
      }
    } else if (fs::is_directory(path, ec)) {
      const std::string shown = Printable(word);
      auto group = std::find_if(groups.begin(), groups.end(),
                                [&](const Group& g) { return g.Folder == shown; });
      if (group == groups.end()) groups.push_back({shown, {}, {}});
      for (const auto& entry : fs::directory_iterator(path, ec)) add(shown, entry.path());
      if (ec) {
        err_ << "lls: " << Printable(word) << ": " << ec.message() << '\n';
        ok = false;
      }
    } else if (fs::exists(path, ec)) {
      add(path.has_parent_path() ? Printable(path.parent_path().string()) : ".", path);
    } else {
      err_ << "lls: " << Printable(word) << ": no such file or folder\n";
      ok = false;
    }
  }
  for (size_t i = 0; i < groups.size(); ++i) {
    if (groups.size() > 1) out_ << (i > 0 ? "\n" : "") << groups[i].Folder << ":\n";
    PrintRows(std::move(groups[i].Rows), out_);
  }
  return ok;
}

bool Session::LocalShell(const Words& args) {
  std::string line;
  for (const auto& word : args) line += (line.empty() ? "" : " ") + word;
  return LocalCommand(line);
}

bool Session::LocalCommand(const std::string& command) {
  std::string error;
  const int status = platform::RunLocalCommand(command, &error);
  if (status < 0) {
    err_ << "!: " << error << '\n';
    return false;
  }
  if (status != 0) {
    err_ << "!: " << (command.empty() ? "the shell" : "the command") << " ended with status "
         << status << '\n';
  }
  return status == 0;
}

bool Session::Info(const Words&) {
  PanelInfoRecord info{};
  panel_.module().GetOpenPluginInfo(panel_.handle(), &info);
  const auto text = [](const char* value) {
    return value != nullptr && *value != '\0' ? UserFromNarrow(value) : std::string("(none)");
  };
  out_ << "device:          " << text(info.Title) << " (panel format " << text(info.Format) << ")\n"
       << "current folder:  " << DeviceFolder() << '\n'
       << "names pass as:   " << NarrowTextName() << " (what it cannot hold is refused by name)\n";
  return true;
}

bool Session::Menu(const Words&) {
  PluginInfoRecord info{};
  panel_.module().GetPluginInfo(&info);
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
  if (panel_.module().Configure(item) == 0) {
    err_ << "configure: the module has no configuration entry " << item
         << " (\"menu\" lists its entries)\n";
    return false;
  }
  out_ << "The module took configuration entry " << item
       << "; it has no settings to change here. It reads them from "
       << (platform::HasRegistryFile()
               ? "the settings file (--registry, else ~/.config/merlo/registry.reg)"
               : "the registry, under HKEY_CURRENT_USER\\Software\\Merlo\\Plugins")
       << ".\n";
  return true;
}

bool PrintHelp(const Words& names, std::ostream& out, std::ostream& err) {
  if (names.empty()) {
    out << HelpText();
    return true;
  }
  bool ok = true;
  for (const auto& name : names) {
    std::string text;
    if (HelpText(name, &text)) {
      out << text;
    } else {
      err << "help: no command \"" << name << "\"\n";
      ok = false;
    }
  }
  return ok;
}

bool Session::Help(const Words& args) { return PrintHelp(args, out_, err_); }

bool Session::Exit(const Words&) {
  exitRequested_ = true;
  return true;
}

}  // namespace merlo
