// rousel-keydump: shows what this terminal sends for each key and which key
// Rousel makes of it.  For users whose terminal sends sequences the program
// does not know: run it, press the key, and the line shows the raw bytes and
// the decoded key (virtual key, scan code, character, control-key state).
// Bytes that make no key get a hint at the likely cause.  Quits on q typed
// three times in a row, or Ctrl+C.
//
// It asks the terminal what Rousel asks (Alt as an ESC prefix, and which key
// protocol it has), chooses the protocol the same way (vt::KeyProtocols),
// names it, and gives everything back on the way out, so the keys shown are
// the keys Rousel sees.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "standin/terminal/vt/cp866.h"
#include "standin/terminal/vt/key_decoder.h"
#include "standin/terminal/vt/key_protocols.h"
#include "tools/keydump_hint.h"

namespace {

termios SavedMode{};
volatile sig_atomic_t ModeChanged = 0;

// The bytes that give the terminal's key settings back (the protocol out
// of force, the user's meta setting), kept where a signal handler can
// write them: set before the handlers exist and whenever they change.
char LeaveBytes[64];
volatile sig_atomic_t LeaveLength = 0;

void SetLeaveBytes(std::string_view bytes) {
  LeaveLength = 0;
  const size_t n = std::min(bytes.size(), sizeof LeaveBytes);
  std::copy_n(bytes.data(), n, LeaveBytes);
  LeaveLength = static_cast<sig_atomic_t>(n);
}

// write and tcsetattr are async-signal-safe, so the signal handler may use
// this too.
void RestoreTerminal() {
  if (ModeChanged != 0) {
    if (write(STDOUT_FILENO, LeaveBytes, static_cast<size_t>(LeaveLength)) < 0) {
      // Nothing more to do on the way out.
    }
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &SavedMode);
    ModeChanged = 0;
  }
}

void OnSignal(int sig) {
  RestoreTerminal();
  // Die of the signal as if it had not been caught: the parent sees why.
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// Non-canonical, no echo; ISIG, IXON and IEXTEN off as well, so that Ctrl+C,
// Ctrl+Z, Ctrl+S, Ctrl+Q and Ctrl+V arrive as bytes to be shown; ICRNL off,
// so that Enter shows as the CR the terminal sends.
bool EnterKeyMode() {
  if (tcgetattr(STDIN_FILENO, &SavedMode) != 0) return false;
  termios mode = SavedMode;
  mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  mode.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  SetLeaveBytes(vt::MetaKeysRestore);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(sig, OnSignal);
  ModeChanged = 1;
  if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &mode) != 0) {
    ModeChanged = 0;
    return false;
  }
  return true;
}

uint64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000U + static_cast<uint64_t>(ts.tv_nsec) / 1000000U;
}

void Print(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
}

std::string Format(const char* format, unsigned value) {
  std::array<char, 32> buffer{};
  std::snprintf(buffer.data(), buffer.size(), format, value);
  return buffer.data();
}

// The bytes in hex, then spelt out: ESC, ^X for other controls, printable
// ASCII as itself, anything else as its hex value again.  Never a raw
// control byte on the screen.
std::string DescribeBytes(const uint8_t* bytes, size_t n) {
  std::string hex;
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = bytes[i];
    hex += Format("%02x ", b);
    if (!text.empty()) text += ' ';
    if (b == 0x1B) {
      text += "ESC";
    } else if (b < 0x20) {
      text += '^';
      text += static_cast<char>(b + 0x40);
    } else if (b == 0x7F) {
      text += "DEL";
    } else if (b < 0x7F) {
      text += static_cast<char>(b);
    } else {
      text += Format("\\x%02x", b);
    }
  }
  return "bytes " + hex + "  " + text + "\r\n";
}

const char* KeyName(WORD vk) {
  struct Name {
    WORD Vk;
    const char* Name;
  };
  static constexpr Name Names[] = {
      {VK_BACK, "Backspace"}, {VK_TAB, "Tab"},     {VK_CLEAR, "Clear"},    {VK_RETURN, "Enter"},
      {VK_ESCAPE, "Esc"},     {VK_SPACE, "Space"}, {VK_PRIOR, "PgUp"},     {VK_NEXT, "PgDn"},
      {VK_END, "End"},        {VK_HOME, "Home"},   {VK_LEFT, "Left"},      {VK_UP, "Up"},
      {VK_RIGHT, "Right"},    {VK_DOWN, "Down"},   {VK_INSERT, "Insert"},  {VK_DELETE, "Delete"},
      {VK_MULTIPLY, "Num *"}, {VK_ADD, "Num +"},   {VK_SUBTRACT, "Num -"}, {0x6E, "Num ."},
      {VK_DIVIDE, "Num /"},   {0xE7, "character"},
  };
  for (const Name& n : Names) {
    if (n.Vk == vk) return n.Name;
  }
  return nullptr;
}

std::string DescribeKey(const vt::KeyEvent& key) {
  std::string line = "  key  VK " + Format("0x%02x", key.VirtualKey);
  if (const char* name = KeyName(key.VirtualKey)) {
    line += std::string(" (") + name + ")";
  } else if (key.VirtualKey >= VK_F1 && key.VirtualKey <= VK_F12) {
    line += Format(" (F%u)", key.VirtualKey - VK_F1 + 1U);
  } else if (key.VirtualKey >= VK_NUMPAD0 && key.VirtualKey <= VK_NUMPAD9) {
    line += Format(" (Num %u)", key.VirtualKey - VK_NUMPAD0);
  } else if ((key.VirtualKey >= '0' && key.VirtualKey <= '9') ||
             (key.VirtualKey >= 'A' && key.VirtualKey <= 'Z')) {
    line += std::string(" (") + static_cast<char>(key.VirtualKey) + ")";
  }
  line += Format("  scan %u", key.ScanCode);
  line += Format("  char 0x%02x", key.Char);
  // The character as the console shows code page 866, when it is one.
  if (key.Char >= 0x20 && key.Char != 0x7F) {
    line += " '";
    vt::AppendCp866AsUtf8(line, key.Char);
    line += "'";
  }
  if (key.Stroke != vt::Stroke::PressAndRelease) {
    line += key.Stroke == vt::Stroke::Press ? "  down" : "  up";
  }
  line += "  state";
  struct Flag {
    DWORD Bit;
    const char* Name;
  };
  static constexpr Flag Flags[] = {
      {SHIFT_PRESSED, "SHIFT_PRESSED"},           {LEFT_CTRL_PRESSED, "LEFT_CTRL_PRESSED"},
      {RIGHT_CTRL_PRESSED, "RIGHT_CTRL_PRESSED"}, {LEFT_ALT_PRESSED, "LEFT_ALT_PRESSED"},
      {RIGHT_ALT_PRESSED, "RIGHT_ALT_PRESSED"},   {ENHANCED_KEY, "ENHANCED_KEY"},
  };
  bool any = false;
  for (const Flag& f : Flags) {
    if ((key.ControlState & f.Bit) == 0) continue;
    line += any ? "|" : " ";
    line += f.Name;
    any = true;
  }
  if (!any) line += " 0";
  return line + "\r\n";
}

// Prints the decoded keys; true when the user asked to quit.  *printed
// tells whether there was any.
bool PrintKeys(vt::KeyDecoder& decoder, int* qCount, bool* printed) {
  vt::KeyEvent key;
  bool quit = false;
  *printed = false;
  while (decoder.Pop(&key)) {
    *printed = true;
    Print(DescribeKey(key));
    if (key.Char == 3 && (key.ControlState & LEFT_CTRL_PRESSED) != 0) quit = true;
    if (key.Stroke == vt::Stroke::Release) continue;
    *qCount = key.Char == 'q' && key.ControlState == 0 ? *qCount + 1 : 0;
    if (*qCount >= 3) quit = true;
  }
  return quit;
}

// Bytes since the last key; once the decoder holds none of them back and
// they made no key, the user gets a hint at why.
void HintIfNoKey(std::vector<uint8_t>* unanswered, const vt::KeyDecoder& decoder, bool printed) {
  if (printed) {
    unanswered->clear();
  } else if (decoder.PendingBytes() == 0 && !unanswered->empty()) {
    Print(keydump::HintFor(unanswered->data(), unanswered->size()));
    unanswered->clear();
  }
}

// The terminal's replies go to the negotiation, its choice to the
// terminal, and the protocol's name to the user once it is known.  True
// when there was a reply (bytes that need no hint).
bool Negotiate(vt::KeyDecoder& decoder, vt::KeyProtocols& keys) {
  vt::Reply reply;
  bool any = false;
  while (decoder.PopReply(&reply)) {
    any = true;
    const bool decided = keys.Decided();
    const std::string send = keys.OnReply(reply, true);
    SetLeaveBytes(std::string(keys.LeaveBytes()) + std::string(vt::MetaKeysRestore));
    Print(send);
    if (!decided && keys.Decided()) {
      Print("Keys: " + std::string(vt::ProtocolName(keys.Protocol())) + "\r\n");
    }
  }
  return any;
}

// Reads what the terminal still owes before giving it back, at most a
// quarter second: an answer that came later would be typed into the shell.
void AwaitReplies(vt::KeyDecoder& decoder, vt::KeyProtocols& keys) {
  const uint64_t until = NowMs() + 250;
  std::array<uint8_t, 256> buffer{};
  while (keys.AwaitingReplies() && NowMs() < until) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, static_cast<int>(until - NowMs())) <= 0) break;
    const ssize_t n = read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n <= 0) break;
    decoder.Feed(buffer.data(), static_cast<size_t>(n), NowMs());
    Negotiate(decoder, keys);
  }
}

}  // namespace

int main() {
  // Without a terminal there are no keys to show, and piped bytes would
  // pass for keys the terminal never sent.
  if (isatty(STDIN_FILENO) == 0) {
    std::fputs(
        "rousel-keydump: standard input is not a terminal; run it in the terminal "
        "whose keys you want to see\n",
        stderr);
    return 1;
  }
  if (!EnterKeyMode()) {
    std::fputs("rousel-keydump: cannot switch the terminal's echo and line editing off\n", stderr);
    return 1;
  }
  Print("Press keys to see what the terminal sends. q three times, or Ctrl+C, quits.\r\n");
  vt::KeyDecoder decoder;
  vt::KeyProtocols keys;
  Print(std::string(vt::MetaKeysSave) + std::string(vt::MetaKeysOn) + keys.Query());
  int qCount = 0;
  bool quit = false;
  bool printed = false;
  std::vector<uint8_t> unanswered;
  std::array<uint8_t, 256> buffer{};
  while (!quit) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&input, 1, decoder.PendingTimeoutMs(NowMs()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {  // the wait for the rest of a sequence ran out
      decoder.Tick(NowMs());
      if (Negotiate(decoder, keys)) unanswered.clear();
      quit = PrintKeys(decoder, &qCount, &printed);
      HintIfNoKey(&unanswered, decoder, printed);
      continue;
    }
    const ssize_t n = read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the terminal hung up
    Print(DescribeBytes(buffer.data(), static_cast<size_t>(n)));
    decoder.Feed(buffer.data(), static_cast<size_t>(n), NowMs());
    // Held back only while a sequence may still grow, which the decoder
    // bounds; a stream of bytes that never makes a key is cut here.  The
    // terminal's answers need no hint.
    if (Negotiate(decoder, keys)) {
      unanswered.clear();
    } else if (unanswered.size() < 4 * vt::MaxSequenceBytes) {
      unanswered.insert(unanswered.end(), buffer.data(), buffer.data() + n);
    }
    quit = PrintKeys(decoder, &qCount, &printed);
    HintIfNoKey(&unanswered, decoder, printed);
  }
  AwaitReplies(decoder, keys);
  Print(keys.Leave());
  SetLeaveBytes(vt::MetaKeysRestore);
  RestoreTerminal();
  return 0;
}
