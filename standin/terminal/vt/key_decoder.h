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

// What the terminal answered to the start-up query, as far as it has.
struct TerminalReplies {
  // DECRPM for win32-input-mode (9001): 0 unknown mode, 1/3 set, 2/4 reset;
  // -1 no answer yet.
  int Win32InputMode = -1;
  // The progressive keyboard enhancement flags in force ("CSI ? flags u");
  // -1 no answer yet.  The latest answer counts.
  int KittyFlags = -1;
  // The device attributes (DA1), which every terminal answers, and which
  // come after the answers to the queries sent before them.
  bool DeviceAttributes = false;
};

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

// Longest escape sequence held while its end is awaited.  A longer one is
// dropped, and the rest of it skipped as it arrives, so that its parameter
// bytes never turn into typed digits.
inline constexpr size_t MaxSequenceBytes = 32;

// Longest control string (OSC, DCS, APC, PM, SOS) skipped as a terminal's
// reply.  One without an end would otherwise swallow every key after it;
// past this, and after a timeout without bytes, keys count again.
inline constexpr size_t MaxControlStringBytes = 4096;

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
  // The replies recognised so far (they are never keys).
  [[nodiscard]] const TerminalReplies& Replies() const { return replies_; }

  // Memory bounds whatever arrives: bytes held between reads, and keys held
  // until popped (keys beyond that are dropped, as a full keyboard buffer
  // drops them).
  static constexpr size_t MaxPendingBytes = 2 * MaxSequenceBytes;
  static constexpr size_t MaxQueuedKeys = 256;

 private:
  void Drain(bool timedOut);
  void Settle(KeyEvent* key, bool fromCsi);
  std::vector<uint8_t> pending_;
  // The left and right Ctrl and Alt keys held down, as the terminal's
  // press and release events of the modifier keys tell.
  DWORD heldSides_ = 0;
  uint64_t pendingSinceMs_ = 0;
  std::deque<KeyEvent> keys_;
  TerminalReplies replies_;
  uint64_t nowMs_ = 0;  // arrival time of the bytes being drained
  // Skipping the tail of a sequence that was too long or cut off by the
  // timeout; ends at its final byte, or when nothing arrives for a timeout.
  bool skipping_ = false;
  uint64_t skipSinceMs_ = 0;
  // Skipping the rest of a control string; ends at its terminator, after
  // MaxControlStringBytes, or when nothing arrives for a timeout.
  bool inString_ = false;
  size_t stringBytes_ = 0;
};

// The records a Windows console queues for one key: press and release; for
// a lone press or release (from a terminal that sends key records), that
// record alone, as sent.
// A key with Shift, Ctrl or Alt in its state comes between the press and
// the release of those modifier keys (VK_SHIFT, VK_CONTROL, VK_MENU), as on
// Windows, so that a reader that watches the Alt release sees one.
void AppendKeyRecords(const KeyEvent& key, std::vector<INPUT_RECORD>* records);

}  // namespace vt
