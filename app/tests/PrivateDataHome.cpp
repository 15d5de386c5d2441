// Every program these tests start, and the window they drive, records its runs
// under a temporary folder, never in the home of whoever runs the tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "testsupport/Process.h"

namespace {

class PrivateDataHome : public ::testing::Environment {
 public:
  void SetUp() override {
    FDir = std::make_unique<testsupport::TempDir>("tldata");
    setenv("XDG_DATA_HOME", FDir->Path().c_str(), 1);
  }
  void TearDown() override { FDir.reset(); }

 private:
  std::unique_ptr<testsupport::TempDir> FDir;
};

[[maybe_unused]] const ::testing::Environment* const kPrivateDataHome =
    ::testing::AddGlobalTestEnvironment(new PrivateDataHome);

}  // namespace
