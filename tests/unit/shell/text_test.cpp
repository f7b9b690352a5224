#include "text.h"

#include <gtest/gtest.h>

#include <sstream>

#include "host_services.h"
#include "module.h"

namespace merlo {
namespace {

TEST(NarrowText, Latin1RoundTripAndCharactersBeyondIt) {
  EXPECT_EQ(NarrowFromUser("Gr\xC3\xBC\xC3\x9F"), "Gr\xFC\xDF");
  EXPECT_EQ(UserFromNarrow("Gr\xFC\xDF"), "Gr\xC3\xBC\xC3\x9F");
  // The euro sign lies above U+00FF; a stray byte stays the byte it is.
  EXPECT_EQ(NarrowFromUser("5\xE2\x82\xAC"), "5?");
  EXPECT_EQ(NarrowFromUser("a\xFF"), "a\xFF");
  EXPECT_TRUE(HasNarrowForm("caf\xC3\xA9"));
  EXPECT_FALSE(HasNarrowForm("\xE2\x82\xAC"));
  // An overlong form of "/" is no character.
  EXPECT_EQ(NarrowFromUser("\xC0\xAF"), "\xC0\xAF");
}

TEST(NarrowText, PcPathsTakeTheDriveLetterForm) {
  EXPECT_EQ(ModulePcPath("/home/me"), "Z:\\home\\me");
  EXPECT_EQ(ModulePcPath("/"), "Z:\\");
  EXPECT_EQ(ModulePcPath("/tmp//x"), "Z:\\tmp\\x");
  EXPECT_EQ(ModulePcPath("/d\xC3\xA9j\xC3\xA0"), "Z:\\d\xE9j\xE0");
}

TEST(DevicePaths, SplitAndJoin) {
  EXPECT_EQ(SplitDevicePath("\\a\\\\b/c\\"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(DevicePathText({}), "\\");
  EXPECT_EQ(DevicePathText({"My Documents", "x"}), "\\My Documents\\x");
}

TEST(Wildcards, StarAndQuestionMark) {
  EXPECT_TRUE(WildcardMatch("*", ""));
  EXPECT_TRUE(WildcardMatch("*.txt", "read me.txt"));
  EXPECT_FALSE(WildcardMatch("*.txt", "notes.txt.bak"));
  EXPECT_TRUE(WildcardMatch("a?c", "abc"));
  EXPECT_FALSE(WildcardMatch("a?c", "ac"));
  EXPECT_TRUE(WildcardMatch("*a*b", "xxaybab"));
  EXPECT_FALSE(WildcardMatch("*a*b", "xxaybax"));
  EXPECT_TRUE(WildcardMatch("a**", "a"));
  EXPECT_FALSE(WildcardMatch("abc", "ab"));
}

TEST(Wildcards, CaseOnlyWhenAsked) {
  EXPECT_FALSE(WildcardMatch("*.TXT", "a.txt"));
  EXPECT_TRUE(WildcardMatch("*.TXT", "a.txt", false));
  // Latin-1 capitals fold too, but the multiplication sign is no letter.
  EXPECT_TRUE(WildcardMatch("\xDC*",
                            "\xFC"
                            "ber",
                            false));
  EXPECT_FALSE(WildcardMatch("\xD7", "\xF7", false));
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
  const char* items[] = {"Error", "Could not copy \\a\xFC.txt", "second line", "OK"};
  const size_t before = ShownBoxes().size();
  HostMessageBoxService(kModuleId, 3, nullptr, items, 4, 1);
  SetBoxStream(&std::cerr);

  ASSERT_EQ(ShownBoxes().size(), before + 1);
  const ShownBox& box = ShownBoxes().back();
  EXPECT_EQ(box.Flags, 3u);
  EXPECT_EQ(box.Title, "Error");
  EXPECT_EQ(box.Lines, (std::vector<std::string>{"Could not copy \\a\xFC.txt", "second line"}));
  const std::string drawn = screen.str();
  EXPECT_NE(drawn.find(" Error "), std::string::npos);
  EXPECT_NE(drawn.find("Could not copy \\a\xC3\xBC.txt"), std::string::npos);  // as UTF-8
  EXPECT_NE(drawn.find("[ OK ]"), std::string::npos);
  EXPECT_EQ(drawn.find("[ second line ]"), std::string::npos);
}

TEST(HostServices, BoxLinesShareOneWidth) {
  const std::string box = DrawBox("T", {"short", "a much longer line of text"}, {"OK"}, "Help");
  std::istringstream lines(box);
  std::string line;
  size_t width = 0;
  while (std::getline(lines, line)) {
    if (width == 0) width = line.size();
    EXPECT_EQ(line.size(), width) << line;
  }
  EXPECT_NE(box.find("help: Help"), std::string::npos);
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

TEST(Wildcards, CaseFoldsTheWholeLatin1Range) {
  for (int c = 0xC0; c <= 0xDE; ++c) {  // \xC0 to \xDE (Thorn), but for the multiplication sign
    if (c == 0xD7) continue;
    const std::string upper(1, static_cast<char>(c)), lower(1, static_cast<char>(c + 0x20));
    EXPECT_TRUE(WildcardMatch(upper, lower, false)) << c;
    EXPECT_TRUE(WildcardMatch("a" + lower + "*", "A" + upper + "z", false)) << c;
    EXPECT_FALSE(WildcardMatch(upper, lower)) << c;
  }
  EXPECT_FALSE(WildcardMatch("\xDF", "\xFF", false));  // sharp s, y with diaeresis
}

}  // namespace
}  // namespace merlo
