#include "standin/terminal/vt/key_protocols.h"

namespace vt {
namespace {

constexpr unsigned Win32InputModeNumber = 9001;
constexpr std::string_view StartQuery = "\x1b[?9001$p\x1b[?u\x1b[c";
constexpr std::string_view Win32InputOn = "\x1b[?9001h";
constexpr std::string_view Win32InputOff = "\x1b[?9001l";
// Push the enhancement flags: disambiguate (1), event types (2), alternate
// keys (4), all keys as escape codes (8), the text a key types (16, which
// alone says what AltGr or a dead key made).  Popping gives back what the
// user had.
constexpr std::string_view KittyPush = "\x1b[>31u";
constexpr std::string_view KittyPop = "\x1b[<u";
// Which of the pushed flags the terminal took, and DA1 to know the answer
// is in; the answer comes before any key typed after the push.
constexpr std::string_view KittyFlagsQuery = "\x1b[?u\x1b[c";

}  // namespace

std::string_view ProtocolName(KeyProtocol protocol) {
  switch (protocol) {
    case KeyProtocol::Win32Input:
      return "win32-input-mode";
    case KeyProtocol::Kitty:
      return "progressive keyboard enhancement (CSI u)";
    case KeyProtocol::Legacy:
      break;
  }
  return "legacy key sequences";
}

std::string KeyProtocols::Query() {
  ++unanswered_;
  return std::string(StartQuery);
}

std::string KeyProtocols::OnReply(const Reply& reply, bool held) {
  switch (reply.What) {
    case Reply::Kind::Mode: {
      // Set, reset, or permanently set: the terminal has it.
      const bool has = reply.Value >= 1 && reply.Value <= 3;
      if (decided_ || reply.Mode != Win32InputModeNumber || !has) return {};
      protocol_ = KeyProtocol::Win32Input;
      break;
    }
    case Reply::Kind::KeyboardFlags:
      if (!decided_) keyboardFlags_ = static_cast<int>(reply.Value & 0xFFFFU);
      return {};
    case Reply::Kind::DeviceAttributes:
      if (unanswered_ > 0) --unanswered_;
      if (decided_) return {};
      protocol_ = keyboardFlags_ >= 0 ? KeyProtocol::Kitty : KeyProtocol::Legacy;
      break;
  }
  decided_ = true;
  return held ? Enter() : std::string();
}

std::string KeyProtocols::Enter() {
  if (!decided_ || protocol_ == KeyProtocol::Legacy || inForce_) return {};
  return Engage();
}

std::string KeyProtocols::Engage() {
  inForce_ = true;
  if (protocol_ == KeyProtocol::Win32Input) return std::string(Win32InputOn);
  std::string out(KittyPush);
  if (!flagsAsked_) {
    flagsAsked_ = true;
    ++unanswered_;
    out += KittyFlagsQuery;
  }
  return out;
}

std::string KeyProtocols::Leave() {
  std::string out(LeaveBytes());
  inForce_ = false;
  return out;
}

std::string_view KeyProtocols::LeaveBytes() const {
  if (!inForce_) return {};
  return protocol_ == KeyProtocol::Win32Input ? Win32InputOff : KittyPop;
}

}  // namespace vt
