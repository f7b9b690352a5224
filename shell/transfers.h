// What get, put, cp, mv and rm hand the module: one file at a time, so that
// the shell can report each file that arrives, stop at a Ctrl-C between two
// files, and tell what a failure left behind.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "device_paths.h"

namespace merlo {

enum class TransferKind {
  Get,     // device to PC (GetFiles with a PC folder)
  Put,     // PC to device (PutFiles)
  Within,  // device to device (GetFiles with a device folder)
  Remove,  // deletion on the device (DeleteFiles)
};

struct TransferPlan;

struct FileJob {
  FolderParts Folder;           // where the panel must be: the source's folder (put: unused)
  PanelItem Item;               // as listed, or as built from the PC file (put)
  std::filesystem::path Local;  // get: the PC folder it goes to; put: the one that holds it
  std::string Shown;            // its name in progress lines and messages
  bool OwnTarget = false;       // put -r, mirror: Into is this file's device folder
  FolderParts Into;

  // The device folder this file goes to (put, cp, mv).
  const FolderParts& Target(const TransferPlan& plan) const;
};

struct TransferPlan {
  TransferKind Kind = TransferKind::Get;
  const char* Command = "";
  bool Move = false;
  std::vector<FileJob> Jobs;
  FolderParts Target;                               // put, cp, mv: where the files go
  std::vector<std::filesystem::path> LocalFolders;  // get -r: PC folders to make first
  std::vector<FolderParts> DeviceFolders;           // put -r: device folders to make first
  uint64_t SkippedFolders = 0;
  bool TimesUnkept = false;  // the library lacks a call that keeps file times: said once
};

inline const FolderParts& FileJob::Target(const TransferPlan& plan) const {
  return OwnTarget ? Into : plan.Target;
}

// Checks a whole plan before its first copy. An entry named twice is taken
// once, the first time. Two sources that would land on one destination name,
// compared as the destination compares names, or a device name that the
// module could not convert, make it false with a message that names them.
bool CheckPlan(TransferPlan* plan, std::string* error);

}  // namespace merlo
