// The module's narrow text on Linux: UTF-8, the system's own encoding.
//
// Device text is UTF-16 with surrogate pairs. An unpaired surrogate from the
// device becomes U+FFFD, and a narrow text that holds U+FFFD names no device
// file: so a name the module could not carry whole fails when it is used,
// rather than reaching a file of another name. Bytes that are no UTF-8 fail
// the same way.
#include <cstring>

#include "platform/text.h"
#include "unicode/unicode.h"

namespace {

bool PosixToDevice(const char* text, DeviceChar* destination, size_t capacity) {
  if (capacity == 0) return false;
  // A text longer than three bytes a unit cannot fit: no need to look further.
  const size_t length = strnlen(text, capacity * 3);
  const ptrdiff_t units = unicode::Utf8ToUtf16(text, length, destination, capacity);
  if (units < 0 || length == capacity * 3) {
    destination[0] = 0;
    return false;
  }
  for (ptrdiff_t i = 0; i < units; ++i) {
    if (destination[i] == unicode::kReplacement) {
      destination[0] = 0;
      return false;
    }
  }
  return true;
}

void PosixFromDevice(const DeviceChar* text, size_t sourceCapacity, char* destination,
                     size_t destinationCapacity) {
  unicode::Utf16ToUtf8(text, sourceCapacity, destination, destinationCapacity);
}

// A byte that is no UTF-8 counts as a character of its own.
size_t PosixCharacterLength(const char* text) {
  char32_t code;
  const size_t length = unicode::DecodeUtf8(text, strnlen(text, 4), &code);
  return length != 0 ? length : 1;
}

}  // namespace

TextCalls gText = {PosixToDevice, PosixFromDevice, PosixCharacterLength};
