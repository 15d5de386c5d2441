// The window program itself starts, shows its window and runs until it is told
// to stop (Qt's offscreen platform stands in for a display).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>

#include "testsupport/Process.h"

#ifndef TL_WINDOW_PATH
#define TL_WINDOW_PATH "tachyload"
#endif

namespace {

TEST(ProgramTest, TheWindowProgramStartsAndKeepsRunning) {
  testsupport::TempDir dir("tlprog");
  testsupport::ChildProcess child;
  testsupport::ProcessOptions options;
  options.argv = {TL_WINDOW_PATH};
  options.env = {"QT_QPA_PLATFORM=offscreen"};
  options.logPath = dir.File("log");
  ASSERT_TRUE(child.Start(options)) << child.Error();
  // It must still be in its event loop a moment later (a crash or an early exit
  // would have ended it).
  EXPECT_EQ(testsupport::WaitUntil([&] { return !child.Running(); }, testsupport::Millis(700), nullptr),
            testsupport::WaitResult::kTimeout)
      << child.Log();
  const int status = child.Stop(SIGTERM);
  EXPECT_TRUE(WIFSIGNALED(status) || WIFEXITED(status)) << child.Log();
}

}  // namespace
