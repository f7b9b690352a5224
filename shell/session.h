// One open panel on the device and the commands that drive it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "device_paths.h"
#include "module.h"

namespace merlo {

using Words = std::vector<std::string>;

struct TransferPlan;
struct FileJob;
// A destination file as the PC or the device tells it, asked of that one
// path. Known is false when it cannot be told; Why then says why.
struct LocalState {
  bool Known = true;
  std::string Why;
  bool Exists = false;
  bool Folder = false;
  bool ReadOnly = false;
  uint64_t Size = 0;
  uint64_t Written = 0;  // 100 ns steps: a change of time alone tells a rewritten file
  std::string Name;      // a device file's name as the device spells it
};
class LiveProgress;
class OldFileRemover;

class Session {
 public:
  // The panel must be open; the session never closes it.
  Session(const EntryPoints& module, PanelHandle panel, std::ostream& out, std::ostream& err);

  // Quiet: only errors and what a command is asked to show (listings, help).
  void SetQuiet(bool quiet) { quiet_ = quiet; }
  // A live line of bytes, percent and rate during long downloads (at a terminal).
  void SetLiveProgress(bool live) { liveProgress_ = live; }

  // Runs one command given as words. False when it failed: an error, a
  // message box shown by the module while it ran, or something asked for
  // that was not done.
  bool Run(const Words& words);

  // Runs the commands of one line (";" separates them), up to the first
  // that fails.
  bool RunLine(const std::string& line);

  bool ExitRequested() const { return exitRequested_; }
  // Whether the last command other than exit succeeded.
  bool LastSucceeded() const { return lastSucceeded_; }

  // The device folder the session is in, as user text ("\", "\a\b").
  std::string DeviceFolder() const { return FolderText(panel_.Home()); }
  std::string Prompt() const { return "merlo " + DeviceFolder() + "> "; }

  Panel& panel() { return panel_; }

  // The commands, as the command table calls them; args are the words after
  // the command's name.
  bool List(const Words& args);
  bool ChangeFolder(const Words& args);
  bool PrintFolder(const Words& args);
  bool Get(const Words& args);
  bool Put(const Words& args);
  bool Copy(const Words& args);
  bool Move(const Words& args);
  bool Remove(const Words& args);
  bool MakeFolders(const Words& args);
  bool RemoveFolders(const Words& args);
  bool Rename(const Words& args);
  bool DiskFree(const Words& args);
  bool Mirror(const Words& args);
  bool LocalChangeFolder(const Words& args);
  bool LocalPrintFolder(const Words& args);
  bool LocalList(const Words& args);
  // "!command": a command line run by the PC's shell; "!" alone, the shell itself.
  bool LocalCommand(const std::string& command);
  bool LocalShell(const Words& args);
  bool Info(const Words& args);
  bool Menu(const Words& args);
  bool Configure(const Words& args);
  bool Help(const Words& args);
  bool Exit(const Words& args);

 private:
  // Separates the options of a command ("-m", "-r", "-mr") from its
  // operands; "--" ends the options. False, with a message, for an option
  // the command does not take.
  bool TakeOptions(const std::string& command, const Words& args, const std::string& allowed,
                   std::string* given, Words* operands);
  // The existing folder and the new last name a path names (mkdir, rename).
  bool FolderFor(const std::string& command, const std::string& path, FolderParts* parent,
                 std::string* name);
  // Removes one empty folder, never the current one or one that holds it.
  bool RemoveOneFolder(const std::string& command, const FolderParts& folder);
  // ls -R: each folder and every folder below it.
  bool ListTrees(const Words& paths, bool attributes);
  bool CopyWithin(const std::string& command, const Words& args, bool move);
  // get SRC NAME, put FILE NAME: the copy, made under the source's name at
  // staged (in privateFolder when that is not empty), takes the name asked
  // for; a partial copy takes it only where nothing was there before.
  bool FinishPcSave(bool copied, const std::filesystem::path& staged,
                    const std::filesystem::path& destination, bool destinationExisted,
                    uint64_t size, const std::filesystem::path& privateFolder);
  bool FinishDeviceSave(bool copied, const FolderParts& stage, const std::string& name,
                        const FolderParts& target, const std::string& storeAs,
                        bool destinationExisted, uint64_t size, bool privateStage);
  // Hands the plan's files to the module one at a time, reports each that
  // arrived and what a failure left behind; false unless all was done.
  bool Execute(TransferPlan& plan);
  // Execute's steps: the whole plan checked before the first copy; one file;
  // what a failed copy left; what a deletion really removed; the last line.
  enum class JobOutcome { Done, Failed };
  struct JobContext {
    std::filesystem::path LocalFolder;  // the current directory as put left it
    LiveProgress* Live = nullptr;
    OldFileRemover* Remover = nullptr;  // get: the old files set aside
  };
  bool CheckBeforeRun(TransferPlan& plan);
  // put: refuses a batch larger than the destination volume's free space.
  bool CheckFreeSpace(const TransferPlan& plan);
  // A device folder of a tree copy, unless it is there; its parent exists.
  bool MakeDeviceFolder(const TransferPlan& plan, const FolderParts& folder);
  JobOutcome RunJob(TransferPlan& plan, const FileJob& job, JobContext& context);
  // get -m, put -m: deletes the source of a copy that merlo has seen arrive.
  bool RemoveMovedSource(const TransferPlan& plan, const FileJob& job);
  // Gives a copied file its source's last-write time: Set when it set a
  // device file's time, which the arrival's check then asks back.
  enum class TimeKept { NotAsked, Set, Refused };
  TimeKept KeepTime(TransferPlan& plan, const FileJob& job, const std::filesystem::path& pcFile,
                    std::string* error);
  // Says that a whole copy's time was not kept; the command then fails.
  void ReportTimeNotKept(TransferPlan& plan, const std::string& error);
  // A copy's destination: where it is, as told; its state before the copy;
  // where its old file waits while the new one is copied (empty: none).
  struct Destination {
    std::string Where;
    LocalState Before;
    std::string Aside;
  };
  // Asks what is at the destination and sets an existing file aside; false,
  // with a message, when the file must not be copied.
  bool PrepareDestination(const TransferPlan& plan, const FileJob& job, Destination* destination);
  // After a failed copy: what is at the destination, checked, or the old file
  // put back in the place of what the copy left.
  void ReportLeftover(const TransferPlan& plan, const FileJob& job, const Destination& destination,
                      uint64_t expected);
  uint64_t RecountDeleted(const TransferPlan& plan, uint64_t done);
  // rm: why the device kept an entry (read-only, its last error).
  void ReportDeleteFailure(const TransferPlan& plan, const FileJob& job);
  void ReportNotDeleted(const TransferPlan& plan, uint64_t tried);
  void ReportTotals(const TransferPlan& plan, uint64_t done, bool interrupted);

  Panel panel_;
  std::ostream& out_;
  std::ostream& err_;
  bool quiet_ = false;
  bool liveProgress_ = false;
  bool exitRequested_ = false;
  bool lastSucceeded_ = true;
};

}  // namespace merlo
