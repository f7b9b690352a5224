// Loading the module by path and resolving its entry points by name, as the
// host does.
#pragma once

#include <string>

#include "host/entry_points.h"

namespace merlo {

using EntryPoints = ModuleEntryPoints;

class ModuleLibrary {
 public:
  ModuleLibrary() = default;
  ModuleLibrary(const ModuleLibrary&) = delete;
  ModuleLibrary& operator=(const ModuleLibrary&) = delete;
  ~ModuleLibrary() { Unload(); }

  // Loads the library at the path, binding every symbol at once.
  bool Load(const std::string& path, std::string* error);

  // Resolves all thirteen entry points; on failure the error names every one
  // that is missing.
  bool Resolve(EntryPoints* entries, std::string* error) const;

  void Unload();

 private:
  void* Symbol(const char* name) const;

  void* handle_ = nullptr;
};

// The folder that holds the running executable, with a trailing separator.
std::string ExecutableFolder();

// The folder part of a path, with its trailing separator; empty for a bare name.
std::string FolderOf(const std::string& path);

// The module's file name on this platform.
const char* DefaultModuleName();

}  // namespace merlo
