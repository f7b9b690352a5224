// Device paths of the emulated device: parsing, the names the device refuses,
// and the identity of an entry. Shared by both platforms; text conversion, case
// folding and wildcards come from the text library (unicode/unicode.h).
//
// A device path is UTF-16 text: an optional single leading "\" and then names
// separated by single "\" ("\a\b", "a\b"; "\" alone is the root). Refused:
//   - empty parts ("\\a", "\a\\b", "\a\"), "." and ".." parts;
//   - names holding \ / : * ? " < > | or a unit below 0x20;
//   - unpaired surrogates; names over kMaxNameUnits units; paths over kMaxPathUnits.
// A find pattern is a path whose last part may also hold "*" and "?".
#pragma once

#include <cstddef>
#include <cstdint>
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

// True when `name` is `pattern`'s name, as the device compares names: by
// Unicode simple case folding, "*" standing for any run of characters and "?"
// for any one.
bool MatchesName(const std::u16string& pattern, const char16_t* name, size_t length);

// The device's object identifier of an entry: a hash of its device path with
// case folded, so that the same entry has the same identifier on every
// platform and under every spelling of its path. Never 0.
uint32_t ObjectIdOf(const std::vector<std::u16string>& folder, const char16_t* name, size_t length);

// The last part of a device path (for per-name faults), or false when refused.
bool LastPart(const DeviceChar* path, std::u16string* last);

}  // namespace emu
