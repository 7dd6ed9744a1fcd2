// The terminal's raw mode (standin/terminal/vt/tty_mode.cpp): keys arrive a
// byte at a time, unechoed and untranslated, while the line discipline still
// turns Ctrl+C into a signal and output processing stays the user's.
#include "standin/terminal/vt/tty_mode.h"

#include <gtest/gtest.h>

namespace vt {
namespace {

TEST(TtyModeTest, RawModeReadsEachByteAndKeepsSignalsAndOutput) {
  termios user{};
  user.c_iflag = IXON | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK | IXOFF | IUTF8;
  user.c_oflag = OPOST | ONLCR;
  user.c_cflag = CS8 | CREAD;
  user.c_lflag = ICANON | ECHO | ECHONL | IEXTEN | ECHOE;  // ISIG off: raw turns it on
  user.c_cc[VMIN] = 0;
  user.c_cc[VTIME] = 5;
  user.c_cc[VINTR] = 3;
  const termios raw = RawMode(user);
  EXPECT_EQ(raw.c_iflag, static_cast<tcflag_t>(IXOFF | IUTF8));
  EXPECT_EQ(raw.c_oflag, user.c_oflag);
  EXPECT_EQ(raw.c_cflag, user.c_cflag);
  EXPECT_EQ(raw.c_lflag, static_cast<tcflag_t>(ECHOE | ISIG));
  EXPECT_EQ(raw.c_cc[VMIN], 1) << "a read returns with the first byte";
  EXPECT_EQ(raw.c_cc[VTIME], 0) << "and waits for it without a timer";
  EXPECT_EQ(raw.c_cc[VINTR], 3);
}

}  // namespace
}  // namespace vt
