// libFuzzer target for the key protocol negotiation, run as the terminal
// session runs it: the terminal's answers (well-formed, malformed, late,
// split, paced) go through the key decoder, its replies to vt::KeyProtocols,
// and the script stops and continues the program, continues it while it
// runs, gives answers up, and ends with a hand-back or a crash.
//
// What must hold, whatever the script:
//  - nothing is sent while the terminal is handed back;
//  - pushes of the keyboard flags and pops alternate, starting with a push,
//    and so do win32-input-mode's set and reset; after the last hand-back
//    (or the crash path's bytes) nothing is left in force;
//  - the flags are asked after a push at most once;
//  - the protocol chosen is the one the replies call for (a win32-input-mode
//    report before DA1 chooses it; else a flags answer before DA1 chooses
//    the enhancement protocol; else DA1 keeps the legacy bytes);
//  - the choice does not depend on how fast the answer came: the same
//    bytes fed whole, and a byte at a time up to a timeout apart, give the
//    same replies and the same choice.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "standin/terminal/vt/key_decoder.h"
#include "standin/terminal/vt/key_protocols.h"

namespace {

using fuzz::Check;

// Answers a terminal may give, well-formed and not.
const std::string_view Answers[] = {
    "\x1b[?9001;0$y",
    "\x1b[?9001;1$y",
    "\x1b[?9001;2$y",
    "\x1b[?9001;3$y",
    "\x1b[?9001;4$y",
    "\x1b[?1049;2$y",
    "\x1b[?0u",
    "\x1b[?31u",
    "\x1b[?1u",
    "\x1b[?62c",
    "\x1b[?64;1;2;6;9;15;16;17;18;21;22;28c",
    // Longer than any sequence the decoder holds.
    // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
    "\x1b[?61;4;6;7;14;21;22;23;24;28;32;42;52;62;63;64;65;66;67;68;69;70;71;72;73;74;75;76;77;78;"
    "79;80;81;82;83;84;85;86;87;88;89;90;91;92c",
    "\x1b[>41;390;0c",
    "\x1b[?-1;2$y",
    "\x1b[?-1u",
    "\x1b[0;0;-52;1;0;1_",
    "\x1b]11;rgb:ffff/ffff/ffff\x1b\\",
    "\x1bP1+r544e=787465726d\x1b\\",
    "\x1b_Gi=1;OK\x1b\\",
    "\x1b[M !!",
};

// The terminal as the session sees it.
class Terminal {
 public:
  // Bytes the program sends; checked as they come.
  void Send(std::string_view bytes) {
    if (bytes.empty()) return;
    Check(held_, "bytes sent while the terminal is handed back");
    Note(bytes);
  }
  void Leave(std::string_view bytes) {
    Note(bytes);
    Check(Pushed() == 0 && win32_ == 0, "something left in force after the hand-back");
  }
  void SetHeld(bool held) { held_ = held; }
  [[nodiscard]] bool Held() const { return held_; }

 private:
  [[nodiscard]] int Pushed() const { return pushes_ - pops_; }
  void Note(std::string_view bytes) {
    for (size_t at = 0; at < bytes.size(); ++at) {
      const std::string_view rest = bytes.substr(at);
      if (rest.starts_with("\x1b[>31u")) ++pushes_;
      if (rest.starts_with("\x1b[<u")) ++pops_;
      if (rest.starts_with("\x1b[?9001h")) ++win32_;
      if (rest.starts_with("\x1b[?9001l")) --win32_;
      if (rest.starts_with("\x1b[>31u\x1b[?u")) ++flagQueries_;
      Check(Pushed() == 0 || Pushed() == 1, "a push without a pop between, or a pop too many");
      Check(win32_ == 0 || win32_ == 1, "win32-input-mode set twice, or reset twice");
      Check(flagQueries_ <= 1, "the flags asked after more than one push");
    }
  }
  bool held_ = true;
  int pushes_ = 0;
  int pops_ = 0;
  int win32_ = 0;
  int flagQueries_ = 0;
};

// The protocol the replies call for.
struct Model {
  bool Decided = false;
  vt::KeyProtocol Protocol = vt::KeyProtocol::Legacy;
  bool Flags = false;
  void Reply(const vt::Reply& r) {
    if (Decided) return;
    if (r.What == vt::Reply::Kind::Mode && r.Mode == 9001 && r.Value >= 1 && r.Value <= 3) {
      Decided = true;
      Protocol = vt::KeyProtocol::Win32Input;
    } else if (r.What == vt::Reply::Kind::KeyboardFlags) {
      Flags = true;
    } else if (r.What == vt::Reply::Kind::DeviceAttributes) {
      Decided = true;
      Protocol = Flags ? vt::KeyProtocol::Kitty : vt::KeyProtocol::Legacy;
    }
  }
};

std::vector<vt::Reply> Replies(vt::KeyDecoder& decoder) {
  std::vector<vt::Reply> replies;
  vt::Reply reply;
  while (decoder.PopReply(&reply)) replies.push_back(reply);
  vt::KeyEvent key;
  while (decoder.Pop(&key)) {
  }
  return replies;
}

// The same bytes whole and paced give the same replies.
void CheckPacing(const std::string& bytes, uint8_t gap) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  vt::KeyDecoder whole;
  whole.Feed(data, bytes.size(), 1000);
  whole.Tick(1000 + vt::EscapeTimeoutMs);
  vt::KeyDecoder paced;
  uint64_t now = 1000;
  std::vector<vt::Reply> got;
  for (size_t i = 0; i < bytes.size(); ++i) {
    paced.Feed(data + i, 1, now);
    now += gap % vt::EscapeTimeoutMs;
    for (const vt::Reply& r : Replies(paced)) got.push_back(r);
  }
  paced.Tick(now + vt::EscapeTimeoutMs);
  for (const vt::Reply& r : Replies(paced)) got.push_back(r);
  const std::vector<vt::Reply> expected = Replies(whole);
  // The decoder keeps the latest replies only; short scripts compare whole.
  if (expected.size() < vt::KeyDecoder::MaxQueuedReplies) {
    Check(got == expected, "a paced answer read otherwise than the whole");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  vt::KeyDecoder decoder;
  vt::KeyProtocols keys;
  Terminal terminal;
  Model model;
  std::string answered;  // every answer byte, for the pacing check
  uint64_t now = 1000;
  terminal.Send(keys.Query());
  const auto deliver = [&] {
    for (const vt::Reply& r : Replies(decoder)) {
      model.Reply(r);
      const std::string send = keys.OnReply(r, terminal.Held());
      terminal.Send(send);
      Check(keys.LeaveBytes().empty() != keys.InForce(), "crash path bytes do not match");
    }
    Check(keys.Decided() == model.Decided, "decided otherwise than the replies say");
    Check(!keys.Decided() || keys.Protocol() == model.Protocol,
          "a protocol other than the replies call for");
    Check(!vt::ProtocolName(keys.Protocol()).empty(), "a protocol without a name");
  };
  bool crashed = false;
  for (int step = 0; step < 200 && !in.Empty() && !crashed; ++step) {
    static const uint64_t Gaps[] = {0, 1, 5, 20, 49, 50, 51, 200, 1500};
    const uint8_t op = in.Byte();
    switch (op % 8) {
      case 0:
      case 1: {
        // Answers, from the table or raw bytes, after a gap.
        std::string bytes;
        if (op % 8 == 0) {
          bytes = Answers[in.Below(std::size(Answers))];
        } else {
          const size_t n = 1 + in.Below(24);
          for (size_t i = 0; i < n; ++i) bytes += static_cast<char>(in.Byte());
        }
        now += Gaps[in.Below(std::size(Gaps))];
        answered += bytes;
        const size_t split = in.Below(bytes.size() + 1);
        decoder.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), split, now);
        now += Gaps[in.Below(5)];
        decoder.Feed(reinterpret_cast<const uint8_t*>(bytes.data()) + split, bytes.size() - split,
                     now);
        break;
      }
      case 2:
        now += Gaps[in.Below(std::size(Gaps))];
        decoder.Tick(now);
        break;
      case 3:
        // A stop: handed back, then taken again (or not yet).
        if (terminal.Held()) {
          terminal.Leave(keys.Leave());
          terminal.SetHeld(false);
        } else {
          terminal.SetHeld(true);
          terminal.Send(keys.Enter());
        }
        break;
      case 4:
        // SIGCONT while running: taken again without a hand-back.
        if (terminal.Held()) terminal.Send(keys.Enter());
        break;
      case 5:
        keys.GiveUpReplies();
        Check(!keys.AwaitingReplies(), "still waiting after giving up");
        break;
      case 6:
        crashed = (op & 0x80) != 0;
        if (crashed && terminal.Held()) terminal.Leave(keys.LeaveBytes());
        break;
      default:
        break;
    }
    deliver();
  }
  decoder.Tick(now + vt::EscapeTimeoutMs);
  deliver();
  if (!crashed && terminal.Held()) terminal.Leave(keys.Leave());
  Check(crashed || !keys.InForce(), "in force after the last hand-back");
  CheckPacing(answered, static_cast<uint8_t>(size));
  return 0;
}
