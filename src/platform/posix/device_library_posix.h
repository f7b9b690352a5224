// The Linux loader of the device-access library, open to tests.
#pragma once

// Loads the library of the given file name (searched as dlopen(3) searches)
// and fills gDeviceLibrary with its calls, keeping it loaded. A missing
// library or any missing call fills nothing: every entry is null and the
// result is false, and a library that did load is unloaded again.
bool LoadDeviceLibraryFrom(const char* name);
