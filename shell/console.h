// Windows' console: the text merlo exchanges with the user is UTF-8
// throughout the shell, and the console is read and written through its wide
// calls, so that no letter depends on the console's code page; a pipe or a
// file gets UTF-8 bytes. Defined in platform_win32.cpp; Windows only.
#pragma once

#include <functional>
#include <memory>
#include <streambuf>
#include <string>

namespace merlo {

// A stream buffer that hands the UTF-8 text written to it on to write as
// UTF-16, at each line end, each flush and every 4 KiB; a character whose
// bytes are split between two writes waits for the rest.
std::unique_ptr<std::streambuf> WideTextBuffer(std::function<void(const std::wstring&)> write);

// UTF-8 and UTF-16 as Windows' own calls convert them; what is no valid
// UTF-8 becomes U+FFFD.
std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);

}  // namespace merlo
