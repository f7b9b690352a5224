// Device paths of the emulated device: parsing, the names the device refuses,
// wildcard matching, and UTF-16 <-> UTF-8 conversions. Shared by both platforms.
//
// A device path is UTF-16 text: an optional single leading "\" and then names
// separated by single "\" ("\a\b", "a\b"; "\" alone is the root). Refused:
//   - empty parts ("\\a", "\a\\b", "\a\"), "." and ".." parts;
//   - names holding \ / : * ? " < > | or a unit below 0x20;
//   - unpaired surrogates; names over kMaxNameUnits units; paths over kMaxPathUnits.
// A find pattern is a path whose last part may also hold "*" and "?".
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/types.h"

namespace emu {

constexpr size_t kMaxNameUnits = 259;  // what a DeviceFindRecord name can hold
constexpr size_t kMaxPathUnits = 32767;

// The parts of a device path, or false when the path is refused. An empty
// vector is the root.
bool SplitDevicePath(const DeviceChar* path, std::vector<std::u16string>* parts);

// A find pattern: the folder parts and the last part (which may hold wildcards).
// False when refused, or when the last part is missing (the pattern is "\" or "").
bool SplitFindPattern(const DeviceChar* pattern, std::vector<std::u16string>* folder,
                      std::u16string* last);

// True when the name is one the device could hold: not empty, not "." or "..",
// no refused unit, surrogates paired, at most kMaxNameUnits units.
bool IsDeviceName(const char16_t* name, size_t length);

// True when the pattern matches every name ("*", "**", "*.*").
bool MatchesEverything(const std::u16string& pattern);

// "*" matches any run of units (also none), "?" any one unit; other units match
// themselves, ASCII letters without regard to case.
bool MatchWildcard(const char16_t* pattern, size_t patternLength, const char16_t* name,
                   size_t nameLength);

// UTF-16 to UTF-8; false on an unpaired surrogate.
bool Utf16ToUtf8(const std::u16string& text, std::string* out);

// UTF-8 (strict: no overlong forms, no encoded surrogates) to UTF-16 in a buffer
// of `capacity` units. Returns the number of units written (no terminator is
// written), or -1 when the text is not valid UTF-8 or does not fit.
int Utf8ToUtf16(const char* text, size_t length, char16_t* out, size_t capacity);

// The last part of a device path (for per-name faults), or false when refused.
bool LastPart(const DeviceChar* path, std::u16string* last);

}  // namespace emu
