// The command table: every command's name, usage and help, what its words
// complete to, and the Session member that runs it.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace merlo {

// What the words after a command's name name, for completion.
enum class Arguments {
  None,
  DeviceEntries,  // files and folders on the device
  DeviceFolders,  // folders on the device
  LocalEntries,   // files and folders on the PC
  LocalFolders,   // folders on the PC
  Commands,       // command names (help)
};

struct Command {
  const char* Name;
  const char* Alias;  // another name for it, or null
  const char* Usage;
  const char* Summary;
  const char* Details;
  Arguments Completes;
  bool (Session::*Run)(const Words& args);
};

const std::vector<Command>& CommandTable();

// The command of that name or alias, or null.
const Command* FindCommand(const std::string& name);

// Help on every command, or on one (false when there is no such command).
std::string HelpText();
bool HelpText(const std::string& name, std::string* text);

// "help" and "help COMMAND...": false, with a message on err, when a name is
// no command.
bool PrintHelp(const Words& names, std::ostream& out, std::ostream& err);

}  // namespace merlo
