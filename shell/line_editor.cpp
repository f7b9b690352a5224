#include "line_editor.h"

#include "unicode/unicode.h"

namespace merlo {

std::string UserTextFromWide(const wchar_t* begin, const wchar_t* end) {
  std::string text;
  for (const wchar_t* p = begin; p < end; ++p) {
    const auto code = static_cast<char32_t>(*p);
    if (code >= kRawByteBase + 0x80u && code <= kRawByteBase + 0xFFu) {
      text.push_back(static_cast<char>(code - kRawByteBase));
      continue;
    }
    char bytes[4];
    const bool valid = code < 0xD800 || (code > 0xDFFF && code <= 0x10FFFF);
    text.append(bytes, unicode::EncodeUtf8(valid ? code : unicode::kReplacement, bytes));
  }
  return text;
}

std::wstring WideFromUserText(const std::string& text) {
  std::wstring wide;
  for (size_t at = 0; at < text.size();) {
    char32_t code = 0;
    const size_t length = unicode::DecodeUtf8(text.data() + at, text.size() - at, &code);
    if (length == 0) {
      wide.push_back(static_cast<wchar_t>(kRawByteBase + static_cast<unsigned char>(text[at++])));
    } else {
      wide.push_back(static_cast<wchar_t>(code));
      at += length;
    }
  }
  return wide;
}

LineEditor::LineEditor(Completer completer) {
  if (platform::IsTerminal(stdin)) terminal_ = platform::OpenTerminal(std::move(completer));
}

LineEditor::~LineEditor() { platform::CloseTerminal(terminal_); }

LineEditor::Result LineEditor::Read(const std::string& prompt, std::string* line) {
  return platform::ReadTerminalLine(terminal_, prompt, line);
}

void LineEditor::Remember(const std::string& line) {
  if (terminal_ == nullptr || line.find_first_not_of(" \t") == std::string::npos) return;
  platform::RememberLine(terminal_, line);
}

}  // namespace merlo
