// A sound device whose writes never return (a hung sound server; here ALSA's
// file sink writing into a pipe nobody reads) must not hold up the way out:
// the program leaves within a second with the terminal given back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "console/win32.h"
#include "posix/sound/alsa.h"
#include "posix/sound/tone.h"
#include "posix/vt/renderer.h"
#include "tests/session/pty_child.h"

namespace {

using namespace std::chrono_literals;
using ptytest::PtyChild;

struct Case {
  const char* Name;
  int Signal;  // 0: ExitProcess, as Alt+X does
};

TEST(StuckSoundDevice, EveryWayOutEndsWithinASecond) {
  if (!sound::alsa::Compiled()) GTEST_SKIP() << "built without ALSA: no sound card path";
  sound::Shutdown();  // the children choose their device afresh
  const std::filesystem::path sink = std::filesystem::path(::testing::TempDir()) /
                                     ("rousel_stuck_" + std::to_string(getpid()) + ".fifo");
  std::filesystem::remove(sink);
  ASSERT_EQ(mkfifo(sink.c_str(), 0600), 0);
  // Held open and never read: the sink's writes block once the pipe is full.
  const int reader = open(sink.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const std::string leave(vt::LeaveSequence());

  for (const Case c : {Case{"ExitProcess", 0}, Case{"SIGTERM", SIGTERM}, Case{"SIGHUP", SIGHUP}}) {
    PtyChild child([&sink, &c] {
      setenv("ALSA_CONFIG_PATH", ROUSEL_TEST_DATA_DIR "/alsa/asound.conf", 1);
      setenv("ROUSEL_TONE_CAPTURE", sink.c_str(), 1);
      GetStdHandle(STD_OUTPUT_HANDLE);
      // A second and a half of ringing fills the pipe about twice over.
      for (int pass = 0; pass < 10; ++pass) {
        Beep(2000, 100);
        Sleep(50);
      }
      SetConsoleTitleA(sound::ActiveDevice() == sound::Device::SoundCard ? "rung" : "no card");
      if (c.Signal == 0) ExitProcess(4);
      for (;;) pause();
    });
    ASSERT_TRUE(child.WaitFor("\x1b]2;rung\a")) << c.Name;
    const auto from = std::chrono::steady_clock::now();
    if (c.Signal != 0) kill(child.Pid(), c.Signal);
    const int status = child.WaitExit();
    const auto took = std::chrono::steady_clock::now() - from;
    ASSERT_NE(status, -1) << c.Name << ": hung";
    EXPECT_LT(took, 1s) << c.Name;
    if (c.Signal == 0) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4) << c.Name << " " << status;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.Signal) << c.Name << " " << status;
    }
    EXPECT_NE(child.Output().rfind(leave), std::string::npos) << c.Name;
    EXPECT_TRUE(ptytest::SameMode(child.ModeNow(), child.ModeBefore())) << c.Name;
    std::printf("%s with the sound device stuck: ended after %.0f ms\n", c.Name,
                std::chrono::duration<double, std::milli>(took).count());
  }
  close(reader);
  std::filesystem::remove(sink);
}

}  // namespace
