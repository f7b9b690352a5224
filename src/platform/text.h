// Conversions between the host's narrow text and the device's UTF-16 text.
//
// Narrow text is in the system's own encoding: on Windows the code page of the
// process's narrow file calls (the ANSI one, or the OEM one once the host has
// switched them), on Linux UTF-8. The conversions sit behind a table of plain
// function pointers, filled by the platform layer; unit tests swap entries.
#pragma once

#include "platform/types.h"

struct TextCalls {
  // Narrow text, up to and including its terminator, to UTF-16. False, with an
  // empty destination, when the text is not valid in the encoding, holds what
  // cannot name a device file, or does not fit with its terminator.
  bool (*ToDevice)(const char* text, DeviceChar* destination, size_t capacity);
  // UTF-16, up to sourceCapacity units or the first 0 unit, to narrow text in
  // at most destinationCapacity bytes, always ending in a NUL (capacity > 0).
  // What the encoding cannot hold becomes "?" (U+FFFD in UTF-8); a text too
  // long ends before the first character that does not fit whole.
  void (*FromDevice)(const DeviceChar* text, size_t sourceCapacity, char* destination,
                     size_t destinationCapacity);
  // Bytes of the character that starts at text (2 for the lead byte of a
  // double-byte character followed by its second byte, else 1); 1 at the NUL.
  size_t (*CharacterLength)(const char* text);
};

extern TextCalls gText;

inline bool ToDeviceText(const char* text, DeviceChar* destination, size_t capacity) {
  return gText.ToDevice(text, destination, capacity);
}

inline void FromDeviceText(const DeviceChar* text, size_t sourceCapacity, char* destination,
                           size_t destinationCapacity) {
  gText.FromDevice(text, sourceCapacity, destination, destinationCapacity);
}

// Length of a narrow text held in a field of the given size, or the size when
// the field holds no terminator.
size_t BoundedLength(const char* text, size_t capacity);

// The longest start of text[0, length) that ends on a character boundary and
// is at most `room` bytes long.
size_t WholeCharactersLength(const char* text, size_t length, size_t room);

// Where the last "\" or "/" of text[0, length) that is a character of its own
// (not the second byte of a double-byte character) stands; `length` when none.
size_t LastSeparator(const char* text, size_t length);

// True when text[0, length) ends in a "\" that is a character of its own.
bool EndsWithBackslash(const char* text, size_t length);
