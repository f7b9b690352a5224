// The version resource of MERLO.dll, as Windows' file properties show it,
// carries the project's version.
#include <gtest/gtest.h>

#include <vector>

#include "host_fixture.h"

namespace merlo_windows_test {
namespace {

TEST(VersionResource, CarriesTheProjectVersion) {
  const std::string dll = ProgramFolder() + "MERLO.dll";
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(dll.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version resource in " << dll;
  std::vector<char> data(size);
  ASSERT_TRUE(GetFileVersionInfoA(dll.c_str(), 0, size, data.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize));
  ASSERT_GE(fixedSize, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, DWORD(MERLO_VERSION_MAJOR << 16 | MERLO_VERSION_MINOR));
  EXPECT_EQ(fixed->dwFileVersionLS, DWORD(MERLO_VERSION_PATCH << 16));
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
  EXPECT_EQ(fixed->dwFileType, DWORD(VFT_DLL));

  for (const char* name : {"FileVersion", "ProductVersion"}) {
    char* text = nullptr;
    UINT length = 0;
    const std::string query = std::string("\\StringFileInfo\\040904B0\\") + name;
    ASSERT_TRUE(
        VerQueryValueA(data.data(), query.c_str(), reinterpret_cast<void**>(&text), &length))
        << name;
    EXPECT_STREQ(text, MERLO_VERSION_TEXT) << name;
  }
}

}  // namespace
}  // namespace merlo_windows_test
