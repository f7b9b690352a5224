// The text library shared by the Linux platform layer, the emulated device and
// the shell: UTF-8 and UTF-16 conversion, comparison without regard to case by
// Unicode's simple case folding, and "*" / "?" matching by characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace unicode {

constexpr char32_t kReplacement = 0xFFFD;  // what stands for a character that cannot be carried

// One character of UTF-8 at the start of text: its length in bytes (1 to 4)
// with *code set, or 0 when the bytes there are no valid UTF-8 (a stray or
// missing continuation byte, an overlong form, an encoded surrogate, a value
// above U+10FFFF) or length is 0.
size_t DecodeUtf8(const char* text, size_t length, char32_t* code);

// A code point as UTF-8 in out (room for 4 bytes); its length in bytes.
size_t EncodeUtf8(char32_t code, char* out);

// One character of UTF-16 at the start of text: its length in units (1 or 2)
// with *code set; an unpaired surrogate is one unit and gives kReplacement,
// with *paired false. 0 when length is 0.
size_t DecodeUtf16(const char16_t* text, size_t length, char32_t* code, bool* paired = nullptr);

// UTF-8 of `length` bytes to UTF-16 in a buffer of `capacity` units, with a
// terminating 0 unit. The units written before the terminator, or -1 (and an
// empty buffer, where capacity allows) when the text is not valid UTF-8 or it
// and its terminator do not fit.
ptrdiff_t Utf8ToUtf16(const char* text, size_t length, char16_t* out, size_t capacity);

// UTF-16, up to `length` units or the first 0 unit, to UTF-8 in a buffer of
// `capacity` bytes, always ending in a NUL where capacity is not 0. An
// unpaired surrogate becomes U+FFFD. The text ends before the first character
// that does not fit whole. Returns the bytes written before the NUL; *whole
// (when given) tells whether every unit was converted, none replaced or cut.
size_t Utf16ToUtf8(const char16_t* text, size_t length, char* out, size_t capacity,
                   bool* whole = nullptr);

// Whole-string forms; false (and out unspecified) on invalid input: bytes that
// are no UTF-8, or an unpaired surrogate.
bool ToUtf16(std::string_view utf8, std::u16string* out);
bool ToUtf8(std::u16string_view utf16, std::string* out);
bool IsValidUtf8(std::string_view text);

// Unicode's simple case folding: Ä to ä, Я to я, Σ and ς to σ; others unchanged.
char32_t FoldCase(char32_t code);

// The folded form of a text, for keys of sets and maps that must not tell
// case apart. Invalid UTF-8 bytes and unpaired surrogates stay as they are.
std::u16string FoldKey(std::u16string_view text);
std::string FoldKey(std::string_view utf8);

// True when two texts are the same but for case.
bool EqualCaseless(std::u16string_view a, std::u16string_view b);
bool EqualCaseless(std::string_view a, std::string_view b);

// Matches a name against a pattern in which "*" stands for any run of
// characters (none too) and "?" for any one character, by characters, not
// units or bytes. In UTF-8 a byte that is no valid UTF-8 is a character of its
// own, matched only by itself or "?".
bool Match(std::u16string_view pattern, std::u16string_view name, bool caseless);
bool Match(std::string_view pattern, std::string_view name, bool caseless);

// The columns a character takes on a terminal: 2 for East Asian wide and
// fullwidth characters (CJK, kana, Hangul syllables, emoji shown as
// pictures), 0 for combining marks, format characters and controls, 1 for
// every other one.
int Columns(char32_t code);

// The columns a UTF-8 text takes on a terminal, character by character; a
// byte that is no valid UTF-8 takes one (a terminal shows one mark for it).
size_t Columns(std::string_view utf8);

// Where the UTF-8 character that holds byte `position` starts (a position at
// or past the end stays as it is).
size_t CharacterStart(std::string_view utf8, size_t position);

}  // namespace unicode
