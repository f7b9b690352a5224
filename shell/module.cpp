#include "module.h"

#if defined(_WIN32)
#include "console.h"
#include "platform/win32/windows_api.h"
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <vector>

namespace merlo {

bool ModuleLibrary::Load(const std::string& path, std::string* error) {
  Unload();
#if defined(_WIN32)
  handle_ = reinterpret_cast<void*>(LoadLibraryW(WideFromUtf8(path).c_str()));
  if (handle_ == nullptr) {
    *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
#else
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = dlerror();
    *error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown reason");
    return false;
  }
#endif
  return true;
}

void* ModuleLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
  return dlsym(handle_, name);
#endif
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
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
  handle_ = nullptr;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExecutableFolder() {
#if defined(_WIN32)
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return "";
  path.resize(length);
  return FolderOf(Utf8FromWide(path));
#else
  std::vector<char> path(4096);
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (length <= 0) return "";
  return FolderOf(std::string(path.data(), static_cast<size_t>(length)));
#endif
}

const char* DefaultModuleName() {
#if defined(_WIN32)
  return "MERLO.dll";
#else
  return "MERLO.so";
#endif
}

}  // namespace merlo
