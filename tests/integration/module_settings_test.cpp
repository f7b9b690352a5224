// Start-up, the two settings from the real settings store, the menu entries and
// the configuration entry, through the loaded module.
#include <cstring>

#include "module_host.h"

namespace merlo_test {
namespace {

class SettingsTest : public ModuleTest {
 protected:
  // GetPluginInfo into a record whose every byte was 0xA5 before.
  PluginInfoRecord Info() const {
    PluginInfoRecord info;
    std::memset(&info, 0xA5, sizeof info);
    api().GetPluginInfo(&info);
    return info;
  }

  // Stores a value and lets the module read its settings again.
  void Restart(const std::string& name, const std::string& bytes, SettingType type) {
    WriteSetting(name, bytes, type);
    StartModule();
  }
};

TEST_F(SettingsTest, WithoutAKeyTheDefaultsOfferTheDisksEntryUnderNine) {
  const PluginInfoRecord info = Info();
  EXPECT_EQ(40, info.StructSize);
  EXPECT_EQ(0u, info.Flags);
  ASSERT_NE(nullptr, info.DisksMenuTexts);
  ASSERT_NE(nullptr, info.DisksMenuNumbers);
  EXPECT_EQ(1, info.DisksMenuCount);
  EXPECT_STREQ("text4", info.DisksMenuTexts[0]);
  EXPECT_EQ(9, info.DisksMenuNumbers[0]);
  ASSERT_NE(nullptr, info.PluginMenuTexts);
  EXPECT_EQ(1, info.PluginMenuCount);
  EXPECT_STREQ("text3", info.PluginMenuTexts[0]);
  ASSERT_NE(nullptr, info.ConfigMenuTexts);
  EXPECT_EQ(1, info.ConfigMenuCount);
  EXPECT_STREQ("text3", info.ConfigMenuTexts[0]);
  int32_t untouched;
  std::memset(&untouched, 0xA5, sizeof untouched);
  EXPECT_EQ(untouched, info.Reserved);
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(SettingsTest, AZeroAddToDisksMenuRemovesTheDisksEntryButKeepsItsArraysFilled) {
  Restart("AddToDisksMenu", DwordBytes(0), kSettingDword);
  const PluginInfoRecord info = Info();
  EXPECT_EQ(0, info.DisksMenuCount);
  ASSERT_NE(nullptr, info.DisksMenuTexts);
  ASSERT_NE(nullptr, info.DisksMenuNumbers);
  EXPECT_STREQ("text4", info.DisksMenuTexts[0]);
  EXPECT_EQ(9, info.DisksMenuNumbers[0]);
  EXPECT_EQ(1, info.PluginMenuCount);
  EXPECT_EQ(1, info.ConfigMenuCount);
}

TEST_F(SettingsTest, ValuesAreTakenAsTheirRawLittleEndianBytes) {
  // A string "7" is the digit and its terminator: 0x37 0x00 over the default 9.
  Restart("DisksMenuDigit", std::string("7\0", 2), kSettingString);
  EXPECT_EQ(55, Info().DisksMenuNumbers[0]);

  // One byte replaces only the lowest byte of the default.
  Restart("DisksMenuDigit", std::string("\x05", 1), kSettingBinary);
  EXPECT_EQ(5, Info().DisksMenuNumbers[0]);

  // Negative and large numbers pass on unchanged.
  Restart("DisksMenuDigit", DwordBytes(0xFFFFFFFEu), kSettingDword);
  EXPECT_EQ(-2, Info().DisksMenuNumbers[0]);
  Restart("DisksMenuDigit", DwordBytes(123456), kSettingDword);
  EXPECT_EQ(123456, Info().DisksMenuNumbers[0]);

  // A non-zero AddToDisksMenu of any type offers the entry.
  Restart("AddToDisksMenu", std::string("\x02", 1), kSettingBinary);
  EXPECT_EQ(1, Info().DisksMenuCount);
}

TEST_F(SettingsTest, AValueLongerThanFourBytesGivesTheDefault) {
  Restart("DisksMenuDigit", std::string("\x01\x02\x03\x04\x05", 5), kSettingBinary);
  Restart("AddToDisksMenu", std::string("\0\0\0\0\0\0", 6), kSettingBinary);
  const PluginInfoRecord info = Info();
  EXPECT_EQ(9, info.DisksMenuNumbers[0]);
  EXPECT_EQ(1, info.DisksMenuCount);
}

TEST_F(SettingsTest, SettingsAreReadAtStartUpOnly) {
  WriteSetting("DisksMenuDigit", DwordBytes(3), kSettingDword);
  EXPECT_EQ(9, Info().DisksMenuNumbers[0]) << "read before SetStartupInfo came again";
  StartModule();
  EXPECT_EQ(3, Info().DisksMenuNumbers[0]);
  ClearSettings();
  EXPECT_EQ(3, Info().DisksMenuNumbers[0]);
  StartModule();
  EXPECT_EQ(9, Info().DisksMenuNumbers[0]);
}

TEST_F(SettingsTest, RepeatedCallsHandOverTheSameArrays) {
  const PluginInfoRecord first = Info();
  const PluginInfoRecord second = Info();
  EXPECT_EQ(first.DisksMenuTexts, second.DisksMenuTexts);
  EXPECT_EQ(first.DisksMenuNumbers, second.DisksMenuNumbers);
  EXPECT_EQ(first.PluginMenuTexts, second.PluginMenuTexts);
  EXPECT_EQ(first.ConfigMenuTexts, second.ConfigMenuTexts);
}

TEST_F(SettingsTest, ConfigureAcknowledgesItemZeroOnlyAndShowsNothing) {
  EXPECT_EQ(1, api().Configure(0));
  EXPECT_EQ(0, api().Configure(1));
  EXPECT_EQ(0, api().Configure(-1));
  api().ExitFAR();
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(1, Info().DisksMenuCount);
}

}  // namespace
}  // namespace merlo_test
