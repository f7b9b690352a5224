// Fuzzes the PC drive-path conversions of Linux: every output buffer is exactly
// as large as the input asks (so a write past it is caught), a conversion that
// does not fit leaves an empty text, one that fits matches the conversion into
// a large buffer, the lengths agree, and the conversions make their round trips.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "platform/posix/drive_paths.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

using Convert = bool (*)(const char*, char*, size_t);

// The conversion into a large buffer; and again into one of `capacity` bytes.
std::string Converted(Convert convert, const std::string& text, size_t capacity, bool* ok) {
  const size_t large = 8 * text.size() + 16;
  std::unique_ptr<char[]> whole(new char[large]);
  *ok = convert(text.c_str(), whole.get(), large);
  const std::string result = *ok ? whole.get() : "";
  if (!*ok) Check(whole[0] == '\0');
  std::unique_ptr<char[]> exact(new char[capacity]);
  const bool fits = convert(text.c_str(), exact.get(), capacity);
  if (fits) {
    Check(*ok && result == exact.get());
  } else {
    Check(!*ok || result.size() + 1 > capacity);
    if (capacity > 0) Check(exact[0] == '\0');
  }
  return result;
}

bool HasRefused(const std::string& pcPath) {
  for (size_t i = 2; i < pcPath.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(pcPath[i]);
    if (c < 0x20 || std::strchr("*?\"<>|:", c) != nullptr) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t capacity = data[0];  // the size of the buffers that are exactly as large
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string input = text.substr(0, text.find('\0'));
  bool ok = false;

  // An absolute path to the PC form and back: the same path, its runs of "/"
  // made one and a trailing "/" dropped, every other byte as it was.
  const std::string pc = Converted(PosixPathToPc, input, capacity, &ok);
  Check(ok == (!input.empty() && input[0] == '/'));
  Check(PosixPathToPcLength(input.c_str()) == (ok ? pc.size() : 0));
  if (ok) {
    Check(pc.compare(0, 3, "Z:\\") == 0);
    std::string expected = "/";
    for (size_t i = 1; i < input.size(); ++i) {
      if (input[i] == '/' && (expected.back() == '/' || i + 1 == input.size())) continue;
      expected += input[i];
    }
    while (expected.size() > 1 && expected.back() == '/') expected.pop_back();
    bool roundTrip = false;
    const std::string posix = Converted(PcPathToPosix, pc, capacity, &roundTrip);
    Check(roundTrip != HasRefused(pc));
    // A backslash in a Linux name becomes a separator: those paths come back different.
    if (roundTrip && input.find('\\') == std::string::npos) Check(posix == expected);
  }

  // A PC path to Linux and back: the same path in the form PosixPathToPc gives.
  const std::string posix = Converted(PcPathToPosix, input, capacity, &ok);
  const bool drive = input.size() >= 2 && (input[0] == 'Z' || input[0] == 'z') && input[1] == ':';
  Check(ok == (drive && !HasRefused(input)));
  if (ok && posix[0] == '/') {
    const std::string again = Converted(PosixPathToPc, posix, capacity, &ok);
    Check(ok);
    std::string expected = "Z:\\";
    for (size_t i = 3; i < input.size(); ++i) {
      const char c = input[i] == '/' ? '\\' : input[i];
      if (c == '\\' && (expected.back() == '\\' || i + 1 == input.size())) continue;
      expected += c;
    }
    while (expected.size() > 3 && expected.back() == '\\') expected.pop_back();
    Check(again == expected);
  }
  return 0;
}
