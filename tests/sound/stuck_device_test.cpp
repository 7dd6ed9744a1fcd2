// A sound card whose writes never return (a hung sound server) must not
// hold up the way out: the program leaves within a second with the terminal
// given back.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <string>

#include "console/win32.h"
#include "posix/sound/alsa.h"
#include "posix/sound/tone.h"
#include "posix/vt/renderer.h"
#include "tests/fake/fake_asound.h"
#include "tests/session/pty_child.h"

namespace {

using namespace std::chrono_literals;

TEST(StuckSoundCard, EveryWayOutEndsWithinASecond) {
  if (!sound::alsa::Compiled()) GTEST_SKIP() << "built without ALSA: no sound card path";
  sound::Shutdown();                            // the children choose their device afresh
  for (const int sig : {0, SIGTERM, SIGHUP}) {  // 0: ExitProcess, as Alt+X does
    ptytest::PtyChild child([sig] {
      fakeasound::Card stuck;
      stuck.Stuck = true;
      fakeasound::Set(stuck);
      GetStdHandle(STD_OUTPUT_HANDLE);
      Beep(2000, 100);
      SetConsoleTitleA(sound::ActiveDevice() == sound::Device::SoundCard ? "rung" : "no card");
      if (sig == 0) ExitProcess(4);
      for (;;) pause();
    });
    ASSERT_TRUE(child.WaitFor("\x1b]2;rung\a")) << sig;
    const auto from = std::chrono::steady_clock::now();
    if (sig != 0) kill(child.Pid(), sig);
    const int status = child.WaitExit();
    EXPECT_LT(std::chrono::steady_clock::now() - from, 1s) << sig;
    EXPECT_EQ(status, sig == 0 ? 4 << 8 : sig) << sig;
    EXPECT_NE(child.Output().rfind(vt::LeaveSequence()), std::string::npos) << sig;
    EXPECT_TRUE(ptytest::SameMode(child.ModeNow(), child.ModeBefore())) << sig;
  }
}

}  // namespace
