#include "platform/device_library.h"

namespace {

template <typename Call>
bool Resolve(DeviceCallLookup lookup, void* library, const char* name, Call* entry) {
  void* address = lookup(library, name);
  if (address == nullptr) return false;
  *entry = reinterpret_cast<Call>(address);
  return true;
}

}  // namespace

bool ResolveDeviceLibrary(DeviceCallLookup lookup, void* library, DeviceLibrary* table) {
  DeviceLibrary t = {};
  const bool all = Resolve(lookup, library, "CeRapiInitEx", &t.CeRapiInitEx) &&
                   Resolve(lookup, library, "CeRapiUninit", &t.CeRapiUninit) &&
                   Resolve(lookup, library, "CeFindAllFiles", &t.CeFindAllFiles) &&
                   Resolve(lookup, library, "CeRapiFreeBuffer", &t.CeRapiFreeBuffer) &&
                   Resolve(lookup, library, "CeCreateFile", &t.CeCreateFile) &&
                   Resolve(lookup, library, "CeGetFileSize", &t.CeGetFileSize) &&
                   Resolve(lookup, library, "CeReadFile", &t.CeReadFile) &&
                   Resolve(lookup, library, "CeWriteFile", &t.CeWriteFile) &&
                   Resolve(lookup, library, "CeCloseHandle", &t.CeCloseHandle) &&
                   Resolve(lookup, library, "CeCopyFile", &t.CeCopyFile) &&
                   Resolve(lookup, library, "CeMoveFile", &t.CeMoveFile) &&
                   Resolve(lookup, library, "CeDeleteFile", &t.CeDeleteFile);
  if (all) *table = t;
  return all;
}

bool IsDeviceLibraryFilled(const DeviceLibrary& t) {
  return t.CeRapiInitEx != nullptr && t.CeRapiUninit != nullptr && t.CeFindAllFiles != nullptr &&
         t.CeRapiFreeBuffer != nullptr && t.CeCreateFile != nullptr && t.CeGetFileSize != nullptr &&
         t.CeReadFile != nullptr && t.CeWriteFile != nullptr && t.CeCloseHandle != nullptr &&
         t.CeCopyFile != nullptr && t.CeMoveFile != nullptr && t.CeDeleteFile != nullptr;
}
