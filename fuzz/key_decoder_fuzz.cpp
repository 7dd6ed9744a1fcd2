// libFuzzer target for the terminal key decoder.  Whatever the bytes:
// DecodeKey keeps its contract, the streaming decoder gives the same keys
// however the bytes are split into reads, its memory stays bounded whatever
// the timing, and every key carries a character a key may have (never a
// stray control byte) in a balanced set of press and release records.
//
// Built by the fuzz preset as rousel_fuzz_key_decoder; scripts/fuzz.sh runs
// it with the seed corpus and the dictionary of escape sequences.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "standin/terminal/vt/key_decoder.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// The character a key may carry: none (0), printable ASCII, a code page
// 866 byte from 128 up, or one of the C0 controls a key types by itself
// (Backspace 8, Tab 9, Enter 13, Esc 27) or with Ctrl (Ctrl+letter and
// Ctrl+punctuation).  LF and DEL never: they arrive as Enter and Backspace.
bool CharFitsKey(const vt::KeyEvent& key) {
  const uint8_t c = key.Char;
  if (c == 0 || (c >= 32 && c < 127) || c >= 128) return true;
  if (c == 8) return key.VirtualKey == VK_BACK;
  if (c == 9) return key.VirtualKey == VK_TAB;
  if (c == 13) return key.VirtualKey == VK_RETURN;
  if (c == 27) return key.VirtualKey == VK_ESCAPE;
  if (c == 10 || c == 127) return false;
  if ((key.ControlState & LEFT_CTRL_PRESSED) == 0) return false;
  // Ctrl+A..Ctrl+Z are the letter keys themselves.
  return c > 26 || key.VirtualKey == static_cast<WORD>('A' + c - 1);
}

void CheckKey(const vt::KeyEvent& key) {
  std::vector<INPUT_RECORD> records;
  vt::AppendKeyRecords(key, &records);
  if (key.Stroke != vt::Stroke::PressAndRelease) {
    // A press or a release the terminal reported itself (win32-input-mode,
    // the keyboard enhancement protocol): one record, as reported.
    Check(records.size() == 1 && records[0].EventType == KEY_EVENT &&
          (records[0].Event.KeyEvent.bKeyDown != 0) == (key.Stroke == vt::Stroke::Press));
    return;
  }
  Check(key.VirtualKey != 0);
  Check((key.ControlState &
         ~static_cast<DWORD>(SHIFT_PRESSED | LEFT_CTRL_PRESSED | LEFT_ALT_PRESSED | ENHANCED_KEY |
                             RIGHT_ALT_PRESSED | RIGHT_CTRL_PRESSED | CAPSLOCK_ON | NUMLOCK_ON |
                             SCROLLLOCK_ON)) == 0);
  Check(CharFitsKey(key));
  // The records of one key: modifier presses, the key's press and release,
  // the modifiers' releases; every press released, every one a key record.
  Check(records.size() >= 2 && records.size() <= 8 && records.size() % 2 == 0);
  int held = 0;
  for (const INPUT_RECORD& record : records) {
    Check(record.EventType == KEY_EVENT);
    held += record.Event.KeyEvent.bKeyDown != 0 ? 1 : -1;
    Check(held >= 0);
  }
  Check(held == 0);
  const KEY_EVENT_RECORD& press = records[records.size() / 2 - 1].Event.KeyEvent;
  Check(press.bKeyDown != 0 && press.wVirtualKeyCode == key.VirtualKey &&
        static_cast<uint8_t>(press.uChar.AsciiChar) == key.Char &&
        press.dwControlKeyState == key.ControlState);
}

// The keys of DecodeKey's own loop: wait while a prefix is partial, then
// take what is left as timed out.
std::vector<vt::KeyEvent> DecodeAll(const uint8_t* data, size_t size) {
  std::vector<vt::KeyEvent> keys;
  size_t pos = 0;
  bool timedOut = false;
  while (pos < size) {
    vt::KeyEvent key;
    size_t consumed = 0;
    const vt::DecodeStatus status =
        vt::DecodeKey(data + pos, size - pos, timedOut, &key, &consumed);
    if (status == vt::DecodeStatus::Partial) {
      Check(!timedOut && consumed == 0);
      timedOut = true;
      continue;
    }
    Check(consumed > 0 && consumed <= size - pos);
    if (status == vt::DecodeStatus::Complete) {
      CheckKey(key);
      keys.push_back(key);
    }
    pos += consumed;
  }
  return keys;
}

std::vector<vt::KeyEvent> PopAll(vt::KeyDecoder& decoder) {
  std::vector<vt::KeyEvent> keys;
  vt::KeyEvent key;
  while (decoder.Pop(&key)) {
    CheckKey(key);
    keys.push_back(key);
  }
  return keys;
}

void CheckBounds(const vt::KeyDecoder& decoder) {
  Check(decoder.PendingBytes() < vt::MaxSequenceBytes);
  Check(decoder.QueuedKeys() <= vt::KeyDecoder::MaxQueuedKeys);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<vt::KeyEvent> expected = DecodeAll(data, size);

  // All at once, at one time.
  vt::KeyDecoder whole;
  whole.Feed(data, size, 1000);
  CheckBounds(whole);
  whole.Tick(1000 + vt::EscapeTimeoutMs);
  Check(whole.PendingBytes() == 0);
  std::vector<vt::KeyEvent> got = PopAll(whole);
  if (expected.size() <= vt::KeyDecoder::MaxQueuedKeys) Check(got == expected);

  // Split into reads of sizes drawn from the bytes themselves, at one time:
  // the same keys.
  vt::KeyDecoder split;
  got.clear();
  for (size_t pos = 0, i = 0; pos < size; ++i) {
    const size_t take = std::min<size_t>(size - pos, 1 + data[i % size] % 9);
    split.Feed(data + pos, take, 1000);
    CheckBounds(split);
    pos += take;
    for (const vt::KeyEvent& k : PopAll(split)) got.push_back(k);
  }
  split.Tick(1000 + vt::EscapeTimeoutMs);
  for (const vt::KeyEvent& k : PopAll(split)) got.push_back(k);
  Check(got == expected);

  // With time passing between reads (some past the timeout): only the
  // bounds and the contract hold, the keys may differ.
  vt::KeyDecoder timed;
  uint64_t now = 0;
  for (size_t pos = 0; pos < size; ++pos) {
    now += data[pos] % 4 == 0 ? static_cast<uint64_t>(vt::EscapeTimeoutMs) : 1;
    timed.Feed(data + pos, 1, now);
    Check(timed.PendingTimeoutMs(now) <= vt::EscapeTimeoutMs);
    CheckBounds(timed);
    PopAll(timed);
  }
  timed.Tick(now + vt::EscapeTimeoutMs);
  Check(timed.PendingBytes() == 0 && timed.PendingTimeoutMs(now) == -1);
  PopAll(timed);

  // Arbitrary timing: reads of any size at any gaps (none, inside the
  // timeout, past it, long pauses), Ticks in between and keys popped only
  // now and then, so the queue may fill.  Sizes and gaps come from a small
  // generator seeded by the input, so they vary independently of the bytes.
  uint32_t seed = 2166136261U;
  for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619U;
  const auto next = [&seed] {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    return seed;
  };
  vt::KeyDecoder jittered;
  now = 5000;
  for (size_t pos = 0; pos < size;) {
    const size_t take = std::min<size_t>(size - pos, 1 + next() % 40);
    jittered.Feed(data + pos, take, now);
    CheckBounds(jittered);
    pos += take;
    static const uint64_t kGaps[] = {0, 1, 10, 49, 50, 51, 200, 60000};
    now += kGaps[next() % std::size(kGaps)];
    if (next() % 3 == 0) {
      jittered.Tick(now);
      CheckBounds(jittered);
    }
    const int wait = jittered.PendingTimeoutMs(now);
    Check(wait >= -1 && wait <= vt::EscapeTimeoutMs);
    Check((wait == -1) == (jittered.PendingBytes() == 0));
    if (next() % 4 == 0) PopAll(jittered);
  }
  jittered.Tick(now + vt::EscapeTimeoutMs);
  Check(jittered.PendingBytes() == 0);
  PopAll(jittered);
  Check(jittered.QueuedKeys() == 0);
  return 0;
}
