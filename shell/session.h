// One open panel on the device and the commands that drive it.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "module.h"

namespace merlo {

class Session {
 public:
  // The panel must be open; the session never closes it.
  Session(const EntryPoints& module, PanelHandle panel, std::ostream& out, std::ostream& err);

  // Runs one command given as words. False when it failed, which includes a
  // message box shown by the module while it ran.
  bool Run(const std::vector<std::string>& words);

  // Runs one line of text.
  bool RunLine(const std::string& line);

  bool ExitRequested() const { return exitRequested_; }

  // The device folder the session is in, as user text ("\", "\a\b").
  std::string DeviceFolder() const;

 private:
  using Words = std::vector<std::string>;

  bool Dispatch(const std::string& command, const Words& args);

  bool List(const Words& args);
  bool ChangeFolder(const Words& args);
  bool PrintFolder(const Words& args);
  bool Info(const Words& args);
  bool Menu(const Words& args);
  bool Configure(const Words& args);
  bool Get(const Words& args);
  bool Put(const Words& args);
  bool CopyWithin(const Words& args, bool move);
  bool Remove(const Words& args);
  bool LocalChangeFolder(const Words& args);
  bool LocalPrintFolder(const Words& args);
  bool LocalList(const Words& args);
  bool Help(const Words& args);

  // Enters one folder of the current listing (the name as the user gave it,
  // narrow text); false, with a message, when the listing holds no such folder.
  bool EnterFolder(const std::string& command, const std::string& name);
  // Goes back to the given folder, one level at a time from the root.
  void ReturnTo(const std::vector<std::string>& folder);
  // Copies of the listed items that the patterns name, with the selected bit
  // set; false, with a message, when a pattern names nothing.
  bool Select(const std::string& command, const Words& patterns, std::vector<PanelItem>* items);
  // Tells what the cleared selected bits say; false when some file did not go.
  bool ReportTransfer(bool move, const std::vector<PanelItem>& items);

  const EntryPoints& module_;
  PanelHandle panel_;
  std::ostream& out_;
  std::ostream& err_;
  std::vector<std::string> folder_;  // narrow names, root first
  bool exitRequested_ = false;
};

// The name of an item, read within its field.
std::string ItemName(const PanelItem& item);

bool IsFolder(const PanelItem& item);

}  // namespace merlo
