#include "unicode/unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(UnicodeTest, ConversionsRoundTripEveryPlane) {
  const std::string texts[] = {
      "plain.txt", "Résumé.txt", "Мои документы", "表示\\表", "\xF0\x9F\x98\x80 smile", ""};
  for (const std::string& text : texts) {
    std::u16string wide;
    ASSERT_TRUE(unicode::ToUtf16(text, &wide)) << text;
    char16_t fixed[64];
    ASSERT_EQ(unicode::Utf8ToUtf16(text.data(), text.size(), fixed, 64),
              static_cast<ptrdiff_t>(wide.size()));
    EXPECT_EQ(std::u16string(fixed), wide);
    std::string back;
    ASSERT_TRUE(unicode::ToUtf8(wide, &back));
    EXPECT_EQ(back, text);
    char narrow[64];
    EXPECT_EQ(unicode::Utf16ToUtf8(wide.c_str(), 64, narrow, sizeof narrow), text.size());
    EXPECT_EQ(std::string(narrow), text);
  }
}

TEST(UnicodeTest, InvalidInputIsRefusedOrReplaced) {
  const std::string invalid[] = {"caf\xE9.txt", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                 "ab\xE6\x97"};
  for (const std::string& text : invalid) {
    char16_t fixed[16] = {u'x'};
    EXPECT_EQ(unicode::Utf8ToUtf16(text.data(), text.size(), fixed, 16), -1) << text;
    EXPECT_EQ(fixed[0], 0);
    EXPECT_FALSE(unicode::IsValidUtf8(text));
  }
  const char16_t lone[] = {u'a', 0xD800, u'b', 0};
  char narrow[16];
  bool whole = true;
  unicode::Utf16ToUtf8(lone, 16, narrow, sizeof narrow, &whole);
  EXPECT_EQ(std::string(narrow),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_FALSE(whole);
  std::string strict;
  EXPECT_FALSE(unicode::ToUtf8(std::u16string(lone), &strict));
}

TEST(UnicodeTest, TextThatDoesNotFitEndsBeforeAWholeCharacter) {
  const std::u16string wide = u"ab\u00E9\U0001F600";  // 2 + 2 + 4 bytes
  const size_t capacities[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const char* expected[] = {"",           "a",          "ab",
                            "ab",         "ab\xC3\xA9", "ab\xC3\xA9",
                            "ab\xC3\xA9", "ab\xC3\xA9", "ab\xC3\xA9\xF0\x9F\x98\x80"};
  for (size_t i = 0; i < 9; ++i) {
    char out[16];
    bool whole;
    unicode::Utf16ToUtf8(wide.c_str(), wide.size(), out, capacities[i], &whole);
    EXPECT_EQ(std::string(out), expected[i]) << capacities[i];
    EXPECT_EQ(whole, i == 8);
  }
  char cjk[7];
  bool whole = true;
  unicode::Utf16ToUtf8(u"\u8868\u8868", 2, cjk, 6, &whole);  // three bytes each
  EXPECT_EQ(std::string(cjk), "\xE8\xA1\xA8");
  EXPECT_FALSE(whole);
  unicode::Utf16ToUtf8(u"\u8868\u8868", 2, cjk, 7, &whole);
  EXPECT_EQ(std::string(cjk), "\xE8\xA1\xA8\xE8\xA1\xA8");
  EXPECT_TRUE(whole);
  char16_t units[3];
  EXPECT_EQ(unicode::Utf8ToUtf16("ab\xF0\x9F\x98\x80", 6, units, 3), -1);  // a pair is not cut
}

TEST(UnicodeTest, CaseFoldingCoversEveryScript) {
  EXPECT_TRUE(unicode::EqualCaseless(std::string("ÄÖÜ Readme.TXT"), "äöü readme.txt"));
  EXPECT_TRUE(unicode::EqualCaseless(std::string("МОИ ДОКУМЕНТЫ"), "Мои документы"));
  EXPECT_TRUE(unicode::EqualCaseless(std::string("ΣΟΦΟΣ"), "σοφος"));
  EXPECT_TRUE(unicode::EqualCaseless(std::string("ΣΟΦΟΣ"), "σοφοσ"));
  EXPECT_TRUE(unicode::EqualCaseless(u"ŁÓDŹ", u"łódź"));
  EXPECT_FALSE(unicode::EqualCaseless(std::string("a.txt"), "a.txt "));
  EXPECT_FALSE(unicode::EqualCaseless(std::string("caf\xE9"), "caf\xC3\xA9"));
  EXPECT_EQ(unicode::FoldKey(std::string("Readme.TXT")),
            unicode::FoldKey(std::string("README.txt")));
  EXPECT_EQ(unicode::FoldKey(u"Я\xD800"), std::u16string(u"я\xD800"));
}

TEST(UnicodeTest, WildcardsMatchCharactersNotBytes) {
  struct Case {
    const char* pattern;
    const char* name;
    bool caseless;
    bool matches;
  } cases[] = {
      {"*.txt", "Отчёт.txt", false, true},
      {"?????.txt", "Отчёт.txt", false, true},
      {"????.txt", "Отчёт.txt", false, false},
      {"x?.txt", "xł.txt", false, true},
      {"*.TXT", "a.txt", false, false},
      {"*.TXT", "a.txt", true, true},
      {"Я*", "янтарь", true, true},
      {"*a*b*c", "xxaxxbxxc", false, true},
      {"a*", "", false, false},
      {"*", "", false, true},
      {"?", "\xF0\x9F\x98\x80", false, true},
      {"?", "\xE9", false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(unicode::Match(c.pattern, c.name, c.caseless), c.matches)
        << c.pattern << " " << c.name;
    std::u16string pattern, name;
    if (unicode::ToUtf16(c.pattern, &pattern) && unicode::ToUtf16(c.name, &name)) {
      EXPECT_EQ(unicode::Match(pattern, name, c.caseless), c.matches) << c.pattern;
    }
  }
}

TEST(UnicodeTest, CharacterStartFindsTheLeadByte) {
  const std::string text = "aé表\xF0\x9F\x98\x80";  // a, 2 bytes, 3 bytes, 4 bytes
  const size_t starts[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6};
  for (size_t i = 0; i < text.size(); ++i)
    EXPECT_EQ(unicode::CharacterStart(text, i), starts[i]) << i;
  EXPECT_EQ(unicode::CharacterStart("\x80\x80", 1), 1u);  // stray bytes are their own
}

TEST(UnicodeTest, ColumnsCountWhatATerminalShows) {
  struct Case {
    const char* text;
    size_t columns;
  };
  const Case cases[] = {
      {"", 0},
      {"readme.txt", 10},
      {"Мои документы", 13},                        // Cyrillic: one column a letter, two bytes
      {"Ελληνικά", 8},                              // Greek
      {"予定表.txt", 10},                           // CJK ideographs take two
      {"ｶﾀｶﾅ", 4},                                  // halfwidth katakana take one
      {"ＡＢ", 4},                                  // fullwidth Latin takes two
      {"한국어", 6},                                // Hangul syllables
      {"\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB", 2},  // one syllable of conjoining jamo
      {"e\xCC\x81t\xCC\x88", 2},                    // combining accents take none
      {"\xE2\x80\x8B", 0},                          // zero-width space
      {"\xF0\x9F\x98\x80", 2},                      // an emoji shown as a picture
      {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", 4},      // an emoji and its skin tone, each a picture
      {"\xE2\x98\x85", 1},                          // a star of the symbol fonts: one column
      {"a\tb", 2},                                  // a control takes none
      {"caf\xE9", 4},                               // a byte that is no UTF-8 shows as one mark
  };
  for (const Case& c : cases) EXPECT_EQ(unicode::Columns(c.text), c.columns) << c.text;
}

}  // namespace
