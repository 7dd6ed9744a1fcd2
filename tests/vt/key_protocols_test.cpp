#include "standin/terminal/vt/key_protocols.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace vt {
namespace {

#define ESC "\x1b"

// One thing that happens to the session: replies arrive ('r', through the
// key decoder), the terminal is handed back for a stop ('s') and taken again
// ('t'), or taken again while still held, a SIGCONT without a stop ('c').
struct Step {
  char Op;
  std::string Bytes;
};

// What the session sends, step by step after the query (each step's bytes
// followed by '|'), and the protocol it ends on.  Pushes and pops, sets and
// resets, alternate; a reply that comes while the terminal is handed back
// waits for the next take; nothing is asked twice.
TEST(KeyProtocols, TheAnswerChoosesWhateverItsTimeAndEveryPushHasItsPop) {
  const std::string win32 = ESC "[?9001;2$y" ESC "[?0u" ESC "[?62c";
  const std::string kitty = ESC "[?9001;0$y" ESC "[?0u" ESC "[?62c";
  const std::string taken = ESC "[?31u" ESC "[?62c";
  const std::string push = ESC "[>31u" ESC "[?u" ESC "[c|";
  const std::tuple<const char*, std::vector<Step>, std::string, KeyProtocol> cases[] = {
      {"win32-input-mode",
       {{'r', win32}, {'s', ""}, {'t', ""}},
       ESC "[?9001h|" ESC "[?9001l|" ESC "[?9001h|",
       KeyProtocol::Win32Input},
      {"both, the mode always on",
       {{'r', ESC "[?9001;3$y" ESC "[?31u" ESC "[?1;2c"}},
       ESC "[?9001h|",
       KeyProtocol::Win32Input},
      {"flags, no mode report",
       {{'r', ESC "[?0u" ESC "[?62c"}, {'r', taken}},
       push,
       KeyProtocol::Kitty},
      {"flags, the mode permanently reset",
       {{'r', ESC "[?9001;4$y" ESC "[?0u" ESC "[?62c"}, {'r', taken}},
       push,
       KeyProtocol::Kitty},
      {"xterm",
       {{'r', ESC "[?9001;0$y" ESC "[?64;1;2;6;9;15;16;17;18;21;22;28c"}},
       "",
       KeyProtocol::Legacy},
      {"a mode report after DA1",
       {{'r', ESC "[?62c" ESC "[?9001;2$y" ESC "[?0u" ESC "[?62c"}},
       "",
       KeyProtocol::Legacy},
      {"answered while handed back",
       {{'s', ""}, {'r', kitty}, {'t', ""}, {'r', taken}},
       ESC "[>31u" ESC "[?u" ESC "[c|",
       KeyProtocol::Kitty},
      {"continues while held, stops",
       {{'r', kitty},
        {'r', taken},
        {'c', ""},
        {'c', ""},
        {'s', ""},
        {'t', ""},
        {'c', ""},
        {'s', ""},
        {'s', ""},
        {'t', ""}},
       push + ESC "[<u|" ESC "[>31u|" ESC "[<u|" ESC "[>31u|",
       KeyProtocol::Kitty},
  };
  for (const auto& [name, steps, expected, protocol] : cases) {
    KeyProtocols keys;
    EXPECT_EQ(keys.Query(), ESC "[?9001$p" ESC "[?u" ESC "[c") << name;
    KeyDecoder decoder;
    bool held = true;
    std::string sent;
    for (const Step& step : steps) {
      std::string out;
      if (step.Op == 'r') {
        decoder.Feed(reinterpret_cast<const uint8_t*>(step.Bytes.data()), step.Bytes.size(), 0);
        Reply reply;
        while (decoder.PopReply(&reply)) out += keys.OnReply(reply, held);
      } else if (step.Op == 's' && held) {
        const std::string crashPath(keys.LeaveBytes());
        out = keys.Leave();
        EXPECT_EQ(out, crashPath) << name;
        held = false;
      } else if (step.Op != 's') {
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

// A query is awaited until its DA1 comes, or until given up; the flags are
// asked once after the first push, and that answer is awaited too.
TEST(KeyProtocols, AnswersStillDueAreKnown) {
  KeyProtocols keys;
  keys.Query();
  EXPECT_TRUE(keys.AwaitingReplies());
  keys.GiveUpReplies();
  EXPECT_FALSE(keys.AwaitingReplies());
  EXPECT_EQ(keys.OnReply({Reply::Kind::KeyboardFlags, 0, 0}, true), "");
  EXPECT_EQ(keys.OnReply({Reply::Kind::DeviceAttributes, 0, 0}, true),
            ESC "[>31u" ESC "[?u" ESC "[c");
  EXPECT_TRUE(keys.AwaitingReplies());
  EXPECT_EQ(keys.OnReply({Reply::Kind::DeviceAttributes, 0, 0}, true), "");
  EXPECT_FALSE(keys.AwaitingReplies());
  EXPECT_EQ(keys.Leave(), ESC "[<u");
  EXPECT_EQ(keys.Leave(), "");
  EXPECT_EQ(keys.Enter(), ESC "[>31u");
}

}  // namespace
}  // namespace vt
