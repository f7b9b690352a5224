// <windows.h> for the emulated device library. winbase.h declares a function
// LocalHandle(), which clashes with the shared type LocalHandle of
// platform/types.h; the Windows one is renamed here (the library never calls it).
#pragma once

#if defined(_WIN32)
#define LocalHandle WinBase_LocalHandle
#include <windows.h>
#undef LocalHandle
#endif
