// PC paths on Linux, and the narrow text they are written in.
//
// The module tells PC paths from device paths by ":" alone, so on Linux a PC
// path takes the drive-letter form Wine uses: "Z:" is the file-system root and
// "\" separates ("Z:\home\me\a.txt" is /home/me/a.txt); "/" separates too, and
// the drive letter's case does not matter. No other drive letter names anything.
//
// Narrow text is UTF-8, as the system's own; a Linux path is bytes, and the
// bytes of a name pass through both ways as they are.
#pragma once

#include <cstddef>

// "Z:\a\b" (or "z:/a/b") to "/a/b". "Z:" followed by no separator is
// relative to the current directory, as a drive-relative path is on Windows
// (the current directory is always on Z:), so "Z:a" is "a" and "Z:" is ".".
// False when the path has no drive "Z:", holds a character Windows refuses in a
// path (control characters, * ? " < > | and a ":" after the drive), or the
// result does not fit; `out` is then empty (when it has room).
bool PcPathToPosix(const char* pcPath, char* out, size_t capacity);

// An absolute POSIX path to "Z:\...": "/" is "Z:\",
// "/home/me" is "Z:\home\me" (runs of "/" count as one, a trailing "/" is
// dropped). False when the path is not absolute or the result and its
// terminator do not fit; `out` is then empty (when it has room).
bool PosixPathToPc(const char* posixPath, char* out, size_t capacity);

// The length (terminator excluded) of what PosixPathToPc makes of an absolute
// path; 0 when the path is not absolute.
size_t PosixPathToPcLength(const char* posixPath);
