// main() of the Windows test programs. GoogleTest's printer also hands every
// failure and skip message to OutputDebugStringA, which raises a Windows
// exception; where 32-bit Wine runs under qemu's user-mode emulator, that
// exception ends the process, and the run with it. This printer prints the
// same lines itself and passes every other event to GoogleTest's printer.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {

using ::testing::TestEventListener;
using ::testing::TestInfo;
using ::testing::TestPartResult;
using ::testing::TestSuite;
using ::testing::UnitTest;

class Printer : public TestEventListener {
 public:
  explicit Printer(TestEventListener* inner) : inner_(inner) {}

  void OnTestPartResult(const TestPartResult& result) override {
    if (result.type() == TestPartResult::kSuccess) return;
    std::printf("%s:%d: %s\n%s\n", result.file_name() != nullptr ? result.file_name() : "unknown",
                result.line_number(), result.skipped() ? "Skipped" : "Failure", result.message());
    std::fflush(stdout);
  }

  void OnTestProgramStart(const UnitTest& u) override { inner_->OnTestProgramStart(u); }
  void OnTestIterationStart(const UnitTest& u, int i) override {
    inner_->OnTestIterationStart(u, i);
  }
  void OnEnvironmentsSetUpStart(const UnitTest& u) override { inner_->OnEnvironmentsSetUpStart(u); }
  void OnEnvironmentsSetUpEnd(const UnitTest& u) override { inner_->OnEnvironmentsSetUpEnd(u); }
  void OnTestSuiteStart(const TestSuite& s) override { inner_->OnTestSuiteStart(s); }
  void OnTestCaseStart(const TestSuite& s) override { inner_->OnTestCaseStart(s); }
  void OnTestStart(const TestInfo& t) override { inner_->OnTestStart(t); }
  void OnTestDisabled(const TestInfo& t) override { inner_->OnTestDisabled(t); }
  void OnTestEnd(const TestInfo& t) override { inner_->OnTestEnd(t); }
  void OnTestSuiteEnd(const TestSuite& s) override { inner_->OnTestSuiteEnd(s); }
  void OnTestCaseEnd(const TestSuite& s) override { inner_->OnTestCaseEnd(s); }
  void OnEnvironmentsTearDownStart(const UnitTest& u) override {
    inner_->OnEnvironmentsTearDownStart(u);
  }
  void OnEnvironmentsTearDownEnd(const UnitTest& u) override {
    inner_->OnEnvironmentsTearDownEnd(u);
  }
  void OnTestIterationEnd(const UnitTest& u, int i) override { inner_->OnTestIterationEnd(u, i); }
  void OnTestProgramEnd(const UnitTest& u) override { inner_->OnTestProgramEnd(u); }

 private:
  std::unique_ptr<TestEventListener> inner_;
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::TestEventListeners& listeners = UnitTest::GetInstance()->listeners();
  TestEventListener* printer = listeners.Release(listeners.default_result_printer());
  if (printer != nullptr) listeners.Append(new Printer(printer));
  return RUN_ALL_TESTS();
}
