#include "platform/posix/drive_paths.h"

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
    sink.Put(static_cast<char>(*p++));
  }
  return true;
}

}  // namespace

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
      sink.Put(*p);
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
