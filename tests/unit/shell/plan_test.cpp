// The pure logic under get, put, cp, mv, rm and Tab: the check of a whole
// plan before its first copy, the common start of completions, and the line
// editor's wide characters.
#include <gtest/gtest.h>

#include <cstring>

#include "completion.h"
#include "line_editor.h"
#include "text.h"
#include "transfers.h"

namespace merlo {
namespace {

// A job as "FOLDER\NAME" (device sources) or "/pc/folder/NAME" (put). The
// cases that merlo's own tests show (two folders' x.txt, rm and mv of one
// entry twice) are not repeated here.
FileJob Job(TransferKind kind, const std::string& path) {
  FileJob job;
  std::memset(&job.Item, 0, sizeof job.Item);
  const size_t cut = path.find_last_of(kind == TransferKind::Put ? "/" : "\\");
  const std::string name = path.substr(cut + 1);
  std::memcpy(job.Item.Name, name.c_str(), name.size() + 1);
  if (kind == TransferKind::Put) {
    job.Local = path.substr(0, cut);
  } else {
    job.Folder = SplitDevicePath(path.substr(0, cut));
    job.Local = "/pc";
  }
  job.Shown = path;
  return job;
}

struct PlanCase {
  const char* Label;
  TransferKind Kind;
  std::vector<std::string> Sources;
  bool Ok;
  std::vector<std::string> Kept;  // when it passes: the names kept, in order
  std::vector<std::string> Said;  // when it fails: what the message names
};

void PrintTo(const PlanCase& c, std::ostream* out) { *out << c.Label; }

class PlanTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanTest, OneSourcePerDestinationAndEachEntryOnce) {
  const PlanCase& c = GetParam();
#if defined(_WIN32)
  if (std::string(c.Label) == "GetCase") GTEST_SKIP() << "one name on a Windows PC";
#endif
  TransferPlan plan;
  plan.Kind = c.Kind;
  plan.Target = {"backup"};
  for (const auto& source : c.Sources) plan.Jobs.push_back(Job(c.Kind, source));
  const size_t before = plan.Jobs.size();
  std::string error;
  ASSERT_EQ(CheckPlan(&plan, &error), c.Ok) << error;
  if (!c.Ok) {
    EXPECT_EQ(plan.Jobs.size(), before);
    for (const auto& said : c.Said) EXPECT_NE(error.find(said), std::string::npos) << error;
    return;
  }
  std::vector<std::string> kept;
  for (const auto& job : plan.Jobs) kept.push_back(job.Shown);
  EXPECT_EQ(kept, c.Kept);
}

INSTANTIATE_TEST_SUITE_P(
    Plans, PlanTest,
    ::testing::Values(PlanCase{"GetTwice",
                               TransferKind::Get,
                               {"\\a\\x.txt", "\\a\\y.TXT", "\\a\\x.txt", "\\A\\Y.txt"},
                               true,
                               {"\\a\\x.txt", "\\a\\y.TXT"},
                               {}},
                      PlanCase{"GetCase",
                               TransferKind::Get,
                               {"\\a\\x.txt", "\\b\\X.txt"},
                               true,
                               {"\\a\\x.txt", "\\b\\X.txt"},
                               {}},
                      PlanCase{"PutCase",
                               TransferKind::Put,
                               {"/one/readme.txt", "/one/README.TXT"},
                               false,
                               {},
                               {"/one/readme.txt", "/one/README.TXT"}},
                      PlanCase{"PutCyrillicCase",
                               TransferKind::Put,
                               {"/one/\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt",
                                "/two/\xD0\xBE\xD0\xA2\xD0\xA7\xD0\x81\xD1\x82.txt"},
                               false,
                               {},
                               {"/two/"}},
                      PlanCase{"Unconvertible",
                               TransferKind::Remove,
                               {"\\a\\ok.txt", "\\a\\x\xEF\xBF\xBD.txt"},
                               false,
                               {},
                               {"x\xEF\xBF\xBD.txt", "U+FFFD", "nothing was deleted"}},
                      PlanCase{"UnconvertibleFolder",
                               TransferKind::Get,
                               {"\\\xEF\xBF\xBD\\x.txt"},
                               false,
                               {},
                               {"U+FFFD", "nothing was copied"}}),
    [](const ::testing::TestParamInfo<PlanCase>& info) { return std::string(info.param.Label); });

TEST(Completion, TheCommonStartEndsBetweenCharacters) {
  const struct {
    std::vector<std::string> Names;
    bool Caseless;
    std::string Common;
  } cases[] = {
      // é and è share their first byte.
      {{"\xC3\xA9"
        "1.txt",
        "\xC3\xA8"
        "2.txt"},
       true,
       ""},
      {{"x\xC3\xA9"
        "1.txt",
        "x\xC3\xA8"
        "2.txt"},
       false,
       "x"},
      {{"\xC3\x89t\xC3\xA9 photos", "\xC3\xA9t\xC3\xA9.txt"}, true, "\xC3\x89t\xC3\xA9"},
      {{"\xC3\x89t\xC3\xA9 photos", "\xC3\xA9t\xC3\xA9.txt"}, false, ""},
      // K and the Kelvin sign fold alike but differ in length.
      {{"\xE2\x84\xAA"
        "a1",
        "ka2"},
       true,
       "\xE2\x84\xAA"
       "a"},
      {{"\xF0\x9F\x98\x80"
        "a",
        "\xF0\x9F\x98\x81"
        "b"},
       false,
       ""},
      {{"R\xC3\xA9sum\xC3\xA9.txt"}, false, "R\xC3\xA9sum\xC3\xA9.txt"},
  };
  for (const auto& c : cases) EXPECT_EQ(CommonPrefix(c.Names, c.Caseless), c.Common) << c.Names[0];
}

#if !defined(_WIN32)
// What Tab does to the line, the same at a POSIX terminal and a Windows
// console: the word before the cursor is replaced, what follows stays.
TEST(Completion, TabReplacesTheWordBeforeTheCursor) {
  struct Case {
    const char* Line;
    size_t Cursor;
    Completion Given;
    bool Changed;
    const char* After;
    size_t CursorAfter;
  };
  const Case cases[] = {
      {"get Do",
       6,
       {4, "\"Documents and Settings\\\"", {}},
       true,
       "get \"Documents and Settings\\\"",
       29},
      {"get Do x:", 6, {4, "Docs\\", {}}, true, "get Docs\\ x:", 9},
      {"cd R\xC3\xA9",
       6,
       {3, "R\xC3\xA9sum\xC3\xA9s\\", {}},
       true,
       "cd R\xC3\xA9sum\xC3\xA9s\\",
       13},
      // Nothing to add: the same text, or a completion for a word elsewhere.
      {"ls ab", 5, {3, "ab", {}}, false, "ls ab", 5},
      {"ls ab", 5, {6, "abc", {}}, false, "ls ab", 5},
      {"ls a", 4, {3, "a", {"ab", "ac"}}, false, "ls a", 4},
  };
  for (const auto& c : cases) {
    const TabResult tab = ApplyCompletion(c.Line, c.Cursor, c.Given);
    EXPECT_EQ(tab.Changed, c.Changed) << c.Line;
    EXPECT_EQ(tab.Line, c.After) << c.Line;
    EXPECT_EQ(tab.Cursor, c.CursorAfter) << c.Line;
    EXPECT_EQ(tab.Choices, c.Given.Choices) << c.Line;
  }
}

TEST(Completion, ChoicesFillColumnsAsWideAsTheWidestShows) {
  EXPECT_EQ(ChoiceColumns({"ab", "abcd", "x"}, 20), "ab    abcd  x\n");
  EXPECT_EQ(ChoiceColumns({"ab", "abcd", "x"}, 12), "ab    abcd\nx\n");
  EXPECT_EQ(ChoiceColumns({"abcdefgh", "b"}, 4), "abcdefgh\nb\n");
  EXPECT_EQ(ChoiceColumns({}, 80), "");
  // Columns on the screen, not bytes or characters: 表示 is as wide as abcd.
  EXPECT_EQ(ChoiceColumns({"表示", "abcd", "Дом"}, 20), "表示  abcd  Дом\n");
}

TEST(LineEditorText, BytesThatAreNoUtf8SurviveTheWideLine) {
  for (const std::string& text :
       {std::string("ls R\xC3\xA9sum\xC3\xA9.txt"), std::string("put caf\xE9.txt \xF0\x9F\x98\x80"),
        std::string("\xE6\x97")}) {
    const std::wstring wide = WideFromUserText(text);
    EXPECT_EQ(UserTextFromWide(wide.data(), wide.data() + wide.size()), text);
  }
  EXPECT_EQ(WideFromUserText("R\xC3\xA9").size(), 2u);
  EXPECT_EQ(WideFromUserText("caf\xE9")[3], static_cast<wchar_t>(kRawByteBase + 0xE9));
}
#endif

}  // namespace
}  // namespace merlo
