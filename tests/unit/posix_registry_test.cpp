// The Linux settings store: REGEDIT4 files read through the registry seam.
#if !defined(_WIN32)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "posix_temp_dir.h"

namespace {

constexpr int32_t kNotFound = 2;
constexpr int32_t kInvalidHandle = 6;
constexpr int32_t kMoreData = 234;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr const char* kKey = "Software\\Host\\Plugins\\MERLO";

// Sets or unsets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

void WriteFile(const std::string& path, const std::string& contents) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
  close(fd);
}

// "00,00,...,00" of `count` bytes.
std::string LongHex(size_t count) {
  std::string hex;
  for (size_t i = 0; i < count; ++i) hex += i == 0 ? "00" : ",00";
  return hex;
}

const char kSample[] =
    "REGEDIT4\n"
    "\n"
    "; settings of the module\n"
    "[HKEY_CURRENT_USER\\Software\\Host\\Plugins]\n"
    "\"Other\"=dword:00000003\n"
    "\n"
    "[HKEY_CURRENT_USER\\Software\\Host\\Plugins\\MERLO]\n"
    "\"AddToDisksMenu\"=dword:0000000a\n"
    "\"DisksMenuDigit\"=\"7\"\n"
    "\"Bytes\"=hex:05,00\n"
    "\"Typed\"=hex(4):2a,00,00,00\n"
    "\"Long\"=\"12345\"\n"
    "\"Quoted \\\"name\\\"\"=\"a\\\\b\\\"c\"\n"
    "\"Continued\"=hex:01,02,\\\n"
    "  03,04,\\\n"
    "  05\n"
    "\"Empty\"=hex:\n"
    "@=\"default\"\n";

class PosixRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    file_ = dir_.Posix("registry.reg");
    env_ = new ScopedEnv("MERLO_REGISTRY_FILE", file_.c_str());
  }
  void TearDown() override {
    for (RegistryKey key : open_) gRegistry.RegCloseKey(key);
    delete env_;
  }

  // Opens a key below HKEY_CURRENT_USER; 0 when that fails.
  RegistryKey Open(const char* subkey, int32_t* result = nullptr) {
    RegistryKey key = 12345;
    const int32_t got = gRegistry.RegOpenKeyExA(kHkeyCurrentUser, subkey, 0, kKeyQueryValue, &key);
    if (result != nullptr) *result = got;
    if (got != 0) {
      EXPECT_EQ(key, 0u);
      return 0;
    }
    EXPECT_NE(key, 0u);
    open_.push_back(key);
    return key;
  }

  void Close(RegistryKey key) {
    EXPECT_EQ(gRegistry.RegCloseKey(key), 0);
    for (auto it = open_.begin(); it != open_.end(); ++it) {
      if (*it == key) {
        open_.erase(it);
        break;
      }
    }
  }

  // The bytes of a value, or "<error N>".
  std::string Query(RegistryKey key, const char* name, uint32_t* type = nullptr) {
    uint8_t data[64];
    uint32_t size = sizeof data;
    uint32_t gotType = 0;
    const int32_t result = gRegistry.RegQueryValueExA(key, name, &gotType, data, &size);
    if (result != 0) return "<error " + std::to_string(result) + ">";
    if (type != nullptr) *type = gotType;
    return std::string(reinterpret_cast<const char*>(data), size);
  }

  PosixTempDir dir_;
  std::string file_;
  ScopedEnv* env_ = nullptr;
  std::vector<RegistryKey> open_;
};

TEST_F(PosixRegistry, DwordReadsAsFourLittleEndianBytes) {
  WriteFile(file_, kSample);
  const RegistryKey key = Open(kKey);
  ASSERT_NE(key, 0u);
  uint32_t type = 0;
  EXPECT_EQ(Query(key, "AddToDisksMenu", &type), std::string("\x0a\0\0\0", 4));
  EXPECT_EQ(type, kRegDword);
}

TEST_F(PosixRegistry, AStringReadsAsItsBytesAndItsTerminator) {
  WriteFile(file_, kSample);
  const RegistryKey key = Open(kKey);
  ASSERT_NE(key, 0u);
  uint8_t data[4] = {9, 0, 0, 0};
  uint32_t size = sizeof data;
  uint32_t type = 0;
  EXPECT_EQ(gRegistry.RegQueryValueExA(key, "DisksMenuDigit", &type, data, &size), 0);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(data[0], 0x37);
  EXPECT_EQ(data[1], 0x00);
  EXPECT_EQ(data[2], 0x00);  // beyond the value: untouched
}

TEST_F(PosixRegistry, HexValuesAndTheirTypes) {
  WriteFile(file_, kSample);
  const RegistryKey key = Open(kKey);
  ASSERT_NE(key, 0u);
  uint32_t type = 0;
  EXPECT_EQ(Query(key, "Bytes", &type), std::string("\x05\x00", 2));
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(Query(key, "Typed", &type), std::string("\x2a\0\0\0", 4));
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(Query(key, "Continued", &type), std::string("\x01\x02\x03\x04\x05", 5));
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(Query(key, "Empty", &type), "");
  EXPECT_EQ(type, kRegBinary);
}

TEST_F(PosixRegistry, EscapesAndTheDefaultValue) {
  WriteFile(file_, kSample);
  const RegistryKey key = Open(kKey);
  ASSERT_NE(key, 0u);
  EXPECT_EQ(Query(key, "Quoted \"name\""), std::string("a\\b\"c\0", 6));
  EXPECT_EQ(Query(key, ""), std::string("default\0", 8));
  EXPECT_EQ(Query(key, nullptr), std::string("default\0", 8));
}

TEST_F(PosixRegistry, KeyPathsAndValueNamesIgnoreCase) {
  WriteFile(file_, kSample);
  const RegistryKey key = Open("SOFTWARE\\host\\PLUGINS\\merlo");
  ASSERT_NE(key, 0u);
  EXPECT_EQ(Query(key, "addtodisksmenu"), std::string("\x0a\0\0\0", 4));
}

TEST_F(PosixRegistry, AValueLongerThanTheBufferIsMoreDataAndWritesNothing) {
  WriteFile(file_, kSample);
  const RegistryKey key = Open(kKey);
  ASSERT_NE(key, 0u);
  uint8_t data[4] = {9, 8, 7, 6};
  uint32_t size = sizeof data;
  uint32_t type = 0;
  EXPECT_EQ(gRegistry.RegQueryValueExA(key, "Long", &type, data, &size), kMoreData);
  EXPECT_EQ(data[0], 9);
  EXPECT_EQ(data[1], 8);
  EXPECT_EQ(data[2], 7);
  EXPECT_EQ(data[3], 6);
  EXPECT_EQ(size, 6u);  // the size needed, as Windows reports it
  // A size query without a buffer.
  size = 0;
  EXPECT_EQ(gRegistry.RegQueryValueExA(key, "Long", nullptr, nullptr, &size), 0);
  EXPECT_EQ(size, 6u);
}

TEST_F(PosixRegistry, MissingValuesKeysAndHandles) {
  WriteFile(file_, kSample);
  const RegistryKey key = Open(kKey);
  ASSERT_NE(key, 0u);
  EXPECT_EQ(Query(key, "NoSuchValue"), "<error 2>");
  int32_t result = 0;
  EXPECT_EQ(Open("Software\\Host\\Plugins\\Nothing", &result), 0u);
  EXPECT_EQ(result, kNotFound);
  EXPECT_EQ(Query(0, "AddToDisksMenu"), "<error 6>");
  EXPECT_EQ(Query(4000, "AddToDisksMenu"), "<error 6>");
  EXPECT_EQ(gRegistry.RegCloseKey(0), kInvalidHandle);
  EXPECT_EQ(gRegistry.RegCloseKey(4000), kInvalidHandle);
}

TEST_F(PosixRegistry, ParentKeysExistAndOpenRelativeToAKey) {
  WriteFile(file_, kSample);
  const RegistryKey plugins = Open("Software\\Host\\Plugins");
  ASSERT_NE(plugins, 0u);
  EXPECT_EQ(Query(plugins, "Other"), std::string("\x03\0\0\0", 4));
  EXPECT_EQ(Query(plugins, "AddToDisksMenu"), "<error 2>");  // a value of the subkey
  const RegistryKey software = Open("Software");             // exists through the keys below it
  EXPECT_NE(software, 0u);

  RegistryKey merlo = 0;
  ASSERT_EQ(gRegistry.RegOpenKeyExA(plugins, "MERLO", 0, kKeyQueryValue, &merlo), 0);
  EXPECT_EQ(Query(merlo, "AddToDisksMenu"), std::string("\x0a\0\0\0", 4));
  Close(merlo);
}

TEST_F(PosixRegistry, OnlyHkeyCurrentUserExists) {
  WriteFile(file_, kSample);
  RegistryKey key = 77;
  EXPECT_NE(gRegistry.RegOpenKeyExA(0x80000002u, kKey, 0, kKeyQueryValue, &key), 0);
  EXPECT_EQ(key, 0u);
  EXPECT_EQ(gRegistry.RegOpenKeyExA(0, kKey, 0, kKeyQueryValue, &key), kInvalidHandle);
}

TEST_F(PosixRegistry, CloseFreesTheKeyOnce) {
  WriteFile(file_, kSample);
  RegistryKey key = 0;
  ASSERT_EQ(gRegistry.RegOpenKeyExA(kHkeyCurrentUser, kKey, 0, kKeyQueryValue, &key), 0);
  EXPECT_EQ(gRegistry.RegCloseKey(key), 0);
  EXPECT_EQ(Query(key, "AddToDisksMenu"), "<error 6>");
  EXPECT_EQ(gRegistry.RegCloseKey(key), kInvalidHandle);
}

TEST_F(PosixRegistry, TheTableOfOpenKeysIsFixedAndRefusesWhenFull) {
  WriteFile(file_, kSample);
  std::vector<RegistryKey> keys;
  for (int i = 0; i < 1000; ++i) {
    RegistryKey key = 0;
    if (gRegistry.RegOpenKeyExA(kHkeyCurrentUser, kKey, 0, kKeyQueryValue, &key) != 0) {
      EXPECT_EQ(key, 0u);
      break;
    }
    keys.push_back(key);
  }
  EXPECT_GE(keys.size(), 2u);
  EXPECT_LT(keys.size(), 1000u);
  ASSERT_FALSE(keys.empty());
  EXPECT_EQ(gRegistry.RegCloseKey(keys.back()), 0);
  keys.pop_back();
  const RegistryKey again = Open(kKey);
  EXPECT_NE(again, 0u);
  for (RegistryKey key : keys) EXPECT_EQ(gRegistry.RegCloseKey(key), 0);
}

TEST_F(PosixRegistry, AKeyWhoseValuesDoNotFitTheFixedStorageIsRefused) {
  const std::string section = "[HKEY_CURRENT_USER\\Software\\Host\\Plugins\\MERLO]\n";
  WriteFile(file_, "REGEDIT4\n" + section + "\"A\"=hex:" + LongHex(5000) + "\n");
  const RegistryKey one = Open(kKey);
  ASSERT_NE(one, 0u);
  uint32_t size = 0;
  EXPECT_EQ(gRegistry.RegQueryValueExA(one, "A", nullptr, nullptr, &size), 0);
  EXPECT_EQ(size, 5000u);
  WriteFile(file_, "REGEDIT4\n" + section + "\"A\"=hex:" + LongHex(5000) +
                       "\n\"B\"=hex:" + LongHex(5000) + "\n");
  int32_t result = 0;
  EXPECT_EQ(Open(kKey, &result), 0u);
  EXPECT_NE(result, 0);
}

TEST_F(PosixRegistry, TheFileIsReadAtEachOpen) {
  WriteFile(file_, kSample);
  const RegistryKey first = Open(kKey);
  ASSERT_NE(first, 0u);
  WriteFile(file_,
            "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Host\\Plugins\\MERLO]\n"
            "\"AddToDisksMenu\"=dword:00000000\n");
  EXPECT_EQ(Query(first, "AddToDisksMenu"), std::string("\x0a\0\0\0", 4));  // as opened
  const RegistryKey second = Open(kKey);
  ASSERT_NE(second, 0u);
  EXPECT_EQ(Query(second, "AddToDisksMenu"), std::string("\0\0\0\0", 4));
  EXPECT_EQ(Query(second, "DisksMenuDigit"), "<error 2>");
}

TEST_F(PosixRegistry, AMissingFileMeansNoKey) {
  int32_t result = 0;
  EXPECT_EQ(Open(kKey, &result), 0u);
  EXPECT_NE(result, 0);
  ASSERT_EQ(mkdir(file_.c_str(), 0755), 0);  // a folder where the file should be
  EXPECT_EQ(Open(kKey, &result), 0u);
  EXPECT_NE(result, 0);
}

TEST_F(PosixRegistry, AMalformedFileMeansNoKey) {
  const std::string section = "[HKEY_CURRENT_USER\\Software\\Host\\Plugins\\MERLO]\n";
  const std::string good = "\"AddToDisksMenu\"=dword:00000001\n";
  const std::vector<std::string> malformed = {
      "",
      section + good,                                             // no header
      "REGEDIT5\n" + section + good,                              // a wrong header
      "Windows Registry Editor Version 5.00\n" + section + good,  // not REGEDIT4
      "REGEDIT4\n" + good + section,                              // a value before any section
      "REGEDIT4\n" + section + good + "garbage\n",
      "REGEDIT4\n" + section + "\"A\"=dword:123456789\n",  // nine digits
      "REGEDIT4\n" + section + "\"A\"=dword:\n",
      "REGEDIT4\n" + section + "\"A\"=dword:12x4\n",
      "REGEDIT4\n" + section + "\"A\"=hex:05,zz\n",
      "REGEDIT4\n" + section + "\"A\"=hex:05,\n",
      "REGEDIT4\n" + section + "\"A\"=hex(4:05\n",
      "REGEDIT4\n" + section + "\"A\"=\"unterminated\n",
      "REGEDIT4\n" + section + "\"A\"=\"bad \\n escape\"\n",
      "REGEDIT4\n" + section + "\"A\"=\"text\" trailing\n",
      "REGEDIT4\n" + section + "\"A\"\n",
      "REGEDIT4\n" + section + "\"A\"=something\n",
      "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Host\\Plugins\\MERLO\n" + good,
      "REGEDIT4\n[]\n" + section + good,
      std::string("REGEDIT4\0junk\n", 14) + section + good,          // a NUL byte
      "REGEDIT4\n" + section + "\"A\"=hex:" + LongHex(6000) + "\n",  // a line too long
  };
  for (const std::string& contents : malformed) {
    WriteFile(file_, contents);
    int32_t result = 0;
    EXPECT_EQ(Open(kKey, &result), 0u) << contents;
    EXPECT_NE(result, 0) << contents;
  }
  WriteFile(file_, "REGEDIT4\n" + section + good);  // and the same file well-formed opens
  EXPECT_NE(Open(kKey), 0u);
}

TEST_F(PosixRegistry, CarriageReturnsCommentsBlanksAndAByteOrderMarkAreAccepted) {
  WriteFile(file_,
            "\xEF\xBB\xBFREGEDIT4\r\n"
            "\r\n"
            "  ; a comment\r\n"
            "[HKEY_CURRENT_USER\\Software\\Host\\Plugins\\MERLO]  ; trailing comment\r\n"
            "\"A\" = dword:00000005 ; five\r\n"
            "\"B\"=\"x\"\r\n"
            "\"C\"=hex:01, 02 ,\\\r\n"
            "    03\r\n");
  const RegistryKey key = Open(kKey);
  ASSERT_NE(key, 0u);
  EXPECT_EQ(Query(key, "A"), std::string("\x05\0\0\0", 4));
  EXPECT_EQ(Query(key, "B"), std::string("x\0", 2));
  EXPECT_EQ(Query(key, "C"), std::string("\x01\x02\x03", 3));
}

TEST_F(PosixRegistry, LaterLinesOverrideAndRemove) {
  WriteFile(file_,
            "REGEDIT4\n"
            "[HKEY_CURRENT_USER\\Software\\Host\\Plugins\\MERLO]\n"
            "\"A\"=dword:00000001\n"
            "\"B\"=dword:00000002\n"
            "[HKEY_CURRENT_USER\\Software\\Other]\n"
            "\"A\"=dword:00000009\n"
            "[HKEY_CURRENT_USER\\Software\\Host\\Plugins\\MERLO]\n"
            "\"a\"=dword:00000003\n"
            "\"B\"=-\n");
  const RegistryKey key = Open(kKey);
  ASSERT_NE(key, 0u);
  EXPECT_EQ(Query(key, "A"), std::string("\x03\0\0\0", 4));
  EXPECT_EQ(Query(key, "B"), "<error 2>");
}

TEST_F(PosixRegistry, ARemovedKeyIsGone) {
  WriteFile(file_,
            "REGEDIT4\n"
            "[HKEY_CURRENT_USER\\Software\\Host\\Plugins\\MERLO]\n"
            "\"A\"=dword:00000001\n"
            "[-HKEY_CURRENT_USER\\Software\\Host]\n"
            "[HKEY_CURRENT_USER\\Software\\Host\\Plugins\\Another]\n");
  int32_t result = 0;
  EXPECT_EQ(Open(kKey, &result), 0u);
  EXPECT_EQ(result, kNotFound);
  EXPECT_NE(Open("Software\\Host\\Plugins"), 0u);  // made again by the key below it
}

TEST_F(PosixRegistry, TheFileFallsBackToXdgConfigHomeThenHome) {
  ScopedEnv noFile("MERLO_REGISTRY_FILE", nullptr);
  const std::string content =
      "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Host\\Plugins\\MERLO]\n\"Where\"=\"xdg\"\n";
  ASSERT_EQ(mkdir(dir_.Posix("xdg").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir_.Posix("xdg/merlo").c_str(), 0755), 0);
  WriteFile(dir_.Posix("xdg/merlo/registry.reg"), content);
  ASSERT_EQ(mkdir(dir_.Posix("home").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir_.Posix("home/.config").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir_.Posix("home/.config/merlo").c_str(), 0755), 0);
  std::string homeContent = content;
  homeContent.replace(homeContent.find("xdg"), 3, "home");
  WriteFile(dir_.Posix("home/.config/merlo/registry.reg"), homeContent);

  ScopedEnv home("HOME", dir_.Posix("home").c_str());
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", dir_.Posix("xdg").c_str());
    const RegistryKey key = Open(kKey);
    ASSERT_NE(key, 0u);
    EXPECT_EQ(Query(key, "Where"), std::string("xdg\0", 4));
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    const RegistryKey key = Open(kKey);
    ASSERT_NE(key, 0u);
    EXPECT_EQ(Query(key, "Where"), std::string("home\0", 5));
  }
}

}  // namespace

#endif
