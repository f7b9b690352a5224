// MERLO.dll in the code pages of three Windows systems: Western (1252, OEM
// 437), Russian (1251, OEM 866) and Japanese (932). CTest runs this program
// once per code page, under Wine with the matching Unix locale, and names the
// code page it asked for in MERLO_CODE_PAGE; the cases that apply follow from it.
//
// The expected narrow names are written as the code page's own bytes. The
// emulated device keeps names through the wide file calls, so device names
// here are exact UTF-16.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "../integration/module_host.h"
#include "../unit/seam_fakes.h"
#include "host/entry_points.h"

#define LocalHandle WinBase_LocalHandle
#include <windows.h>
#undef LocalHandle

namespace merlo_test {
namespace {

struct CodePageCase {
  UINT ansi;
  UINT oem;
  // "Мои документы" and "Отчёт.txt" in the ANSI code page; null where it cannot hold them.
  const char* documents;
  const char* report;
  // A name shown in the OEM code page after SetFileApisToOEM, and its bytes there.
  const wchar_t* oemWide;
  const char* oemNarrow;
  // A name the code page cannot hold, and how it shows; null in UTF-8.
  const wchar_t* foreignWide;
  const char* foreignShown;
  // 表 and 表示 where the code page holds them, in more than one byte each.
  const char* table;
  const char* tableShow;
  // "€uro.txt" where the code page holds it.
  const char* euro;
};

// Code page 65001 is UTF-8, in a process that declares it in its manifest.
const CodePageCase kCases[] = {
    {1252, 437, nullptr, nullptr, L"caf\u00e9.txt", "caf\x82.txt",
     L"\u041e\u0442\u0447\u0451\u0442.txt", "?????.txt", nullptr, nullptr, "\x80uro.txt"},
    {1251, 866, "\xCC\xEE\xE8 \xE4\xEE\xEA\xF3\xEC\xE5\xED\xF2\xFB",
     "\xCE\xF2\xF7\xB8\xF2"
     ".txt",
     L"\u041e\u0442\u0447\u0451\u0442.txt",
     "\x8E\xE2\xE7\xF1\xE2"
     ".txt",
     L"\u8868.txt", "?.txt", nullptr, nullptr, nullptr},
    {932, 932,
     "\x84\x4D\x84\x80\x84\x79\x20\x84\x74\x84\x80\x84\x7B\x84\x85\x84\x7D\x84\x75\x84\x7E\x84"
     "\x84\x84\x8D",
     "\x84\x4F\x84\x84\x84\x89\x84\x76\x84\x84"
     ".txt",
     L"\u8868.txt", "\x95\x5C.txt", L"\uD55C.txt", "?.txt", "\x95\x5C", "\x95\x5C\x8E\xA6",
     nullptr},
    {65001, 65001,
     "\xD0\x9C\xD0\xBE\xD0\xB8 "
     "\xD0\xB4\xD0\xBE\xD0\xBA\xD1\x83\xD0\xBC\xD0\xB5\xD0\xBD\xD1\x82\xD1\x8B",
     "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt", L"\u8868.txt", "\xE8\xA1\xA8.txt", nullptr,
     nullptr, "\xE8\xA1\xA8", "\xE8\xA1\xA8\xE7\xA4\xBA", "\xE2\x82\xACuro.txt"},
};

const wchar_t* const kDocuments =
    L"\u041c\u043e\u0438 \u0434\u043e\u043a\u0443\u043c\u0435\u043d\u0442\u044b";
const wchar_t* const kReport = L"\u041e\u0442\u0447\u0451\u0442.txt";
const wchar_t* const kTable = L"\u8868";            // 表: 0x95 0x5C in code page 932
const wchar_t* const kTableShow = L"\u8868\u793a";  // 表示

UINT AskedCodePage() {
  const char* text = std::getenv("MERLO_CODE_PAGE");
  return text != nullptr ? static_cast<UINT>(std::strtoul(text, nullptr, 10)) : 0;
}

const CodePageCase* Current() {
  for (const CodePageCase& c : kCases) {
    if (c.ansi == AskedCodePage()) return &c;
  }
  return nullptr;
}

// A PC path as the module's narrow text: the code page of the file calls.
std::string Narrow(const fs::path& path) {
  const std::wstring wide = fs::absolute(path).wstring();
  const UINT codePage = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  const int size = WideCharToMultiByte(codePage, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size > 0 ? size : 1), '\0');
  WideCharToMultiByte(codePage, 0, wide.c_str(), -1, &narrow[0], size, nullptr, nullptr);
  narrow.resize(std::strlen(narrow.c_str()));
  return narrow;
}

std::vector<std::string> Names(const std::vector<PanelItem>& items) {
  std::vector<std::string> names;
  for (const PanelItem& item : items) names.push_back(ItemName(item));
  return names;
}

bool Listed(const std::vector<PanelItem>& items, const std::string& name) {
  for (const PanelItem& item : items) {
    if (ItemName(item) == name) return true;
  }
  return false;
}

// Files in a folder, by their exact wide names.
std::vector<std::wstring> Entries(const fs::path& folder) {
  std::vector<std::wstring> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().wstring());
  }
  return names;
}

class CodePageTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    page_ = Current();
    ASSERT_NE(nullptr, page_) << "MERLO_CODE_PAGE names no code page of these tests";
  }
  void TearDown() override {
    SetFileApisToANSI();
    ModuleTest::TearDown();
  }
  const CodePageCase& page() const { return *page_; }

 private:
  const CodePageCase* page_ = nullptr;
};

TEST_F(CodePageTest, TheProcessRunsInTheCodePageAskedFor) {
  EXPECT_EQ(page().ansi, GetACP());
  EXPECT_EQ(page().oem, GetOEMCP());
}

TEST_F(CodePageTest, ACyrillicFolderIsListedEnteredAndLeft) {
  if (page().documents == nullptr) GTEST_SKIP() << "the code page holds no Cyrillic";
  fs::create_directories(device() / kDocuments);
  WriteFile(device() / kDocuments / L"a.txt", "a");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  EXPECT_EQ(std::vector<std::string>{page().documents}, Names(panel.List()));
  ASSERT_EQ(1, panel.Cd(page().documents));
  EXPECT_EQ((std::vector<std::string>{"a.txt", ".."}), Names(panel.List()));
  ASSERT_EQ(1, panel.Cd(".."));
  EXPECT_EQ(std::vector<std::string>{page().documents}, Names(panel.List()));
  EXPECT_TRUE(Boxes().empty());
}

// Down and up again, and a file of the PC's own made on the device: the same
// bytes and the exact name on the other side.
TEST_F(CodePageTest, ACyrillicFileNameMakesTheRoundTripBothWays) {
  if (page().report == nullptr) GTEST_SKIP() << "the code page holds no Cyrillic";
  const std::string bytes = Pattern(5000, 7);
  WriteFile(device() / kReport, bytes);
  fs::create_directories(device() / L"back");
  fs::create_directories(pc() / L"out");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = panel.Select({page().report});
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(1, panel.Get(items, false, Narrow(pc() / L"out")));
  EXPECT_EQ(std::vector<std::wstring>{kReport}, Entries(pc() / L"out"));
  EXPECT_EQ(bytes, ReadFile(pc() / L"out" / kReport));

  ASSERT_EQ(1, panel.Cd("back"));
  items[0].ItemFlags |= kItemSelected;
  EXPECT_EQ(1, panel.Put(items, true, pc() / L"out"));
  EXPECT_EQ(std::vector<std::wstring>{kReport}, Entries(device() / L"back"));
  EXPECT_EQ(bytes, ReadFile(device() / L"back" / kReport));
  EXPECT_TRUE(fs::is_empty(pc() / L"out"));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(CodePageTest, ADoubleByteFolderIsEnteredListedLeftAndCopiedInto) {
  if (page().table == nullptr) GTEST_SKIP() << "the code page holds no Japanese";
  fs::create_directories(device() / kTable / kTableShow);
  WriteFile(device() / kTable / kTableShow / L"x.txt", "x");
  WriteFile(pc() / L"y.txt", "y");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  ASSERT_EQ(1, panel.Cd(page().table));
  EXPECT_EQ((std::vector<std::string>{page().tableShow, ".."}), Names(panel.List()));
  ASSERT_EQ(1, panel.Cd(page().tableShow));
  EXPECT_EQ((std::vector<std::string>{"x.txt", ".."}), Names(panel.List()));

  // Within the device into \表, whose last byte is 0x5C, and to a PC folder 表.
  std::vector<PanelItem> items = panel.Select({"x.txt"});
  EXPECT_EQ(1, panel.Get(items, false, std::string("\\") + page().table));
  fs::create_directories(pc() / kTable);
  items = panel.Select({"x.txt"});
  EXPECT_EQ(1, panel.Get(items, false, Narrow(pc() / kTable)));
  EXPECT_EQ("x", ReadFile(device() / kTable / L"x.txt"));
  EXPECT_EQ("x", ReadFile(pc() / kTable / L"x.txt"));

  ASSERT_EQ(1, panel.Cd(".."));
  EXPECT_TRUE(Listed(panel.List(), "x.txt"));
  std::vector<PanelItem> up = {PcItem("y.txt")};
  EXPECT_EQ(1, panel.Put(up, false, pc()));
  EXPECT_EQ("y", ReadFile(device() / kTable / L"y.txt"));
  ASSERT_EQ(1, panel.Cd(".."));
  EXPECT_EQ(std::vector<std::string>{page().table}, Names(panel.List()));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(CodePageTest, ANameTheCodePageCannotHoldShowsAQuestionMarkAndIsNotCopied) {
  if (page().foreignWide == nullptr) GTEST_SKIP() << "UTF-8 holds every name";
  WriteFile(device() / page().foreignWide, "foreign");
  fs::create_directories(device() / L"other");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = panel.Select({page().foreignShown});
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(1, panel.Get(items, true, Narrow(pc())));
  ExpectOperationBox(CopyFailedText(std::string("\\") + page().foreignShown));
  ClearBoxes();
  EXPECT_EQ(1, panel.Get(items, true, "\\other"));
  ExpectOperationBox(CopyFailedText(std::string("\\") + page().foreignShown));
  EXPECT_TRUE(fs::is_empty(pc()));
  EXPECT_TRUE(fs::is_empty(device() / L"other"));
  EXPECT_EQ("foreign", ReadFile(device() / page().foreignWide));
  EXPECT_NE(0u, items[0].ItemFlags & kItemSelected);
}

TEST_F(CodePageTest, AfterSetFileApisToOemNamesAreInTheOemCodePage) {
  WriteFile(device() / page().oemWide, "oem");
  SetFileApisToOEM();
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = panel.Select({page().oemNarrow});
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(1, panel.Get(items, false, Narrow(pc())));
  EXPECT_EQ(std::vector<std::wstring>{page().oemWide}, Entries(pc()));
  EXPECT_TRUE(Boxes().empty());
}

// 130 characters of two (or three) bytes each: 129 (or 86) fit before the NUL.
// A Linux file name holds at most 255 bytes of UTF-8, so such a name cannot
// be made on the emulated device under Wine: the module's listing meets it
// here from the recording fake of the device library, in this code page.
TEST(CodePageEdge, ADoubleByteNameAtTheEdgeOfTheFieldIsNotSplit) {
  const CodePageCase* page = Current();
  ASSERT_NE(nullptr, page);
  if (page->table == nullptr) GTEST_SKIP() << "the code page holds no Japanese";
  FakeWorld w;
  w.Records = {MakeRecord(std::u16string(130, u'\u8868'))};
  PanelHandle panel = OpenPlugin(0, 0);
  ASSERT_NE(MERLO_NO_PANEL, panel);
  PanelItem* items = nullptr;
  int32_t count = 0;
  ASSERT_EQ(1, GetFindData(panel, &items, &count, 0));
  ASSERT_EQ(1, count);
  std::string expected;
  while (expected.size() + std::strlen(page->table) < 260) expected += page->table;
  EXPECT_EQ(expected, ItemName(items[0]));
  FreeFindData(panel, items, count);
  ClosePlugin(panel);
}

// Where the process's code page is UTF-8: U+FFFD stands for a device name's
// unpaired surrogate, which no narrow text can carry back, so a narrow name
// holding it is refused on the way to the device, never sent as another name;
// and a name cut for its field ends before a surrogate pair, never in U+FFFD.
TEST(CodePageEdge, InUtf8NoNameReachesTheDeviceThroughUFFFD) {
  const CodePageCase* page = Current();
  ASSERT_NE(nullptr, page);
  if (page->ansi != CP_UTF8) GTEST_SKIP() << "only UTF-8 makes U+FFFD of a device name";
  FakeWorld w;
  // 65 characters outside the BMP, 4 bytes each: 64 fit before the NUL, with
  // room for the 3 bytes of a U+FFFD that half a pair would make.
  std::u16string emoji;
  for (int i = 0; i < 65; ++i) emoji += u"\U0001F600";
  w.Records = {MakeRecord(emoji), MakeRecord(u"x\xD800.txt")};
  w.DeviceFiles["\\x\xEF\xBF\xBD.txt"] = "not this one";
  PanelHandle panel = OpenPlugin(0, 0);
  ASSERT_NE(MERLO_NO_PANEL, panel);
  PanelItem* items = nullptr;
  int32_t count = 0;
  ASSERT_EQ(1, GetFindData(panel, &items, &count, 0));
  ASSERT_EQ(2, count);
  std::string cut;
  for (int i = 0; i < 64; ++i) cut += "\xF0\x9F\x98\x80";
  EXPECT_EQ(cut, ItemName(items[0]));
  EXPECT_EQ("x\xEF\xBF\xBD.txt", ItemName(items[1]));
  items[1].ItemFlags |= kItemSelected;
  w.Calls.clear();
  EXPECT_EQ(1, GetFiles(panel, &items[1], 1, 0, "C:\\", 0));
  EXPECT_TRUE(w.CallsOf("CeCreateFile").empty()) << w.Calls.front();
  EXPECT_TRUE(w.PcFiles.empty());
  EXPECT_EQ(1u, w.Boxes.size());
  FreeFindData(panel, items, count);
  ClosePlugin(panel);
}

TEST_F(CodePageTest, TheEuroSignMakesTheRoundTrip) {
  if (page().euro == nullptr) GTEST_SKIP() << "the code page holds no euro sign";
  WriteFile(device() / L"\u20acuro.txt", "euro");
  fs::create_directories(device() / L"back");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = panel.Select({page().euro});
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(1, panel.Get(items, false, Narrow(pc())));
  EXPECT_EQ(std::vector<std::wstring>{L"\u20acuro.txt"}, Entries(pc()));
  ASSERT_EQ(1, panel.Cd("back"));
  items[0].ItemFlags |= kItemSelected;
  EXPECT_EQ(1, panel.Put(items, false, pc()));
  EXPECT_EQ("euro", ReadFile(device() / L"back" / L"\u20acuro.txt"));
  EXPECT_TRUE(Boxes().empty());
}

}  // namespace
}  // namespace merlo_test
