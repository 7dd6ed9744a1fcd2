// Which key encoding a terminal sends beyond the legacy bytes, found out by
// asking it, and the bytes that switch that encoding on and off again.
// Pure: it is told the terminal's replies as the key decoder recognises
// them, whenever they come (a slow link answers seconds late), and says what
// to send; the caller owns the terminal.  The program and the key-dump tool
// share it, so both see the same keys.
//
// The terminal's state that the program changes comes in pairs that must
// stay balanced whatever happens (stops, continues, a crash): every push of
// the keyboard enhancement flags one pop, every win32-input-mode set one
// reset.  The state here is what is in force on the terminal, so a second
// take without a hand-back in between pushes nothing more.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "standin/terminal/vt/key_decoder.h"

namespace vt {

// Alt and Meta sent as an ESC prefix (xterm 1036, and 1039 where Alt is not
// Meta): a stock xterm otherwise sends Alt+X as an eight-bit byte, and Alt+X
// is the only way out.  XTSAVE first, once per take, and XTRESTORE when
// handing back, so the user's own setting comes back.
inline constexpr std::string_view MetaKeysSave = "\x1b[?1036;1039s";
inline constexpr std::string_view MetaKeysOn = "\x1b[?1036;1039h";
inline constexpr std::string_view MetaKeysRestore = "\x1b[?1036;1039r";

enum class KeyProtocol : uint8_t {
  Legacy,      // the bytes a terminal sends by default
  Win32Input,  // win32-input-mode: each key event as a console key record
  Kitty,       // the progressive keyboard enhancement ("CSI ... u")
};

// The protocol's name, for people.
std::string_view ProtocolName(KeyProtocol protocol);

class KeyProtocols {
 public:
  // Asks whether the terminal has win32-input-mode (DECRQM 9001) and for its
  // keyboard enhancement flags, then for its device attributes (DA1), which
  // every terminal answers, after the queries before it: the answer that
  // says everything has been answered.  Sent once, right after taking the
  // terminal.
  std::string Query();

  // A reply the decoder recognised.  held: the terminal is in the program's
  // modes now; when not, the bytes wait for the next Enter.  Returns what to
  // send now (often nothing).
  //
  // The choice goes by what the terminal says, never by how fast: a
  // win32-input-mode report (set or reset) chooses it at once, since its
  // records are the console's own and win where a terminal has both;
  // otherwise the keyboard flags answer chooses the enhancement protocol
  // once DA1 says no win32-input-mode report is coming; DA1 without either
  // keeps the legacy bytes.  The first choice stands.
  std::string OnReply(const Reply& reply, bool held);

  // Bytes that put the chosen protocol in force when taking the terminal;
  // nothing when it already is (taken again without a hand-back).
  std::string Enter();
  // Bytes that take it out of force when handing the terminal back.
  std::string Leave();
  // What Leave would send now (the crash path keeps a copy).
  [[nodiscard]] std::string_view LeaveBytes() const;

  // A query is unanswered: handing the terminal back now would leave its
  // answer to whoever reads the terminal next (the shell would type it).
  [[nodiscard]] bool AwaitingReplies() const { return unanswered_ > 0; }
  // The answers are not coming (a terminal that does not answer): the next
  // hand-back does not wait for them.  A late answer still counts.
  void GiveUpReplies() { unanswered_ = 0; }

  [[nodiscard]] bool Decided() const { return decided_; }
  [[nodiscard]] KeyProtocol Protocol() const { return protocol_; }
  [[nodiscard]] bool InForce() const { return inForce_; }

 private:
  std::string Engage();
  KeyProtocol protocol_ = KeyProtocol::Legacy;
  bool decided_ = false;
  bool inForce_ = false;
  // The flags in force after the first push are asked once: the decoder
  // learns from the answer whether releases come as events of their own.
  bool flagsAsked_ = false;
  // The keyboard flags the start-up query found; -1 none reported.
  int keyboardFlags_ = -1;
  // DA1 answers still due: each query ends with one.
  int unanswered_ = 0;
};

}  // namespace vt
