#include "standin/terminal/vt/key_protocols.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace vt {
namespace {

#define ESC "\x1b"

// What the session sends, step by step after the query (each step's bytes
// followed by '|'), and the protocol it ends on.  A step is replies that
// arrive (through the key decoder), or a letter: s the terminal is handed
// back for a stop, t taken again, c taken again while still held (a SIGCONT
// without a stop).  Pushes and pops, sets and resets, alternate; a reply
// that comes while the terminal is handed back waits for the next take;
// nothing is asked twice.
TEST(KeyProtocolsTest, TheAnswerChoosesWhateverItsTimeAndEveryPushHasItsPop) {
  using enum KeyProtocol;
  const std::string flags = ESC "[?0u" ESC "[?62c";
  const std::string win32 = ESC "[?9001;2$y" + flags;
  const std::string kitty = ESC "[?9001;0$y" + flags;
  const std::string taken = ESC "[?31u" ESC "[?62c";
  const std::string push = ESC "[>31u" ESC "[?u" ESC "[c|";
  const std::string pop = ESC "[<u|" ESC "[>31u|";
  const std::string on = ESC "[?9001h|";
  const std::tuple<const char*, std::vector<std::string>, std::string, KeyProtocol> cases[] = {
      {"win32-input-mode", {win32, "s", "t"}, on + ESC "[?9001l|" + on, Win32Input},
      {"win32-input-mode, set", {ESC "[?9001;1$y" + flags}, on, Win32Input},
      {"both, the mode always on", {ESC "[?9001;3$y" ESC "[?31u" ESC "[?1;2c"}, on, Win32Input},
      {"flags, no mode report", {flags, taken}, push, Kitty},
      {"flags, the mode permanently reset", {ESC "[?9001;4$y" + flags, taken}, push, Kitty},
      {"xterm", {ESC "[?9001;0$y" ESC "[?64;1;2;6;9;15;16;17;18;21;22;28c"}, "", Legacy},
      {"a mode report after DA1", {ESC "[?62c" + win32}, "", Legacy},
      {"a flags report without flags", {ESC "[?u" ESC "[?62c"}, "", Legacy},
      {"a mode report without its $", {ESC "[?9001;1y" + flags, taken}, push, Kitty},
      {"a long CSI ending in c is no DA1",
       {ESC "[" + std::string(200, '1') + "c" ESC "[" + std::string(300, '1') + "c" + kitty, taken},
       push,
       Kitty},
      {"answered while handed back", {"s", kitty, "t", taken}, push, Kitty},
      {"continues while held, stops",
       {kitty, taken, "c", "c", "s", "t", "c", "s", "s", "t"},
       push + pop + pop,
       Kitty},
  };
  for (const auto& [name, steps, expected, protocol] : cases) {
    KeyProtocols keys;
    EXPECT_EQ(keys.Query(), ESC "[?9001$p" ESC "[?u" ESC "[c") << name;
    KeyDecoder decoder;
    bool held = true;
    std::string sent;
    for (const std::string& step : steps) {
      std::string out;
      if (step.size() > 1) {
        decoder.Feed(reinterpret_cast<const uint8_t*>(step.data()), step.size(), 0);
        Reply reply;
        while (decoder.PopReply(&reply)) out += keys.OnReply(reply, held);
      } else if (step == "s" && held) {
        const std::string crashPath(keys.LeaveBytes());
        out = keys.Leave();
        EXPECT_EQ(out, crashPath) << name;
        held = false;
      } else if (step != "s") {
        held = true;
        out = keys.Enter();
      }
      if (!out.empty()) sent += out + "|";
    }
    EXPECT_EQ(sent, expected) << name;
    EXPECT_EQ(keys.Protocol(), protocol) << name;
    EXPECT_FALSE(keys.AwaitingReplies()) << name;
  }
}

// Each query awaits its answer; given up on, a late answer still decides,
// and the flags query that its push sends is awaited afresh.
TEST(KeyProtocolsTest, ALateAnswerLeavesTheNextQueryAwaited) {
  KeyProtocols keys;
  keys.Query();
  EXPECT_TRUE(keys.AwaitingReplies());
  keys.GiveUpReplies();
  EXPECT_FALSE(keys.AwaitingReplies());
  KeyDecoder decoder;
  std::string sent;
  const auto answer = [&](const std::string& bytes) {
    decoder.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0);
    Reply reply;
    while (decoder.PopReply(&reply)) sent += keys.OnReply(reply, true);
  };
  answer(ESC "[?9001;0$y" ESC "[?0u" ESC "[?62c");
  EXPECT_EQ(sent, ESC "[>31u" ESC "[?u" ESC "[c");
  EXPECT_TRUE(keys.AwaitingReplies());
  answer(ESC "[?31u" ESC "[?62c");
  EXPECT_FALSE(keys.AwaitingReplies());
  EXPECT_EQ(keys.Protocol(), KeyProtocol::Kitty);
}

}  // namespace
}  // namespace vt
