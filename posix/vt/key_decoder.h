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

#include "console/win32.h"

namespace vt {

// One key as the Windows console would report it.
struct KeyEvent {
  WORD VirtualKey = 0;
  WORD ScanCode = 0;  // PC keyboard scan code (set 1)
  uint8_t Char = 0;   // code page 866 byte, 0 for keys without a character
  DWORD ControlState = 0;
  bool operator==(const KeyEvent&) const = default;
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

  // Memory bounds whatever arrives: bytes held between reads, and keys held
  // until popped (keys beyond that are dropped, as a full keyboard buffer
  // drops them).
  static constexpr size_t MaxPendingBytes = 2 * MaxSequenceBytes;
  static constexpr size_t MaxQueuedKeys = 256;

 private:
  void Drain(bool timedOut);
  std::vector<uint8_t> pending_;
  uint64_t pendingSinceMs_ = 0;
  std::deque<KeyEvent> keys_;
  uint64_t nowMs_ = 0;  // arrival time of the bytes being drained
  // Skipping the tail of a sequence that was too long or cut off by the
  // timeout; ends at its final byte, or when nothing arrives for a timeout.
  bool skipping_ = false;
  uint64_t skipSinceMs_ = 0;
};

// The records a Windows console queues for one key: press and release.
// A key with Shift, Ctrl or Alt in its state comes between the press and
// the release of those modifier keys (VK_SHIFT, VK_CONTROL, VK_MENU), as on
// Windows, so that a reader that watches the Alt release sees one.
void AppendKeyRecords(const KeyEvent& key, std::vector<INPUT_RECORD>* records);

}  // namespace vt
