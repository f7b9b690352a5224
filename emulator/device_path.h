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
#include <utility>
#include <vector>

#include "platform/device_calls.h"
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

// A device path as UTF-8 text, "\" before each part: the folder's parts, then
// `name` (none when null).
std::string DevicePathText(const std::vector<std::u16string>& folder,
                           const char16_t* name = nullptr, size_t length = 0);

// Writes "rapi: " and the line to standard error, once in the life of the
// process for each line: what the device does not show, and why.
void TellOnce(const std::string& line);

// Names of one listing that differ only in case, which no device folder can
// hold: each listed record is added as it is filled, and the pair, if any, is
// found once the listing is whole (by a hash of the folded name, then the
// names themselves).
class CasePairs {
 public:
  void Add(const char16_t* name, size_t length, size_t index);
  // The records of a pair, the first in unit order first; false when none.
  bool Find(const DeviceFindRecord* records, size_t* first, size_t* second);

 private:
  std::vector<std::pair<uint64_t, size_t>> folded_;
};

// Tells once that the folder (device path text) holds the pair `first` and
// `second` (UTF-8), and gives the reason of the failure that follows.
void RefuseCasePair(const std::string& folder, const std::string& first, const std::string& second);
// The same for a pair found in a listing of `folder`.
void RefuseCasePair(const std::vector<std::u16string>& folder, const char16_t* first,
                    const char16_t* second);

}  // namespace emu
