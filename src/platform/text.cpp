#include "platform/text.h"

bool ToDeviceText(const char* text, DeviceChar* destination, size_t capacity) {
  if (capacity == 0) return false;
  for (size_t i = 0; i < capacity; ++i) {
    destination[i] = static_cast<unsigned char>(text[i]);
    if (text[i] == '\0') return true;
  }
  destination[0] = 0;
  return false;
}

void FromDeviceText(const DeviceChar* text, size_t sourceCapacity, char* destination,
                    size_t destinationCapacity) {
  if (destinationCapacity == 0) return;
  size_t i = 0;
  for (; i < sourceCapacity && i + 1 < destinationCapacity; ++i) {
    const DeviceChar unit = text[i];
    if (unit == 0) break;
    destination[i] = unit < 256 ? static_cast<char>(unit) : '?';
  }
  destination[i] = '\0';
}

size_t BoundedLength(const char* text, size_t capacity) {
  size_t n = 0;
  while (n < capacity && text[n] != '\0') ++n;
  return n;
}
