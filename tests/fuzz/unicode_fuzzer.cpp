// Fuzzes the text library: the input is read as UTF-8 and as UTF-16, converted
// into buffers exactly as large as its first byte asks (so a write past one is
// caught), and each result is held to the whole-string conversion: a text that
// does not fit ends before a whole character, a converted text makes its
// round trip, and caseless comparison agrees with the folded keys.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "unicode/unicode.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void Utf8Side(const std::string& text, size_t capacity) {
  std::u16string whole;
  const bool valid = unicode::ToUtf16(text, &whole);
  Check(valid == unicode::IsValidUtf8(text));
  std::unique_ptr<char16_t[]> exact(new char16_t[capacity]);
  const ptrdiff_t units = unicode::Utf8ToUtf16(text.data(), text.size(), exact.get(), capacity);
  if (units < 0) {
    Check(!valid || whole.size() + 1 > capacity);
    if (capacity > 0) Check(exact[0] == 0);
    return;
  }
  Check(valid && whole == std::u16string(exact.get(), static_cast<size_t>(units)));
  Check(exact[units] == 0);
  std::string back;
  Check(unicode::ToUtf8(whole, &back) && back == text);
}

void Utf16Side(const std::u16string& text, size_t capacity) {
  std::unique_ptr<char[]> large(new char[4 * text.size() + 1]);
  bool wholeLarge = false;
  const size_t all =
      unicode::Utf16ToUtf8(text.data(), text.size(), large.get(), 4 * text.size() + 1, &wholeLarge);
  const std::string full(large.get(), all);
  Check(unicode::IsValidUtf8(full));
  std::string strict;
  const bool valid = unicode::ToUtf8(text.substr(0, text.find(u'\0')), &strict);
  Check(valid == wholeLarge);
  if (valid) Check(strict == full);

  std::unique_ptr<char[]> exact(new char[capacity == 0 ? 1 : capacity]);
  const size_t n = unicode::Utf16ToUtf8(text.data(), text.size(), exact.get(), capacity);
  if (capacity == 0) return;
  Check(n < capacity && exact[n] == '\0' && std::strlen(exact.get()) == n);
  // A prefix of the whole conversion that ends on a character boundary, and
  // cut only where the next character would not have fit.
  Check(full.compare(0, n, exact.get(), n) == 0);
  Check(unicode::CharacterStart(full, n) == n);
  if (n < full.size()) {
    char32_t code = 0;
    const size_t next = unicode::DecodeUtf8(full.data() + n, full.size() - n, &code);
    Check(next != 0 && n + next >= capacity);
  }
}

void Caseless(const std::string& a, const std::string& b) {
  Check(unicode::EqualCaseless(a, b) == (unicode::FoldKey(a) == unicode::FoldKey(b)));
  Check(unicode::FoldKey(unicode::FoldKey(a)) == unicode::FoldKey(a));
  Check(unicode::Match(std::string("*"), a, false));
  if (a.find_first_of("*?") == std::string::npos) {
    Check(unicode::Match(a, a, false));
    Check(unicode::Match(a, b, true) == unicode::EqualCaseless(a, b));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t capacity = data[0] % 64;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  Utf8Side(text, capacity);
  std::u16string units((size - 1) / 2, u'\0');
  if (!units.empty()) std::memcpy(&units[0], data + 1, units.size() * 2);
  Utf16Side(units, capacity);
  const size_t half = text.size() / 2;
  Caseless(text.substr(0, half), text.substr(half));
  return 0;
}
