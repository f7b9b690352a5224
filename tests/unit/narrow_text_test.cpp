// Narrow text by characters: a double-byte code page (a fake of 932 in the
// text seam), and on Linux UTF-8 names that cannot name a device file.
#include <gtest/gtest.h>

#include <cstring>

#include "host/entry_points.h"
#include "host/messages.h"
#include "panel/device_panel.h"
#include "platform/text.h"
#include "seam_fakes.h"
#include "transfer/transfer_items.h"

namespace {

using Strings = std::vector<std::string>;

// Code page 932's lead bytes; 表 is 0x95 0x5C, 示 is 0x8E 0xA6.
bool IsLead(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || byte >= 0xE0; }

size_t FakeCharacterLength(const char* text) {
  return IsLead(static_cast<unsigned char>(text[0])) && text[1] != '\0' ? 2 : 1;
}

// Bytes as units and back, so the fakes' records show the very bytes.
bool FakeToDevice(const char* text, DeviceChar* destination, size_t capacity) {
  for (size_t i = 0; i < capacity; ++i) {
    destination[i] = static_cast<unsigned char>(text[i]);
    if (text[i] == '\0') return true;
  }
  destination[0] = 0;
  return false;
}

void FakeFromDevice(const DeviceChar* text, size_t sourceCapacity, char* destination,
                    size_t destinationCapacity) {
  size_t i = 0;
  for (; i < sourceCapacity && i + 1 < destinationCapacity && text[i] != 0; ++i) {
    destination[i] = static_cast<char>(text[i]);
  }
  destination[i] = '\0';
}

const std::string kTable = "\x95\x5C";  // 表
const std::string kShow = "\x8E\xA6";   // 示

// True when the text splits no double-byte character at its end.
bool EndsWhole(const std::string& text) {
  size_t at = 0;
  while (at < text.size()) at += IsLead(static_cast<unsigned char>(text[at])) ? 2 : 1;
  return at == text.size();
}

struct DoubleByte : testing::Test {
  FakeWorld w;
  TextCalls saved = gText;
  DevicePanel* panel = nullptr;
  void SetUp() override {
    gText = {FakeToDevice, FakeFromDevice, FakeCharacterLength};
    panel = static_cast<DevicePanel*>(OpenPlugin(0, 0));
    ASSERT_NE(panel, MERLO_NO_PANEL);
    w.Calls.clear();
  }
  void TearDown() override {
    ClosePlugin(panel);
    gText = saved;
  }
};

TEST_F(DoubleByte, GoingUpCutsAtSeparatorsNotAtSecondBytes) {
  ASSERT_EQ(SetDirectory(panel, kTable.c_str(), 0), 1);
  ASSERT_EQ(SetDirectory(panel, (kTable + kShow).c_str(), 0), 1);
  EXPECT_EQ(std::string(panel->CurrentPath), "\\" + kTable + "\\" + kTable + kShow);
  ASSERT_EQ(SetDirectory(panel, "..", 0), 1);
  EXPECT_EQ(std::string(panel->CurrentPath), "\\" + kTable);
  ASSERT_EQ(SetDirectory(panel, "..", 0), 1);
  EXPECT_STREQ(panel->CurrentPath, "");
  EXPECT_EQ(panel->Depth, 0);
}

TEST_F(DoubleByte, AFolderEndingInASecondByte0x5CGetsItsBackslash) {
  ASSERT_EQ(SetDirectory(panel, kTable.c_str(), 0), 1);
  w.DeviceFiles["\\" + kTable + "\\f"] = "x";
  PanelItem item{};
  std::strcpy(item.Name, "f");
  item.ItemFlags = kItemSelected;
  GetFiles(panel, &item, 1, 0, ("C:\\" + kTable).c_str(), 0);
  item.ItemFlags = kItemSelected;
  GetFiles(panel, &item, 1, 0, ("\\" + kTable + "\\").c_str(), 0);
  EXPECT_EQ(w.CallsOf("CreateFileA"),
            (Strings{"CreateFileA(C:\\" + kTable + "\\f,40000000,0,2,80)"}));
  EXPECT_EQ(w.CallsOf("CeCopyFile"),
            (Strings{"CeCopyFile(\\" + kTable + "\\f,\\" + kTable + "\\f,0)"}));
  EXPECT_TRUE(w.Boxes.empty());
}

// Texts cut to their buffer end before a character that does not fit whole,
// at either parity.
TEST_F(DoubleByte, TextsCutForTheBoxNeverSplitACharacter) {
  for (const std::string lead : {"", "x"}) {
    SCOPED_TRACE("lead \"" + lead + "\"");
    std::string name = lead;
    while (name.size() < 258) name += kTable;
    char joined[kJoinedPathSize];
    EXPECT_FALSE(JoinPath(("C:\\" + name).c_str(), name.c_str(), 260, joined));
    EXPECT_GE(std::strlen(joined), kJoinedPathSize - 2);
    EXPECT_TRUE(EndsWhole(joined));

    char text[kOperationTextSize];
    FormatWithPath("%s", joined, text, sizeof text);
    EXPECT_GE(std::strlen(text), sizeof text - 2);
    EXPECT_TRUE(EndsWhole(text));
  }
}

#if !defined(_WIN32)
// On Linux: a PC name that is no UTF-8, or a listed name that holds U+FFFD
// (what an unpaired surrogate from the device became), fails its item with the
// box before anything is opened on either side.
struct Utf8Batch : testing::TestWithParam<bool> {
  FakeWorld w;
  DevicePanel* panel = nullptr;
  void SetUp() override {
    panel = static_cast<DevicePanel*>(OpenPlugin(0, 0));
    ASSERT_NE(panel, MERLO_NO_PANEL);
    w.Texts[10] = "copy %s";
    w.Calls.clear();
  }
  void TearDown() override { ClosePlugin(panel); }
};

TEST_P(Utf8Batch, NamesThatCannotNameADeviceFileFailWithTheBox) {
  const bool upload = GetParam();
  const char* name = upload ? "caf\xE9.txt" : "x\xEF\xBF\xBDy.txt";
  w.PcFiles[std::string("C:\\data\\") + name] = "pc";
  w.DeviceFiles[std::string("\\") + name] = "device";
  PanelItem item{};
  std::strcpy(item.Name, name);
  item.ItemFlags = kItemSelected;
  if (upload) {
    PutFiles(panel, &item, 1, 1, 0);
  } else {
    GetFiles(panel, &item, 1, 1, "C:\\data", 0);
  }
  EXPECT_EQ(uint32_t(item.ItemFlags), kItemSelected);
  ASSERT_EQ(w.Boxes.size(), 1u);
  EXPECT_EQ(w.Boxes[0].Items[1], std::string("copy ") + (upload ? "C:\\data\\" : "\\") + name);
  EXPECT_EQ(w.CallsOf("Ce"), Strings{});
  EXPECT_EQ(w.CallsOf("CreateFileA"), Strings{});
  EXPECT_EQ(w.PcFiles.size(), 1u);
  EXPECT_EQ(w.DeviceFiles.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Directions, Utf8Batch, testing::Bool());
#endif

}  // namespace
