// The program binary itself: it finds its libraries through its run path,
// starts without a display, creates its settings and runs the stop sequence
// when it is told to end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <thread>

#include "Processes.h"

using namespace testsupport;

TEST(Program, StartsWithoutADisplayAndStopsOnSigterm) {
  TTempDir dir{"tidecast-program"};
  TChildProcess program;
  program.Start({BuildDir() + "/bin/Tidecast"}, dir.File("program.log"),
                {"XDG_CONFIG_HOME=" + dir.Path(), "TIDECAST_DEBUG=1", "DISPLAY=", "WAYLAND_DISPLAY=",
                 "QT_QPA_PLATFORM="});
  std::string settings = dir.Path() + "/Orvane/Tidecast.reg";
  struct stat info {};
  for (int i = 0; i < 100 && ::stat(settings.c_str(), &info) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(::stat(settings.c_str(), &info), 0) << ReadWholeFile(dir.File("program.log"));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_TRUE(program.Running()) << ReadWholeFile(dir.File("program.log"));

  program.Signal(SIGTERM);
  int status = program.WaitExit(std::chrono::seconds(20));
  std::string log = ReadWholeFile(dir.File("program.log"));
  ASSERT_TRUE(WIFEXITED(status)) << log;
  EXPECT_EQ(WEXITSTATUS(status), 0) << log;
  EXPECT_NE(log.find("Capture Stop"), std::string::npos) << "the window's stop sequence ran: " << log;
}
