// <windows.h> for the Win32 seam. Windows declares a function named
// LocalHandle (winbase.h), which collides with the seam's LocalHandle type
// (platform/types.h); it is declared here under another name, unused.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#define LocalHandle WindowsLocalHandleFunction
#include <windows.h>
#undef LocalHandle
