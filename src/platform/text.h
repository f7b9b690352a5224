// Conversions between the host's narrow text and the device's UTF-16 text.
#pragma once

#include "platform/types.h"

// Each byte becomes the unit of the same value, terminator included. False, with
// an empty destination, when the text and its terminator do not fit.
bool ToDeviceText(const char* text, DeviceChar* destination, size_t capacity);

// Each unit below 256 becomes the byte of the same value and each other unit
// "?", up to and including the terminator. Reads at most sourceCapacity units
// and writes at most destinationCapacity bytes; the result always ends in a NUL.
void FromDeviceText(const DeviceChar* text, size_t sourceCapacity, char* destination,
                    size_t destinationCapacity);

// Length of a narrow text held in a field of the given size, or the size when
// the field holds no terminator.
size_t BoundedLength(const char* text, size_t capacity);
