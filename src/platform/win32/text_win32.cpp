// The module's narrow text on Windows: the code page of the process's narrow
// file calls, asked at each conversion, for the host may switch them between
// the ANSI and the OEM code page at any time. In a process that declares UTF-8
// as its code page that is UTF-8.
#include "platform/text.h"
#include "platform/win32/windows_api.h"

namespace {

UINT FileCodePage() { return AreFileApisANSI() ? CP_ACP : CP_OEMCP; }

// The code page's own number (CP_ACP and CP_OEMCP stand for one).
UINT ActualCodePage(UINT codePage) {
  if (codePage == CP_ACP) return GetACP();
  if (codePage == CP_OEMCP) return GetOEMCP();
  return codePage;
}

// Bytes in a UTF-8 character by its lead byte; 1 for a byte that leads none.
size_t Utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 1;
}

bool Win32ToDevice(const char* text, DeviceChar* destination, size_t capacity) {
  if (capacity == 0) return false;
  const int room = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity);
  const UINT codePage = FileCodePage();
  // Invalid bytes, or a text that does not fit, give 0.
  const int units = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, -1,
                                        reinterpret_cast<wchar_t*>(destination), room);
  bool usable = units > 0;
  // In UTF-8, U+FFFD stands for what could not be converted from the device:
  // such a name must fail, not reach a file of another name.
  if (usable && ActualCodePage(codePage) == CP_UTF8) {
    for (int i = 0; i < units && usable; ++i) usable = destination[i] != 0xFFFD;
  }
  if (!usable) destination[0] = 0;
  return usable;
}

bool IsHighSurrogate(DeviceChar unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(DeviceChar unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Device names are at most 260 units; what lies beyond this could never fit a field.
constexpr int kMaxUnits = 1024;

void Win32FromDevice(const DeviceChar* text, size_t sourceCapacity, char* destination,
                     size_t destinationCapacity) {
  if (destinationCapacity == 0) return;
  destination[0] = '\0';
  const UINT codePage = FileCodePage();
  // Where the code page is UTF-8, Windows refuses both the flag against best
  // fit and a default character: there what cannot be converted (an unpaired
  // surrogate) becomes U+FFFD. Elsewhere each character the code page cannot
  // hold becomes "?"; a character outside the BMP is one "?", not two.
  const bool utf8 = ActualCodePage(codePage) == CP_UTF8;
  wchar_t wide[kMaxUnits];
  int units = 0;
  for (size_t i = 0; i < sourceCapacity && units < kMaxUnits && text[i] != 0; ++i) {
    DeviceChar unit = text[i];
    if (!utf8 && (IsHighSurrogate(unit) || IsLowSurrogate(unit))) {
      if (IsHighSurrogate(unit) && i + 1 < sourceCapacity && IsLowSurrogate(text[i + 1])) ++i;
      unit = u'?';
    }
    wide[units++] = static_cast<wchar_t>(unit);
  }
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* fallback = utf8 ? nullptr : "?";
  const int room = destinationCapacity - 1 > static_cast<size_t>(kMaxUnits) * 4
                       ? kMaxUnits * 4
                       : static_cast<int>(destinationCapacity - 1);
  // A text too long for the field ends before the first character that does
  // not fit whole: characters are dropped from the end until the rest fits.
  // Only names near the field's size take more than one round.
  while (units > 0) {
    const int needed =
        WideCharToMultiByte(codePage, flags, wide, units, nullptr, 0, fallback, nullptr);
    if (needed > 0 && needed <= room) {
      const int written =
          WideCharToMultiByte(codePage, flags, wide, units, destination, room, fallback, nullptr);
      destination[written > 0 ? written : 0] = '\0';
      return;
    }
    const bool pair =
        units >= 2 && IsLowSurrogate(wide[units - 1]) && IsHighSurrogate(wide[units - 2]);
    units -= pair ? 2 : 1;
  }
}

size_t Win32CharacterLength(const char* text) {
  const unsigned char lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return 1;
  const UINT codePage = ActualCodePage(FileCodePage());
  if (codePage == CP_UTF8) {
    const size_t length = Utf8SequenceLength(lead);
    for (size_t i = 1; i < length; ++i) {
      if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 1;
    }
    return length;
  }
  return IsDBCSLeadByteEx(codePage, lead) && text[1] != '\0' ? 2 : 1;
}

}  // namespace

TextCalls gText = {Win32ToDevice, Win32FromDevice, Win32CharacterLength};
