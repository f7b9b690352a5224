// Deleting files on the emulated device through the host's delete command.
#include <cstring>

#include "module_host.h"

namespace merlo_test {
namespace {

class DeleteTest : public ModuleTest {
 protected:
  void ExpectDeleteBox(const std::string& path) const {
    ExpectOperationBox(DeleteFailedText(path));
  }

  static void ExpectFlagsUnchanged(const std::vector<PanelItem>& before,
                                   const std::vector<PanelItem>& after) {
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < before.size(); ++i) {
      EXPECT_EQ(0, std::memcmp(&before[i], &after[i], sizeof before[i])) << ItemName(before[i]);
    }
  }
};

TEST_F(DeleteTest, DeletesEverySelectedFileAndLeavesTheSelectionAsItWas) {
  fs::create_directories(Device("sub"));
  for (const char* name : {"a.txt", "b.txt", "c.txt", "stays.txt"}) {
    WriteFile(Device(std::string("sub/") + name), name);
  }
  WriteFile(Device("c.txt"), "the root's own");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  ASSERT_EQ(1, panel.Cd("sub"));
  std::vector<PanelItem> items = panel.Select({"a.txt", "b.txt", "c.txt"});
  const std::vector<PanelItem> before = items;

  EXPECT_EQ(1, panel.Delete(items));
  EXPECT_TRUE(Boxes().empty());
  ExpectFlagsUnchanged(before, items);
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
    EXPECT_FALSE(fs::exists(Device(std::string("sub/") + name))) << name;
  }
  EXPECT_TRUE(fs::exists(Device("sub/stays.txt")));
  EXPECT_TRUE(fs::exists(Device("c.txt")));

  // At the root the path is "\" and the name.
  ASSERT_EQ(1, panel.Cd(".."));
  std::vector<PanelItem> root = panel.Select({"c.txt"});
  EXPECT_EQ(1, panel.Delete(root));
  EXPECT_FALSE(fs::exists(Device("c.txt")));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(DeleteTest, ARefusedDeleteStopsWithABoxNamingTheDevicePath) {
  fs::create_directories(Device("sub"));
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
    WriteFile(Device(std::string("sub/") + name), name);
  }
  Panel panel(device(), "refuse-delete=b.txt");
  ASSERT_TRUE(panel.open());
  ASSERT_EQ(1, panel.Cd("sub"));
  std::vector<PanelItem> items = panel.Select({"a.txt", "b.txt", "c.txt"});
  const std::vector<PanelItem> before = items;

  EXPECT_EQ(1, panel.Delete(items));
  ExpectDeleteBox("\\sub\\b.txt");
  ExpectFlagsUnchanged(before, items);
  EXPECT_FALSE(fs::exists(Device("sub/a.txt")));
  EXPECT_TRUE(fs::exists(Device("sub/b.txt")));
  EXPECT_TRUE(fs::exists(Device("sub/c.txt")));
}

TEST_F(DeleteTest, AFolderIsRefusedByTheDeviceAndReported) {
  fs::create_directories(Device("dir"));
  WriteFile(Device("dir/inner.txt"), "inner");
  WriteFile(Device("z.txt"), "z");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = panel.Select({"dir", "z.txt"});
  const std::vector<PanelItem> before = items;

  EXPECT_EQ(1, panel.Delete(items));
  ExpectDeleteBox("\\dir");
  ExpectFlagsUnchanged(before, items);
  EXPECT_TRUE(fs::exists(Device("dir/inner.txt")));
  EXPECT_TRUE(fs::exists(Device("z.txt")));
}

TEST_F(DeleteTest, AFileThatVanishedSinceTheListingIsReported) {
  WriteFile(Device("gone.txt"), "");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  std::vector<PanelItem> items = panel.Select({"gone.txt"});
  fs::remove(Device("gone.txt"));

  EXPECT_EQ(1, panel.Delete(items));
  ExpectDeleteBox("\\gone.txt");
}

}  // namespace
}  // namespace merlo_test
