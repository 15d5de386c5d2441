#include "testsupport/Process.h"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cerrno>

namespace testsupport {
namespace {

TEST(ChildProcessTest, ReportsAnExecFailureAtStart) {
  ChildProcess child;
  EXPECT_FALSE(child.Start({{"/nonexistent/program"}, {}, "", ""}));
  EXPECT_NE(child.Error().find("No such file"), std::string::npos) << child.Error();
}

TEST(ChildProcessTest, StopsAndReapsTheWholeGroup) {
  TempDir dir;
  ChildProcess child;
  // The grandchild would outlive its parent without the group signal.
  ASSERT_TRUE(
      child.Start({{"/bin/sh", "-c", "sleep 60 & echo started; wait"}, {}, "", dir.File("log"), true}));
  EXPECT_EQ(child.ReadLine(Millis(5000)), "started");
  EXPECT_TRUE(child.Running());
  int status = child.Stop(SIGTERM);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(child.Running());
  EXPECT_EQ(kill(-child.Pid(), 0), -1);  // no member of the group is left, not even a zombie
  EXPECT_EQ(errno, ESRCH);
}

TEST(ChildProcessTest, PassesEnvironmentWorkingDirectoryAndLog) {
  TempDir dir;
  ChildProcess child;
  ASSERT_TRUE(child.Start({{"sh", "-c", "echo $TL_X; pwd; echo oops >&2; exit 3"},
                           {"TL_X=value"},
                           dir.Path(),
                           dir.File("out.log")}));
  EXPECT_EQ(WaitUntil([] { return false; }, Millis(5000), &child), WaitResult::kDied);
  ASSERT_TRUE(child.WaitStatus().has_value());
  EXPECT_EQ(WEXITSTATUS(*child.WaitStatus()), 3);
  EXPECT_EQ(child.Log(), "value\n" + dir.Path() + "\noops\n");
}

TEST(ChildProcessTest, ReadsTheReadyLineAndNoticesADeadChild) {
  ChildProcess ready;
  ASSERT_TRUE(ready.Start({{"sh", "-c", "echo noise; echo READY 4321; exec sleep 60"}, {}, "", "", true}));
  EXPECT_EQ(ReadReadyPort(ready, Millis(5000)), 4321);

  ChildProcess dead;
  ASSERT_TRUE(dead.Start({{"sh", "-c", "echo noise"}, {}, "", "", true}));
  EXPECT_EQ(ReadReadyPort(dead, Millis(5000)), std::nullopt);
}

TEST(PortTest, WaitForPortSeesADeadServerAtOnce) {
  ChildProcess child;
  ASSERT_TRUE(child.Start({{"false"}, {}, "", ""}));
  EXPECT_EQ(WaitForPort(FreePort(), Millis(5000), &child), WaitResult::kDied);
  EXPECT_EQ(WaitForPort(FreePort(), Millis(30)), WaitResult::kTimeout);
}

TEST(TempDirTest, WritesNestedFilesAndRemovesThemAfterAPassingTest) {
  std::string path;
  {
    TempDir dir("tltest");
    path = dir.Path();
    dir.Write("a/b/c.txt", "abc");
    EXPECT_EQ(ReadFile(dir.File("a/b/c.txt")), "abc");
  }
  EXPECT_FALSE(ProgramInstalled(path));
  EXPECT_EQ(RunAndCapture({"test", "-e", path}).first, 1 << 8);
}

}  // namespace
}  // namespace testsupport
