#include "device_paths.h"

#include <algorithm>
#include <cstring>

#include "panel/listing.h"
#include "text.h"

namespace merlo {

std::string ItemName(const PanelItem& item) {
  return std::string(item.Name, strnlen(item.Name, sizeof item.Name));
}

bool IsFolder(const PanelItem& item) { return (item.Attributes & kFileAttributeDirectory) != 0; }

uint64_t ItemSize(const PanelItem& item) {
  return (static_cast<uint64_t>(item.SizeHigh) << 32) | item.SizeLow;
}

Listing::Listing(const EntryPoints& module, PanelHandle panel) : module_(module), panel_(panel) {
  ok_ = module_.GetFindData(panel_, &items_, &count_, 0) != 0;
  if (!ok_ || count_ < 0 || items_ == nullptr) count_ = 0;
}

Listing::~Listing() {
  if (ok_) module_.FreeFindData(panel_, items_, count_);
}

std::string FolderText(const FolderParts& folder) { return UserFromNarrow(DevicePathText(folder)); }

std::string EntryText(const FolderParts& folder, const std::string& name) {
  return UserFromNarrow((folder.empty() ? std::string() : DevicePathText(folder)) + "\\" + name);
}

std::string UnreachableName(const std::string& shown) {
  return shown +
         ": the module could not convert a character of this device name (shown as U+FFFD), so "
         "the name reaches no entry, or another one; rename it on the device";
}

bool TooLongToList(const FolderParts& folder) {
  // The module lists a folder with the pattern "FOLDER\*.*" in a buffer of
  // kPatternSize; a longer folder path it enters but lists as empty.
  return DevicePathText(folder).size() + sizeof "\\*.*" > kPatternSize;
}

std::string NotListable(const FolderParts& folder) {
  return FolderText(folder) +
         ": the module can enter this folder but not list it (its path is too long); rename a "
         "folder above it to a shorter name";
}

bool Panel::Step(const char* folder) {
  if (module_.SetDirectory(handle_, folder, 0) == 0) return false;
  if (std::strcmp(folder, "\\") == 0) {
    folder_.clear();
  } else if (std::strcmp(folder, "..") == 0) {
    if (!folder_.empty()) folder_.pop_back();
  } else {
    folder_.push_back(folder);
  }
  return true;
}

bool Panel::MoveTo(const FolderParts& target) {
  if (target == folder_) return true;
  size_t common = 0;
  while (common < folder_.size() && common < target.size() && folder_[common] == target[common]) {
    ++common;
  }
  // Up to the common part and down again, or down from the root.
  const size_t viaCommon = (folder_.size() - common) + (target.size() - common);
  if (viaCommon <= 1 + target.size()) {
    while (folder_.size() > common) {
      if (!Step("..")) return false;
    }
  } else if (!Step("\\")) {
    return false;
  }
  for (size_t i = folder_.size(); i < target.size(); ++i) {
    if (!Step(target[i].c_str())) return false;
  }
  return true;
}

const std::vector<PanelItem>& Panel::Entries(const FolderParts& folder) {
  static const std::vector<PanelItem> kNone;
  const auto cached = cache_.find(folder);
  if (cached != cache_.end()) return cached->second;
  if (!MoveTo(folder)) return kNone;
  std::vector<PanelItem> entries;
  {
    Listing listing(module_, handle_);
    entries.reserve(listing.size());
    for (size_t i = 0; i < listing.size(); ++i) {
      if (ItemName(listing[i]) != "..") entries.push_back(listing[i]);
    }
  }
  return cache_.emplace(folder, std::move(entries)).first->second;
}

bool Panel::FindFolder(const std::string& path, FolderParts* folder, std::string* error) {
  // A name the module's text cannot hold reaches no entry, or the wrong one.
  if (const std::string problem = NarrowFormProblem(path); !problem.empty()) {
    *error = Printable(path) + ": " + problem;
    return false;
  }
  const std::string narrow = NarrowFromUser(path);
  const bool absolute = !narrow.empty() && (narrow[0] == '\\' || narrow[0] == '/');
  FolderParts current = absolute ? FolderParts{} : home_;
  for (const auto& part : SplitDevicePath(narrow)) {
    if (part == ".") continue;
    if (part == "..") {
      if (current.empty()) {
        *error = "\\ has no parent folder";
        return false;
      }
      current.pop_back();
      continue;
    }
    const auto& entries = Entries(current);
    if (!Listed(current)) {
      *error = "cannot enter " + FolderText(current) + ": the path is too long for the module";
      return false;
    }
    std::vector<std::string> caseless;
    bool isFile = false;
    std::string found;
    for (const auto& entry : entries) {
      const std::string name = ItemName(entry);
      if (name == part) {
        if (IsFolder(entry)) {
          found = name;
          break;
        }
        isFile = true;
      } else if (IsFolder(entry) && SameDeviceName(name, part)) {
        caseless.push_back(name);
      }
    }
    if (found.empty() && !isFile && caseless.size() == 1) found = caseless[0];
    if (found.empty()) {
      *error = EntryText(current, part) + (isFile ? " is a file, not a folder"
                                           : caseless.size() > 1
                                               ? " names several folders that differ in case"
                                               : ": no such folder");
      return false;
    }
    if (HasReplacement(found)) {
      *error = UnreachableName(EntryText(current, found));
      return false;
    }
    current.push_back(found);
  }
  *folder = current;
  return true;
}

bool Panel::SplitPath(const std::string& path, FolderParts* folder, std::string* last,
                      std::string* error) {
  if (const std::string problem = NarrowFormProblem(path); !problem.empty()) {
    *error = Printable(path) + ": " + problem;
    return false;
  }
  const std::vector<std::string> parts = SplitDevicePath(path);
  const bool endsInSeparator = !path.empty() && (path.back() == '\\' || path.back() == '/');
  if (parts.empty() || endsInSeparator || parts.back() == "." || parts.back() == "..") {
    last->clear();
    return FindFolder(path, folder, error);
  }
  const size_t separator = path.find_last_of("\\/");
  *last = NarrowFromUser(parts.back());
  return FindFolder(separator == std::string::npos ? std::string() : path.substr(0, separator + 1),
                    folder, error);
}

bool Panel::Match(const FolderParts& folder, const std::string& last, std::vector<PanelItem>* items,
                  std::string* error) {
  const auto& entries = Entries(folder);
  const size_t before = items->size();
  if (HasWildcards(last)) {
    for (const auto& entry : entries) {
      if (MatchDeviceName(last, ItemName(entry))) items->push_back(entry);
    }
    if (items->size() == before) {
      *error = "nothing in " + FolderText(folder) + " matches " + UserFromNarrow(last);
      return false;
    }
    return true;
  }
  std::vector<const PanelItem*> caseless;
  for (const auto& entry : entries) {
    const std::string name = ItemName(entry);
    if (name == last) {
      items->push_back(entry);
      return true;
    }
    if (SameDeviceName(name, last)) caseless.push_back(&entry);
  }
  if (caseless.size() == 1) {
    items->push_back(*caseless[0]);
    return true;
  }
  *error =
      EntryText(folder, last) + (caseless.empty() ? ": no such file or folder"
                                                  : " names several entries that differ in case");
  return false;
}

bool Panel::Select(const std::string& path, FolderParts* folder, std::string* last,
                   std::vector<PanelItem>* items, std::string* error) {
  return SplitPath(path, folder, last, error) &&
         (last->empty() || Match(*folder, *last, items, error));
}

bool Panel::Walk(const FolderParts& top,
                 const std::function<void(const FolderParts&, const PanelItem&)>& visit,
                 const std::function<void(const FolderParts&)>& enter, std::string* error) {
  if (TooLongToList(top)) {
    *error = NotListable(top);
    return false;
  }
  // A copy: deeper listings join the cache while this one is walked.
  const std::vector<PanelItem> entries = Entries(top);
  if (!Listed(top)) {
    *error = "cannot enter " + FolderText(top) + ": the path is too long for the module";
    return false;
  }
  if (enter) enter(top);
  for (const auto& entry : entries) {
    if (!IsFolder(entry)) {
      visit(top, entry);
      continue;
    }
    FolderParts below = top;
    below.push_back(ItemName(entry));
    if (!Walk(below, visit, enter, error)) return false;
  }
  return true;
}

}  // namespace merlo
