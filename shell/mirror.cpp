// mirror: a device folder tree and a PC folder tree made alike, one way. A
// file is copied when the destination lacks it or differs in size or
// last-write time; the comparison reads listings and file status only.
#include <algorithm>
#include <functional>
#include <map>
#include <ostream>
#include <set>

#include "interrupt.h"
#include "platform.h"
#include "session.h"
#include "text.h"
#include "transfers.h"

namespace fs = std::filesystem;

namespace merlo {

namespace {

// The PC tree below a folder: its folders (parents first) and files, sorted.
// A link is neither walked nor taken as a file: it goes to links.
void WalkPc(const fs::path& folder, std::vector<fs::path>* folders, std::vector<fs::path>* files,
            std::vector<fs::path>* links, std::error_code& ec) {
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(folder, ec)) entries.push_back(entry.path());
  if (ec) return;
  std::sort(entries.begin(), entries.end());
  for (const auto& entry : entries) {
    if (platform::IsPcLink(entry)) {
      links->push_back(entry);
    } else if (fs::is_directory(entry, ec)) {
      folders->push_back(entry);
      WalkPc(entry, folders, files, links, ec);
      if (ec) return;
    } else {
      files->push_back(entry);
    }
  }
}

}  // namespace

bool Session::Mirror(const Words& args) {
  Words rest;
  bool remove = false;
  bool operands = false;  // after "--", every word is an operand
  for (const auto& arg : args) {
    if (!operands && arg == "--delete") {
      remove = true;
    } else {
      operands = operands || arg == "--";
      rest.push_back(arg);
    }
  }
  std::string options;
  Words paths;
  if (!TakeOptions("mirror", rest, "Rn", &options, &paths)) return false;
  const bool reverse = options.find('R') != std::string::npos;
  const bool dryRun = options.find('n') != std::string::npos;
  if (paths.empty() || paths.size() > 2) {
    err_ << "mirror: mirror [-R] [--delete] [-n] DEVDIR [PCDIR]\n";
    return false;
  }

  // The device folder; with -R it may be new (its parent must exist).
  FolderParts device;
  std::string error;
  bool deviceExists = panel_.FindFolder(paths[0], &device, &error);
  if (!deviceExists) {
    std::string name;
    FolderParts parent;
    std::string splitError;
    if (!reverse || !panel_.SplitPath(paths[0], &parent, &name, &splitError) || name.empty() ||
        HasWildcards(name) || FindEntry(panel_.Entries(parent), name) != nullptr) {
      err_ << "mirror: " << error << '\n';
      return false;
    }
    device = parent;
    device.push_back(name);
  }
  // The root has no name to give a PC folder: the current local folder is
  // never taken for it.
  if (paths.size() == 1 && device.empty()) {
    err_ << "mirror: the device's root has no name for a PC folder; name the PC folder "
            "(mirror \\ PCDIR)\n";
    return false;
  }
  // The PC folder: as given, else the device folder's name in the local folder.
  const fs::path pc = AbsoluteLocalPath(
      paths.size() == 2
          ? PcPathFromUser(paths[1])
          : (device.empty() ? fs::path(".") : PathFromUser(UserFromNarrow(device.back()))));
  if (const std::string problem = PcPathProblem(pc.string()); !problem.empty()) {
    err_ << "mirror: the module cannot be given the PC folder " << Printable(pc.string()) << ": "
         << problem << '\n';
    return false;
  }
  std::error_code ec;
  if (reverse && !fs::is_directory(pc, ec)) {
    err_ << "mirror: there is no PC folder " << Printable(pc.string()) << '\n';
    return false;
  }
  if (!reverse && fs::exists(pc, ec) && !fs::is_directory(pc, ec)) {
    err_ << "mirror: " << Printable(pc.string()) << " is a file, not a folder\n";
    return false;
  }

  const FolderParts here = panel_.Home();
  TransferPlan plan;
  plan.Kind = reverse ? TransferKind::Put : TransferKind::Get;
  plan.Command = "mirror";
  plan.Target = device;
  TransferPlan removal;
  removal.Kind = TransferKind::Remove;
  removal.Command = "mirror";
  std::vector<FolderParts> extraDeviceFolders;
  std::vector<fs::path> extraPcFiles, extraPcFolders;
  std::vector<fs::path> links;  // PC links met: named, never walked, copied or deleted
  // -R: device entries that the PC spells in another case, renamed to its
  // spelling once the copies are done (files first, then folders, deepest first).
  std::vector<std::pair<std::string, std::string>> respell;

  // The device tree as it is (a new device folder has none).
  std::map<FolderParts, bool> deviceFolders;  // folder -> listed
  // Each file with its folder, a key of deviceFolders: no copy of the path for each file.
  std::vector<std::pair<const FolderParts*, PanelItem>> deviceFiles;
  if (deviceExists) {
    const FolderParts* current = nullptr;
    const bool walked = panel_.Walk(
        device,
        [&](const FolderParts& folder, const PanelItem& item) {
          if (current == nullptr || *current != folder)
            current = &deviceFolders.find(folder)->first;
          deviceFiles.emplace_back(current, item);
        },
        [&](const FolderParts& folder) { deviceFolders[folder] = true; }, &error);
    if (!walked) {
      err_ << "mirror: " << error << "; nothing was copied\n";
      return false;
    }
  }
  const auto pcFor = [&](const FolderParts& folder) {
    fs::path local = pc;
    for (size_t i = device.size(); i < folder.size(); ++i) {
      local /= PathFromUser(UserFromNarrow(folder[i]));
    }
    return local;
  };

  if (!reverse) {
    std::set<std::string> wanted;  // PC paths the device tree gives, as PcNameKey
    for (const auto& [folder, listed] : deviceFolders) {
      (void)listed;
      plan.LocalFolders.push_back(pcFor(folder));
      wanted.insert(PcNameKey(pcFor(folder).string()));
    }
    const FolderParts* lastFolder = nullptr;
    fs::path local;
    for (const auto& [at, item] : deviceFiles) {
      const FolderParts& folder = *at;
      // Files come folder by folder: the PC folder is built once for each.
      if (lastFolder != at) local = pcFor(folder);
      lastFolder = at;
      const fs::path file = local / PathFromUser(UserFromNarrow(ItemName(item)));
      if (remove) wanted.insert(PcNameKey(file.string()));
      PcFile state;
      const bool present = PcFileState(file, &state);
      if (present && state.Folder) {
        err_ << "mirror: the PC folder " << Printable(file.string()) << " is in the way of "
             << EntryText(folder, ItemName(item)) << "; nothing was copied\n";
        return false;
      }
      if (present && state.Size == ItemSize(item) && state.Written == ItemWriteTime(item)) {
        continue;
      }
      plan.Jobs.push_back(
          {folder, item, local, ShownName(here, folder, ItemName(item)), false, {}});
    }
    if (remove && fs::is_directory(pc, ec)) {
      std::vector<fs::path> folders, files;
      WalkPc(pc, &folders, &files, &links, ec);
      if (ec) {
        err_ << "mirror: " << Printable(pc.string()) << ": " << ec.message() << '\n';
        return false;
      }
      for (const auto& file : files) {
        if (wanted.count(PcNameKey(file.string())) == 0) extraPcFiles.push_back(file);
      }
      for (const auto& folder : folders) {
        if (wanted.count(PcNameKey(folder.string())) == 0) extraPcFolders.push_back(folder);
      }
    }
  } else {
    std::vector<fs::path> folders, files;
    WalkPc(pc, &folders, &files, &links, ec);
    if (ec) {
      err_ << "mirror: " << Printable(pc.string()) << ": " << ec.message() << '\n';
      return false;
    }
    std::set<std::string> wanted;  // device paths the PC tree gives, as DeviceNameKey
    const auto deviceFor = [&](const fs::path& local) {
      FolderParts folder = device;
      for (const auto& part : local.lexically_relative(pc)) {
        if (part != ".") folder.push_back(NarrowFromUser(part.string()));
      }
      return folder;
    };
    if (!deviceExists) plan.DeviceFolders.push_back(device);
    wanted.insert(DeviceNameKey(DevicePathText(device)));
    // One source for each device name, as the device compares names: also
    // for a file that is up to date and not copied.
    std::map<std::string, fs::path> sourceOf;
    const auto oneSource = [&](const std::string& key, const fs::path& local) {
      const auto [other, added] = sourceOf.emplace(key, local);
      if (added) return true;
      err_ << "mirror: " << Printable(other->second.string()) << " and "
           << Printable(local.string())
           << " would be one entry on the device, which tells no case apart; nothing was copied\n";
      return false;
    };
    // What a link's name stands for on the device is left as it is, and all below it.
    std::vector<std::string> kept;
    for (const auto& link : links) {
      const FolderParts into = deviceFor(link.parent_path());
      const std::string key =
          DeviceNameKey(DevicePathText(into) + "\\" + NarrowFromUser(link.filename().string()));
      wanted.insert(key);
      kept.push_back(key + "\\");
    }
    const auto isKept = [&kept](const std::string& key) {
      return std::any_of(kept.begin(), kept.end(),
                         [&key](const std::string& k) { return key.compare(0, k.size(), k) == 0; });
    };
    // The device's own spelling of each of its folders, found as it compares names.
    std::map<std::string, const FolderParts*> spelled;
    for (const auto& [folder, listed] : deviceFolders) {
      (void)listed;
      spelled.emplace(DeviceNameKey(DevicePathText(folder)), &folder);
    }
    const auto onDevice = [&spelled](const FolderParts& folder) -> const FolderParts* {
      const auto it = spelled.find(DeviceNameKey(DevicePathText(folder)));
      return it == spelled.end() ? nullptr : it->second;
    };
    std::vector<std::pair<std::string, std::string>> folderRespell;
    for (const auto& folder : folders) {
      const FolderParts into = deviceFor(folder);
      std::string key = DeviceNameKey(DevicePathText(into));
      if (!oneSource(key, folder)) return false;
      wanted.insert(std::move(key));
      plan.DeviceFolders.push_back(into);
      if (const FolderParts* there = onDevice(into);
          there != nullptr && there->back() != into.back()) {
        FolderParts renamed = *there;
        renamed.back() = into.back();
        folderRespell.emplace_back(device::PathOf(*there), device::PathOf(renamed));
      }
    }
    for (const auto& file : files) {
      const FolderParts into = deviceFor(file.parent_path());
      const std::string name = NarrowFromUser(file.filename().string());
      std::string key = DeviceNameKey(DevicePathText(into) + "\\" + name);
      if (!oneSource(key, file)) return false;
      wanted.insert(std::move(key));
      PanelItem item{};
      const std::string narrow = name.substr(0, sizeof item.Name - 1);
      std::copy(narrow.begin(), narrow.end(), item.Name);
      item.Attributes = kDeviceAttributeArchive;
      uint64_t written = 0;
      PcWriteTime(file, &written);
      SetItemWriteTime(&item, written);
      const uint64_t size = fs::file_size(file, ec);
      item.SizeHigh = static_cast<uint32_t>(size >> 32);
      item.SizeLow = static_cast<uint32_t>(size);
      if (name.size() >= sizeof item.Name || !PcPathProblem(file.string()).empty()) {
        err_ << "mirror: " << Printable(file.string()) << ": "
             << (name.size() >= sizeof item.Name ? "the name is too long for the module"
                                                 : PcPathProblem(file.string()))
             << "; nothing was copied\n";
        return false;
      }
      if (const FolderParts* at = onDevice(into)) {
        if (const PanelItem* there = FindEntry(panel_.Entries(*at), name)) {
          if (IsFolder(*there)) {
            err_ << "mirror: the device folder " << EntryText(*at, ItemName(*there))
                 << " is in the way of " << Printable(file.string()) << "; nothing was copied\n";
            return false;
          }
          if (ItemName(*there) != name) {
            respell.emplace_back(device::PathOf(*at, ItemName(*there)), device::PathOf(*at, name));
          }
          if (ItemSize(*there) == size && ItemWriteTime(*there) == written) {
            continue;
          }
        }
      }
      FileJob job{into, item, file.parent_path(), Printable(file.string()), true, into};
      plan.Jobs.push_back(job);
    }
    respell.insert(respell.end(), folderRespell.rbegin(), folderRespell.rend());
    if (remove) {
      for (const auto& [at, item] : deviceFiles) {
        const FolderParts& folder = *at;
        const std::string key = DeviceNameKey(DevicePathText(folder) + "\\" + ItemName(item));
        if (wanted.count(key) == 0 && !isKept(key)) {
          removal.Jobs.push_back(
              {folder, item, {}, ShownName(here, folder, ItemName(item)), false, {}});
        }
      }
      for (const auto& [folder, listed] : deviceFolders) {
        (void)listed;
        const std::string key = DeviceNameKey(DevicePathText(folder));
        if (wanted.count(key) == 0 && !isKept(key)) {
          extraDeviceFolders.push_back(folder);
        }
      }
    }
  }

  for (const auto& link : links) {
    err_ << "mirror: skipped the link " << Printable(link.string())
         << (reverse ? ": merlo does not follow links; what its name holds on the device stays"
                     : ": merlo neither follows nor deletes links")
         << '\n';
  }

  if (dryRun) {
    for (const auto& job : plan.Jobs) {
      out_ << "copy " << job.Shown << " to "
           << (reverse ? EntryText(job.Target(plan), ItemName(job.Item))
                       : (job.Local / PathFromUser(UserFromNarrow(ItemName(job.Item)))).string())
           << '\n';
    }
    for (const auto& [from, to] : respell) {
      out_ << "rename " << UserFromNarrow(from) << " to " << UserFromNarrow(to) << '\n';
    }
    for (const auto& job : removal.Jobs)
      out_ << "delete " << EntryText(job.Folder, ItemName(job.Item)) << '\n';
    for (auto f = extraDeviceFolders.rbegin(); f != extraDeviceFolders.rend(); ++f) {
      out_ << "remove folder " << FolderText(*f) << '\n';
    }
    for (const auto& file : extraPcFiles) out_ << "delete " << Printable(file.string()) << '\n';
    for (auto f = extraPcFolders.rbegin(); f != extraPcFolders.rend(); ++f) {
      out_ << "remove folder " << Printable(f->string()) << '\n';
    }
    out_ << "mirror -n: " << CountOf(plan.Jobs.size(), "file", "files") << " to copy, "
         << CountOf(removal.Jobs.size() + extraPcFiles.size(), "file", "files") << " and "
         << CountOf(extraDeviceFolders.size() + extraPcFolders.size(), "folder", "folders")
         << " to delete; nothing was changed\n";
    return true;
  }

  if (!Execute(plan)) {
    if (remove) {
      const bool onlyTimes = plan.Done == plan.Jobs.size() && plan.TimesFailed > 0;
      err_ << "mirror: "
           << (Interrupted() ? "interrupted"
               : onlyTimes   ? "a copy's last-write time could not be kept"
                             : "a copy failed")
           << ", so nothing was deleted\n";
    }
    return false;
  }
  // The device's names take the case the PC gives them.
  for (const auto& [from, to] : respell) {
    std::string error;
    if (!device::MoveEntry(from, to, &error)) {
      err_ << "mirror: " << error << '\n';
      return false;
    }
    if (!quiet_) out_ << "renamed " << UserFromNarrow(from) << " to " << UserFromNarrow(to) << '\n';
  }
  if (!respell.empty()) panel_.Forget();
  if (!remove) return links.empty();
  // Deletion comes last, files first, then the emptied folders bottom up.
  if (!removal.Jobs.empty() && !Execute(removal)) return false;
  uint64_t deleted = 0;
  // A Ctrl-C between two deletions: what was deleted and what was left.
  const auto stopped = [&] {
    if (!Interrupted()) return false;
    const uint64_t left =
        extraDeviceFolders.size() + extraPcFiles.size() + extraPcFolders.size() - deleted;
    err_ << "mirror: interrupted after deleting " << deleted << " of "
         << CountOf(deleted + left, "entry", "entries") << " the source lacks\n";
    MarkInterruptTold();
    return true;
  };
  for (auto folder = extraDeviceFolders.rbegin(); folder != extraDeviceFolders.rend(); ++folder) {
    if (stopped() || !RemoveOneFolder("mirror", *folder)) return false;
    if (!quiet_) out_ << "removed the folder " << FolderText(*folder) << '\n';
    ++deleted;
  }
  for (const auto& file : extraPcFiles) {
    if (stopped()) return false;
    if (!fs::remove(file, ec) || ec) {
      err_ << "mirror: cannot delete " << Printable(file.string())
           << (ec ? ": " + ec.message() : std::string()) << '\n';
      return false;
    }
    if (!quiet_) out_ << "deleted " << Printable(file.string()) << '\n';
    ++deleted;
  }
  for (auto folder = extraPcFolders.rbegin(); folder != extraPcFolders.rend(); ++folder) {
    if (stopped()) return false;
    if (!fs::remove(*folder, ec) || ec) {
      err_ << "mirror: cannot remove " << Printable(folder->string())
           << (ec ? ": " + ec.message() : std::string()) << '\n';
      return false;
    }
    if (!quiet_) out_ << "removed the folder " << Printable(folder->string()) << '\n';
    ++deleted;
  }
  if (!quiet_ && deleted > 0) {
    out_ << "deleted " << CountOf(deleted, "entry", "entries") << " the source lacks\n";
  }
  return links.empty();
}

}  // namespace merlo
