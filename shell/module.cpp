#include "module.h"

#include <vector>

#include "platform.h"

namespace merlo {

bool ModuleLibrary::Load(const std::string& path, std::string* error) {
  Unload();
  handle_ = platform::OpenLibrary(path, error);
  return handle_ != nullptr;
}

void* ModuleLibrary::Symbol(const char* name) const {
  return handle_ != nullptr ? platform::LibrarySymbol(handle_, name) : nullptr;
}

bool ModuleLibrary::Resolve(EntryPoints* entries, std::string* error) const {
  std::vector<std::string> missing;
  EntryPoints found;
  ResolveEntryPoints([&](const char* name) { return Symbol(name); },
                     [&](const char* name) { missing.push_back(name); }, &found);
  if (!missing.empty()) {
    *error = "the module lacks the entry point" + std::string(missing.size() > 1 ? "s" : "");
    for (size_t i = 0; i < missing.size(); ++i) *error += (i == 0 ? " " : ", ") + missing[i];
    return false;
  }
  *entries = found;
  return true;
}

void ModuleLibrary::Unload() {
  if (handle_ == nullptr) return;
  platform::CloseLibrary(handle_);
  handle_ = nullptr;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExecutableFolder() { return platform::ExecutableFolder(); }

const char* DefaultModuleName() { return platform::ModuleFileName(); }

}  // namespace merlo
