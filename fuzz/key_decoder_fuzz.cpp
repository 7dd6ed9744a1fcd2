// libFuzzer target for the terminal key decoder.  Whatever the bytes:
// DecodeKey keeps its contract, the streaming decoder gives the same keys
// however the bytes are split into reads (the state a keyboard flags answer
// puts it in modelled here), its memory stays bounded whatever the timing,
// and every key carries a character a key may have (never LF, DEL or another
// stray control byte, whatever a protocol's text field says; only
// win32-input-mode records carry the console's own characters as sent) in a
// balanced set of press and release records.
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
  if (c == 10 || c == 127) return false;
  // Esc, or Ctrl+[ as the console types it.
  if (c == 27 && key.VirtualKey == VK_ESCAPE) return true;
  // Either Ctrl key: the decoder says which one is down where the
  // terminal's own events of the modifier keys tell.
  if ((key.ControlState & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) == 0) return false;
  // Ctrl+A..Ctrl+Z are the letter keys themselves.
  return c > 26 || key.VirtualKey == static_cast<WORD>('A' + c - 1);
}

// A decoded key and whether it came as a win32-input-mode record.
struct Decoded {
  vt::KeyEvent Key;
  bool Record = false;
  bool operator==(const Decoded&) const = default;
};

void CheckKey(const vt::KeyEvent& key, bool fromRecord) {
  std::vector<INPUT_RECORD> records;
  vt::AppendKeyRecords(key, &records);
  if (!fromRecord) Check(CharFitsKey(key));
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

// "ESC [ ? flags u", the keyboard flags answer, as the decoder reads it
// (sub-parameters after a colon allowed, the sequence within its bound); -1
// for anything else.
int FlagsAnswer(const uint8_t* b, size_t n) {
  if (n < 5 || n > vt::MaxSequenceBytes || b[0] != 0x1B || b[1] != '[' || b[2] != '?' ||
      b[n - 1] != 'u') {
    return -1;
  }
  unsigned value = 0;
  bool sub = false;
  for (size_t i = 3; i + 1 < n; ++i) {
    if (b[i] == ':') {
      sub = true;
    } else if (b[i] < '0' || b[i] > '9') {
      return -1;
    } else if (!sub) {
      value = std::min(value * 10 + (b[i] - '0'), 0xFFFFU);
    }
  }
  return static_cast<int>(value);
}

// The keys of DecodeKey's own loop: wait while a prefix is partial, then
// take what is left as timed out.  The state the streaming decoder keeps
// is modelled: after a flags answer with event types (2), a CSI key without
// a type is a press whose release comes on its own.  Which Alt or Ctrl key
// is down it also keeps, and that only moves flags between left and right
// (see Same).
std::vector<Decoded> DecodeAll(const uint8_t* data, size_t size) {
  std::vector<Decoded> keys;
  size_t pos = 0;
  bool timedOut = false;
  int flags = -1;
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
    const uint8_t* at = data + pos;
    const bool csi = consumed >= 2 && at[0] == 0x1B && at[1] == '[';
    const bool record = csi && at[consumed - 1] == '_';
    if (status == vt::DecodeStatus::Complete) {
      CheckKey(key, record);
      if (csi && flags > 0 && (flags & 2) != 0 && key.Stroke == vt::Stroke::PressAndRelease) {
        key.Stroke = vt::Stroke::Press;
      }
      keys.push_back({key, record});
    } else if (FlagsAnswer(at, consumed) >= 0) {
      flags = FlagsAnswer(at, consumed);
    }
    pos += consumed;
  }
  return keys;
}

// The same key, but for the left and right Alt and Ctrl flags, which the
// streaming decoder settles from the modifier keys' own events.
bool Same(const std::vector<Decoded>& a, const std::vector<Decoded>& b) {
  constexpr DWORD Sides =
      LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED | LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED;
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    vt::KeyEvent x = a[i].Key;
    vt::KeyEvent y = b[i].Key;
    x.ControlState &= ~Sides;
    y.ControlState &= ~Sides;
    if (x != y || a[i].Record != b[i].Record) return false;
  }
  return true;
}

// Which popped keys were win32-input-mode records is not told by the
// decoder: the expected sequence says, where it is known.
std::vector<Decoded> PopAll(vt::KeyDecoder& decoder, const std::vector<Decoded>* expected = nullptr,
                            size_t from = 0) {
  std::vector<Decoded> keys;
  vt::KeyEvent key;
  while (decoder.Pop(&key)) {
    const size_t i = from + keys.size();
    const bool record = expected != nullptr && i < expected->size() && (*expected)[i].Record;
    CheckKey(key, record || expected == nullptr);
    keys.push_back({key, record});
  }
  return keys;
}

void CheckBounds(const vt::KeyDecoder& decoder) {
  Check(decoder.PendingBytes() < vt::MaxSequenceBytes);
  Check(decoder.QueuedKeys() <= vt::KeyDecoder::MaxQueuedKeys);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<Decoded> expected = DecodeAll(data, size);
  const bool fits = expected.size() <= vt::KeyDecoder::MaxQueuedKeys;

  // All at once, at one time.
  vt::KeyDecoder whole;
  whole.Feed(data, size, 1000);
  CheckBounds(whole);
  whole.Tick(1000 + vt::EscapeTimeoutMs);
  Check(whole.PendingBytes() == 0);
  const std::vector<Decoded> first = PopAll(whole, fits ? &expected : nullptr);
  if (fits) Check(Same(first, expected));

  // Split into reads of sizes drawn from the bytes themselves, at one time,
  // or a byte at a time a few milliseconds apart, as a slow link delivers
  // them: the same keys, exactly.
  for (const bool paced : {false, true}) {
    vt::KeyDecoder split;
    std::vector<Decoded> got;
    uint64_t now = 1000;
    for (size_t pos = 0, i = 0; pos < size; ++i) {
      const size_t take = paced ? 1 : std::min<size_t>(size - pos, 1 + data[i % size] % 9);
      split.Feed(data + pos, take, now);
      CheckBounds(split);
      pos += take;
      if (paced) now += 1 + data[pos - 1] % (vt::EscapeTimeoutMs - 1);
      for (const Decoded& k : PopAll(split, &expected, got.size())) got.push_back(k);
    }
    split.Tick(now + vt::EscapeTimeoutMs);
    for (const Decoded& k : PopAll(split, &expected, got.size())) got.push_back(k);
    Check(Same(got, expected));
    if (fits) Check(got == first);
  }

  // With time passing between reads (some past the timeout): only the
  // bounds and the contract hold, the keys may differ.
  vt::KeyDecoder timed;
  uint64_t now = 0;
  vt::Reply reply;
  for (size_t pos = 0; pos < size; ++pos) {
    now += data[pos] % 4 == 0 ? static_cast<uint64_t>(vt::EscapeTimeoutMs) : 1;
    timed.Feed(data + pos, 1, now);
    Check(timed.PendingTimeoutMs(now) <= vt::EscapeTimeoutMs);
    CheckBounds(timed);
    PopAll(timed);
    while (timed.PopReply(&reply)) {
    }
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
    static const uint64_t Gaps[] = {0, 1, 10, 49, 50, 51, 200, 60000};
    now += Gaps[next() % std::size(Gaps)];
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
