// get, put, cp, mv and rm: each builds a plan of single files, then Execute
// hands them to the module one at a time.
#include "transfers.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <set>

#include "device_calls.h"
#include "host_services.h"
#include "interrupt.h"
#include "platform.h"
#include "progress.h"
#include "session.h"
#include "text.h"

namespace fs = std::filesystem;

namespace merlo {

// Why the module cannot be given a PC path, or empty when it can.
std::string PcPathProblem(const std::string& path) {
  if (std::string problem = NarrowFormProblem(path); !problem.empty()) return problem;
  // The module separates folders at "\": where the PC does not, "a\b.txt"
  // would reach the file b.txt in a folder a.
  if (std::strchr(platform::kPcSeparators, '\\') == nullptr &&
      path.find('\\') != std::string::npos) {
    return "it holds \\, which the module reads as a folder separator, so the copy would reach a "
           "different file; rename it first";
  }
  return "";
}

// How an entry is named in messages: below the current folder relative to it, else in full.
std::string ShownName(const FolderParts& here, const FolderParts& folder, const std::string& name) {
  if (folder.size() >= here.size() && std::equal(here.begin(), here.end(), folder.begin())) {
    std::string shown;
    for (size_t i = here.size(); i < folder.size(); ++i) shown += folder[i] + "\\";
    return UserFromNarrow(shown + name);
  }
  return EntryText(folder, name);
}

// One stat call: this is taken for every file of a batch.
LocalState StateOf(const fs::path& path) {
  LocalState state;
  platform::PcFileStatus status;
  if (!platform::StatPcFile(path, &status)) {
    std::error_code ec;
    const fs::file_type type = fs::symlink_status(path, ec).type();
    if (type == fs::file_type::not_found) return state;
    if (ec) {
      state.Known = false;
      state.Why = ec.message();
    } else {
      state.Exists = true;  // a link that leads nowhere
    }
    return state;
  }
  state.Exists = true;
  state.Folder = !status.Regular;
  state.ReadOnly = status.ReadOnly;
  state.Size = status.Size;
  state.Written = status.Written;
  return state;
}

// The same of a device entry; without details only whether it is there,
// a folder, read-only.
LocalState DeviceStateOf(const std::string& path, bool details = true) {
  LocalState state;
  device::EntryState entry;
  if (!device::StateOf(path, &entry, &state.Why, details)) {
    state.Known = false;
    return state;
  }
  state.Exists = entry.Exists;
  state.Folder = entry.Folder;
  state.ReadOnly = entry.ReadOnly;
  state.Size = entry.Size;
  state.Written = entry.Written;
  state.Name = entry.Name;
  return state;
}

// A device destination as the module lists its folder, where the library
// lacks the calls to ask of the one file; the panel goes back to `back`. An
// empty listing may be one that failed: it is told as nothing there, as the
// module tells it.
LocalState ListedState(Panel& panel, const FolderParts& folder, const std::string& name,
                       const FolderParts& back) {
  LocalState state;
  panel.Forget(folder);
  if (const PanelItem* entry = FindEntry(panel.Entries(folder), name)) {
    state.Exists = true;
    state.Folder = IsFolder(*entry);
    state.ReadOnly = (entry->Attributes & kDeviceAttributeReadOnly) != 0;
    state.Size = ItemSize(*entry);
    state.Written = ItemWriteTime(*entry);
    state.Name = ItemName(*entry);
  }
  panel.MoveTo(back);
  return state;
}

// Renames a PC file to a free name beside it, for its old version while the
// new one is copied: "f.txt.merlo-old", else numbered, else short where the
// name would be too long for the file system. The rename itself finds a name
// taken, so that no other look is needed. Empty, with the reason, when it fails.
fs::path SetPcFileAside(const fs::path& file, std::string* error) {
  constexpr size_t kLongestName = 255;
  const std::string name = file.filename().string();
  for (int n = 0; n < 20; ++n) {
    const std::string number = n == 0 ? "" : std::to_string(n + 1);
    std::string candidate = name + ".merlo-old" + number;
    if (candidate.size() > kLongestName) candidate = "~merlo-old" + number + ".tmp";
    const fs::path aside = file.parent_path() / candidate;
    bool taken = false;
    if (platform::RenamePcFile(file, aside, error, &taken)) return aside;
    if (!taken) return fs::path();
  }
  *error = "no free name beside it";
  return fs::path();
}

bool PcWriteTime(const fs::path& path, uint64_t* written) {
  platform::PcFileStatus status;
  if (!platform::StatPcFile(path, &status)) return false;
  *written = status.Written;
  return true;
}

bool PcFileState(const fs::path& path, PcFile* file) {
  *file = PcFile{};
  platform::PcFileStatus status;
  if (!platform::StatPcFile(path, &status)) return false;
  file->Exists = true;
  file->Folder = status.Folder;
  file->Size = status.Size;
  file->Written = status.Written;
  return true;
}

// Folders for a message: "\a, \b\c".
std::string FolderList(const std::vector<FolderParts>& folders) {
  std::string text;
  for (const auto& folder : folders) text += (text.empty() ? "" : ", ") + FolderText(folder);
  return text;
}

const PanelItem* FindEntry(const std::vector<PanelItem>& entries, const std::string& name) {
  for (const auto& entry : entries) {
    if (ItemName(entry) == name) return &entry;
  }
  for (const auto& entry : entries) {
    if (SameDeviceName(ItemName(entry), name)) return &entry;
  }
  return nullptr;
}

// What a failed copy left at its destination, as one sentence, from the
// destination's state before the copy and after it.
std::string Leftover(const std::string& where, const LocalState& before, const LocalState& after,
                     uint64_t expected, bool move) {
  if (!after.Known) return "merlo cannot tell what is at " + where + ": " + after.Why;
  if (!after.Exists) return "nothing was left at " + where;
  if (after.Folder) return where + (before.Folder ? " is a folder, as it was" : " is a folder");
  if (before.Known && before.Exists && !before.Folder && before.Size == after.Size &&
      before.Written == after.Written) {
    return where + " is as it was";
  }
  if (after.Size == expected) {
    return where + " holds a complete copy (" + HumanBytes(after.Size) + ")" +
           (move ? "; the source stays" : "");
  }
  return "the module left a partial copy at " + where + " (" + std::to_string(after.Size) + " of " +
         std::to_string(expected) + " bytes)";
}

bool CheckPlan(TransferPlan* plan, std::string* error) {
  const bool fromDevice = plan->Kind != TransferKind::Put;
  const bool toDevice = plan->Kind == TransferKind::Put || plan->Kind == TransferKind::Within;
  const char* verb = plan->Kind == TransferKind::Remove ? "deleted"
                     : plan->Move                       ? "moved"
                                                        : "copied";
  std::set<std::string> sources;
  std::map<std::string, const FileJob*> destinations;
  std::vector<FileJob> kept;
  kept.reserve(plan->Jobs.size());
  for (const auto& job : plan->Jobs) {
    const std::string name = ItemName(job.Item);
    const std::string pcPath = (job.Local / PathFromUser(UserFromNarrow(name))).string();
    if (fromDevice) {
      bool unreachable = HasReplacement(name);
      for (const auto& part : job.Folder) unreachable = unreachable || HasReplacement(part);
      if (unreachable) {
        *error = UnreachableName(job.Shown) + "; nothing was " + verb;
        return false;
      }
    }
    // The same entry, named twice, is taken once: the first time.
    const std::string source =
        fromDevice ? DeviceNameKey(DevicePathText(job.Folder) + "\\" + name) : PcNameKey(pcPath);
    if (!sources.insert(source).second) continue;
    if (plan->Kind != TransferKind::Remove) {
      const std::string destination = toDevice ? EntryText(job.Target(*plan), name) : pcPath;
      const std::string key = toDevice ? DeviceNameKey(destination) : PcNameKey(destination);
      const auto [other, added] = destinations.emplace(key, &job);
      if (!added) {
        *error = other->second->Shown + " and " + job.Shown + " would both land on " + destination +
                 "; nothing was " + verb;
        return false;
      }
    }
    kept.push_back(job);
  }
  plan->Jobs = std::move(kept);
  return true;
}

bool Session::Get(const Words& args) {
  std::string options;
  Words paths;
  if (!TakeOptions("get", args, "mrp", &options, &paths)) return false;
  const bool recursive = options.find('r') != std::string::npos;
  if (paths.empty()) {
    err_ << "get: which files? (get [-m] [-r] PATH... [PCDIR])\n";
    return false;
  }
  fs::path target = ".";
  std::error_code ec;
  if (paths.size() >= 2 && fs::is_directory(PathFromUser(paths.back()), ec)) {
    target = PathFromUser(paths.back());
    paths.pop_back();
  }
  const fs::path pcFolder = AbsoluteLocalPath(target);
  if (const std::string problem = PcPathProblem(pcFolder.string()); !problem.empty()) {
    err_ << "get: the module cannot be given the PC folder " << Printable(pcFolder.string()) << ": "
         << problem << '\n';
    return false;
  }

  TransferPlan plan;
  plan.Kind = TransferKind::Get;
  plan.Command = "get";
  plan.Move = options.find('m') != std::string::npos;
  const FolderParts here = panel_.Home();
  // A folder tree goes to pcFolder\TOP\...: one PC folder for each device folder.
  const auto addTree = [&](const FolderParts& top, std::string* error) {
    // The root's tree goes into pcFolder itself.
    const size_t base = top.empty() ? 0 : top.size() - 1;
    const auto localFor = [&](const FolderParts& folder) {
      fs::path local = pcFolder;
      for (size_t i = base; i < folder.size(); ++i)
        local /= PathFromUser(UserFromNarrow(folder[i]));
      return local;
    };
    return panel_.Walk(
        top,
        [&](const FolderParts& folder, const PanelItem& item) {
          plan.Jobs.push_back(
              {folder, item, localFor(folder), ShownName(here, folder, ItemName(item)), false, {}});
        },
        [&](const FolderParts& folder) { plan.LocalFolders.push_back(localFor(folder)); }, error);
  };

  for (size_t i = 0; i < paths.size(); ++i) {
    FolderParts folder;
    std::string last, error;
    std::vector<PanelItem> items;
    if (!panel_.Select(paths[i], &folder, &last, &items, &error)) {
      // A last word meant as the PC folder that is not there is named as such.
      const bool looksLocal = paths[i].find_first_of(platform::kPcPathMarks) != std::string::npos;
      if (i + 1 == paths.size() && paths.size() >= 2 && looksLocal) {
        error = "there is no PC folder " + Printable(paths[i]);
      }
      err_ << "get: " << error << '\n';
      return false;
    }
    if (last.empty()) {
      // The path names a folder itself: "..", "docs\".
      if (!recursive) {
        err_ << "get: " << paths[i] << " names a folder, not a file"
             << (recursive ? "" : " (get -r copies folders)") << '\n';
        return false;
      }
      if (!addTree(folder, &error)) {
        err_ << "get: " << error << '\n';
        return false;
      }
      continue;
    }
    for (const auto& item : items) {
      const std::string name = ItemName(item);
      if (!IsFolder(item)) {
        plan.Jobs.push_back({folder, item, pcFolder, ShownName(here, folder, name), false, {}});
      } else if (recursive) {
        FolderParts top = folder;
        top.push_back(name);
        if (!addTree(top, &error)) {
          err_ << "get: " << error << '\n';
          return false;
        }
      } else {
        ++plan.SkippedFolders;
        err_ << "get: skipped the folder " << ShownName(here, folder, name)
             << " (get -r copies folders)\n";
      }
    }
  }
  return Execute(plan);
}

bool Session::Put(const Words& args) {
  std::string options;
  Words files;
  if (!TakeOptions("put", args, "mrp", &options, &files)) return false;
  if (files.empty()) {
    err_ << "put: which files? (put [-m] FILE... [DEVDIR])\n";
    return false;
  }
  TransferPlan plan;
  plan.Kind = TransferKind::Put;
  plan.Command = "put";
  plan.Move = options.find('m') != std::string::npos;
  plan.Target = panel_.Home();
  // The last word names the device folder when it names one and no PC file.
  if (files.size() >= 2 && !HasWildcards(files.back())) {
    std::error_code ec;
    const fs::path last = PathFromUser(files.back());
    if (!fs::exists(last, ec) || fs::is_directory(last, ec)) {
      FolderParts folder;
      std::string error;
      if (panel_.FindFolder(files.back(), &folder, &error)) {
        plan.Target = folder;
        files.pop_back();
      } else if (!fs::exists(last, ec) && files.back().find('\\') != std::string::npos) {
        err_ << "put: " << error << '\n';
        return false;
      }
    }
  }

  // Local wildcards are expanded here, within the folder the pattern names.
  std::vector<fs::path> paths;
  for (const auto& file : files) {
    const fs::path path = PathFromUser(file);
    std::error_code ec;
    if (!HasWildcards(path.filename().string())) {
      if (!fs::exists(path, ec)) {
        err_ << "put: " << Printable(file) << ": no such file\n";
        return false;
      }
      paths.push_back(path);
      continue;
    }
    const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(parent, ec)) {
      if (MatchPcName(path.filename().string(), entry.path().filename().string())) {
        found.push_back(path.has_parent_path() ? parent / entry.path().filename()
                                               : entry.path().filename());
      }
    }
    if (found.empty()) {
      err_ << "put: nothing matches " << Printable(file) << '\n';
      return false;
    }
    std::sort(found.begin(), found.end());
    paths.insert(paths.end(), found.begin(), found.end());
  }

  const bool recursive = options.find('r') != std::string::npos;
  // One PC file, into the plan's folder or, from a tree, into its own.
  const auto addFile = [&](const fs::path& shown, const fs::path& absolute,
                           const FolderParts* into) {
    const std::string base = absolute.filename().string();
    std::string problem = PcPathProblem(absolute.string());
    if (problem.empty() && NarrowFromUser(base).size() >= sizeof(PanelItem::Name)) {
      problem = "the name is too long for the module";
    }
    if (!problem.empty()) {
      err_ << "put: " << Printable(shown.string()) << ": " << problem << '\n';
      return false;
    }
    FileJob job;
    std::memset(&job.Item, 0, sizeof job.Item);
    const std::string narrow = NarrowFromUser(base);
    std::memcpy(job.Item.Name, narrow.c_str(), narrow.size() + 1);
    job.Item.Attributes = 0x20u;
    if (uint64_t written = 0; PcWriteTime(absolute, &written)) SetItemWriteTime(&job.Item, written);
    std::error_code ec;
    const uint64_t size = fs::file_size(absolute, ec);
    if (!ec) {
      job.Item.SizeHigh = static_cast<uint32_t>(size >> 32);
      job.Item.SizeLow = static_cast<uint32_t>(size);
    }
    job.Local = absolute.parent_path();
    job.Shown = Printable(shown.string());
    if (into != nullptr) {
      job.OwnTarget = true;
      job.Into = *into;
    }
    plan.Jobs.push_back(job);
    return true;
  };
  // A PC folder goes to TARGET\NAME\..., its device folders made first.
  std::function<bool(const fs::path&, const fs::path&, const FolderParts&)> addTree =
      [&](const fs::path& shown, const fs::path& absolute, const FolderParts& into) {
        const std::string name = absolute.filename().string();
        if (const std::string problem = NarrowFormProblem(name); !problem.empty()) {
          err_ << "put: " << Printable(shown.string()) << ": " << problem << '\n';
          return false;
        }
        plan.DeviceFolders.push_back(into);
        std::vector<fs::path> entries;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(absolute, ec)) {
          entries.push_back(entry.path().filename());
        }
        if (ec) {
          err_ << "put: " << Printable(shown.string()) << ": " << ec.message() << '\n';
          return false;
        }
        std::sort(entries.begin(), entries.end());
        for (const auto& entry : entries) {
          if (fs::is_directory(absolute / entry, ec)) {
            FolderParts below = into;
            below.push_back(NarrowFromUser(entry.string()));
            if (!addTree(shown / entry, absolute / entry, below)) return false;
          } else if (!addFile(shown / entry, absolute / entry, &into)) {
            return false;
          }
        }
        return true;
      };

  std::set<fs::path> seen;
  for (const auto& path : paths) {
    const fs::path absolute = AbsoluteLocalPath(path);
    if (!seen.insert(absolute).second) continue;
    std::error_code ec;
    if (fs::is_directory(absolute, ec)) {
      if (!recursive) {
        ++plan.SkippedFolders;
        err_ << "put: skipped the folder " << Printable(path.string())
             << " (put -r copies folders)\n";
        continue;
      }
      FolderParts into = plan.Target;
      const fs::path name =
          absolute.filename().empty() ? absolute.parent_path().filename() : absolute.filename();
      into.push_back(NarrowFromUser(name.string()));
      if (!addTree(path, absolute, into)) return false;
      continue;
    }
    if (!addFile(path, absolute, nullptr)) return false;
  }
  return Execute(plan);
}

bool Session::Copy(const Words& args) { return CopyWithin("cp", args, false); }

bool Session::Move(const Words& args) { return CopyWithin("mv", args, true); }

bool Session::CopyWithin(const std::string& command, const Words& args, bool move) {
  std::string options;
  Words paths;
  if (!TakeOptions(command, args, "p", &options, &paths)) return false;
  if (paths.size() < 2) {
    err_ << command << ": " << command << " PATH... DEVDIR\n";
    return false;
  }
  const FolderParts here = panel_.Home();
  TransferPlan plan;
  plan.Kind = TransferKind::Within;
  plan.Command = command.c_str();
  plan.Move = move;
  std::string error;
  if (!panel_.FindFolder(paths.back(), &plan.Target, &error)) {
    err_ << command << ": " << error << '\n';
    return false;
  }
  for (size_t i = 0; i + 1 < paths.size(); ++i) {
    FolderParts folder;
    std::string last;
    std::vector<PanelItem> items;
    if (!panel_.Select(paths[i], &folder, &last, &items, &error)) {
      err_ << command << ": " << error << '\n';
      return false;
    }
    if (last.empty()) {
      err_ << command << ": " << paths[i] << " names a folder, not a file\n";
      return false;
    }
    if (folder == plan.Target) {
      err_ << command << ": " << paths[i] << " is in " << FolderText(folder) << " already\n";
      return false;
    }
    for (const auto& item : items) {
      const std::string shown = ShownName(here, folder, ItemName(item));
      if (IsFolder(item)) {
        ++plan.SkippedFolders;
        err_ << command << ": skipped the folder " << shown << " (the module copies files only)\n";
      } else {
        plan.Jobs.push_back({folder, item, {}, shown, false, {}});
      }
    }
  }
  return Execute(plan);
}

bool Session::Remove(const Words& args) {
  std::string options;
  Words paths;
  if (!TakeOptions("rm", args, "r", &options, &paths)) return false;
  const bool recursive = options.find('r') != std::string::npos;
  if (paths.empty()) {
    err_ << "rm: which files? (rm [-r] PATH...)\n";
    return false;
  }
  const FolderParts here = panel_.Home();
  TransferPlan plan;
  plan.Kind = TransferKind::Remove;
  plan.Command = "rm";
  // rm -r: the folders of each tree as entered, parents first; removed in
  // the reverse order once every file is gone.
  std::vector<FolderParts> folders, tops;
  const auto addTree = [&](const FolderParts& top) {
    const FolderParts& home = panel_.Home();
    if (top.size() <= home.size() && std::equal(top.begin(), top.end(), home.begin())) {
      err_ << "rm: " << FolderText(top)
           << (top.empty() ? " is the root" : " is the current folder or holds it")
           << "; nothing was deleted\n";
      return false;
    }
    std::string error;
    const bool walked = panel_.Walk(
        top,
        [&](const FolderParts& folder, const PanelItem& item) {
          plan.Jobs.push_back(
              {folder, item, {}, ShownName(here, folder, ItemName(item)), false, {}});
        },
        [&](const FolderParts& folder) { folders.push_back(folder); }, &error);
    if (!walked) {
      err_ << "rm: " << error << "; nothing was deleted\n";
      return false;
    }
    tops.push_back(top);
    return true;
  };
  for (const auto& path : paths) {
    FolderParts folder;
    std::string last, error;
    std::vector<PanelItem> items;
    if (!panel_.Select(path, &folder, &last, &items, &error)) {
      err_ << "rm: " << error << '\n';
      return false;
    }
    if (last.empty()) {
      if (recursive) {
        if (!addTree(folder)) return false;
        continue;
      }
      err_ << "rm: " << path << " names no entry of a folder\n";
      return false;
    }
    for (const auto& item : items) {
      const std::string shown = ShownName(here, folder, ItemName(item));
      if (IsFolder(item) && recursive) {
        FolderParts top = folder;
        top.push_back(ItemName(item));
        if (!addTree(top)) return false;
        continue;
      }
      if (IsFolder(item) && !HasWildcards(last)) {
        err_ << "rm: " << shown
             << " is a folder: rmdir removes an empty folder, rm -r a folder with everything in "
                "it; nothing was deleted\n";
        return false;
      }
      if (IsFolder(item)) {
        ++plan.SkippedFolders;
        err_ << "rm: skipped the folder " << shown << " (rmdir or rm -r removes folders)\n";
        continue;
      }
      plan.Jobs.push_back({folder, item, {}, shown, false, {}});
    }
  }
  if ((!plan.Jobs.empty() || folders.empty()) && !Execute(plan)) {
    if (!tops.empty()) {
      err_ << "rm: no folder was removed; left on the device: " << FolderList(tops) << '\n';
    }
    return false;
  }
  // Bottom up: a folder goes only after everything in it.
  uint64_t removed = 0;
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
    if (Interrupted() || !RemoveOneFolder("rm", *folder)) {
      std::vector<FolderParts> left;
      for (const auto& top : tops) {
        if (std::find(folders.rbegin(), folder, top) == folder) left.push_back(top);
      }
      err_ << "rm: " << (Interrupted() ? "interrupted; " : "") << "removed " << removed << " of "
           << CountOf(folders.size(), "folder", "folders")
           << "; left on the device: " << FolderList(left) << '\n';
      return false;
    }
    ++removed;
  }
  if (!quiet_ && !folders.empty()) {
    out_ << "removed " << CountOf(removed, "folder", "folders") << '\n';
  }
  return true;
}

bool Session::CheckBeforeRun(TransferPlan& plan) {
  if (std::string error; !CheckPlan(&plan, &error)) {
    err_ << plan.Command << ": " << error << '\n';
    return false;
  }
  if (plan.Kind == TransferKind::Within && !plan.Jobs.empty()) {
    // The device's own copy refuses an existing name: say so before asking it.
    const auto& entries = panel_.Entries(plan.Target);
    for (const auto& job : plan.Jobs) {
      if (const PanelItem* there = FindEntry(entries, ItemName(job.Item)); there != nullptr) {
        err_ << plan.Command << ": " << EntryText(plan.Target, ItemName(*there))
             << " exists; nothing was " << (plan.Move ? "moved" : "copied") << '\n';
        return false;
      }
    }
  }
  if (plan.Kind == TransferKind::Put && !plan.Jobs.empty() && !CheckFreeSpace(plan)) return false;
  for (const auto& folder : plan.DeviceFolders) {
    if (!MakeDeviceFolder(plan, folder)) return false;
  }
  std::error_code ec;
  for (const auto& folder : plan.LocalFolders) {
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder)) {
      err_ << plan.Command << ": cannot make the PC folder " << folder.string() << ": "
           << (ec ? ec.message() : "a file of that name is in the way") << '\n';
      return false;
    }
  }
  return true;
}

bool Session::CheckFreeSpace(const TransferPlan& plan) {
  // Every file lands below plan.Target, on its volume. Without the figures
  // (no call, or it failed) the copies go ahead and the device tells.
  device::Space space;
  std::string error;
  if (!device::FreeSpace(plan.Target, &space, &error)) return true;
  uint64_t needed = 0;
  for (const auto& job : plan.Jobs) needed += ItemSize(job.Item);
  if (needed <= space.Free) return true;
  err_ << plan.Command << ": " << CountOf(plan.Jobs.size(), "file", "files") << " of "
       << HumanBytes(needed) << " (" << needed << " bytes) cannot fit: "
       << (space.ObjectStore ? "the object store" : "the volume of " + FolderText(plan.Target))
       << " has " << HumanBytes(space.Free) << " (" << space.Free << " bytes) free of "
       << HumanBytes(space.Total) << "; nothing was copied\n";
  return false;
}

bool Session::MakeDeviceFolder(const TransferPlan& plan, const FolderParts& folder) {
  FolderParts parent = folder;
  parent.pop_back();
  if (const PanelItem* there = FindEntry(panel_.Entries(parent), folder.back())) {
    if (IsFolder(*there)) return true;
    err_ << plan.Command << ": " << EntryText(parent, ItemName(*there))
         << " is a file, where a folder should go; nothing was copied\n";
    return false;
  }
  std::string error;
  if (!device::MakeFolder(folder, &error)) {
    err_ << plan.Command << ": " << error << "; nothing was copied\n";
    return false;
  }
  panel_.Forget(parent);
  return true;
}

Session::JobOutcome Session::RunJob(TransferPlan& plan, const FileJob& job, JobContext& context) {
  const EntryPoints& module = panel_.module();
  const FolderParts& at = plan.Kind == TransferKind::Put ? job.Target(plan) : job.Folder;
  if (!panel_.MoveTo(at)) {
    err_ << plan.Command << ": the module refused to enter " << FolderText(at) << '\n';
    return JobOutcome::Failed;
  }
  std::error_code ec;
  if (plan.Kind == TransferKind::Put && job.Local != context.LocalFolder) {
    // The module reads the PC folder of the files from the current directory.
    fs::current_path(job.Local, ec);
    if (ec) {
      err_ << "put: cannot enter " << job.Local.string() << ": " << ec.message() << '\n';
      return JobOutcome::Failed;
    }
    context.LocalFolder = job.Local;
  }
  PanelItem item = job.Item;
  item.ItemFlags |= kItemSelected;
  const std::string name = ItemName(item);
  const uint64_t size = ItemSize(item);
  const fs::path pcFile = job.Local / PathFromUser(UserFromNarrow(name));
  const FolderParts& target = job.Target(plan);
  // The destination as it was, asked of that one file, and the old file set
  // aside while the new one is copied.
  Destination destination;
  if (plan.Kind != TransferKind::Remove && !PrepareDestination(plan, job, &destination)) {
    return JobOutcome::Failed;
  }
  if (plan.Kind != TransferKind::Remove) {
    SetInterruptNotes(
        "\n" + std::string(plan.Command) + ": stopping after " + job.Shown +
            " (the module cannot cancel one file's copy); Ctrl-C again ends "
            "merlo at once\n",
        "\nmerlo: interrupted; " + destination.Where + " may hold part of " + job.Shown +
            (destination.Aside.empty() ? "" : "; the old file is at " + destination.Aside) + "\n");
  }
  const size_t boxes = ShownBoxes().size();
  // A device error that the module's calls leave is told only when it is new.
  const uint32_t errorBefore = plan.Kind == TransferKind::Remove ? 0 : device::LastErrorCode();
  const auto started = std::chrono::steady_clock::now();
  switch (plan.Kind) {
    case TransferKind::Get: {
      context.Live->Start(job.Shown, size, pcFile);
      const std::string folder = ModulePcPath(job.Local.string());
      module.GetFiles(panel_.handle(), &item, 1, plan.Move ? 1 : 0, folder.c_str(), 0);
      context.Live->Stop();
      break;
    }
    case TransferKind::Within: {
      const std::string folder = DevicePathText(target);
      module.GetFiles(panel_.handle(), &item, 1, plan.Move ? 1 : 0, folder.c_str(), 0);
      break;
    }
    case TransferKind::Put:
      module.PutFiles(panel_.handle(), &item, 1, plan.Move ? 1 : 0, 0);
      break;
    case TransferKind::Remove:
      module.DeleteFiles(panel_.handle(), &item, 1, 0);
      break;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const bool arrived = plan.Kind == TransferKind::Remove ? ShownBoxes().size() == boxes
                                                         : (item.ItemFlags & kItemSelected) == 0;
  if (!arrived) {
    if (plan.Kind == TransferKind::Remove) {
      std::string error;
      const uint32_t attributes = device::Attributes(device::PathOf(job.Folder, name), &error);
      if (attributes != kDeviceNoAttributes && (attributes & kDeviceAttributeReadOnly) != 0) {
        err_ << plan.Command << ": " << job.Shown << " is read-only\n";
      }
      return JobOutcome::Failed;
    }
    const uint32_t errorAfter = device::LastErrorCode();
    if (errorAfter != 0 && errorAfter != errorBefore) {
      err_ << plan.Command << ": the device's last error: " << device::ErrorText(errorAfter)
           << '\n';
    }
    if (plan.Kind == TransferKind::Get) {
      if (const std::string problem = platform::PcWriteProblem(pcFile, size); !problem.empty()) {
        err_ << plan.Command << ": " << problem << '\n';
      }
    } else if (destination.Before.Folder) {
      err_ << plan.Command << ": a folder is in the way at " << destination.Where << '\n';
    }
    ReportLeftover(plan, job, destination, size);
    return JobOutcome::Failed;
  }
  if (plan.Kind != TransferKind::Remove) KeepTime(plan, job, pcFile);
  if (!destination.Aside.empty()) {
    std::string error;
    const std::string& was = destination.Before.Name;
    if (plan.Kind == TransferKind::Put && !was.empty() && was != name &&
        !device::MoveEntry(device::PathOf(job.Target(plan), name),
                           device::PathOf(job.Target(plan), was), &error)) {
      err_ << plan.Command << ": " << job.Shown << " arrived whole, but not under the old name's "
           << "spelling: " << error << '\n';
      ++plan.TimesFailed;
    }
    const bool removed = plan.Kind == TransferKind::Get
                             ? platform::RemovePcFile(PathFromUser(destination.Aside), &error)
                             : device::DeleteFile(NarrowFromUser(destination.Aside), &error);
    if (!removed) {
      err_ << plan.Command << ": " << job.Shown << " arrived whole, but its old version at "
           << destination.Aside << " could not be removed: " << error << '\n';
      ++plan.TimesFailed;  // the command fails, as when a copy's time is not kept
    }
  }
  if (!quiet_ && plan.Kind != TransferKind::Remove) {
    out_ << ArrivalLine(job.Shown, size, seconds) << '\n' << std::flush;
  }
  return JobOutcome::Done;
}

bool Session::PrepareDestination(const TransferPlan& plan, const FileJob& job,
                                 Destination* destination) {
  const std::string name = ItemName(job.Item);
  const bool toPc = plan.Kind == TransferKind::Get;
  const fs::path pcFile = job.Local / PathFromUser(UserFromNarrow(name));
  const std::string devicePath = device::PathOf(job.Target(plan), name);
  destination->Where = toPc ? pcFile.string() : EntryText(job.Target(plan), name);
  // Only a file that stays as it is without merlo's help needs its size and time.
  const bool ownCalls = toPc || device::CanTellState();
  const FolderParts& at = plan.Kind == TransferKind::Put ? job.Target(plan) : job.Folder;
  destination->Before = toPc       ? StateOf(pcFile)
                        : ownCalls ? DeviceStateOf(devicePath, false)
                                   : ListedState(panel_, job.Target(plan), name, at);
  LocalState& before = destination->Before;
  const char* verb = plan.Move ? "moved" : "copied";
  if (!before.Known) {
    err_ << plan.Command << ": merlo cannot tell what is at " << destination->Where << ": "
         << before.Why << "; " << job.Shown << " was not " << verb << '\n';
    return false;
  }
  if (!before.Exists || before.Folder) return true;  // the module tells a folder in the way
  if (plan.Kind == TransferKind::Within) {
    // The device's own copy and move refuse an existing name.
    err_ << plan.Command << ": " << destination->Where << " exists; " << job.Shown << " was not "
         << verb << '\n';
    return false;
  }
  if (before.ReadOnly || !ownCalls) {
    if (toPc) {
      err_ << plan.Command << ": " << destination->Where << " is read-only; " << job.Shown
           << " was not " << verb << '\n';
      return false;
    }
    // The device refuses to overwrite it, and says so: it stays as it is.
    // A library that cannot tell a file's state cannot set one aside either.
    if (ownCalls) destination->Before = DeviceStateOf(devicePath);
    return true;
  }
  std::string error;
  if (toPc) {
    if (const fs::path aside = SetPcFileAside(pcFile, &error); !aside.empty()) {
      destination->Aside = aside.string();
      return true;
    }
  } else {
    // The old file's spelling, which the new one takes: an overwritten device
    // file keeps its name as it stands.
    destination->Before = DeviceStateOf(devicePath);
    error = destination->Before.Why;
    std::string aside;
    if (destination->Before.Known &&
        device::SetAside(job.Target(plan),
                         destination->Before.Name.empty() ? name : destination->Before.Name, &aside,
                         &error)) {
      destination->Aside = UserFromNarrow(aside);
      return true;
    }
  }
  err_ << plan.Command << ": cannot set " << destination->Where
       << " aside to copy over it: " << error << "; " << job.Shown << " was not " << verb << '\n';
  return false;
}

void Session::ReportLeftover(const TransferPlan& plan, const FileJob& job,
                             const Destination& destination, uint64_t expected) {
  const bool toPc = plan.Kind == TransferKind::Get;
  const std::string name = ItemName(job.Item);
  const fs::path pcFile = job.Local / PathFromUser(UserFromNarrow(name));
  const std::string devicePath = device::PathOf(job.Target(plan), name);
  const LocalState after = toPc ? StateOf(pcFile)
                           : device::CanTellState()
                               ? DeviceStateOf(devicePath)
                               : ListedState(panel_, job.Target(plan), name, panel_.Folder());
  if (destination.Aside.empty()) {
    err_ << plan.Command << ": "
         << Leftover(destination.Where, destination.Before, after, expected, plan.Move) << '\n';
    return;
  }
  // The copy goes, and the old file comes back.
  const std::string& where = destination.Where;
  std::string error;
  if (!after.Known) {
    err_ << plan.Command << ": merlo cannot tell what is at " << where << ": " << after.Why
         << "; the old file is at " << destination.Aside << '\n';
    return;
  }
  if (after.Exists && !after.Folder) {
    const bool removed =
        toPc ? platform::RemovePcFile(pcFile, &error) : device::DeleteFile(devicePath, &error);
    if (!removed) {
      err_ << plan.Command << ": " << Leftover(where, LocalState{}, after, expected, plan.Move)
           << ", which merlo could not remove (" << error << "); the old file is at "
           << destination.Aside << '\n';
      return;
    }
  } else if (after.Exists) {
    err_ << plan.Command << ": " << where << " is now a folder; the old file is at "
         << destination.Aside << '\n';
    return;
  }
  // A device file comes back under its own spelling.
  const std::string& was = destination.Before.Name;
  const bool back =
      toPc ? platform::RenamePcFile(PathFromUser(destination.Aside), pcFile, &error)
           : device::MoveEntry(NarrowFromUser(destination.Aside),
                               device::PathOf(job.Target(plan), was.empty() ? name : was), &error);
  if (back) {
    err_ << plan.Command << ": " << job.Shown << " failed; " << where << " is as it was"
         << (plan.Move ? ", and the source stays" : "") << '\n';
  } else {
    err_ << plan.Command << ": " << job.Shown << " failed, and its old version could not be put "
         << "back: " << error << "; the old file is at " << destination.Aside << '\n';
  }
}

void Session::KeepTime(TransferPlan& plan, const FileJob& job, const fs::path& pcFile) {
  // The copy is whole either way. A library without the calls is said once
  // and the command goes on; a time the device refuses fails the command.
  if (ItemWriteTime(job.Item) == 0 || plan.TimesUnkept) return;  // no time to keep
  std::string error;
  const bool kept = plan.Kind == TransferKind::Get
                        ? platform::SetPcWriteTime(pcFile, ItemWriteTime(job.Item), &error)
                        : device::SetWriteTime(device::PathOf(job.Target(plan), ItemName(job.Item)),
                                               ItemWriteTime(job.Item), &error);
  if (kept) return;
  const DeviceCalls& calls = DeviceLibraryCalls();
  plan.TimesUnkept = plan.Kind != TransferKind::Get &&
                     (calls.CeCreateFile == nullptr || calls.CeSetFileTime == nullptr ||
                      calls.CeCloseHandle == nullptr);
  if (!plan.TimesUnkept) ++plan.TimesFailed;
  err_ << plan.Command << ": " << error
       << (plan.TimesUnkept ? "; file times are not kept"
                            : "; the copy is whole, its time is the copy's")
       << '\n';
}

uint64_t Session::RecountDeleted(const TransferPlan& plan, uint64_t done) {
  // What the device still lists was not deleted, whatever the module said.
  std::map<FolderParts, std::set<std::string>> listed;
  uint64_t stillThere = 0;
  for (uint64_t i = 0; i < done; ++i) {
    const FileJob& job = plan.Jobs[i];
    auto names = listed.find(job.Folder);
    if (names == listed.end()) {
      panel_.Forget(job.Folder);
      names = listed.emplace(job.Folder, std::set<std::string>{}).first;
      for (const auto& entry : panel_.Entries(job.Folder)) names->second.insert(ItemName(entry));
    }
    if (names->second.count(ItemName(job.Item)) != 0) {
      err_ << plan.Command << ": " << job.Shown << " is still on the device\n";
      ++stillThere;
    }
  }
  return done - stillThere;
}

bool Session::Execute(TransferPlan& plan) {
  if (!CheckBeforeRun(plan)) return false;
  const uint64_t total = plan.Jobs.size();
  std::error_code ec;
  LiveProgress live(out_, liveProgress_ && !quiet_);
  JobContext context;
  context.LocalFolder = fs::current_path(ec);
  context.Live = &live;
  const fs::path previousFolder = context.LocalFolder;

  uint64_t done = 0;
  bool failed = false, interrupted = false;
  for (const auto& job : plan.Jobs) {
    if (Interrupted()) {
      interrupted = true;
      break;
    }
    if (RunJob(plan, job, context) != JobOutcome::Done) {
      failed = true;
      break;
    }
    ++done;
  }
  SetInterruptNotes("", "");
  if (plan.Kind == TransferKind::Put) fs::current_path(previousFolder, ec);
  if (plan.Kind == TransferKind::Remove) {
    const uint64_t tried = done;
    const uint64_t deleted = RecountDeleted(plan, done);
    failed = failed || deleted != done;
    done = deleted;
    if (failed || interrupted) ReportNotDeleted(plan, tried);
  }
  ReportTotals(plan, done, interrupted);
  return !failed && !interrupted && done == total && plan.SkippedFolders == 0 &&
         plan.TimesFailed == 0;
}

void Session::ReportNotDeleted(const TransferPlan& plan, uint64_t tried) {
  // Those the recount found are named already; these were not tried, or failed.
  constexpr uint64_t kNamed = 10;
  const uint64_t left = plan.Jobs.size() - tried;
  if (left == 0) return;
  err_ << plan.Command << ": not deleted: ";
  for (uint64_t i = tried; i < plan.Jobs.size() && i < tried + kNamed; ++i) {
    err_ << (i > tried ? ", " : "") << plan.Jobs[i].Shown;
  }
  if (left > kNamed) err_ << " and " << (left - kNamed) << " more";
  err_ << '\n';
}

void Session::ReportTotals(const TransferPlan& plan, uint64_t done, bool interrupted) {
  const uint64_t total = plan.Jobs.size();
  if (interrupted) {
    err_ << plan.Command << ": interrupted after " << done << " of " << total << '\n';
    return;
  }
  if (quiet_) return;
  if (plan.Kind == TransferKind::Remove) {
    out_ << "deleted " << done << " of " << CountOf(total, "file", "files");
  } else {
    out_ << (plan.Move ? "moved " : "copied ") << done << " of " << CountOf(total, "file", "files");
  }
  if (plan.SkippedFolders > 0) {
    out_ << ", skipped " << CountOf(plan.SkippedFolders, "folder", "folders");
  }
  out_ << '\n';
}

}  // namespace merlo
