// mkdir, rmdir, rename and df: what the module has no entry point for, asked
// of the device library directly.
#include <algorithm>
#include <ostream>

#include "session.h"
#include "text.h"

namespace merlo {

namespace {

// The entry of a folder's listing with that name: the exact name, else the
// one that differs only in case.
const PanelItem* Named(const std::vector<PanelItem>& entries, const std::string& name) {
  const PanelItem* caseless = nullptr;
  for (const auto& entry : entries) {
    const std::string listed = ItemName(entry);
    if (listed == name) return &entry;
    if (caseless == nullptr && SameDeviceName(listed, name)) caseless = &entry;
  }
  return caseless;
}

}  // namespace

bool Session::FolderFor(const std::string& command, const std::string& path, FolderParts* parent,
                        std::string* name) {
  std::string error;
  if (!panel_.SplitPath(path, parent, name, &error)) {
    err_ << command << ": " << error << '\n';
    return false;
  }
  if (name->empty()) {
    err_ << command << ": " << path << " names an existing folder\n";
    return false;
  }
  if (HasWildcards(*name)) {
    err_ << command << ": " << path << ": a new name cannot hold * or ?\n";
    return false;
  }
  return true;
}

bool Session::MakeFolders(const Words& args) {
  std::string options;
  Words paths;
  if (!TakeOptions("mkdir", args, "p", &options, &paths)) return false;
  const bool parents = options.find('p') != std::string::npos;
  if (paths.empty()) {
    err_ << "mkdir: which folder? (mkdir [-p] DEVPATH...)\n";
    return false;
  }
  for (const auto& path : paths) {
    std::string error;
    if (!parents) {
      FolderParts parent;
      std::string name;
      if (!FolderFor("mkdir", path, &parent, &name)) return false;
      const auto& entries = panel_.Entries(parent);
      if (!panel_.Readable(parent, &error)) {
        err_ << "mkdir: " << error << '\n';
        return false;
      }
      if (const PanelItem* there = Named(entries, name)) {
        err_ << "mkdir: " << EntryText(parent, ItemName(*there)) << " exists\n";
        return false;
      }
      parent.push_back(name);
      if (!device::MakeFolder(parent, &error)) {
        err_ << "mkdir: " << error << '\n';
        return false;
      }
      parent.pop_back();
      panel_.Forget(parent);
      continue;
    }
    // -p: every missing folder on the way; existing ones are fine.
    if (const std::string problem = NarrowFormProblem(path); !problem.empty()) {
      err_ << "mkdir: " << Printable(path) << ": " << problem << '\n';
      return false;
    }
    FolderParts folder =
        !path.empty() && (path[0] == '\\' || path[0] == '/') ? FolderParts{} : panel_.Home();
    // Split before it is narrow text: a double-byte character's second byte may be a "\".
    for (const auto& userPart : SplitDevicePath(path)) {
      const std::string part = NarrowFromUser(userPart);
      if (part == ".") continue;
      if (part == "..") {
        if (!folder.empty()) folder.pop_back();  // the root's ".." is the root
        continue;
      }
      if (HasWildcards(part)) {
        err_ << "mkdir: " << path << ": a new name cannot hold * or ?\n";
        return false;
      }
      const auto& entries = panel_.Entries(folder);
      if (!panel_.Readable(folder, &error)) {
        err_ << "mkdir: " << error << '\n';
        return false;
      }
      if (const PanelItem* there = Named(entries, part)) {
        if (!IsFolder(*there)) {
          err_ << "mkdir: " << EntryText(folder, ItemName(*there)) << " is a file\n";
          return false;
        }
        folder.push_back(ItemName(*there));
        continue;
      }
      FolderParts made = folder;
      made.push_back(part);
      if (!device::MakeFolder(made, &error)) {
        err_ << "mkdir: " << error << '\n';
        return false;
      }
      panel_.Forget(folder);
      folder = made;
    }
  }
  return true;
}

bool Session::RemoveFolders(const Words& args) {
  std::string options;
  Words paths;
  if (!TakeOptions("rmdir", args, "", &options, &paths)) return false;
  if (paths.empty()) {
    err_ << "rmdir: which folder? (rmdir DEVPATH...)\n";
    return false;
  }
  for (const auto& path : paths) {
    FolderParts folder;
    std::string error;
    if (!panel_.FindFolder(path, &folder, &error)) {
      err_ << "rmdir: " << error << '\n';
      return false;
    }
    if (!RemoveOneFolder("rmdir", folder)) return false;
  }
  return true;
}

bool Session::RemoveOneFolder(const std::string& command, const FolderParts& folder) {
  const FolderParts& home = panel_.Home();
  if (folder.size() <= home.size() && std::equal(folder.begin(), folder.end(), home.begin())) {
    err_ << command << ": " << FolderText(folder)
         << (folder.empty() ? " is the root" : " is the current folder or holds it")
         << "; nothing was removed\n";
    return false;
  }
  std::string error;
  if (!device::RemoveFolder(folder, &error)) {
    err_ << command << ": " << error << '\n';
    return false;
  }
  FolderParts parent = folder;
  parent.pop_back();
  panel_.Forget(parent);
  panel_.Forget(folder);
  return true;
}

bool Session::Rename(const Words& args) {
  std::string options;
  Words paths;
  if (!TakeOptions("rename", args, "", &options, &paths)) return false;
  if (paths.size() != 2) {
    err_ << "rename: rename OLD NEW (quote names that hold blanks)\n";
    return false;
  }
  FolderParts from, to;
  std::string last, error, name;
  std::vector<PanelItem> items;
  if (!panel_.Select(paths[0], &from, &last, &items, &error)) {
    err_ << "rename: " << error << '\n';
    return false;
  }
  if (last.empty() || HasWildcards(last) || items.size() != 1) {
    err_ << "rename: " << paths[0] << ": name one entry, without * or ?\n";
    return false;
  }
  const std::string old = ItemName(items[0]);
  if (HasReplacement(old)) {
    err_ << "rename: " << UnreachableName(EntryText(from, old)) << '\n';
    return false;
  }
  if (!FolderFor("rename", paths[1], &to, &name)) return false;
  const auto& entries = panel_.Entries(to);
  if (!panel_.Readable(to, &error)) {
    err_ << "rename: " << error << "; nothing was renamed\n";
    return false;
  }
  if (const PanelItem* there = Named(entries, name)) {
    // Only the entry itself may stand there: a change of case.
    if (to != from || ItemName(*there) != old || name == old) {
      err_ << "rename: " << EntryText(to, ItemName(*there)) << " exists; nothing was renamed\n";
      return false;
    }
  }
  if (IsFolder(items[0])) {
    FolderParts moved = from;
    moved.push_back(old);
    if (to.size() >= moved.size() && std::equal(moved.begin(), moved.end(), to.begin())) {
      err_ << "rename: " << FolderText(moved) << " cannot go into itself\n";
      return false;
    }
    const FolderParts& home = panel_.Home();
    if (home.size() >= moved.size() && std::equal(moved.begin(), moved.end(), home.begin())) {
      err_ << "rename: " << FolderText(moved) << " is the current folder or holds it\n";
      return false;
    }
  }
  if (!device::MoveEntry(device::PathOf(from, old), device::PathOf(to, name), &error)) {
    err_ << "rename: " << error << '\n';
    return false;
  }
  panel_.Forget();
  return true;
}

bool Session::DiskFree(const Words& args) {
  std::string options;
  Words paths;
  if (!TakeOptions("df", args, "", &options, &paths)) return false;
  if (paths.size() > 1) {
    err_ << "df: one folder at a time\n";
    return false;
  }
  FolderParts folder = panel_.Home();
  std::string error;
  if (!paths.empty() && !panel_.FindFolder(paths[0], &folder, &error)) {
    err_ << "df: " << error << '\n';
    return false;
  }
  device::Space space;
  if (!device::FreeSpace(folder, &space, &error)) {
    err_ << "df: " << error << '\n';
    return false;
  }
  out_ << (space.ObjectStore ? "object store" : "volume of " + FolderText(folder)) << ": "
       << HumanBytes(space.Total) << " (" << space.Total << " bytes), " << HumanBytes(space.Free)
       << " free (" << space.Free << " bytes), "
       << HumanBytes(space.Total - std::min(space.Free, space.Total)) << " used\n";
  return true;
}

}  // namespace merlo
