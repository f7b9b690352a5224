#include "device_paths.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "device_calls.h"
#include "panel/listing.h"
#include "text.h"
#include "unicode/unicode.h"

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

uint64_t ItemWriteTime(const PanelItem& item) {
  uint32_t halves[2];
  std::memcpy(halves, reinterpret_cast<const char*>(&item) + offsetof(PanelItem, LastWriteTime),
              sizeof halves);
  return (static_cast<uint64_t>(halves[1]) << 32) | halves[0];
}

void SetItemWriteTime(PanelItem* item, uint64_t written) {
  const uint32_t halves[2] = {static_cast<uint32_t>(written), static_cast<uint32_t>(written >> 32)};
  std::memcpy(reinterpret_cast<char*>(item) + offsetof(PanelItem, LastWriteTime), halves,
              sizeof halves);
}

static_assert(kModuleListedFolderPath + sizeof "\\*.*" == kPatternSize,
              "the module lists a folder with the pattern FOLDER\\*.* in its pattern buffer");

bool TooLongToEnter(const FolderParts& folder) {
  return DevicePathText(folder).size() > kModuleFolderPath;
}

std::string NotEnterable(const FolderParts& folder) {
  if (!TooLongToEnter(folder)) return "";
  return ModuleFieldProblem(FolderText(folder), DevicePathText(folder).size(), kModuleFolderPath,
                            "folder paths");
}

bool TooLongToList(const FolderParts& folder) {
  // A longer folder path the module enters, but lists as empty.
  return DevicePathText(folder).size() > kModuleListedFolderPath;
}

std::string NotListable(const FolderParts& folder) {
  return ModuleFieldProblem(FolderText(folder), DevicePathText(folder).size(),
                            kModuleListedFolderPath, "listed folder paths") +
         " (it can enter this folder, but not list it); rename a folder above it to a shorter "
         "name";
}

size_t ModuleFilePathBytes(const FolderParts& folder, const std::string& name) {
  return (folder.empty() ? 0 : DevicePathText(folder).size()) + 1 + name.size();
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
  if (TooLongToEnter(target)) return false;  // not asked of the module
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
  bool listed = false;
  {
    Listing listing(module_, handle_);
    listed = listing.ok();
    entries.reserve(listing.size());
    for (size_t i = 0; i < listing.size(); ++i) {
      if (ItemName(listing[i]) != "..") entries.push_back(listing[i]);
    }
  }
  // The module shows a listing it could not read as an empty one.
  std::string unread;
  if (!listed) {
    unread = "cannot read " + FolderText(folder) + ": the module gave no listing";
  } else if (entries.empty() && TooLongToList(folder)) {
    unread = NotListable(folder);
  } else if (entries.empty() && DeviceLibraryCalls().CeFindAllFiles != nullptr) {
    // (A module that lists needs the call: without it this is a stand-in
    // module, whose listing is taken as it is.)
    std::string reason;
    if (!device::ListsEmpty(folder, &reason)) unread = reason;
  }
  if (!unread.empty()) unread_[folder] = unread;
  return cache_.emplace(folder, std::move(entries)).first->second;
}

bool Panel::Readable(const FolderParts& folder, std::string* error) {
  Entries(folder);
  if (!Listed(folder)) {
    *error = NotEnterable(folder);
    if (error->empty()) *error = "the module refused to enter " + FolderText(folder);
    return false;
  }
  const auto unread = unread_.find(folder);
  if (unread == unread_.end()) return true;
  *error = unread->second;
  return false;
}

namespace {

// The folder a plain name names among a folder's entries: the exact name,
// else the one folder whose name differs only in case. Empty when there is
// none: *isFile then tells that the exact name is a file, *ambiguous that
// several folders differ from it only in case.
std::string FolderNamed(const std::vector<PanelItem>& entries, const std::string& part,
                        bool* isFile, bool* ambiguous) {
  std::vector<std::string> caseless;
  for (const auto& entry : entries) {
    const std::string name = ItemName(entry);
    if (name == part) {
      if (IsFolder(entry)) return name;
      *isFile = true;
    } else if (IsFolder(entry) && SameDeviceName(name, part)) {
      caseless.push_back(name);
    }
  }
  *ambiguous = caseless.size() > 1;
  return !*isFile && caseless.size() == 1 ? caseless[0] : std::string();
}

}  // namespace

bool Panel::FindFolder(const std::string& path, FolderParts* folder, std::string* error) {
  // A name the module's text cannot hold reaches no entry, or the wrong one.
  if (const std::string problem = NarrowFormProblem(path); !problem.empty()) {
    *error = Printable(path) + ": " + problem;
    return false;
  }
  // Split before it is narrow text: a double-byte character's second byte may be a "\".
  const bool absolute = !path.empty() && (path[0] == '\\' || path[0] == '/');
  FolderParts current = absolute ? FolderParts{} : home_;
  for (const auto& userPart : SplitDevicePath(path)) {
    const std::string part = NarrowFromUser(userPart);
    if (part == ".") continue;
    if (part == "..") {
      if (!current.empty()) current.pop_back();
      continue;
    }
    const auto& entries = Entries(current);
    if (!Readable(current, error)) return false;
    bool isFile = false, ambiguous = false;
    const std::string found = FolderNamed(entries, part, &isFile, &ambiguous);
    if (found.empty()) {
      *error =
          EntryText(current, part) + (isFile      ? " is a file, not a folder"
                                      : ambiguous ? " names several folders that differ in case"
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
  if (!Readable(folder, error)) return false;
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

bool Panel::ExpandFrom(const FolderParts& folder, const std::vector<std::string>& parts,
                       size_t next, bool endsInSeparator, std::vector<std::string>* found,
                       std::string* error) {
  const size_t folderParts = endsInSeparator ? parts.size() : parts.size() - 1;
  if (next == folderParts) {
    const std::string text = folder.empty() ? "" : FolderText(folder);
    if (endsInSeparator) {
      found->push_back(text + "\\");
      return true;
    }
    // Kept when the last part names something here.
    const std::string last = NarrowFromUser(parts.back());
    std::vector<PanelItem> items;
    std::string ignored;
    if (!Readable(folder, error)) return false;
    if (Match(folder, last, &items, &ignored)) found->push_back(text + "\\" + parts.back());
    return true;
  }
  const std::string part = NarrowFromUser(parts[next]);
  if (part == "." || part == "..") {
    FolderParts up = folder;
    if (part == ".." && !up.empty()) up.pop_back();
    return ExpandFrom(up, parts, next + 1, endsInSeparator, found, error);
  }
  const auto& entries = Entries(folder);
  if (!Readable(folder, error)) return false;
  // The folders a pattern names, in the order ls shows them; a plain name
  // names one folder as in any path, and a branch without it is left out.
  std::vector<FolderParts> matched;
  if (!HasWildcards(part)) {
    bool isFile = false, ambiguous = false;
    const std::string name = FolderNamed(entries, part, &isFile, &ambiguous);
    if (!name.empty() && !HasReplacement(name)) matched.push_back({name});
  } else {
    for (const auto& entry : entries) {
      const std::string name = ItemName(entry);
      if (IsFolder(entry) && !HasReplacement(name) && MatchDeviceName(part, name)) {
        matched.push_back({name});
      }
    }
    SortAsListed(&matched);
  }
  for (const auto& name : matched) {
    FolderParts below = folder;
    below.push_back(name[0]);
    if (!ExpandFrom(below, parts, next + 1, endsInSeparator, found, error)) return false;
  }
  return true;
}

bool Panel::ExpandFolderPatterns(std::vector<std::string>* paths, std::string* error) {
  std::vector<std::string> expanded;
  for (const auto& path : *paths) {
    const std::vector<std::string> parts = SplitDevicePath(path);
    // A path that names a folder itself ends in a separator, "." or "..".
    const bool endsInSeparator = parts.empty() || path.back() == '\\' || path.back() == '/' ||
                                 parts.back() == "." || parts.back() == "..";
    const size_t folderParts = endsInSeparator ? parts.size() : parts.size() - 1;
    size_t pattern = 0;
    while (pattern < folderParts && !HasWildcards(parts[pattern])) ++pattern;
    if (pattern == folderParts) {
      expanded.push_back(path);
      continue;
    }
    if (const std::string problem = NarrowFormProblem(path); !problem.empty()) {
      *error = Printable(path) + ": " + problem;
      return false;
    }
    // The folder before the first pattern part must exist, as for any path.
    const bool absolute = path[0] == '\\' || path[0] == '/';
    std::string before = absolute ? "\\" : "";
    for (size_t i = 0; i < pattern; ++i) before += parts[i] + "\\";
    FolderParts folder;
    if (!FindFolder(before, &folder, error)) return false;
    std::vector<std::string> found;
    if (!ExpandFrom(folder, parts, pattern, endsInSeparator, &found, error)) return false;
    if (found.empty()) {
      *error = "nothing matches " + path;
      return false;
    }
    expanded.insert(expanded.end(), found.begin(), found.end());
  }
  *paths = std::move(expanded);
  return true;
}

SortKey ListedKey(const std::string& narrow) {
  std::string user = UserFromNarrow(narrow);
  std::string folded = unicode::FoldKey(user);
  return {std::move(folded), std::move(user)};
}

void SortAsListed(std::vector<FolderParts>* folders) {
  const auto keyOf = [](const FolderParts& folder) {
    std::vector<SortKey> key;
    for (const auto& part : folder) key.push_back(ListedKey(part));
    return key;
  };
  std::stable_sort(folders->begin(), folders->end(),
                   [&](const FolderParts& a, const FolderParts& b) { return keyOf(a) < keyOf(b); });
}

bool Panel::Walk(const FolderParts& top,
                 const std::function<void(const FolderParts&, const PanelItem&)>& visit,
                 const std::function<void(const FolderParts&)>& enter, std::string* error,
                 std::vector<std::string>* unread) {
  // A copy: deeper listings join the cache while this one is walked.
  const std::vector<PanelItem> entries = Entries(top);
  if (!Readable(top, error)) {
    if (unread == nullptr) return false;
    unread->push_back(*error);
    error->clear();
    return true;
  }
  if (enter) enter(top);
  for (const auto& entry : entries) {
    if (!IsFolder(entry)) {
      visit(top, entry);
      continue;
    }
    FolderParts below = top;
    below.push_back(ItemName(entry));
    if (!Walk(below, visit, enter, error, unread)) return false;
  }
  return true;
}

}  // namespace merlo

namespace merlo {
namespace device {

namespace {

std::u16string Wide(const std::string& path) {
  std::u16string wide;
  unicode::ToUtf16(UserFromNarrow(path), &wide);
  return wide;
}

}  // namespace

std::string LastError() {
  const DeviceCalls& calls = DeviceLibraryCalls();
  if (calls.CeGetLastError == nullptr) return "the device gave no reason";
  return ErrorText(calls.CeGetLastError());
}

std::string PathOf(const FolderParts& folder, const std::string& name) {
  if (name.empty()) return DevicePathText(folder);
  return (folder.empty() ? std::string() : DevicePathText(folder)) + "\\" + name;
}

std::string ErrorText(uint32_t code) {
  switch (code) {
    case kDeviceErrorFileNotFound:
      return "no such file";
    case kDeviceErrorPathNotFound:
      return "no such folder";
    case kDeviceErrorTooManyOpenFiles:
      return "too many open files";
    case kDeviceErrorAccessDenied:
      return "access denied (read-only, or in use)";
    case kDeviceErrorSharingViolation:
      return "it is in use (open elsewhere)";
    case kDeviceErrorFileExists:
    case kDeviceErrorAlreadyExists:
      return "it exists";
    case kDeviceErrorDiskFull:
      return "the device is full";
    case kDeviceErrorInvalidName:
      return "the device refuses the name";
    case kDeviceErrorDirNotEmpty:
      return "the folder is not empty";
    case kDeviceErrorDirectory:
      return "not a folder";
    case kDeviceErrorFileCorrupt:
      return "the device cannot read it (corrupt)";
    case kDeviceErrorNotEnoughMemory:
      return "the device is out of memory";
    case kDeviceErrorGenFailure:
      return "a general failure on the device";
    case 0:
      return "the device gave no reason";
    default:
      return "device error " + std::to_string(code);
  }
}

namespace {

// A change the device reports is not believed when the path, asked of
// again, is not as the change leaves it. Where the library cannot be asked,
// or the question fails, the report stands: the caller goes on as the device
// said, and names what it moved where. False with what was seen.
enum class Seen { Gone, There, AFolder };
bool Shows(const std::string& path, Seen wanted, const std::string& reported, std::string* error) {
  if (!CanTellState()) return true;
  EntryState state;
  std::string why;
  if (!StateOf(path, &state, &why, false)) return true;
  const bool as = wanted == Seen::Gone    ? !state.Exists
                  : wanted == Seen::There ? state.Exists
                                          : state.Exists && state.Folder;
  if (as) return true;
  *error = "the device reported that it " + reported + ", but " + UserFromNarrow(path) +
           (wanted == Seen::Gone ? " is still there"
            : !state.Exists      ? " is not there"
                                 : " is not a folder");
  return false;
}

}  // namespace

bool MakeFolder(const FolderParts& folder, std::string* error) {
  const DeviceCalls& calls = DeviceLibraryCalls();
  if (calls.CeCreateDirectory == nullptr) {
    *error = MissingCallMessage("CeCreateDirectory");
    return false;
  }
  if (calls.CeCreateDirectory(Wide(PathOf(folder)).c_str(), nullptr) != 0) {
    return Shows(PathOf(folder), Seen::AFolder, "made " + FolderText(folder), error);
  }
  *error = "cannot make " + FolderText(folder) + ": " + LastError();
  return false;
}

bool ListsEmpty(const FolderParts& folder, std::string* error) {
  const DeviceCalls& calls = DeviceLibraryCalls();
  if (calls.CeFindAllFiles == nullptr || calls.CeRapiFreeBuffer == nullptr) {
    *error = MissingCallMessage("CeFindAllFiles");
    return false;
  }
  // The reason the last failed call left: the module's listing, when it failed.
  const uint32_t earlier = calls.CeGetLastError != nullptr ? calls.CeGetLastError() : 0;
  uint32_t found = 0;
  DeviceFindRecord* records = nullptr;
  const bool listed = calls.CeFindAllFiles(Wide(PathOf(folder, "*")).c_str(), kFindAttributes,
                                           &found, &records) != 0;
  const std::string reason = listed ? "" : LastError();
  if (records != nullptr) calls.CeRapiFreeBuffer(records);
  if (listed && found == 0) return true;
  *error = "cannot read " + FolderText(folder) + ": ";
  if (!listed) {
    *error += reason;
  } else if (earlier != 0) {
    *error += ErrorText(earlier);
  } else {
    *error +=
        "the module listed it as empty, yet the device lists " + CountOf(found, "entry", "entries");
  }
  return false;
}

bool RemoveFolder(const FolderParts& folder, std::string* error) {
  const DeviceCalls& calls = DeviceLibraryCalls();
  if (calls.CeRemoveDirectory == nullptr) {
    *error = MissingCallMessage("CeRemoveDirectory");
    return false;
  }
  if (calls.CeRemoveDirectory(Wide(PathOf(folder)).c_str()) != 0) {
    return Shows(PathOf(folder), Seen::Gone, "removed " + FolderText(folder), error);
  }
  *error = "cannot remove " + FolderText(folder) + ": " + LastError();
  return false;
}

bool MoveEntry(const std::string& from, const std::string& to, std::string* error) {
  const DeviceCalls& calls = DeviceLibraryCalls();
  if (calls.CeMoveFile == nullptr) {
    *error = MissingCallMessage("CeMoveFile");
    return false;
  }
  if (calls.CeMoveFile(Wide(from).c_str(), Wide(to).c_str()) != 0) {
    // Now at `to`, and gone from `from` (unless the two differ only in case:
    // then one name holds it).
    const std::string reported = "renamed " + UserFromNarrow(from) + " to " + UserFromNarrow(to);
    return Shows(to, Seen::There, reported, error) &&
           (SameDeviceName(from, to) || Shows(from, Seen::Gone, reported, error));
  }
  *error =
      "cannot rename " + UserFromNarrow(from) + " to " + UserFromNarrow(to) + ": " + LastError();
  return false;
}

uint32_t Attributes(const std::string& path, std::string* error) {
  const DeviceCalls& calls = DeviceLibraryCalls();
  if (calls.CeGetFileAttributes == nullptr) {
    *error = MissingCallMessage("CeGetFileAttributes");
    return kDeviceNoAttributes;
  }
  const uint32_t attributes = calls.CeGetFileAttributes(Wide(path).c_str());
  if (attributes == kDeviceNoAttributes) *error = UserFromNarrow(path) + ": " + LastError();
  return attributes;
}

bool SetWriteTime(const std::string& path, uint64_t written, std::string* error) {
  const DeviceCalls& calls = DeviceLibraryCalls();
  for (const auto& [call, name] :
       {std::pair<bool, const char*>{calls.CeCreateFile != nullptr, "CeCreateFile"},
        {calls.CeSetFileTime != nullptr, "CeSetFileTime"},
        {calls.CeCloseHandle != nullptr, "CeCloseHandle"}}) {
    if (!call) {
      *error = MissingCallMessage(name);
      return false;
    }
  }
  constexpr uint32_t kGenericWrite = 0x40000000u, kOpenExisting = 3;
  const DeviceHandle file = calls.CeCreateFile(Wide(path).c_str(), kGenericWrite, 0, nullptr,
                                               kOpenExisting, kDeviceAttributeNormal, 0);
  if (file == kInvalidDeviceHandle) {
    *error = "cannot set the time of " + UserFromNarrow(path) + ": " + LastError();
    return false;
  }
  const DeviceFileTime time{static_cast<uint32_t>(written), static_cast<uint32_t>(written >> 32)};
  const bool set = calls.CeSetFileTime(file, nullptr, nullptr, &time) != 0;
  const std::string reason = set ? "" : LastError();
  const bool closed = calls.CeCloseHandle(file) != 0;
  if (set && closed) return true;
  *error = "cannot set the time of " + UserFromNarrow(path) + ": " + (set ? LastError() : reason);
  return false;
}

uint32_t LastErrorCode() {
  const DeviceCalls& calls = DeviceLibraryCalls();
  return calls.CeGetLastError == nullptr ? 0 : calls.CeGetLastError();
}

bool CanTellState() {
  const DeviceCalls& calls = DeviceLibraryCalls();
  return calls.CeGetFileAttributes != nullptr && calls.CeFindAllFiles != nullptr &&
         calls.CeRapiFreeBuffer != nullptr && calls.CeGetLastError != nullptr;
}

bool StateOf(const std::string& path, EntryState* state, std::string* error, bool details) {
  *state = EntryState{};
  const DeviceCalls& calls = DeviceLibraryCalls();
  if (calls.CeGetFileAttributes == nullptr || calls.CeFindAllFiles == nullptr ||
      calls.CeRapiFreeBuffer == nullptr || calls.CeGetLastError == nullptr) {
    *error = MissingCallMessage(calls.CeGetFileAttributes == nullptr ? "CeGetFileAttributes"
                                : calls.CeGetLastError == nullptr    ? "CeGetLastError"
                                                                     : "CeFindAllFiles");
    return false;
  }
  const std::u16string wide = Wide(path);
  const uint32_t attributes = calls.CeGetFileAttributes(wide.c_str());
  if (attributes == kDeviceNoAttributes) {
    const uint32_t code = calls.CeGetLastError();
    if (code == kDeviceErrorFileNotFound || code == kDeviceErrorPathNotFound) return true;
    *error = ErrorText(code);
    return false;
  }
  state->Exists = true;
  state->Folder = (attributes & kDeviceAttributeDirectory) != 0;
  state->ReadOnly = (attributes & kDeviceAttributeReadOnly) != 0;
  if (state->Folder || !details) return true;
  uint32_t found = 0;
  DeviceFindRecord* records = nullptr;
  const bool listed = calls.CeFindAllFiles(wide.c_str(),
                                           kFindAttributes | kFindSizeHigh | kFindSizeLow |
                                               kFindLastWriteTime | kFindName,
                                           &found, &records) != 0;
  const std::string reason = listed ? "" : LastError();
  if (listed && found == 1 && records != nullptr) {
    state->Size = (uint64_t{records[0].SizeHigh} << 32) | records[0].SizeLow;
    state->Written = (uint64_t{records[0].LastWriteTime[1]} << 32) | records[0].LastWriteTime[0];
    std::u16string name;
    for (const DeviceChar* c = records[0].Name; c < records[0].Name + 260 && *c != 0; ++c) {
      name.push_back(static_cast<char16_t>(*c));
    }
    std::string utf8;
    unicode::ToUtf8(name, &utf8);
    state->Name = NarrowFromUser(utf8);
  }
  if (records != nullptr) calls.CeRapiFreeBuffer(records);
  if (listed && found == 1) return true;
  *error = listed ? "the device lists it " + std::to_string(found) + " times" : reason;
  return false;
}

bool DeleteFile(const std::string& path, std::string* error) {
  const DeviceCalls& calls = DeviceLibraryCalls();
  if (calls.CeDeleteFile == nullptr) {
    *error = MissingCallMessage("CeDeleteFile");
    return false;
  }
  if (calls.CeDeleteFile(Wide(path).c_str()) != 0) {
    return Shows(path, Seen::Gone, "deleted " + UserFromNarrow(path), error);
  }
  *error = LastError();
  return false;
}

bool SetAside(const FolderParts& folder, const std::string& name, std::string* aside,
              std::string* error) {
  const DeviceCalls& calls = DeviceLibraryCalls();
  if (calls.CeMoveFile == nullptr || calls.CeGetLastError == nullptr) {
    *error = MissingCallMessage(calls.CeMoveFile == nullptr ? "CeMoveFile" : "CeGetLastError");
    return false;
  }
  // A device path holds at most 259 UTF-16 units.
  constexpr size_t kLongestPath = 259;
  const std::u16string from = Wide(PathOf(folder, name));
  // Only a file is ever set aside, never a folder in its place.
  if (calls.CeGetFileAttributes != nullptr) {
    const uint32_t attributes = calls.CeGetFileAttributes(from.c_str());
    if (attributes != kDeviceNoAttributes && (attributes & kDeviceAttributeDirectory) != 0) {
      *error = "it is a folder, not a file";
      return false;
    }
  }
  // A name holds at most 255 bytes of the narrow text, which file systems and
  // the module's listing both carry.
  constexpr size_t kLongestNameBytes = 255;
  const auto fits = [&](const std::string& aside) {
    return Wide(PathOf(folder, aside)).size() <= kLongestPath && aside.size() <= kLongestNameBytes;
  };
  for (int n = 0; n < kAsideAttempts; ++n) {
    std::string asideName = AsideName(name, n, false);
    if (!fits(asideName)) asideName = AsideName(name, n, true);
    if (!fits(asideName)) break;
    const std::string candidate = PathOf(folder, asideName);
    if (calls.CeMoveFile(from.c_str(), Wide(candidate).c_str()) != 0) {
      const std::string reported =
          "set " + UserFromNarrow(PathOf(folder, name)) + " aside as " + UserFromNarrow(candidate);
      if (!Shows(candidate, Seen::There, reported, error)) return false;
      *aside = candidate;
      return true;
    }
    const uint32_t code = calls.CeGetLastError();
    if (code != kDeviceErrorAlreadyExists && code != kDeviceErrorFileExists) {
      *error = ErrorText(code);
      return false;
    }
  }
  *error = "no free name beside it within the device's path length";
  return false;
}

bool FreeSpace(const FolderParts& folder, Space* space, std::string* error) {
  const DeviceCalls& calls = DeviceLibraryCalls();
  if (calls.CeGetDiskFreeSpaceEx != nullptr) {
    uint64_t toCaller = 0, total = 0, free = 0;
    const std::string path = folder.empty() ? "\\" : PathOf(folder);
    if (calls.CeGetDiskFreeSpaceEx(Wide(path).c_str(), &toCaller, &total, &free) == 0) {
      *error = "cannot read the free space of " + FolderText(folder) + ": " + LastError();
      return false;
    }
    *space = {total, toCaller, false};
    return true;
  }
  if (calls.CeGetStoreInformation != nullptr) {
    DeviceStoreInformation store{};
    if (calls.CeGetStoreInformation(&store) == 0) {
      *error = "cannot read the object store's free space: " + LastError();
      return false;
    }
    *space = {store.StoreSize, store.FreeSize, true};
    return true;
  }
  *error = MissingCallMessage("CeGetDiskFreeSpaceEx");
  return false;
}
}  // namespace device
}  // namespace merlo
