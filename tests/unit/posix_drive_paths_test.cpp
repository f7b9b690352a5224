// PC paths and narrow text on Linux: the pure conversions of drive_paths.h.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <string>

#include "platform/posix/drive_paths.h"

namespace {

std::string ToPosix(const char* pc, bool* ok = nullptr) {
  char out[256];
  const bool converted = PcPathToPosix(pc, out, sizeof out);
  if (ok != nullptr) *ok = converted;
  return converted ? std::string(out) : std::string("<refused>");
}

std::string ToPc(const char* posix) {
  char out[256];
  return PosixPathToPc(posix, out, sizeof out) ? std::string(out) : std::string("<refused>");
}

TEST(PosixDrivePaths, DriveZIsTheRootAndBackslashSeparates) {
  EXPECT_EQ(ToPosix("Z:\\home\\me\\a.txt"), "/home/me/a.txt");
  EXPECT_EQ(ToPosix("Z:\\"), "/");
  EXPECT_EQ(ToPosix("Z:\\tmp\\"), "/tmp/");
}

TEST(PosixDrivePaths, LowerCaseDriveAndForwardSlashesAreAccepted) {
  EXPECT_EQ(ToPosix("z:\\home\\me"), "/home/me");
  EXPECT_EQ(ToPosix("z:/home/me/a.txt"), "/home/me/a.txt");
  EXPECT_EQ(ToPosix("Z:/home\\me/a.txt"), "/home/me/a.txt");
}

TEST(PosixDrivePaths, DriveRelativePathsStayRelativeToTheCurrentDirectory) {
  EXPECT_EQ(ToPosix("Z:a.txt"), "a.txt");
  EXPECT_EQ(ToPosix("Z:sub\\a.txt"), "sub/a.txt");
  EXPECT_EQ(ToPosix("Z:"), ".");
}

TEST(PosixDrivePaths, OtherDrivesAndPathsWithoutADriveNameNothing) {
  for (const char* path : {"C:\\home\\me", "c:\\x", "Y:\\", "A:", "\\home\\me", "/home/me", "home",
                           "", "Z", "ZZ:\\x", "\\\\server\\share\\a", ":\\x"}) {
    bool ok = true;
    EXPECT_EQ(ToPosix(path, &ok), "<refused>") << path;
    EXPECT_FALSE(ok) << path;
  }
  char out[16] = "untouched";
  EXPECT_FALSE(PcPathToPosix(nullptr, out, sizeof out));
  EXPECT_STREQ(out, "");
}

TEST(PosixDrivePaths, CharactersWindowsRefusesInPathsAreRefused) {
  for (const char* path : {"Z:\\a*b", "Z:\\a?b", "Z:\\a\"b", "Z:\\a<b", "Z:\\a>b", "Z:\\a|b",
                           "Z:\\a:b", "Z:\\a\tb", "Z:\\a\x01"}) {
    EXPECT_EQ(ToPosix(path), "<refused>") << path;
  }
}

TEST(PosixDrivePaths, Latin1BytesBecomeUtf8) {
  EXPECT_EQ(ToPosix("Z:\\caf\xE9\\\xFF\xA0.txt"), "/caf\xC3\xA9/\xC3\xBF\xC2\xA0.txt");
}

TEST(PosixDrivePaths, ConversionThatDoesNotFitIsRefusedWithAnEmptyResult) {
  char out[8];
  EXPECT_TRUE(PcPathToPosix("Z:\\abcdef", out, sizeof out));  // "/abcdef" and NUL: 8
  EXPECT_STREQ(out, "/abcdef");
  EXPECT_FALSE(PcPathToPosix("Z:\\abcdefg", out, sizeof out));
  EXPECT_STREQ(out, "");
  EXPECT_FALSE(PcPathToPosix("Z:\\abcde\xE9", out, sizeof out));  // the last byte takes two
  EXPECT_STREQ(out, "");
}

TEST(PosixDrivePaths, PosixPathsBecomeDriveZ) {
  EXPECT_EQ(ToPc("/"), "Z:\\");
  EXPECT_EQ(ToPc("/home/me"), "Z:\\home\\me");
  EXPECT_EQ(ToPc("/home/me/"), "Z:\\home\\me");
  EXPECT_EQ(ToPc("//home///me"), "Z:\\home\\me");
}

TEST(PosixDrivePaths, RelativePosixPathsAreRefused) {
  EXPECT_EQ(ToPc("home/me"), "<refused>");
  EXPECT_EQ(ToPc(""), "<refused>");
  EXPECT_EQ(ToPc(nullptr), "<refused>");
  EXPECT_EQ(PosixPathToPcLength("home"), 0u);
}

TEST(PosixDrivePaths, Utf8BecomesLatin1AndWiderCharactersBecomeQuestionMarks) {
  EXPECT_EQ(ToPc("/caf\xC3\xA9"), "Z:\\caf\xE9");
  EXPECT_EQ(ToPc("/\xC3\xBF\xC2\x80"), "Z:\\\xFF\x80");
  EXPECT_EQ(ToPc("/\xE6\x97\xA5\xE6\x9C\xAC.txt"), "Z:\\??.txt");  // two CJK characters
  EXPECT_EQ(ToPc("/a\xF0\x9F\x98\x80"
                 "b"),
            "Z:\\a?b");                   // one character outside the BMP is one "?"
  EXPECT_EQ(ToPc("/\xC5\x81"), "Z:\\?");  // U+0141 is just above Latin-1
}

TEST(PosixDrivePaths, MalformedUtf8BecomesOneQuestionMarkPerByte) {
  EXPECT_EQ(ToPc("/a\xFF"
                 "b"),
            "Z:\\a?b");
  EXPECT_EQ(ToPc("/\xC3"), "Z:\\?");            // cut short by the end
  EXPECT_EQ(ToPc("/\xC3/x"), "Z:\\?\\x");       // cut short by a separator
  EXPECT_EQ(ToPc("/\xC0\xAF"), "Z:\\??");       // an overlong "/"
  EXPECT_EQ(ToPc("/\xED\xA0\x80"), "Z:\\???");  // a surrogate
}

TEST(PosixDrivePaths, LengthMatchesTheConversion) {
  const char* path = "/home/caf\xC3\xA9/\xE6\x97\xA5";
  const std::string pc = ToPc(path);
  EXPECT_EQ(pc, "Z:\\home\\caf\xE9\\?");
  EXPECT_EQ(PosixPathToPcLength(path), pc.size());
  EXPECT_EQ(PosixPathToPcLength("/"), 3u);

  char out[64];
  EXPECT_FALSE(PosixPathToPc(path, out, pc.size()));  // no room for the terminator
  EXPECT_STREQ(out, "");
  EXPECT_TRUE(PosixPathToPc(path, out, pc.size() + 1));
  EXPECT_EQ(std::string(out), pc);
}

TEST(PosixDrivePaths, EveryLatin1ByteSurvivesTheRoundTrip) {
  char latin1[256];
  for (int i = 1; i < 256; ++i) latin1[i - 1] = static_cast<char>(i);
  latin1[255] = '\0';
  char utf8[512];
  ASSERT_TRUE(Latin1ToUtf8(latin1, utf8, sizeof utf8));
  EXPECT_EQ(std::string(utf8).size(), 127u + 2u * 128u);
  char back[256];
  ASSERT_TRUE(Utf8ToLatin1(utf8, back, sizeof back));
  EXPECT_EQ(std::string(back), std::string(latin1));
  EXPECT_EQ(Utf8ToLatin1Length(utf8), 255u);
}

TEST(PosixDrivePaths, TextConversionsRefuseWhatDoesNotFit) {
  char out[3];
  EXPECT_TRUE(Latin1ToUtf8("\xE9", out, sizeof out));
  EXPECT_STREQ(out, "\xC3\xA9");
  EXPECT_FALSE(Latin1ToUtf8("a\xE9", out, sizeof out));
  EXPECT_STREQ(out, "");
  EXPECT_TRUE(Utf8ToLatin1("\xE6\x97\xA5z", out, sizeof out));
  EXPECT_STREQ(out, "?z");
  EXPECT_FALSE(Utf8ToLatin1("abc", out, sizeof out));
  EXPECT_STREQ(out, "");
  EXPECT_FALSE(Utf8ToLatin1("abc", out, 0));  // no room at all: nothing is written
}

}  // namespace

#endif
