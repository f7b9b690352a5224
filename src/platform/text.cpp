#include "platform/text.h"

namespace {

size_t StepOf(const char* text, size_t at, size_t length) {
  const size_t step = gText.CharacterLength(text + at);
  // A character that runs past the end counts as its bytes up to the end.
  return step == 0 || at + step > length ? length - at : step;
}

}  // namespace

size_t BoundedLength(const char* text, size_t capacity) {
  size_t n = 0;
  while (n < capacity && text[n] != '\0') ++n;
  return n;
}

size_t WholeCharactersLength(const char* text, size_t length, size_t room) {
  if (length <= room) return length;
  size_t at = 0;
  while (at < length) {
    const size_t next = at + StepOf(text, at, length);
    if (next > room) break;
    at = next;
  }
  return at;
}

size_t LastSeparator(const char* text, size_t length) {
  size_t found = length;
  for (size_t at = 0; at < length; at += StepOf(text, at, length)) {
    if (text[at] == '\\' || text[at] == '/') found = at;
  }
  return found;
}

bool EndsWithBackslash(const char* text, size_t length) {
  const size_t last = LastSeparator(text, length);
  return last + 1 == length && text[last] == '\\';
}
