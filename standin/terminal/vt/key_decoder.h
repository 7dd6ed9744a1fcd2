// Terminal key decoder: bytes from a terminal (with the time they arrived)
// in, Windows console key records out.  Pure: no I/O, no clock of its own, so
// it is tested and fuzzed byte by byte.  The sequences it knows are data
// tables (xterm and VT220 CSI forms with modifier parameters, SS3 forms, the
// Linux console's function keys); UTF-8 text becomes code page 866 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "win32/win32.h"

namespace vt {

// What a key event stands for.  Legacy terminal encodings only say that a
// key was typed (a press and its release); a terminal that sends whole key
// records (win32-input-mode, or the progressive keyboard enhancement with
// event types) sends each press and each release on its own.
enum class Stroke : uint8_t { PressAndRelease, Press, Release };

// One key as the Windows console would report it.
struct KeyEvent {
  WORD VirtualKey = 0;
  WORD ScanCode = 0;  // PC keyboard scan code (set 1)
  uint8_t Char = 0;   // code page 866 byte, 0 for keys without a character
  DWORD ControlState = 0;
  vt::Stroke Stroke = Stroke::PressAndRelease;
  WORD Repeat = 1;  // for a lone press: the console's repeat count
  bool operator==(const KeyEvent&) const = default;
};

// A terminal's answer to a query, as the decoder recognised it.  Answers
// come in the order the queries went out, each whole or not at all.
struct Reply {
  enum class Kind : uint8_t {
    Mode,              // DECRPM "CSI ? mode ; state $ y": Value the state (0
                       // unknown mode, 1/3 set, 2/4 reset)
    KeyboardFlags,     // "CSI ? flags u": the progressive keyboard
                       // enhancement flags in force, in Value
    DeviceAttributes,  // DA1 "CSI ? ... c", which every terminal answers
  };
  Kind What = Kind::DeviceAttributes;
  unsigned Mode = 0;  // the mode a DECRPM reports on
  unsigned Value = 0;
  bool operator==(const Reply&) const = default;
};

// What the terminal's line discipline does with a key when a key protocol
// delivers it as an escape sequence instead of as the control character
// it would have caught.
enum class LineSignal : uint8_t { None, Interrupt, Quit, Suspend };

// The characters that raise the line discipline's signals (termios VINTR,
// VQUIT, VSUSP); 0 is none, as _POSIX_VDISABLE is on Linux.
struct SignalChars {
  uint8_t Interrupt = 3;  // Ctrl+C
  uint8_t Quit = 28;      // Ctrl+backslash
  uint8_t Suspend = 26;   // Ctrl+Z
};

// The signal a key stands for: a key whose character is one of chars (as
// the tty would have caught it), and Ctrl+Break, which the console always
// turns into a control event (Quit: the signal that stands for it).  A
// release of such a key stands for the same signal and must be dropped with
// it, not raised again.
LineSignal SignalOf(const KeyEvent& key, const SignalChars& chars);

enum class DecodeStatus {
  Complete,  // *consumed bytes made one key (or were dropped as no key)
  Partial,   // the bytes so far start a sequence: wait for more or a timeout
  NotAKey,   // *consumed bytes are no key at all (stray, invalid, unknown)
};

// Decodes one key from the start of bytes[0..n).  With timedOut, a prefix
// that could still grow is taken as it stands (a lone ESC is the Esc key).
// A Complete result always fills *key; NotAKey and Partial leave it alone.
// Without timedOut, Partial consumes nothing; with it, the result is never
// Partial while n > 0.
DecodeStatus DecodeKey(const uint8_t* bytes, size_t n, bool timedOut, KeyEvent* key,
                       size_t* consumed);

// Milliseconds a lone ESC (or an unfinished sequence) waits for the rest.
extern const int EscapeTimeoutMs;

// Longest escape sequence held while its end is awaited: the longest
// reply real terminals send (xterm's DA1 is 38 bytes, terminals with many
// attributes send about 60) with room to spare.  A longer one is dropped
// whole: the rest of it is skipped as it arrives, up to its final byte, so
// that its parameter bytes never turn into typed digits (a DA1 that long
// still counts as one).
inline constexpr size_t MaxSequenceBytes = 128;

// Control strings (OSC, DCS, APC, PM, SOS) are skipped whole up to their
// terminator, whatever their length (colour answers, XTGETTCAP, graphics
// replies run to kilobytes).  One without an end ends when nothing has
// arrived for the escape timeout: keys typed after such a pause count again.

// Streaming wrapper: holds a partial sequence between reads, and at most a
// small bounded number of bytes.
class KeyDecoder {
 public:
  void Feed(const uint8_t* bytes, size_t n, uint64_t nowMs);
  // Resolves a pending partial sequence once its timeout has passed.
  void Tick(uint64_t nowMs);
  // Milliseconds until Tick would resolve what is pending; -1 when nothing is.
  [[nodiscard]] int PendingTimeoutMs(uint64_t nowMs) const;
  bool Pop(KeyEvent* key);
  [[nodiscard]] size_t PendingBytes() const { return pending_.size(); }
  [[nodiscard]] size_t QueuedKeys() const { return keys_.size(); }
  // The next reply recognised (replies are never keys), oldest first.
  bool PopReply(Reply* reply);
  // The progressive keyboard enhancement flags the terminal last reported
  // in force; -1 before any report.  With event types (2) among them a key
  // sequence without a type is a press whose release comes on its own.
  [[nodiscard]] int KeyboardFlags() const { return keyboardFlags_; }

  // Memory bounds whatever arrives: bytes held between reads, and keys held
  // until popped (keys beyond that are dropped, as a full keyboard buffer
  // drops them).
  static constexpr size_t MaxPendingBytes = 2 * MaxSequenceBytes;
  static constexpr size_t MaxQueuedKeys = 256;
  static constexpr size_t MaxQueuedReplies = 16;

 private:
  void Drain(bool timedOut);
  void Settle(KeyEvent* key, bool fromCsi);
  void NoteReply(const Reply& reply);
  std::vector<uint8_t> pending_;
  // The left and right Ctrl and Alt keys held down, as the terminal's
  // press and release events of the modifier keys tell.
  DWORD heldSides_ = 0;
  // When the last byte of what is pending arrived: a sequence waits for
  // its next byte, not for its whole, so that one a slow link delivers a
  // few milliseconds a byte is still one sequence.
  uint64_t pendingSinceMs_ = 0;
  std::deque<KeyEvent> keys_;
  std::deque<Reply> replies_;
  int keyboardFlags_ = -1;
  uint64_t nowMs_ = 0;  // arrival time of the bytes being drained
  // Skipping the tail of a sequence that was too long or cut off by the
  // timeout; ends at its final byte, or when nothing arrives for a timeout.
  // A private DA1 ("CSI ? ... c") skipped this way still counts.
  bool skipping_ = false;
  bool skippingPrivate_ = false;
  uint64_t skipSinceMs_ = 0;
  // Skipping the rest of a control string; ends at its terminator, or when
  // nothing arrives for a timeout.
  bool inString_ = false;
};

// The records a Windows console queues for one key: press and release; for
// a lone press or release (from a terminal that sends key records), that
// record alone, as sent.
// A key with Shift, Ctrl or Alt in its state comes between the press and
// the release of those modifier keys (VK_SHIFT, VK_CONTROL, VK_MENU), as on
// Windows, so that a reader that watches the Alt release sees one.
void AppendKeyRecords(const KeyEvent& key, std::vector<INPUT_RECORD>* records);

}  // namespace vt
