// The panel as the shell moves it: its current device folder, listings,
// device paths typed by the user, and the walk of a device folder tree.
//
// The module knows one current folder per panel and moves it one step at a
// time (SetDirectory with a name, "..", or "\" for the root) without asking
// the device whether the folder exists. The shell therefore checks each step
// against a listing, and works on a path by moving the panel there and doing
// the work; after every command Session::Run moves it back to Home().
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "module.h"
#include "platform/device_calls.h"

namespace merlo {

// A device folder as narrow names, root first; empty for the root.
using FolderParts = std::vector<std::string>;

// The name of an item, read within its field.
std::string ItemName(const PanelItem& item);
bool IsFolder(const PanelItem& item);
uint64_t ItemSize(const PanelItem& item);

// A listing from GetFindData that goes back through FreeFindData when it ends.
class Listing {
 public:
  Listing(const EntryPoints& module, PanelHandle panel);
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;
  ~Listing();

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

class Panel {
 public:
  Panel(const EntryPoints& module, PanelHandle handle) : module_(module), handle_(handle) {}
  Panel(const Panel&) = delete;
  Panel& operator=(const Panel&) = delete;

  const EntryPoints& module() const { return module_; }
  PanelHandle handle() const { return handle_; }

  // Where the panel is now.
  const FolderParts& Folder() const { return folder_; }

  // The folder the user is in (cd): relative paths start there, and the
  // panel goes back there after each piece of work.
  const FolderParts& Home() const { return home_; }
  void SetHome(const FolderParts& folder) { home_ = folder; }

  // Moves the panel to a folder known to exist, by the shortest way: down
  // from here, up from here, or down from the root. False when the module
  // refuses a step (the path would be too long for it); the panel then stays
  // wherever that step left it, which Folder() tells.
  bool MoveTo(const FolderParts& target);

  // The entries of a folder, without "..": the panel moves there and lists
  // it. Kept until Forget(), so that one command lists a folder once. None
  // when the panel cannot get there (Listed tells), or when the listing
  // could not be read (Readable tells).
  const std::vector<PanelItem>& Entries(const FolderParts& folder);
  bool Listed(const FolderParts& folder) const { return cache_.count(folder) != 0; }
  // Whether Entries(folder) is the folder's true listing. The module shows a
  // listing it could not read as an empty one, so an empty listing is checked
  // with the device itself (device::ListsEmpty); a listing with entries costs
  // nothing more. False with "cannot read FOLDER: reason", or why the panel
  // cannot get there.
  bool Readable(const FolderParts& folder, std::string* error);
  void Forget() {
    cache_.clear();
    unread_.clear();
  }
  void Forget(const FolderParts& folder) {
    cache_.erase(folder);
    unread_.erase(folder);
  }

  // An existing device folder for a path typed by the user: "\a\b" from the
  // root, "a\b" from Home(), "." and ".." as usual, ".." of the root being
  // the root ("/" also separates). Each name must be a folder of its
  // parent's listing: the exact name, else the one name that differs only in
  // case. False with a message when a step names nothing or a file, or a
  // listing on the way cannot be read.
  bool FindFolder(const std::string& path, FolderParts* folder, std::string* error);

  // Splits a path that names entries into the existing folder that holds
  // them and the last part, which may hold wildcards. The last part is empty
  // when the path names a folder itself ("\", "..", "a\").
  bool SplitPath(const std::string& path, FolderParts* folder, std::string* last,
                 std::string* error);

  // The entries of the folder that a last part names: those a pattern
  // matches (case aside), or the one entry of that name (the exact name,
  // else the one that differs only in case). False with a message when
  // nothing matches or a name is ambiguous.
  bool Match(const FolderParts& folder, const std::string& last, std::vector<PanelItem>* items,
             std::string* error);

  // SplitPath, then, when the path names entries, Match: what a path given
  // to get, cp, mv or rm selects.
  bool Select(const std::string& path, FolderParts* folder, std::string* last,
              std::vector<PanelItem>* items, std::string* error);

  // Paths whose folder parts hold wildcards, each replaced by the paths of
  // the folders it matches (case aside, in the order ls shows them) that
  // hold a match for the last part: "*\*.txt" gives "\a\*.txt" and
  // "\b\*.txt" when both hold a .txt file. Other paths stay as they are.
  // False with a message when a pattern part matches no folder, nothing
  // matches the whole path, or a listing on the way cannot be read.
  bool ExpandFolderPatterns(std::vector<std::string>* paths, std::string* error);

  // Calls visit for every file below a folder, depth first in listing order,
  // with the folder that holds it; enter, when given, for every folder
  // entered and read, the top one included. False with a message when the
  // module refuses to enter a folder or a listing cannot be read; with
  // unread given, a folder that cannot be read is added there (its message)
  // instead, and the walk goes on without it.
  bool Walk(const FolderParts& top,
            const std::function<void(const FolderParts&, const PanelItem&)>& visit,
            const std::function<void(const FolderParts&)>& enter, std::string* error,
            std::vector<std::string>* unread = nullptr);

 private:
  bool Step(const char* folder);
  // ExpandFolderPatterns below folder, from parts[next] on: adds each path
  // found; false only when a listing on the way cannot be read.
  bool ExpandFrom(const FolderParts& folder, const std::vector<std::string>& parts, size_t next,
                  bool endsInSeparator, std::vector<std::string>* found, std::string* error);

  const EntryPoints& module_;
  PanelHandle handle_;
  FolderParts folder_;
  FolderParts home_;
  std::map<FolderParts, std::vector<PanelItem>> cache_;
  std::map<FolderParts, std::string> unread_;  // listed as empty, not read: why
};

// A name as ls sorts it: case aside first, so that "b" and "B" sit together.
using SortKey = std::pair<std::string, std::string>;
SortKey ListedKey(const std::string& narrow);

// Folders in ls -R's order: each before the folders below it, each level in
// ls's order.
void SortAsListed(std::vector<FolderParts>* folders);

// Device folder text for its parts, as user text: "\" for the root, "\a\b".
std::string FolderText(const FolderParts& folder);

// The device path of an entry in a folder, as user text: "\a\b\name".
std::string EntryText(const FolderParts& folder, const std::string& name);

// The module's fixed fields, in bytes of its narrow text: the path of the
// folder it is in, of a folder it lists ("FOLDER\*.*" in its pattern), of a
// file it copies or deletes (folder, "\", name), and of the PC folder that
// a put's files come from (the current directory).
constexpr size_t kModuleFolderPath = 258;
constexpr size_t kModuleListedFolderPath = 251;
constexpr size_t kModuleFilePath = 299;
constexpr size_t kModulePcFolder = 255;

// Whether the module cannot enter a folder (its path does not fit the
// module's field), told before the module is asked, and the message that
// says so (empty when it can).
bool TooLongToEnter(const FolderParts& folder);
std::string NotEnterable(const FolderParts& folder);

// Whether the module can enter the folder but not list it (its path is too
// long for the module's listing pattern), and the message that says so.
bool TooLongToList(const FolderParts& folder);
std::string NotListable(const FolderParts& folder);

// The length of a device file's path as the module joins it, in bytes of its
// narrow text: "\a\name", "\name" at the root.
size_t ModuleFilePathBytes(const FolderParts& folder, const std::string& name);

// An item's last-write time as one file time, and the other way; the item's
// fields may sit unaligned.
uint64_t ItemWriteTime(const PanelItem& item);
void SetItemWriteTime(PanelItem* item, uint64_t written);

// Why a device entry whose listed name holds U+FFFD (HasReplacement) cannot
// be used; shown names it.
std::string UnreachableName(const std::string& shown);

}  // namespace merlo

namespace merlo {

// merlo's own calls to the device library, for what the module has no entry
// point for. Each is false with a message when the call fails (the device's
// reason in words) or the library lacks it (MissingCallMessage).
namespace device {

// Device path text for an entry of a folder, or the folder itself (no name).
std::string PathOf(const FolderParts& folder, const std::string& name = "");

// The device's error code in words: "access denied", "the folder is not empty".
std::string ErrorText(uint32_t code);
// The device's reason for the last call of this thread that failed, in words
// (CeGetLastError); "the device gave no reason" when the library cannot tell.
std::string LastError();

bool MakeFolder(const FolderParts& folder, std::string* error);
// Whether the device itself lists the folder as empty: the module shows a
// listing it could not read as an empty one. False with "cannot read FOLDER:
// reason" when the listing fails or finds entries; for entries the reason is
// the device's last error as it was before this call (that of the module's
// failed listing, when it is asked right after that).
bool ListsEmpty(const FolderParts& folder, std::string* error);
bool RemoveFolder(const FolderParts& folder, std::string* error);
bool MoveEntry(const std::string& from, const std::string& to, std::string* error);
// kDeviceNoAttributes when it cannot tell; the error then says why.
uint32_t Attributes(const std::string& path, std::string* error);
// Sets a file's last-write time (the two halves of a file time).
bool SetWriteTime(const std::string& path, uint64_t written, std::string* error);

// The device's last error code (CeGetLastError); 0 when the library cannot tell.
uint32_t LastErrorCode();

// One entry as the device tells it now, asked of that path alone: its
// attributes (CeGetFileAttributes), then a file's size and last-write time
// (CeFindAllFiles on the one path). False when the device cannot say, with
// the reason; an entry that is not there is told (Exists false), not a failure.
struct EntryState {
  bool Exists = false;
  bool Folder = false;
  bool ReadOnly = false;
  uint64_t Size = 0;
  uint64_t Written = 0;
  std::string Name;  // a file's name as the device spells it (narrow text)
};
// Whether the library has the calls StateOf needs.
bool CanTellState();
// Without details only the attributes are asked for (Size and Written stay 0).
bool StateOf(const std::string& path, EntryState* state, std::string* error, bool details = true);

bool DeleteFile(const std::string& path, std::string* error);

// Renames an existing file to a free name in its folder, with which the
// device's own names do not clash in any case: "f.txt.merlo-old", else one
// numbered, else a short one where the long ones are too long. *aside gets
// the new path. False with the reason when no name is free or the rename fails.
bool SetAside(const FolderParts& folder, const std::string& name, std::string* aside,
              std::string* error);

struct Space {
  uint64_t Total = 0;
  uint64_t Free = 0;
  bool ObjectStore = false;  // the object store's figures: the library had no per-volume call
};
// The size and free space of the volume that holds the folder.
bool FreeSpace(const FolderParts& folder, Space* space, std::string* error);

}  // namespace device
}  // namespace merlo
