// merlo's own access to the device library: the calls come from the library
// already loaded in the process, as the module loaded it (by path here).
#include <gtest/gtest.h>

#if defined(_WIN32)
#include "platform/win32/windows_api.h"
#else
#include <dlfcn.h>
#endif

#include <string>

#include "shell/device_calls.h"

namespace {

#if defined(_WIN32)
void* LoadByPath(std::string path) {
  if (path[0] == '/') path = "Z:" + path;  // the build's path, seen from Wine
  for (char& c : path) c = c == '/' ? '\\' : c;
  return reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
}
void* Symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
const char* const kLibrary = "/rapi.dll";
#else
void* LoadByPath(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void* Symbol(void* library, const char* name) { return dlsym(library, name); }
const char* const kLibrary = "/librapi.so";
#endif

TEST(DeviceCallsTest, EveryCallComesFromTheLoadedLibrary) {
  void* library = LoadByPath(std::string(MERLO_BUILD_DIR) + kLibrary);
  ASSERT_NE(library, nullptr);
  const merlo::DeviceCalls& calls = merlo::DeviceLibraryCalls();
#define CHECK_CALL(Return, Name, Parameters, Arguments, Bytes)                     \
  EXPECT_EQ(reinterpret_cast<void*>(calls.Name), Symbol(library, #Name)) << #Name; \
  EXPECT_NE(reinterpret_cast<void*>(calls.Name), nullptr) << #Name;
  MERLO_DEVICE_CALLS(CHECK_CALL)
  MERLO_FURTHER_DEVICE_CALLS(CHECK_CALL)
#undef CHECK_CALL
  EXPECT_EQ(merlo::MissingCallMessage("CeCreateDirectory"),
            "the device library has no CeCreateDirectory: this command cannot work with it");
}

}  // namespace
