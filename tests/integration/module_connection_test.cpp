// Opening and closing panels against the emulated device, and each way the
// connection can end.
#include <chrono>

#include "module_host.h"

namespace merlo_test {
namespace {

class ConnectionTest : public ModuleTest {
 protected:
  // Checks the one connection error box shown, carrying message `id`.
  void ExpectConnectBox(int id) const {
    const Box box = OnlyBox();
    EXPECT_EQ(kModuleId, box.moduleId);
    EXPECT_EQ(1u, box.flags);
    EXPECT_TRUE(box.hasHelp);
    EXPECT_EQ("text5", box.help);
    EXPECT_EQ(2, box.itemCount);
    EXPECT_EQ(1, box.buttonCount);
    EXPECT_EQ((std::vector<std::string>{"text" + std::to_string(id), "text6"}), box.items);
  }
};

TEST_F(ConnectionTest, ConnectsAndListsTheDeviceRoot) {
  WriteFile(Device("hello.txt"), "hi");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  EXPECT_TRUE(Boxes().empty());
  const std::vector<PanelItem> items = panel.List();
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ("hello.txt", ItemName(items[0]));
}

TEST_F(ConnectionTest, ARefusedStartShowsMessageSevenAndReturnsNoPanel) {
  SetDeviceEnvironment(device(), "refuse-init");
  const PanelHandle handle = api().OpenPlugin(0, 0);
  EXPECT_EQ(MERLO_NO_PANEL, handle);
  EXPECT_EQ(~uintptr_t(0), reinterpret_cast<uintptr_t>(handle));
  ExpectConnectBox(7);
}

TEST_F(ConnectionTest, AMissingDeviceFolderIsAStartThatFailed) {
  SetDeviceEnvironment(device() / "absent", "");
  EXPECT_EQ(MERLO_NO_PANEL, api().OpenPlugin(0, 0));
  ExpectConnectBox(7);
}

TEST_F(ConnectionTest, AConnectionThatCompletesWithAnErrorShowsMessageEight) {
  SetDeviceEnvironment(device(), "connect-error");
  EXPECT_EQ(MERLO_NO_PANEL, api().OpenPlugin(0, 0));
  ExpectConnectBox(8);

  ClearBoxes();
  SetDeviceEnvironment(device(), "connect-error=1,connect-delay=30");
  EXPECT_EQ(MERLO_NO_PANEL, api().OpenPlugin(1, 7));
  ExpectConnectBox(8);
}

TEST_F(ConnectionTest, AConnectionThatNeverCompletesTimesOutAfterFiveSeconds) {
  SetDeviceEnvironment(device(), "never-connect");
  const auto start = std::chrono::steady_clock::now();
  const PanelHandle handle = api().OpenPlugin(0, 0);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(MERLO_NO_PANEL, handle);
  ExpectConnectBox(9);
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_LT(waited, std::chrono::seconds(15));
}

TEST_F(ConnectionTest, AnEventThatCannotBeWaitedOnCountsAsConnected) {
  WriteFile(Device("x.bin"), "x");
  Panel panel(device(), "bad-event");
  ASSERT_TRUE(panel.open());
  EXPECT_TRUE(Boxes().empty());
  const std::vector<PanelItem> items = panel.List();
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ("x.bin", ItemName(items[0]));
}

TEST_F(ConnectionTest, AFailedOpenLeavesTheLibraryReadyForTheNext) {
  for (const char* fault : {"refuse-init", "connect-error", "bad-event"}) {
    Panel attempt(device(), fault);  // bad-event connects, and is closed again
  }
  ClearBoxes();
  WriteFile(Device("after.txt"), "");
  Panel panel(device());
  ASSERT_TRUE(panel.open());
  EXPECT_TRUE(Boxes().empty());
  const std::vector<PanelItem> items = panel.List();
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ("after.txt", ItemName(items[0]));
}

TEST_F(ConnectionTest, PanelsOpenAtOnceKeepTheirOwnFolders) {
  fs::create_directories(Device("one"));
  WriteFile(Device("one/inside.txt"), "1");
  WriteFile(Device("top.txt"), "t");
  Panel first(device());
  Panel second(device());
  ASSERT_TRUE(first.open());
  ASSERT_TRUE(second.open());
  EXPECT_NE(first.handle(), second.handle());
  EXPECT_EQ(1, first.Cd("one"));

  std::vector<PanelItem> inFirst = first.List();
  ASSERT_EQ(2u, inFirst.size());
  EXPECT_EQ("inside.txt", ItemName(inFirst[0]));
  EXPECT_EQ("..", ItemName(inFirst[1]));
  EXPECT_EQ(2u, second.List().size());  // "one" and "top.txt", no parent entry

  second.Close();
  api().ClosePlugin(nullptr);  // ignored
  inFirst = first.List();
  EXPECT_EQ(2u, inFirst.size());
  EXPECT_TRUE(Boxes().empty());
}

}  // namespace
}  // namespace merlo_test
