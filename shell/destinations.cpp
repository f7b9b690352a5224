// What a copy finds at its destination and what it leaves there: the
// destination's state asked of that one file, an old file set aside while the
// new one is copied and put back when the copy fails, a file saved under
// another name, and the sentence that tells what a failure left.
#include <chrono>
#include <cstring>
#include <ostream>
#include <utility>

#include "device_calls.h"
#include "host_services.h"
#include "platform.h"
#include "session.h"
#include "text.h"
#include "transfers.h"

namespace fs = std::filesystem;

namespace merlo {

namespace {

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
  // Only a file is ever set aside, never a folder in its place.
  std::error_code ec;
  if (fs::symlink_status(file, ec).type() == fs::file_type::directory) {
    *error = "it is a folder, not a file";
    return fs::path();
  }
  const std::string name = file.filename().string();
  for (int n = 0; n < kAsideAttempts; ++n) {
    std::string candidate = AsideName(name, n, false);
    if (candidate.size() > kLongestName) candidate = AsideName(name, n, true);
    const fs::path aside = file.parent_path() / candidate;
    bool taken = false;
    if (platform::RenamePcFile(file, aside, error, &taken)) return aside;
    if (!taken) return fs::path();
  }
  *error = "no free name beside it";
  return fs::path();
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

}  // namespace

void OldFileRemover::Remove(const fs::path& old, const std::string& shown) {
  {
    const std::lock_guard<std::mutex> guard(mutex_);
    queue_.emplace_back(old, shown);
    pending_.insert(PcNameKey(old.string()));
  }
  if (!thread_.joinable()) {
    finishing_ = false;
    thread_ = std::thread([this] { Work(); });
  }
  wake_.notify_one();
}

void OldFileRemover::Settle(const fs::path& path) {
  const std::string key = PcNameKey(path.string());
  std::unique_lock<std::mutex> lock(mutex_);
  settled_.wait(lock, [&] { return pending_.count(key) == 0; });
}

std::vector<OldFileRemover::Failure> OldFileRemover::Finish() {
  if (thread_.joinable()) {
    {
      const std::lock_guard<std::mutex> guard(mutex_);
      finishing_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  return std::exchange(failures_, {});
}

void OldFileRemover::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return finishing_ || !queue_.empty(); });
    if (queue_.empty()) return;
    const auto [old, shown] = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    std::string error;
    const bool removed = platform::RemovePcFile(old, &error);
    lock.lock();
    if (!removed) failures_.push_back({old, shown, error});
    pending_.erase(pending_.find(PcNameKey(old.string())));
    settled_.notify_all();
  }
}

bool MakePrivatePcFolder(const fs::path& folder, fs::path* made) {
  const auto seed =
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000);
  for (uint64_t n = 0; n < 100; ++n) {
    const fs::path candidate = folder / (".merlo-get-" + std::to_string(seed + n));
    std::error_code ec;
    if (fs::create_directory(candidate, ec) && !ec) {
      *made = candidate;
      return true;
    }
  }
  return false;
}

namespace {

// Renames a PC file onto another name, replacing a file there: where the
// PC's rename does not replace, the old file is set aside first and comes
// back when the rename fails.
bool ReplacePcFile(const fs::path& from, const fs::path& to, std::string* error) {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (!ec) return true;
  PcFile there;
  if (!PcFileState(to, &there) || there.Folder) {
    *error = ec.message();
    return false;
  }
  std::string ignored;
  const fs::path aside = SetPcFileAside(to, &ignored);
  if (aside.empty()) {
    *error = ec.message();
    return false;
  }
  if (!platform::RenamePcFile(from, to, error)) {
    platform::RenamePcFile(aside, to, &ignored);
    return false;
  }
  platform::RemovePcFile(aside, &ignored);
  return true;
}

}  // namespace

bool Session::FinishPcSave(bool copied, const fs::path& staged, const fs::path& destination,
                           bool destinationExisted, uint64_t size, const fs::path& privateFolder) {
  PcFile now;
  PcFileState(staged, &now);
  const std::string shown = Printable(destination.string());
  bool ok = true;
  std::string error;
  if (now.Exists && !now.Folder && (copied || now.Size == size)) {
    // The whole file: it takes the name asked for.
    if (!ReplacePcFile(staged, destination, &error)) {
      err_ << "get: the copy stays at " << Printable(staged.string()) << ": cannot rename it to "
           << shown << ": " << error << '\n';
      return false;
    }
    if (!quiet_) out_ << "saved as " << shown << '\n';
  } else if (now.Exists && !now.Folder && !destinationExisted) {
    ok = ReplacePcFile(staged, destination, &error);
    if (ok) {
      err_ << "get: the partial copy is now at " << shown << '\n';
    } else {
      err_ << "get: the partial copy stays at " << Printable(staged.string()) << ": " << error
           << '\n';
    }
  } else if (now.Exists && !now.Folder) {
    std::error_code ec;
    ok = fs::remove(staged, ec);
    err_ << "get: "
         << (ok ? "removed the partial copy; " + shown + " is as it was"
                : "the partial copy stays at " + Printable(staged.string()))
         << '\n';
  }
  if (!privateFolder.empty()) {
    std::error_code ec;
    fs::remove(privateFolder, ec);  // only when empty: anything left in it was named
  }
  return ok;
}

std::string NotArrived(const TransferPlan& plan, const FileJob& job, const fs::path& pcFile,
                       uint64_t size, uint64_t time, bool* timeLost) {
  const bool toPc = plan.Kind == TransferKind::Get;
  if (!toPc && !device::CanTellState()) return "";
  const std::string name = ItemName(job.Item);
  const std::string where = toPc ? pcFile.string() : EntryText(job.Target(plan), name);
  const LocalState now =
      toPc ? StateOf(pcFile) : DeviceStateOf(device::PathOf(job.Target(plan), name));
  if (!now.Known) return "merlo cannot tell what is at " + where + ": " + now.Why;
  if (!now.Exists) return "nothing is at " + where;
  if (now.Folder) return where + " is a folder";
  if (now.Size != size) {
    return where + " holds " + std::to_string(now.Size) + " of its " + std::to_string(size) +
           " bytes";
  }
  constexpr uint64_t kTwoSeconds = 20000000;
  if (!toPc && time != 0 && timeLost != nullptr) {
    *timeLost = (now.Written > time ? now.Written - time : time - now.Written) > kTwoSeconds;
  }
  return "";
}

bool DeviceHas(Panel& panel, const FolderParts& folder, const std::string& name, bool* there,
               std::string* spelled, std::string* error, device::EntryState* entry) {
  device::EntryState state;
  if (device::CanTellState()) {
    if (!device::StateOf(device::PathOf(folder, name), &state, error)) return false;
  } else {
    if (!panel.Readable(folder, error)) return false;
    if (const PanelItem* listed = FindEntry(panel.Entries(folder), name)) {
      state.Exists = true;
      state.Folder = IsFolder(*listed);
      state.ReadOnly = (listed->Attributes & kDeviceAttributeReadOnly) != 0;
      state.Name = ItemName(*listed);
    }
  }
  *there = state.Exists;
  *spelled = state.Exists && !state.Name.empty() ? state.Name : name;
  if (entry != nullptr) *entry = state;
  return true;
}

bool Session::FinishDeviceSave(bool copied, const FolderParts& stage, const std::string& name,
                               const FolderParts& target, const std::string& storeAs,
                               bool destinationExisted, uint64_t size, bool privateStage) {
  panel_.Forget(stage);
  panel_.Forget(target);
  const std::string from = device::PathOf(stage, name);
  const std::string to = device::PathOf(target, storeAs);
  const std::string shown = EntryText(target, storeAs);
  bool ok = true;
  std::string error;
  device::EntryState staged;
  if (!device::StateOf(from, &staged, &error)) {
    err_ << "put: merlo cannot tell what is at " << EntryText(stage, name) << ": " << error << '\n';
    ok = false;
  } else if (staged.Exists && !staged.Folder && (copied || staged.Size == size)) {
    // The whole file. The device's move refuses an existing name: the old
    // file is set aside, and comes back when the move fails.
    std::string aside;
    if (destinationExisted && !device::SetAside(target, storeAs, &aside, &error)) {
      err_ << "put: the copy stays at " << EntryText(stage, name) << "; cannot set " << shown
           << " aside: " << error << '\n';
      return false;
    }
    if (!device::MoveEntry(from, to, &error)) {
      err_ << "put: the copy stays at " << EntryText(stage, name) << "; " << error << '\n';
      std::string back;
      if (!aside.empty() && !device::MoveEntry(aside, to, &back)) {
        err_ << "put: the old file stays at " << UserFromNarrow(aside) << "; " << back << '\n';
      }
      return false;
    }
    if (!aside.empty() && !device::DeleteFile(aside, &error)) {
      err_ << "put: the old file stays at " << UserFromNarrow(aside)
           << "; cannot delete it: " << error << '\n';
      ok = false;
    }
    if (!quiet_) out_ << "stored as " << shown << '\n';
  } else if (staged.Exists && !staged.Folder && !destinationExisted) {
    ok = device::MoveEntry(from, to, &error);
    err_ << "put: " << (ok ? "the partial copy is now at " + shown : error) << '\n';
  } else if (staged.Exists && !staged.Folder) {
    ok = device::DeleteFile(from, &error);
    err_ << "put: "
         << (ok ? "removed the partial copy; " + shown + " is as it was"
                : "cannot delete the partial copy at " + EntryText(stage, name) + ": " + error)
         << '\n';
  }
  if (privateStage && !device::RemoveFolder(stage, &error)) {
    err_ << "put: " << error << '\n';
    ok = false;
  }
  panel_.Forget(stage);
  panel_.Forget(target);
  return ok;
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
    // With the old file aside, whatever is at the destination came from the
    // copy: it goes, whether or not the device could say what it is.
    const bool removed =
        toPc ? platform::RemovePcFile(pcFile, &error) : device::DeleteFile(devicePath, &error);
    const uint32_t code = removed || toPc ? 0 : device::LastErrorCode();
    if (!removed && code != kDeviceErrorFileNotFound && code != kDeviceErrorPathNotFound) {
      err_ << plan.Command << ": merlo cannot tell what is at " << where << ": " << after.Why
           << "; the old file is at " << destination.Aside << '\n';
      return;
    }
  } else if (after.Exists && !after.Folder) {
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

}  // namespace merlo
