// merlo.exe's edge between the user's text (UTF-8) and the module's narrow
// text, in a process that keeps the system's code page (this test program
// has no UTF-8 manifest): what the code page holds is converted, what it
// cannot hold is refused by name and never becomes "?" or a look-alike.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "console.h"
#include "platform/win32/windows_api.h"
#include "text.h"

namespace merlo_windows_test {
namespace {

constexpr const char* kNotUtf8 =
    "it is not valid UTF-8 (the bytes shown as \\x..), which the module's text (code page 1252) "
    "cannot carry";

struct Case {
  const char* User;    // UTF-8
  const char* Narrow;  // in the code page; null: refused
  const char* Problem;
};

TEST(ShellNarrowText, ConvertsWhatTheCodePageHoldsAndRefusesTheRest) {
  if (GetACP() != 1252 || GetOEMCP() != 437) {
    GTEST_SKIP() << "written for a Western system (code pages 1252 and 437); this one has "
                 << GetACP() << " and " << GetOEMCP();
  }
  const Case ansi[] = {
      {"caf\xC3\xA9 5\xE2\x82\xAC.txt", "caf\xE9 5\x80.txt", ""},
      {"x\xC5\x82.txt", nullptr, "\xC5\x82 cannot be written in code page 1252"},
      // A best fit would make it "A".
      {"\xC4\x80.txt", nullptr, "\xC4\x80 cannot be written in code page 1252"},
      {"caf\xE9.txt", nullptr, kNotUtf8},
      {"\xED\xA0\x80", nullptr, kNotUtf8},  // a surrogate's form
      {"x\xEF\xBF\xBD", nullptr, "\xEF\xBF\xBD cannot be written in code page 1252"},
  };
  const Case oem[] = {
      {"caf\xC3\xA9.txt", "caf\x82.txt", ""},
      {"5\xE2\x82\xAC", nullptr, "\xE2\x82\xAC cannot be written in code page 437, the OEM one"},
  };
  const auto check = [](const Case& c) {
    SCOPED_TRACE(c.User);
    EXPECT_EQ(merlo::NarrowFormProblem(c.User), c.Problem);
    EXPECT_EQ(merlo::HasNarrowForm(c.User), c.Narrow != nullptr);
    if (c.Narrow != nullptr) {
      EXPECT_EQ(merlo::NarrowFromUser(c.User), c.Narrow);
      EXPECT_EQ(merlo::UserFromNarrow(c.Narrow), c.User);
    } else {
      EXPECT_EQ(merlo::NarrowFromUser(c.User).find_first_of("?*A"), std::string::npos);
    }
  };
  EXPECT_EQ(merlo::NarrowTextName(), "code page 1252");
  // The module lists what the code page cannot hold as "?".
  EXPECT_TRUE(merlo::HasReplacement("??? ?????????"));
  EXPECT_FALSE(merlo::HasReplacement("caf\xE9.txt"));
  for (const auto& c : ansi) check(c);
  SetFileApisToOEM();
  EXPECT_EQ(merlo::NarrowTextName(), "code page 437, the OEM one");
  for (const auto& c : oem) check(c);
  SetFileApisToANSI();
}

TEST(ShellNarrowText, PcPathsComeFromTheWideForm) {
  const std::wstring wide =
      merlo::PathFromUser("C:\\Sauvegarde \xC3\xA9t\xC3\xA9\\\xD0\x9E.txt").wstring();
  EXPECT_EQ(wide, L"C:\\Sauvegarde \u00E9t\u00E9\\\u041E.txt");
  EXPECT_EQ(merlo::PathFromUser("\xD0\x9E").string(), "\xD0\x9E");
}

// What merlo.exe writes reaches the console as whole characters, however
// the bytes of one are split between writes.
TEST(ShellConsole, OutputReachesTheConsoleAsWholeCharacters) {
  std::wstring shown;
  const auto buffer = merlo::WideTextBuffer([&](const std::wstring& text) { shown += text; });
  std::ostream out(buffer.get());
  out << "\xD0\x9E\xD1" << std::flush;
  EXPECT_EQ(shown, L"\u041E");
  out << "\x82 \xF0\x9F" << std::flush << "\x98\x80 \xE8\xA1" << std::flush << "\xA8\n";
  EXPECT_EQ(shown, L"\u041E\u0442 \U0001F600 \u8868\n");
  out << "\xFF";
  EXPECT_EQ(shown.size(), 8u) << "written before a line end or a flush";
  out << std::flush;
  EXPECT_EQ(shown.back(), L'\uFFFD');
}

}  // namespace
}  // namespace merlo_windows_test
