// PC paths on Linux, and the narrow text they are written in.
//
// The module tells PC paths from device paths by ":" alone, so on Linux a PC
// path takes the drive-letter form Wine uses: "Z:" is the file-system root and
// "\" separates ("Z:\home\me\a.txt" is /home/me/a.txt); "/" separates too, and
// the drive letter's case does not matter. No other drive letter names anything.
//
// Narrow text is Latin-1 (as the ANSI code page is on Windows); the OS sees
// UTF-8. Each byte of a narrow text is the character of the same value; a
// character above U+00FF, or a byte that is not part of valid UTF-8, becomes "?".
#pragma once

#include <cstddef>

// Latin-1 to UTF-8. False, with `out` empty (when it has room), when the result
// and its terminator do not fit in `capacity` bytes.
bool Latin1ToUtf8(const char* text, char* out, size_t capacity);

// UTF-8 to Latin-1: U+0000..U+00FF become the byte of that value; any other
// character, and each byte of a malformed sequence, become "?". False, with
// `out` empty (when it has room), when the result and its terminator do not fit.
bool Utf8ToLatin1(const char* text, char* out, size_t capacity);

// The length (terminator excluded) of what Utf8ToLatin1 makes of `text`.
size_t Utf8ToLatin1Length(const char* text);

// "Z:\a\b" (or "z:/a/b") to "/a/b" in UTF-8. "Z:" followed by no separator is
// relative to the current directory, as a drive-relative path is on Windows
// (the current directory is always on Z:), so "Z:a" is "a" and "Z:" is ".".
// False when the path has no drive "Z:", holds a character Windows refuses in a
// path (control characters, * ? " < > | and a ":" after the drive), or the
// result does not fit; `out` is then empty (when it has room).
bool PcPathToPosix(const char* pcPath, char* out, size_t capacity);

// An absolute POSIX path in UTF-8 to "Z:\..." in Latin-1: "/" is "Z:\",
// "/home/me" is "Z:\home\me" (runs of "/" count as one, a trailing "/" is
// dropped). False when the path is not absolute or the result and its
// terminator do not fit; `out` is then empty (when it has room).
bool PosixPathToPc(const char* posixPath, char* out, size_t capacity);

// The length (terminator excluded) of what PosixPathToPc makes of an absolute
// path; 0 when the path is not absolute.
size_t PosixPathToPcLength(const char* posixPath);
