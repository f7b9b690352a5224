#include "text.h"

#include <gtest/gtest.h>

#include <sstream>

#include "host_services.h"
#include "module.h"

namespace merlo {
namespace {

#if !defined(_WIN32)
// User text and the module's narrow text are both UTF-8 here: nothing is
// converted, and what is no UTF-8 has no narrow form, never a "?".
TEST(NarrowText, Utf8PassesAndInvalidBytesAreRefusedByName) {
  for (const std::string text :
       {"Gr\xC3\xBC\xC3\x9F", "5\xE2\x82\xAC", "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt",
        "\xF0\x9F\x98\x80", "x\xC5\x82.txt"}) {
    EXPECT_EQ(NarrowFromUser(text), text);
    EXPECT_EQ(UserFromNarrow(text), text);
    EXPECT_TRUE(HasNarrowForm(text)) << text;
    EXPECT_EQ(NarrowFormProblem(text), "");
  }
  // A Latin-1 byte, an overlong "/", an encoded surrogate, a cut character.
  for (const std::string text : {"caf\xE9.txt", "\xC0\xAF", "\xED\xA0\x80", "\xE6\x97"}) {
    EXPECT_FALSE(HasNarrowForm(text)) << text;
    EXPECT_NE(NarrowFormProblem(text).find("UTF-8"), std::string::npos);
  }
  // U+FFFD stands for what could not be converted: the module takes it for no name.
  EXPECT_FALSE(HasNarrowForm("u\xEF\xBF\xBD.txt"));
  EXPECT_NE(NarrowFormProblem("u\xEF\xBF\xBD.txt").find("U+FFFD"), std::string::npos);
  EXPECT_EQ(Printable("caf\xE9 \xC3\xA9.txt"), "caf\\xE9 \xC3\xA9.txt");
  EXPECT_TRUE(HasReplacement("a\xEF\xBF\xBD.txt"));
  EXPECT_FALSE(HasReplacement("a?.txt"));
}
#endif

TEST(NarrowText, PcPathsTakeTheDriveLetterForm) {
  EXPECT_EQ(ModulePcPath("/home/me"), "Z:\\home\\me");
  EXPECT_EQ(ModulePcPath("/"), "Z:\\");
  EXPECT_EQ(ModulePcPath("/tmp//x"), "Z:\\tmp\\x");
  EXPECT_EQ(ModulePcPath("/d\xC3\xA9j\xC3\xA0"), "Z:\\d\xC3\xA9j\xC3\xA0");
}

TEST(DevicePaths, SplitAndJoin) {
  EXPECT_EQ(SplitDevicePath("\\a\\\\b/c\\"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(DevicePathText({}), "\\");
  EXPECT_EQ(DevicePathText({"My Documents", "x"}), "\\My Documents\\x");
}

// Device names compare as the device does, without regard to case by Unicode's
// simple folding; PC names as the PC's file system does. "?" is one character.
TEST(Names, DeviceNamesIgnoreCasePcNamesAsTheFileSystem) {
  const struct {
    const char* A;
    const char* B;
    bool Device;
    bool Pc;
  } cases[] = {
      {"readme.txt", "Readme.TXT", true, false},
      {"\xD0\x9C\xD0\xBE\xD0\xB8", "\xD0\xBC\xD0\x9E\xD0\x98", true, false},  // Мои, мОИ
      {"\xCE\xA3\xCE\xBF", "\xCF\x82\xCE\xBF", true, false},                  // Σο, ςο
      {"\xC3\x84", "\xC3\xA4", true, false},                                  // Ä, ä
      {"\xC3\x97", "\xC3\xB7", false, false},                                 // × is no letter
      {"a.txt", "a.txt", true, true},
      {"a.txt", "a.txt ", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SameDeviceName(c.A, c.B), c.Device) << c.A << " " << c.B;
    EXPECT_EQ(DeviceNameKey(c.A) == DeviceNameKey(c.B), c.Device) << c.A << " " << c.B;
#if !defined(_WIN32)
    EXPECT_EQ(PcNameKey(c.A) == PcNameKey(c.B), c.Pc) << c.A << " " << c.B;
#endif
  }
}

TEST(Names, WildcardsMatchCharacters) {
  EXPECT_TRUE(MatchDeviceName("*.TXT", "a.txt"));
  EXPECT_TRUE(MatchDeviceName("x?.txt", "x\xC5\x82.txt"));  // ł is one character
  EXPECT_FALSE(MatchDeviceName("x??.txt", "x\xC5\x82.txt"));
  EXPECT_TRUE(MatchDeviceName("\xD0\xBC\xD0\xBE\xD0\xB8*", "\xD0\x9C\xD0\xBE\xD0\xB8 x"));
  EXPECT_TRUE(MatchDeviceName("*\xF0\x9F\x98\x80", "a\xF0\x9F\x98\x80"));
  EXPECT_FALSE(MatchDeviceName("a\xEF\xBF\xBD", "ab"));  // U+FFFD is no wildcard
#if !defined(_WIN32)
  EXPECT_FALSE(MatchPcName("*.TXT", "a.txt"));
  EXPECT_TRUE(MatchPcName("?\xC3\xA9*", "R\xC3\xA9sum\xC3\xA9"));
#endif
}

TEST(Dates, FileTimesAreShownInLocalTime) {
  EXPECT_EQ(FormatFileTime(0, 0), "");
  // 1970-01-01 00:00:00 UTC is 116444736000000000 in file-time units.
  const uint64_t epoch = 116444736000000000ULL;
  EXPECT_EQ(FormatFileTime(static_cast<uint32_t>(epoch), static_cast<uint32_t>(epoch >> 32)),
            FormatLocalTime(0));
  const uint64_t later = epoch + 1700000000ULL * 10000000ULL;
  EXPECT_EQ(FormatFileTime(static_cast<uint32_t>(later), static_cast<uint32_t>(later >> 32)),
            FormatLocalTime(1700000000));
  EXPECT_EQ(FormatLocalTime(1700000000).size(), 16u);
}

// Totals are 64-bit also where size_t is 32-bit (merlo.exe for 32-bit Windows).
TEST(Counts, TotalsPastFourGiBStayWhole) {
  EXPECT_EQ(CountOf(5000000000ULL, "byte", "bytes"), "5000000000 bytes");
  EXPECT_EQ(CountOf(1, "file", "files"), "1 file");
  EXPECT_EQ(HumanBytes(6ULL << 30), "6.0 GiB");
}

TEST(CommandLines, QuotesGroupBackslashesStayAndSemicolonsSeparate) {
  using Commands = std::vector<std::vector<std::string>>;
  EXPECT_EQ(*SplitCommands("  cd \"My Documents\"  "), (Commands{{"cd", "My Documents"}}));
  EXPECT_EQ(*SplitCommands("cp a\\b 'x y'z \\backup"),
            (Commands{{"cp", "a\\b", "x yz", "\\backup"}}));
  EXPECT_EQ(*SplitCommands("rm \"\""), (Commands{{"rm", ""}}));
  EXPECT_EQ(*SplitCommands("cd Temp;ls ';' ;; pwd"),
            (Commands{{"cd", "Temp"}, {"ls", ";"}, {"pwd"}}));
  EXPECT_TRUE(SplitCommands("")->empty());
  EXPECT_FALSE(SplitCommands("cd \"My Documents").has_value());
}

TEST(LanguageFile, TextsInOrderAfterTheLanguageLine) {
  std::istringstream file(
      "\xEF\xBB\xBF.Language=English,English\r\n\"OK\"\r\n\r\n\"Could not copy %s\"\r\n"
      "\"say \"hi\"\"\n");
  std::vector<std::string> texts;
  std::string error;
  ASSERT_TRUE(ParseLanguageFile(file, &texts, &error)) << error;
  EXPECT_EQ(texts, (std::vector<std::string>{"OK", "Could not copy %s", "say \"hi\""}));

  std::istringstream noHeader("\"OK\"\n");
  EXPECT_FALSE(ParseLanguageFile(noHeader, &texts, &error));
  EXPECT_NE(error.find(".Language"), std::string::npos);
}

TEST(HostServices, UnknownIdsGiveTheEmptyText) {
  const char* text = HostTextService(kModuleId, 100000);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "");
  EXPECT_STREQ(HostTextService(kModuleId, -1), "");
}

TEST(HostServices, MessageBoxSplitsTitleTextAndButtons) {
  std::ostringstream screen;
  SetBoxStream(&screen);
  const char* items[] = {"Error", "Could not copy \\a\xC3\xBC.txt", "second line", "OK"};
  const size_t before = ShownBoxes().size();
  HostMessageBoxService(kModuleId, 3, nullptr, items, 4, 1);
  SetBoxStream(&std::cerr);

  ASSERT_EQ(ShownBoxes().size(), before + 1);
  const ShownBox& box = ShownBoxes().back();
  EXPECT_EQ(box.Flags, 3u);
  EXPECT_EQ(box.Title, "Error");
  EXPECT_EQ(box.Lines, (std::vector<std::string>{"Could not copy \\a\xC3\xBC.txt", "second line"}));
  const std::string drawn = screen.str();
  EXPECT_NE(drawn.find(" Error "), std::string::npos);
  EXPECT_NE(drawn.find("Could not copy \\a\xC3\xBC.txt"), std::string::npos);
  EXPECT_NE(drawn.find("[ OK ]"), std::string::npos);
  EXPECT_EQ(drawn.find("[ second line ]"), std::string::npos);
}

TEST(HostServices, BoxLinesShareOneWidthOnTheScreen) {
  const std::vector<std::vector<std::string>> texts = {
      {"short", "a much longer line of text"},
      {"Could not copy локальный.txt", "short"},
      {"Could not copy 予定表.txt", "x"},
      {"Could not copy e\xCC\x81t\xCC\x88\xC3\xA9.txt to a rather long folder name"},
  };
  for (const auto& text : texts) {
    const std::string box = DrawBox("Ошибка", text, {"OK"}, "Help");
    std::istringstream lines(box);
    std::string line;
    size_t width = 0;
    while (std::getline(lines, line)) {
      if (width == 0) width = ShownWidth(line);
      EXPECT_EQ(ShownWidth(line), width) << box;
      EXPECT_TRUE(line.back() == '+' || line.back() == '|') << box;
    }
    EXPECT_NE(box.find("help: Help"), std::string::npos);
  }
}

TEST(ModuleLoading, MissingLibraryAndMissingEntryPointsAreNamed) {
  ModuleLibrary library;
  std::string error;
  EXPECT_FALSE(library.Load("/nonexistent/MERLO.so", &error));
  EXPECT_NE(error.find("/nonexistent/MERLO.so"), std::string::npos);

  ASSERT_TRUE(library.Load("libm.so.6", &error)) << error;
  EntryPoints entries;
  EXPECT_FALSE(library.Resolve(&entries, &error));
  EXPECT_NE(error.find("SetStartupInfo"), std::string::npos);
  EXPECT_NE(error.find("ExitFAR"), std::string::npos);
  EXPECT_EQ(entries.SetStartupInfo, nullptr);
}

}  // namespace
}  // namespace merlo
