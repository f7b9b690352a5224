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

// A Linux path is bytes: UTF-8 or not, a name passes through as it is, both ways.
TEST(PosixDrivePaths, NamesPassThroughAsTheirBytes) {
  const char* const names[] = {"caf\xC3\xA9",  "\xD0\x9C\xD0\xBE\xD0\xB8",
                               "\xE6\x97\xA5", "a\xF0\x9F\x98\x80",
                               "caf\xE9",      "\xC3",
                               "\xED\xA0\x80"};
  for (const char* name : names) {
    EXPECT_EQ(ToPosix(("Z:\\d\\" + std::string(name)).c_str()), "/d/" + std::string(name));
    EXPECT_EQ(ToPc(("/d/" + std::string(name)).c_str()), "Z:\\d\\" + std::string(name));
  }
}

TEST(PosixDrivePaths, ConversionThatDoesNotFitIsRefusedWithAnEmptyResult) {
  char out[8];
  EXPECT_TRUE(PcPathToPosix("Z:\\abcdef", out, sizeof out));  // "/abcdef" and NUL: 8
  EXPECT_STREQ(out, "/abcdef");
  EXPECT_FALSE(PcPathToPosix("Z:\\abcdefg", out, sizeof out));
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

TEST(PosixDrivePaths, LengthMatchesTheConversion) {
  const char* path = "/home/caf\xC3\xA9/\xE6\x97\xA5";
  const std::string pc = ToPc(path);
  EXPECT_EQ(pc, "Z:\\home\\caf\xC3\xA9\\\xE6\x97\xA5");
  EXPECT_EQ(PosixPathToPcLength(path), pc.size());
  EXPECT_EQ(PosixPathToPcLength("/"), 3u);

  char out[64];
  EXPECT_FALSE(PosixPathToPc(path, out, pc.size()));  // no room for the terminator
  EXPECT_STREQ(out, "");
  EXPECT_TRUE(PosixPathToPc(path, out, pc.size() + 1));
  EXPECT_EQ(std::string(out), pc);
}

}  // namespace

#endif
