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
#include "unicode/unicode.h"

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

namespace {

// Why the module could not copy, move or delete this file, told before it is
// asked: a path longer than one of its fields, or a PC path longer than the
// system's file calls take. Empty when it can. The texts of a message are
// made only for a path that does not fit: this runs for every file.
std::string ModuleCannotTake(const TransferPlan& plan, const FileJob& job) {
  const std::string name = ItemName(job.Item);
  std::string problem;
  const auto field = [&problem](size_t bytes, size_t limit, const char* what, const auto& shown) {
    if (problem.empty() && bytes > limit) problem = ModuleFieldProblem(shown(), bytes, limit, what);
  };
  if (plan.Kind != TransferKind::Put) {
    if (TooLongToEnter(job.Folder)) return NotEnterable(job.Folder);
    field(ModuleFilePathBytes(job.Folder, name), kModuleFilePath, "file paths",
          [&] { return EntryText(job.Folder, name); });
  }
  if (plan.Kind == TransferKind::Put || plan.Kind == TransferKind::Within) {
    const FolderParts& target = job.Target(plan);
    if (problem.empty() && TooLongToEnter(target)) return NotEnterable(target);
    field(ModuleFilePathBytes(target, name), kModuleFilePath, "file paths",
          [&] { return EntryText(target, name); });
  }
  if (plan.Kind == TransferKind::Put || plan.Kind == TransferKind::Get) {
    const std::string local = job.Local.string();
    const std::string folder = ModulePcPath(local);
    const fs::path file = job.Local / PathFromUser(UserFromNarrow(name));
    if (plan.Kind == TransferKind::Put) {
      field(folder.size(), kModulePcFolder, "PC folders to copy from",
            [&] { return "the PC folder " + local; });
    }
    const bool separated = !local.empty() && local.back() == platform::kPcSeparators[0];
    if (problem.empty()) problem = platform::PcPathProblem(file);
    field(folder.size() + (separated ? 0 : 1) + name.size(), kModuleFilePath, "file paths",
          [&] { return file.string(); });
  }
  return problem;
}

}  // namespace

bool CheckPlan(TransferPlan* plan, std::string* error) {
  const bool fromDevice = plan->Kind != TransferKind::Put;
  const bool toDevice = plan->Kind == TransferKind::Put || plan->Kind == TransferKind::Within;
  const char* verb = plan->Kind == TransferKind::Remove ? "deleted"
                     : plan->Move                       ? "moved"
                                                        : "copied";
  // Folders to make: two that differ only in case are one on the device.
  std::map<std::string, const FolderParts*> folders;
  for (const auto& folder : plan->DeviceFolders) {
    const auto [other, added] = folders.emplace(DeviceNameKey(DevicePathText(folder)), &folder);
    if (!added && *other->second != folder) {
      *error = FolderText(*other->second) + " and " + FolderText(folder) +
               " would be one folder on the device, which tells no case apart; nothing was " + verb;
      return false;
    }
  }
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
    if (const std::string problem = ModuleCannotTake(*plan, job); !problem.empty()) {
      *error = problem + "; nothing was " + verb;
      return false;
    }
    // The same entry, named twice, is taken once: the first time.
    const std::string source =
        fromDevice ? DeviceNameKey(DevicePathText(job.Folder) + "\\" + name) : PcNameKey(pcPath);
    if (!sources.insert(source).second) continue;
    if (plan->Kind != TransferKind::Remove) {
      const std::string destination = toDevice ? EntryText(job.Target(*plan), name) : pcPath;
      // (destination is user text here)
      const std::string key = toDevice ? unicode::FoldKey(destination) : PcNameKey(destination);
      if (toDevice) {
        if (const auto folder = folders.find(key); folder != folders.end()) {
          *error = job.Shown + " would land on the folder " + FolderText(*folder->second) +
                   ", as the device tells no case apart; nothing was " + verb;
          return false;
        }
      }
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

namespace {

// Puts a deletion's entries in the order ls shows them: a folder's files
// before the folders below it, as ls -R goes, each in ls's order.
void SortAsListed(std::vector<FileJob>* jobs) {
  using JobKey = std::pair<std::vector<SortKey>, SortKey>;
  std::vector<std::pair<JobKey, size_t>> keys;
  keys.reserve(jobs->size());
  for (size_t i = 0; i < jobs->size(); ++i) {
    JobKey key;
    for (const auto& part : (*jobs)[i].Folder) key.first.push_back(ListedKey(part));
    key.second = ListedKey(ItemName((*jobs)[i].Item));
    keys.emplace_back(std::move(key), i);
  }
  std::stable_sort(keys.begin(), keys.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<FileJob> sorted;
  sorted.reserve(jobs->size());
  for (const auto& key : keys) sorted.push_back(std::move((*jobs)[key.second]));
  *jobs = std::move(sorted);
}

// Whether the device, asked of that one path, says the entry is there;
// false when it is gone or the device cannot tell.
bool DeviceSaysThere(const std::string& path) {
  device::EntryState state;
  std::string unknown;
  return device::StateOf(path, &state, &unknown, false) && state.Exists;
}

}  // namespace

bool Session::Get(const Words& args) {
  std::string options;
  Words paths;
  if (!TakeOptions("get", args, "mrp", &options, &paths)) return false;
  const bool recursive = options.find('r') != std::string::npos;
  if (paths.empty()) {
    err_ << "get: which files? (get [-m] [-r] PATH... [PCDEST])\n";
    return false;
  }
  // With two or more words the last one is the PC destination, whatever
  // exists on the PC: a script does the same thing every time it runs.
  std::string destination;
  if (paths.size() >= 2) {
    destination = paths.back();
    paths.pop_back();
    if (destination.empty()) {
      err_ << "get: the destination is an empty word; nothing was copied\n";
      return false;
    }
  }
  struct Source {
    std::string Path;
    FolderParts Folder;
    std::string Last;
    std::vector<PanelItem> Items;
  };
  // Wildcards in a source's words never make it one file to save under a new name.
  bool patterned = false;
  for (const auto& path : paths) patterned = patterned || HasWildcards(path);
  if (std::string error; !panel_.ExpandFolderPatterns(&paths, &error)) {
    err_ << "get: " << error << '\n';
    return false;
  }
  std::vector<Source> sources;
  for (const auto& path : paths) {
    Source source{path, {}, "", {}};
    std::string error;
    if (!panel_.Select(path, &source.Folder, &source.Last, &source.Items, &error)) {
      err_ << "get: " << error << '\n';
      return false;
    }
    if (source.Last.empty() && !recursive) {
      // The path names a folder itself: "..", "docs\".
      err_ << "get: " << path << " names a folder, not a file (get -r copies folders)\n";
      return false;
    }
    sources.push_back(std::move(source));
  }
  const bool oneFile = sources.size() == 1 && !patterned && sources[0].Items.size() == 1 &&
                       !IsFolder(sources[0].Items[0]);
  fs::path pcFolder = AbsoluteLocalPath(".");
  std::string saveAs;  // one file saved under another name
  bool makeFolder = false;
  if (!destination.empty()) {
    const fs::path path = PcPathFromUser(destination);
    const bool markedFolder = destination.back() == '/' || destination.back() == '\\';
    PcFile there;
    PcFileState(path, &there);
    if (there.Folder) {
      pcFolder = AbsoluteLocalPath(path);
    } else if (oneFile && !markedFolder) {
      const fs::path absolute = AbsoluteLocalPath(path);
      pcFolder = absolute.parent_path();
      saveAs = absolute.filename().string();
      PcFile parent;
      if (!PcFileState(pcFolder, &parent) || !parent.Folder) {
        err_ << "get: there is no PC folder " << Printable(pcFolder.string())
             << " to save in; nothing was copied\n";
        return false;
      }
      if (HasWildcards(saveAs)) {
        err_ << "get: " << Printable(destination)
             << ": a new name holds no wildcards; nothing was copied\n";
        return false;
      }
      // What plain get refuses to overwrite, saving under that name refuses too.
      if (platform::PcFileStatus status;
          there.Exists && platform::StatPcFile(path, &status) && status.ReadOnly) {
        err_ << "get: " << Printable(destination) << " is read-only; nothing was copied\n";
        return false;
      }
      if (PcNameKey(saveAs) == PcNameKey(UserFromNarrow(ItemName(sources[0].Items[0])))) {
        saveAs.clear();
      }
    } else if (there.Exists) {
      err_ << "get: " << Printable(destination) << " is a file, not a folder; nothing was copied\n";
      return false;
    } else if (recursive) {
      pcFolder = AbsoluteLocalPath(path);
      makeFolder = true;
    } else {
      err_ << "get: there is no PC folder " << Printable(destination)
           << "; nothing was copied (get -r makes it)\n";
      return false;
    }
  }
  if (const std::string problem = PcPathProblem((pcFolder / saveAs).string()); !problem.empty()) {
    err_ << "get: the module cannot be given the PC path "
         << Printable((pcFolder / saveAs).string()) << ": " << problem << '\n';
    return false;
  }
  // A file saved under another name arrives under its own name first: in
  // the destination folder when nothing there has that name, else in a
  // private folder made there, so that no other file is touched.
  fs::path stage;
  if (!saveAs.empty()) {
    const std::string own = UserFromNarrow(ItemName(sources[0].Items[0]));
    PcFile there;
    std::error_code ec;
    if (!PcFileState(pcFolder / PathFromUser(own), &there) &&
        !fs::is_symlink(pcFolder / PathFromUser(own), ec)) {
      stage = pcFolder;
    } else if (!MakePrivatePcFolder(pcFolder, &stage)) {
      err_ << "get: cannot make a folder in " << Printable(pcFolder.string())
           << " to receive the file; nothing was copied\n";
      return false;
    }
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
        [&](const FolderParts& folder) { plan.LocalFolders.push_back(localFor(folder)); }, error,
        &plan.Unread);
  };

  if (makeFolder) plan.LocalFolders.push_back(pcFolder);
  for (const auto& source : sources) {
    std::string error;
    if (source.Last.empty()) {
      if (!addTree(source.Folder, &error)) {
        err_ << "get: " << error << '\n';
        return false;
      }
      continue;
    }
    for (const auto& item : source.Items) {
      const std::string name = ItemName(item);
      if (!IsFolder(item)) {
        plan.Jobs.push_back({source.Folder,
                             item,
                             stage.empty() ? pcFolder : stage,
                             ShownName(here, source.Folder, name),
                             false,
                             {}});
      } else if (recursive) {
        FolderParts top = source.Folder;
        top.push_back(name);
        if (!addTree(top, &error)) {
          err_ << "get: " << error << '\n';
          return false;
        }
      } else {
        ++plan.SkippedFolders;
        err_ << "get: skipped the folder " << ShownName(here, source.Folder, name)
             << " (get -r copies folders)\n";
      }
    }
  }
  // What could be read is copied; what could not is named once more at the end.
  const auto tellUnread = [&] {
    for (const auto& unread : plan.Unread)
      err_ << "get: " << unread << "; nothing in it was copied\n";
    return plan.Unread.empty();
  };
  if (stage.empty()) {
    const bool copied = Execute(plan);
    return tellUnread() && copied;
  }
  const fs::path staged = stage / PathFromUser(UserFromNarrow(ItemName(plan.Jobs[0].Item)));
  PcFile before;
  PcFileState(pcFolder / PathFromUser(saveAs), &before);
  const bool copied = Execute(plan);
  return FinishPcSave(copied, staged, pcFolder / PathFromUser(saveAs), before.Exists,
                      ItemSize(plan.Jobs[0].Item), stage != pcFolder ? stage : fs::path()) &&
         copied;
}

bool Session::Put(const Words& args) {
  std::string options;
  Words files;
  if (!TakeOptions("put", args, "mrp", &options, &files)) return false;
  if (files.empty()) {
    err_ << "put: which files? (put [-m] FILE... [DEVDEST])\n";
    return false;
  }
  TransferPlan plan;
  plan.Kind = TransferKind::Put;
  plan.Command = "put";
  plan.Move = options.find('m') != std::string::npos;
  plan.Target = panel_.Home();
  // With two or more words the last one is the device destination: an
  // existing folder, or with one source file the name to store it under.
  std::string storeAs;
  bool storeAsExisted = false;
  const bool recursive = options.find('r') != std::string::npos;
  if (files.size() >= 2) {
    const std::string last = files.back();
    files.pop_back();
    if (last.empty()) {
      err_ << "put: the destination is an empty word; nothing was copied\n";
      return false;
    }
    std::error_code ec;
    const fs::path only = PcPathFromUser(files[0]);
    const bool oneFile = files.size() == 1 && !HasWildcards(only.filename().string()) &&
                         fs::is_regular_file(only, ec);
    std::string error;
    FolderParts parent;
    std::string name;
    if (panel_.FindFolder(last, &plan.Target, &error)) {
      // The destination folder is there.
    } else if (recursive && !oneFile && panel_.SplitPath(last, &parent, &name, &error) &&
               !name.empty() && !HasWildcards(name) &&
               FindEntry(panel_.Entries(parent), name) == nullptr) {
      // put -r makes a missing last folder, as get -r does on the PC.
      plan.Target = parent;
      plan.Target.push_back(name);
      plan.DeviceFolders.push_back(plan.Target);
    } else {
      if (!oneFile || last.back() == '\\' || last.back() == '/' ||
          !panel_.SplitPath(last, &plan.Target, &name, &error) || name.empty() ||
          HasWildcards(name)) {
        if (oneFile && HasWildcards(name)) error = last + ": a new name holds no wildcards";
        err_ << "put: " << error << "; nothing was copied\n";
        return false;
      }
      // The device keeps an overwritten file's name.
      device::EntryState there;
      if (!DeviceHas(panel_, plan.Target, name, &storeAsExisted, &storeAs, &error, &there)) {
        err_ << "put: merlo cannot tell what is at " << EntryText(plan.Target, name) << ": "
             << error << "; nothing was copied\n";
        return false;
      }
      // A folder that could not be entered above is never taken for a file.
      if (there.Folder) {
        FolderParts folder;
        std::string why;
        panel_.FindFolder(last, &folder, &why);
        err_ << "put: " << EntryText(plan.Target, name) << " is a folder that merlo cannot read ("
             << why << "); nothing was copied\n";
        return false;
      }
      if (there.ReadOnly) {
        err_ << "put: " << EntryText(plan.Target, name) << " is read-only; nothing was copied\n";
        return false;
      }
      if (SameDeviceName(storeAs, NarrowFromUser(only.filename().string()))) storeAs.clear();
    }
  }

  // Local wildcards are expanded here, within the folder the pattern names.
  std::vector<fs::path> paths;
  for (const auto& file : files) {
    const fs::path path = PcPathFromUser(file);
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
          if (platform::IsPcLink(absolute / entry)) {
            ++plan.SkippedLinks;
            err_ << "put: skipped the link " << Printable((shown / entry).string())
                 << ": merlo does not follow links\n";
            continue;
          }
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
  if (storeAs.empty() || plan.Jobs.size() != 1) return Execute(plan);
  // The module stores the file under its own name: in the destination
  // folder when nothing there has that name, else in a private folder made
  // there; then the device's move gives it the name asked for.
  const FolderParts target = plan.Target;
  const std::string own = ItemName(plan.Jobs[0].Item);
  bool privateStage = false, ownThere = false;
  std::string error, spelled;
  if (!DeviceHas(panel_, target, own, &ownThere, &spelled, &error)) {
    err_ << "put: merlo cannot tell what is at " << EntryText(target, own) << ": " << error
         << "; nothing was copied\n";
    return false;
  }
  if (ownThere) {
    const auto seed = static_cast<uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count() % 1000000);
    // The device refuses to make a folder where any entry of that name is.
    for (uint64_t n = 0; n < 100 && !privateStage; ++n) {
      plan.Target = target;
      plan.Target.push_back("merlo-put-" + std::to_string(seed + n));
      privateStage = device::MakeFolder(plan.Target, &error);
    }
    if (!privateStage) {
      err_ << "put: cannot make a folder in " << FolderText(target)
           << " to receive the file: " << error << "; nothing was copied\n";
      return false;
    }
    panel_.Forget(target);
  }
  const bool copied = Execute(plan);
  return FinishDeviceSave(copied, plan.Target, own, target, storeAs, storeAsExisted,
                          ItemSize(plan.Jobs[0].Item), privateStage) &&
         copied;
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
  Words sources(paths.begin(), paths.end() - 1);
  if (!panel_.ExpandFolderPatterns(&sources, &error)) {
    err_ << command << ": " << error << '\n';
    return false;
  }
  for (size_t i = 0; i < sources.size(); ++i) {
    FolderParts folder;
    std::string last;
    std::vector<PanelItem> items;
    if (!panel_.Select(sources[i], &folder, &last, &items, &error)) {
      err_ << command << ": " << error << '\n';
      return false;
    }
    if (last.empty()) {
      err_ << command << ": " << sources[i] << " names a folder, not a file\n";
      return false;
    }
    if (folder == plan.Target) {
      err_ << command << ": " << sources[i] << " is in " << FolderText(folder) << " already\n";
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
  if (std::string error; !panel_.ExpandFolderPatterns(&paths, &error)) {
    err_ << "rm: " << error << "; nothing was deleted\n";
    return false;
  }
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
  // Bottom up, in the reverse of ls -R's order: a folder goes only after
  // everything in it.
  SortAsListed(&folders);
  LiveProgress live(out_, liveProgress_ && !quiet_);
  uint64_t removed = 0;
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
    FolderParts parent = *folder;
    parent.pop_back();
    const std::string shown = ShownName(here, parent, folder->back());
    bool ok = !Interrupted();
    if (ok) {
      live.Start("removing the folder " + shown);
      ok = RemoveOneFolder("rm", *folder);
      live.Stop();
    }
    if (!ok) {
      // A failure has said why; the folders above it were not tried.
      std::vector<FolderParts> left;
      for (const auto& top : tops) {
        if (std::find(folders.rbegin(), folder, top) == folder) left.push_back(top);
      }
      if (Interrupted()) MarkInterruptTold();
      err_ << "rm: " << (Interrupted() ? "interrupted; " : "") << "removed " << removed << " of "
           << CountOf(folders.size(), "folder", "folders")
           << "; left on the device: " << FolderList(left) << '\n';
      return false;
    }
    ++removed;
    if (!quiet_) out_ << "removed the folder " << shown << '\n' << std::flush;
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
    if (std::string error; !panel_.Readable(plan.Target, &error)) {
      err_ << plan.Command << ": " << error << "; nothing was " << (plan.Move ? "moved" : "copied")
           << '\n';
      return false;
    }
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
  for (const auto& folder : plan.LocalFolders) {
    if (platform::IsPcLink(folder)) {
      err_ << plan.Command << ": the PC folder " << Printable(folder.string())
           << " is a link; merlo does not copy through links; nothing was copied\n";
      return false;
    }
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
  // Every file lands below plan.Target, on its volume; a target still to be
  // made is on the volume of the nearest folder above it that is there.
  // Without the figures (no call, or it failed) the copies go ahead and the
  // device tells.
  device::Space space;
  std::string error;
  FolderParts volume = plan.Target;
  while (!device::FreeSpace(volume, &space, &error)) {
    if (volume.empty()) return true;
    volume.pop_back();
  }
  uint64_t needed = 0;
  for (const auto& job : plan.Jobs) needed += ItemSize(job.Item);
  if (needed <= space.Free) return true;
  err_ << plan.Command << ": " << CountOf(plan.Jobs.size(), "file", "files") << " of "
       << HumanBytes(needed) << " (" << needed << " bytes) cannot fit: "
       << (space.ObjectStore ? "the object store" : "the volume of " + FolderText(volume))
       << " has " << HumanBytes(space.Free) << " (" << space.Free << " bytes) free of "
       << HumanBytes(space.Total) << "; nothing was copied\n";
  return false;
}

bool Session::MakeDeviceFolder(const TransferPlan& plan, const FolderParts& folder) {
  FolderParts parent = folder;
  parent.pop_back();
  const auto& entries = panel_.Entries(parent);
  if (std::string error; !panel_.Readable(parent, &error)) {
    err_ << plan.Command << ": " << error << "; nothing was copied\n";
    return false;
  }
  if (const PanelItem* there = FindEntry(entries, folder.back())) {
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
    const std::string why = NotEnterable(at);
    err_ << plan.Command << ": "
         << (why.empty() ? "the module refused to enter " + FolderText(at) : why) << '\n';
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
  if (plan.Kind == TransferKind::Get) context.Remover->Settle(pcFile);
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
      // A move's source goes only once merlo has seen the copy (below).
      module.GetFiles(panel_.handle(), &item, 1, 0, folder.c_str(), 0);
      context.Live->Stop();
      break;
    }
    case TransferKind::Within: {
      const std::string folder = DevicePathText(target);
      module.GetFiles(panel_.handle(), &item, 1, plan.Move ? 1 : 0, folder.c_str(), 0);
      break;
    }
    case TransferKind::Put:
      // How far the module has read the source: the position of its descriptor.
      if (context.Live->Enabled()) {
        context.Live->Start(job.Shown, size, platform::WatchReading(pcFile));
      }
      module.PutFiles(panel_.handle(), &item, 1, 0, 0);
      context.Live->Stop();
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
      ReportDeleteFailure(plan, job);
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
  if (plan.Kind != TransferKind::Remove) {
    // The module's word is not enough: the copy, and the time set on it, are
    // asked for, before the old version or the source goes.
    std::string timeError;
    const TimeKept time = KeepTime(plan, job, pcFile, &timeError);
    bool timeLost = false;
    const std::string seen = NotArrived(
        plan, job, pcFile, size, time == TimeKept::Set ? ItemWriteTime(job.Item) : 0, &timeLost);
    if (!seen.empty()) {
      err_ << plan.Command << ": " << job.Shown << " was reported copied, but " << seen << '\n';
      ReportLeftover(plan, job, destination, size);
      return JobOutcome::Failed;
    }
    if (time == TimeKept::Refused) ReportTimeNotKept(plan, timeError);
    if (timeLost) {
      ReportTimeNotKept(plan, "the device did not keep the last-write time of " +
                                  EntryText(job.Target(plan), name));
    }
    if (plan.Kind == TransferKind::Within && plan.Move &&
        DeviceSaysThere(device::PathOf(job.Folder, name))) {
      err_ << plan.Command << ": " << job.Shown << " was reported moved, but is still there\n";
      return JobOutcome::Failed;
    }
  }
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
    if (plan.Kind == TransferKind::Get) {
      context.Remover->Remove(PathFromUser(destination.Aside), job.Shown);
    } else if (!device::DeleteFile(NarrowFromUser(destination.Aside), &error)) {
      err_ << plan.Command << ": " << job.Shown << " arrived whole, but its old version at "
           << destination.Aside << " could not be removed: " << error << '\n';
      ++plan.TimesFailed;  // the command fails, as when a copy's time is not kept
    }
  }
  if (plan.Move && (plan.Kind == TransferKind::Get || plan.Kind == TransferKind::Put) &&
      !RemoveMovedSource(plan, job)) {
    return JobOutcome::Failed;
  }
  if (!quiet_ && plan.Kind != TransferKind::Remove) {
    out_ << ArrivalLine(job.Shown, size, seconds) << '\n' << std::flush;
  }
  return JobOutcome::Done;
}

bool Session::RemoveMovedSource(const TransferPlan& plan, const FileJob& job) {
  const std::string name = ItemName(job.Item);
  std::string error;
  if (plan.Kind == TransferKind::Put) {
    const fs::path source = job.Local / PathFromUser(UserFromNarrow(name));
    if (platform::RemovePcFile(source, &error)) return true;
    err_ << plan.Command << ": " << job.Shown << " arrived whole, but the source "
         << Printable(source.string()) << " could not be deleted: " << error << '\n';
    return false;
  }
  // The device's source, deleted by the module as rm deletes it, and asked for after.
  const std::string source = device::PathOf(job.Folder, name);
  const size_t boxes = ShownBoxes().size();
  PanelItem item = job.Item;
  item.ItemFlags |= kItemSelected;
  if (panel_.MoveTo(job.Folder)) panel_.module().DeleteFiles(panel_.handle(), &item, 1, 0);
  panel_.Forget(job.Folder);
  if (ShownBoxes().size() == boxes && !DeviceSaysThere(source)) return true;
  err_ << plan.Command << ": " << job.Shown << " arrived whole, but its source "
       << EntryText(job.Folder, name)
       << (ShownBoxes().size() == boxes ? " is still on the device, which said it deleted it"
                                        : " could not be deleted")
       << '\n';
  return false;
}

Session::TimeKept Session::KeepTime(TransferPlan& plan, const FileJob& job, const fs::path& pcFile,
                                    std::string* error) {
  if (ItemWriteTime(job.Item) == 0 || plan.TimesUnkept) return TimeKept::NotAsked;
  const uint64_t wanted = ItemWriteTime(job.Item);
  if (plan.Kind == TransferKind::Get) {
    return platform::SetPcWriteTime(pcFile, wanted, error) ? TimeKept::NotAsked : TimeKept::Refused;
  }
  // The device's own copy keeps the time: a read-only copy is then never
  // opened for writing. A time set is asked back with the copy (NotArrived).
  const std::string path = device::PathOf(job.Target(plan), ItemName(job.Item));
  device::EntryState now;
  if (plan.Kind == TransferKind::Within && device::CanTellState() &&
      device::StateOf(path, &now, error) && now.Written == wanted) {
    return TimeKept::NotAsked;
  }
  return device::SetWriteTime(path, wanted, error) ? TimeKept::Set : TimeKept::Refused;
}

void Session::ReportTimeNotKept(TransferPlan& plan, const std::string& error) {
  // The copy is whole. A library without the calls is said once and the
  // command goes on; a time the device refuses or loses fails the command.
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
  std::set<FolderParts> unread;  // no telling what went there: none counts as deleted
  uint64_t stillThere = 0;
  for (uint64_t i = 0; i < done; ++i) {
    const FileJob& job = plan.Jobs[i];
    auto names = listed.find(job.Folder);
    if (names == listed.end()) {
      panel_.Forget(job.Folder);
      names = listed.emplace(job.Folder, std::set<std::string>{}).first;
      for (const auto& entry : panel_.Entries(job.Folder)) names->second.insert(ItemName(entry));
      if (std::string error; !panel_.Readable(job.Folder, &error)) {
        err_ << plan.Command << ": " << error << "; cannot tell what was deleted there\n";
        unread.insert(job.Folder);
      }
    }
    if (unread.count(job.Folder) != 0) {
      ++stillThere;
    } else if (names->second.count(ItemName(job.Item)) != 0) {
      err_ << plan.Command << ": " << job.Shown << " is still on the device\n";
      ++stillThere;
    }
  }
  return done - stillThere;
}

bool Session::Execute(TransferPlan& plan) {
  if (!CheckBeforeRun(plan)) return false;
  const bool remove = plan.Kind == TransferKind::Remove;
  if (remove) SortAsListed(&plan.Jobs);
  const uint64_t total = plan.Jobs.size();
  std::error_code ec;
  LiveProgress live(out_, liveProgress_ && !quiet_);
  OldFileRemover remover;
  JobContext context;
  context.LocalFolder = fs::current_path(ec);
  context.Live = &live;
  context.Remover = &remover;
  const fs::path previousFolder = context.LocalFolder;

  uint64_t done = 0;
  bool failed = false;
  for (const auto& job : plan.Jobs) {
    if (Interrupted()) break;
    if (remove) {
      SetInterruptNotes("\n" + std::string(plan.Command) + ": stopping after the deletion of " +
                            job.Shown + "; Ctrl-C again ends merlo at once\n",
                        "\nmerlo: interrupted while " + job.Shown + " was being deleted\n");
      live.Start("deleting " + job.Shown);
    }
    const JobOutcome outcome = RunJob(plan, job, context);
    live.Stop();
    if (outcome != JobOutcome::Done) {
      failed = true;
      break;
    }
    ++done;
    if (remove && !quiet_ && !DeviceSaysThere(device::PathOf(job.Folder, ItemName(job.Item)))) {
      // One still there is named by the recount below.
      out_ << "deleted " << job.Shown << '\n' << std::flush;
    }
  }
  for (const auto& failure : remover.Finish()) {
    err_ << plan.Command << ": " << failure.Shown << " arrived whole, but its old version at "
         << failure.Old.string() << " could not be removed: " << failure.Error << '\n';
    ++plan.TimesFailed;  // the command fails, as when a copy's time is not kept
  }
  // A Ctrl-C during the last file counts too: the batch did not run on as asked.
  const bool interrupted = Interrupted();
  SetInterruptNotes("", "");
  if (plan.Kind == TransferKind::Put) fs::current_path(previousFolder, ec);
  if (remove) {
    const uint64_t tried = done + (failed ? 1 : 0);
    const uint64_t deleted = RecountDeleted(plan, done);
    failed = failed || deleted != done;
    done = deleted;
    if (failed || interrupted) ReportNotDeleted(plan, tried);
  }
  ReportTotals(plan, done, interrupted);
  plan.Done = done;
  return !failed && !interrupted && done == total && plan.SkippedFolders == 0 &&
         plan.SkippedLinks == 0 && plan.TimesFailed == 0;
}

void Session::ReportDeleteFailure(const TransferPlan& plan, const FileJob& job) {
  // The device's reason first: any later call of merlo's would replace it.
  const std::string reason = device::LastError();
  std::string error;
  const uint32_t attributes =
      device::Attributes(device::PathOf(job.Folder, ItemName(job.Item)), &error);
  const bool readOnly =
      attributes != kDeviceNoAttributes && (attributes & kDeviceAttributeReadOnly) != 0;
  err_ << plan.Command << ": cannot delete " << job.Shown << ": "
       << (readOnly ? "it is read-only" : reason) << '\n';
}

void Session::ReportNotDeleted(const TransferPlan& plan, uint64_t tried) {
  // Those the recount found, and the one that failed, are named already.
  constexpr uint64_t kNamed = 10;
  const uint64_t left = plan.Jobs.size() - tried;
  if (left == 0) return;
  err_ << plan.Command << ": not tried: ";
  for (uint64_t i = tried; i < plan.Jobs.size() && i < tried + kNamed; ++i) {
    err_ << (i > tried ? ", " : "") << plan.Jobs[i].Shown;
  }
  if (left > kNamed) err_ << " and " << (left - kNamed) << " more";
  err_ << '\n';
}

void Session::ReportTotals(const TransferPlan& plan, uint64_t done, bool interrupted) {
  const uint64_t total = plan.Jobs.size();
  if (interrupted) {
    err_ << plan.Command << ": interrupted after " << done << " of "
         << CountOf(total, "file", "files") << '\n';
    MarkInterruptTold();
    return;
  }
  if (quiet_) return;
  if (plan.Kind == TransferKind::Remove) {
    out_ << "deleted " << done << " of " << CountOf(total, "file", "files");
  } else {
    out_ << (plan.Move ? "moved " : "copied ") << done << " of " << CountOf(total, "file", "files");
  }
  if (!plan.Unread.empty()) out_ << " listed";
  if (plan.SkippedFolders > 0) {
    out_ << ", skipped " << CountOf(plan.SkippedFolders, "folder", "folders");
  }
  if (plan.SkippedLinks > 0) out_ << ", skipped " << CountOf(plan.SkippedLinks, "link", "links");
  if (!plan.Unread.empty()) {
    out_ << "; " << CountOf(plan.Unread.size(), "folder", "folders") << " could not be read";
  }
  out_ << '\n';
}

}  // namespace merlo
