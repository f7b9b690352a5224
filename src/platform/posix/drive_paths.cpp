#include "platform/posix/drive_paths.h"

#include <cstdint>

namespace {

// Collects output bytes while they fit and counts them all.
class Sink {
 public:
  Sink(char* out, size_t capacity) : out_(out), capacity_(capacity) {}
  void Put(char c) {
    if (out_ != nullptr && length_ < capacity_) out_[length_] = c;
    ++length_;
  }
  size_t Length() const { return length_; }
  // Terminates the text; false (with an empty text, when there is room) when
  // the text and its terminator do not fit.
  bool Finish() {
    if (out_ != nullptr && length_ < capacity_) {
      out_[length_] = '\0';
      return true;
    }
    return Fail();
  }
  bool Fail() {
    if (out_ != nullptr && capacity_ > 0) out_[0] = '\0';
    return false;
  }

 private:
  char* out_;
  size_t capacity_;
  size_t length_ = 0;
};

constexpr uint32_t kMalformed = 0xFFFFFFFFu;

// Decodes one UTF-8 character at `p` (not at the terminator) into `*code`; a
// malformed sequence yields kMalformed and consumes one byte.
const unsigned char* DecodeUtf8(const unsigned char* p, uint32_t* code) {
  const unsigned char lead = p[0];
  if (lead < 0x80) {
    *code = lead;
    return p + 1;
  }
  size_t more;
  uint32_t value;
  uint32_t minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
    value = lead & 0x1Fu;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    value = lead & 0x0Fu;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    value = lead & 0x07u;
    minimum = 0x10000;
  } else {
    *code = kMalformed;
    return p + 1;
  }
  for (size_t i = 1; i <= more; ++i) {
    // A terminator is not a continuation byte, so this never reads past it.
    if ((p[i] & 0xC0u) != 0x80u) {
      *code = kMalformed;
      return p + 1;
    }
    value = (value << 6) | (p[i] & 0x3Fu);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    *code = kMalformed;
    return p + 1;
  }
  *code = value;
  return p + 1 + more;
}

void PutLatin1AsUtf8(Sink& sink, unsigned char byte) {
  if (byte < 0x80) {
    sink.Put(static_cast<char>(byte));
  } else {
    sink.Put(static_cast<char>(0xC0 | (byte >> 6)));
    sink.Put(static_cast<char>(0x80 | (byte & 0x3F)));
  }
}

void PutUtf8AsLatin1(Sink& sink, const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    uint32_t code;
    p = DecodeUtf8(p, &code);
    sink.Put(code <= 0xFF ? static_cast<char>(code) : '?');
  }
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Characters that Windows refuses anywhere in a path after its drive.
bool IsRefusedInPath(unsigned char c) {
  if (c < 0x20) return true;
  switch (c) {
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
    case ':':
      return true;
    default:
      return false;
  }
}

// Writes the PC form of an absolute POSIX path into the sink; false when the
// path is not absolute.
bool PutPosixAsPc(Sink& sink, const char* posixPath) {
  if (posixPath == nullptr || posixPath[0] != '/') return false;
  sink.Put('Z');
  sink.Put(':');
  sink.Put('\\');
  const unsigned char* p = reinterpret_cast<const unsigned char*>(posixPath);
  bool separatorPending = false;
  bool first = true;
  while (*p != 0) {
    if (*p == '/') {
      separatorPending = true;
      ++p;
      continue;
    }
    if (separatorPending && !first) sink.Put('\\');
    separatorPending = false;
    first = false;
    uint32_t code;
    p = DecodeUtf8(p, &code);
    sink.Put(code <= 0xFF ? static_cast<char>(code) : '?');
  }
  return true;
}

}  // namespace

bool Latin1ToUtf8(const char* text, char* out, size_t capacity) {
  Sink sink(out, capacity);
  if (text == nullptr) return sink.Fail();
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    PutLatin1AsUtf8(sink, *p);
  }
  return sink.Finish();
}

bool Utf8ToLatin1(const char* text, char* out, size_t capacity) {
  Sink sink(out, capacity);
  if (text == nullptr) return sink.Fail();
  PutUtf8AsLatin1(sink, text);
  return sink.Finish();
}

size_t Utf8ToLatin1Length(const char* text) {
  if (text == nullptr) return 0;
  Sink sink(nullptr, 0);
  PutUtf8AsLatin1(sink, text);
  return sink.Length();
}

bool PcPathToPosix(const char* pcPath, char* out, size_t capacity) {
  Sink sink(out, capacity);
  if (pcPath == nullptr) return sink.Fail();
  if ((pcPath[0] != 'Z' && pcPath[0] != 'z') || pcPath[1] != ':') return sink.Fail();
  const char* rest = pcPath + 2;
  for (const char* p = rest; *p != '\0'; ++p) {
    if (IsRefusedInPath(static_cast<unsigned char>(*p))) return sink.Fail();
  }
  if (*rest == '\0') {
    sink.Put('.');  // the current directory of drive Z:
    return sink.Finish();
  }
  for (const char* p = rest; *p != '\0'; ++p) {
    if (IsSeparator(*p)) {
      sink.Put('/');
    } else {
      PutLatin1AsUtf8(sink, static_cast<unsigned char>(*p));
    }
  }
  return sink.Finish();
}

bool PosixPathToPc(const char* posixPath, char* out, size_t capacity) {
  Sink sink(out, capacity);
  if (!PutPosixAsPc(sink, posixPath)) return sink.Fail();
  return sink.Finish();
}

size_t PosixPathToPcLength(const char* posixPath) {
  Sink sink(nullptr, 0);
  if (!PutPosixAsPc(sink, posixPath)) return 0;
  return sink.Length();
}
