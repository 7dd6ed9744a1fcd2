#include "posix/vt/key_decoder.h"

#include <algorithm>
#include <array>

#include "model/console_model.h"
#include "posix/vt/cp866.h"
#include "posix/vt/key_tables.h"

namespace vt {

// A terminal sends Esc as the lone byte ESC, and every other key without a
// character as a sequence that starts with ESC; the only way to tell them
// apart is that a sequence's bytes come together.  A terminal writes a
// sequence in one go, so its bytes arrive within a millisecond locally, and
// over ssh they travel in one packet nearly always; 50 ms still covers a
// sequence split between packets on a slow link (tmux and full-screen
// editors use the same order of wait).  Esc is the key this program is
// stopped with, and 50 ms after the press is well under what a person
// notices, while a longer wait would make the alarm feel sluggish to stop.
const int EscapeTimeoutMs = 50;

namespace {

constexpr uint8_t Esc = 0x1B;
constexpr KeyEvent EscKey{VK_ESCAPE, 1, Esc, 0};

// DecodeKey's result, with one thing more for the streaming decoder.
struct Decoded {
  DecodeStatus Status = DecodeStatus::Partial;
  size_t Consumed = 0;
  KeyEvent Key;
  // A CSI or SS3 sequence was cut off (too long, or the timeout): the rest
  // of it may still arrive, and must be skipped rather than typed.
  bool SkipRest = false;
};

Decoded Key(const KeyEvent& key, size_t consumed) {
  return {DecodeStatus::Complete, consumed, key, false};
}

Decoded NoKey(size_t consumed, bool skipRest = false) {
  return {DecodeStatus::NotAKey, consumed, KeyEvent{}, skipRest};
}

Decoded Partial() {
  return {};
}

// Alt + a printable key, as a terminal sends it: ESC and the character.
Decoded AltKey(uint8_t c, size_t consumed) {
  KeyEvent key;
  keys::AsciiKey(c, &key);
  key.ControlState |= LEFT_ALT_PRESSED;
  return Key(key, consumed);
}

// ECMA-48 byte classes of control sequences.
bool IsParamByte(uint8_t c) {
  return c >= 0x30 && c <= 0x3F;
}
bool IsIntermediateByte(uint8_t c) {
  return c >= 0x20 && c <= 0x2F;
}
bool IsFinalByte(uint8_t c) {
  return c >= 0x40 && c <= 0x7E;
}

// Numeric parameters "n;n;n", each possibly with ":sub" parts (ignored).
// False for private forms ("<", "=", ">", "?") and for more than four.
struct Params {
  std::array<unsigned, 4> Value{};
  size_t Count = 0;
};

bool ParseParams(const uint8_t* p, size_t len, Params* out) {
  *out = Params{};
  if (len == 0) return true;
  bool inSub = false;
  out->Count = 1;
  for (size_t i = 0; i < len; ++i) {
    const uint8_t c = p[i];
    if (c == ';') {
      if (out->Count == out->Value.size()) return false;
      ++out->Count;
      inSub = false;
    } else if (c == ':') {
      inSub = true;
    } else if (c >= '0' && c <= '9') {
      unsigned& v = out->Value[out->Count - 1];
      if (!inSub) v = std::min(v * 10 + (c - '0'), 0xFFFFU);
    } else {
      return false;
    }
  }
  return true;
}

bool AllDigits(const uint8_t* p, size_t len) {
  return len > 0 && std::all_of(p, p + len, [](uint8_t c) { return c >= '0' && c <= '9'; });
}

// The key of a complete CSI sequence, or none.
bool CsiKey(const uint8_t* params, size_t paramLen, uint8_t final, KeyEvent* key) {
  Params p;
  if (!ParseParams(params, paramLen, &p)) return false;
  switch (final) {
    case '~':  // VT220: CSI number [; modifier] ~
      if (p.Count < 1 || p.Count > 2 || !keys::CsiNumberKey(p.Value[0], key)) return false;
      if (p.Count == 2) key->ControlState |= keys::XtermModifiers(p.Value[1]);
      return true;
    case '^':  // rxvt: the same keys with Ctrl, Shift, Ctrl+Shift
    case '$':
    case '@': {
      if (p.Count != 1 || !keys::CsiNumberKey(p.Value[0], key)) return false;
      const DWORD mods = final == '^'   ? LEFT_CTRL_PRESSED
                         : final == '$' ? SHIFT_PRESSED
                                        : LEFT_CTRL_PRESSED | SHIFT_PRESSED;
      key->ControlState |= mods;
      return true;
    }
    default:  // xterm: CSI [1 ; modifier] letter
      if (p.Count > 2 || (p.Count >= 1 && p.Value[0] > 1)) return false;
      if (!keys::CsiFinalKey(final, key)) return false;
      if (p.Count == 2) key->ControlState |= keys::XtermModifiers(p.Value[1]);
      return true;
  }
}

// The tail of a sequence longer than MaxSequenceBytes, from i on: skipped
// as far as the bytes go, and the streaming decoder skips what comes later.
Decoded SkipLongSequence(const uint8_t* b, size_t n, size_t i) {
  while (i < n && (IsParamByte(b[i]) || IsIntermediateByte(b[i]))) ++i;
  if (i == n) return NoKey(n, true);
  return NoKey(IsFinalByte(b[i]) ? i + 1 : i);
}

// b[0..1] is ESC [.
Decoded DecodeCsi(const uint8_t* b, size_t n, bool timedOut) {
  if (n == 2) return timedOut ? AltKey('[', 2) : Partial();
  if (b[2] == '[') {  // the Linux console's F1..F5: ESC [ [ A .. E
    if (n == 3) return timedOut ? NoKey(3) : Partial();
    KeyEvent key;
    if (keys::LinuxConsoleKey(b[3], &key)) return Key(key, 4);
    return NoKey(b[3] >= 0x20 && b[3] <= 0x7E ? 4 : 3);
  }
  if (b[2] == 'M') {
    // An X10 mouse report: ESC [ M and three raw bytes (button, column,
    // row), which may be any bytes and so are counted, not parsed.
    if (n < 6) return timedOut ? NoKey(n) : Partial();
    return NoKey(6);
  }
  size_t paramEnd = 2;
  for (size_t i = 2; i < n; ++i) {
    if (i >= MaxSequenceBytes) return SkipLongSequence(b, n, i);
    const uint8_t c = b[i];
    if (IsParamByte(c) && paramEnd == i) {
      paramEnd = i + 1;
      continue;
    }
    // rxvt ends Shift+key with '$' (ESC [ 3 $), an intermediate byte for
    // ECMA-48.  Terminal reports that use '$' as one (DECRPM) have more
    // than one parameter, so a '$' right after bare digits ends the key.
    if (c == '$' && paramEnd == i && AllDigits(b + 2, i - 2)) {
      KeyEvent key;
      if (CsiKey(b + 2, i - 2, c, &key)) return Key(key, i + 1);
      return NoKey(i + 1);
    }
    if (IsIntermediateByte(c)) continue;
    if (IsFinalByte(c)) {
      KeyEvent key;
      if (paramEnd == i && CsiKey(b + 2, i - 2, c, &key)) return Key(key, i + 1);
      return NoKey(i + 1);  // unknown, a report, focus, paste marker: no key
    }
    // A byte that no control sequence holds.  Right after ESC [ it means
    // the user typed Alt+[ and then that key; later, the sequence is
    // broken: drop it and let the byte be decoded on its own.
    return i == 2 ? AltKey('[', 2) : NoKey(i);
  }
  // At the bound and still no final byte: no key will fit in what is held.
  if (n >= MaxSequenceBytes) return NoKey(n, true);
  return timedOut ? NoKey(n, true) : Partial();
}

// b[0..1] is ESC O: SS3, [parameters] and one final byte.
Decoded DecodeSs3(const uint8_t* b, size_t n, bool timedOut) {
  size_t i = 2;
  while (i < n && i < MaxSequenceBytes && IsParamByte(b[i])) ++i;
  if (i >= MaxSequenceBytes) return SkipLongSequence(b, n, i);
  if (i == n) {
    if (!timedOut) return Partial();
    return n == 2 ? AltKey('O', 2) : NoKey(n, true);
  }
  const uint8_t final = b[i];
  if (!IsFinalByte(final) && !IsIntermediateByte(final)) {
    return i == 2 ? AltKey('O', 2) : NoKey(i);
  }
  KeyEvent key;
  Params p;
  if (!keys::Ss3FinalKey(final, &key) || !ParseParams(b + 2, i - 2, &p)) return NoKey(i + 1);
  // Older xterms put the modifier alone here (ESC O 5 P); others as 1;m.
  if (p.Count > 0) key.ControlState |= keys::XtermModifiers(p.Value[p.Count - 1]);
  return Key(key, i + 1);
}

// A UTF-8 character (b[0] >= 0x80), kept when code page 866 has it.
Decoded DecodeUtf8(const uint8_t* b, size_t n, bool timedOut) {
  const uint8_t lead = b[0];
  size_t len = 0;
  char32_t cp = 0;
  // The range of the second byte; narrower after E0, ED, F0 and F4, which
  // rules out overlong forms, surrogates and code points past U+10FFFF.
  uint8_t lo = 0x80;
  uint8_t hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
    cp = lead & 0x1FU;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    cp = lead & 0x0FU;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    cp = lead & 0x07U;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return NoKey(1);  // a stray continuation byte, or a byte UTF-8 never uses
  }
  for (size_t i = 1; i < len; ++i) {
    if (i == n) return timedOut ? NoKey(n) : Partial();
    const uint8_t c = b[i];
    // Not a continuation: drop what came before, keep c for a fresh start.
    if (c < lo || c > hi) return NoKey(i);
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (c & 0x3FU);
  }
  const int byte = UnicodeToCp866(cp);
  if (byte < 0x80) return NoKey(len);  // the code page has no such character
  return Key(keys::NonAsciiKey(cp, static_cast<uint8_t>(byte)), len);
}

Decoded DecodeOne(const uint8_t* b, size_t n, bool timedOut);

Decoded DecodeEscape(const uint8_t* b, size_t n, bool timedOut) {
  if (n == 1) return timedOut ? Key(EscKey, 1) : Partial();
  switch (b[1]) {
    case Esc:  // Esc, then the second ESC starts afresh
      return Key(EscKey, 1);
    case '[':
      return DecodeCsi(b, n, timedOut);
    case 'O':
      return DecodeSs3(b, n, timedOut);
    default:
      break;
  }
  // ESC and a key: Alt+that key, as terminals send Meta.  When what follows
  // is no key, Esc stands alone and the rest is decoded on its own.
  Decoded rest = DecodeOne(b + 1, n - 1, timedOut);
  switch (rest.Status) {
    case DecodeStatus::Partial:
      return rest;
    case DecodeStatus::Complete:
      rest.Key.ControlState |= LEFT_ALT_PRESSED;
      ++rest.Consumed;
      return rest;
    case DecodeStatus::NotAKey:
      break;
  }
  return Key(EscKey, 1);
}

Decoded DecodeOne(const uint8_t* b, size_t n, bool timedOut) {
  if (n == 0) return Partial();
  if (b[0] == Esc) return DecodeEscape(b, n, timedOut);
  KeyEvent key;
  if (keys::AsciiKey(b[0], &key)) return Key(key, 1);
  return DecodeUtf8(b, n, timedOut);
}

uint64_t Elapsed(uint64_t sinceMs, uint64_t nowMs) {
  return nowMs > sinceMs ? nowMs - sinceMs : 0;
}

}  // namespace

DecodeStatus DecodeKey(const uint8_t* bytes, size_t n, bool timedOut, KeyEvent* key,
                       size_t* consumed) {
  const Decoded d = DecodeOne(bytes, n, timedOut);
  *consumed = d.Consumed;
  if (d.Status == DecodeStatus::Complete) *key = d.Key;
  return d.Status;
}

void KeyDecoder::Feed(const uint8_t* bytes, size_t n, uint64_t nowMs) {
  // What waited from an earlier read and has timed out is taken as it
  // stands before these bytes join it: an Esc pressed a while ago never
  // merges with the key after it.
  Tick(nowMs);
  nowMs_ = nowMs;
  while (n > 0) {
    const size_t carried = pending_.size();
    const size_t take = std::min(n, MaxPendingBytes - carried);
    pending_.insert(pending_.end(), bytes, bytes + take);
    bytes += take;
    n -= take;
    Drain(false);
    // The wait for a sequence runs from its first byte.
    const size_t consumed = carried + take - pending_.size();
    if (!pending_.empty() && consumed >= carried) pendingSinceMs_ = nowMs;
  }
}

void KeyDecoder::Tick(uint64_t nowMs) {
  nowMs_ = nowMs;
  const auto timeout = static_cast<uint64_t>(EscapeTimeoutMs);
  if (skipping_ && Elapsed(skipSinceMs_, nowMs) >= timeout) skipping_ = false;
  if (!pending_.empty() && Elapsed(pendingSinceMs_, nowMs) >= timeout) Drain(true);
}

int KeyDecoder::PendingTimeoutMs(uint64_t nowMs) const {
  if (pending_.empty()) return -1;
  const uint64_t elapsed = Elapsed(pendingSinceMs_, nowMs);
  const auto timeout = static_cast<uint64_t>(EscapeTimeoutMs);
  return elapsed >= timeout ? 0 : static_cast<int>(timeout - elapsed);
}

bool KeyDecoder::Pop(KeyEvent* key) {
  if (keys_.empty()) return false;
  *key = keys_.front();
  keys_.pop_front();
  return true;
}

void KeyDecoder::Drain(bool timedOut) {
  size_t pos = 0;
  while (pos < pending_.size()) {
    if (skipping_) {
      const uint8_t c = pending_[pos];
      if (IsParamByte(c) || IsIntermediateByte(c)) {
        ++pos;
        skipSinceMs_ = nowMs_;
        continue;
      }
      skipping_ = false;
      if (IsFinalByte(c)) ++pos;
      continue;
    }
    const Decoded d = DecodeOne(pending_.data() + pos, pending_.size() - pos, timedOut);
    if (d.Status == DecodeStatus::Partial) {
      // Never the case once timed out; should it be, nothing may linger.
      if (timedOut) pos = pending_.size();
      break;
    }
    if (d.Status == DecodeStatus::Complete && keys_.size() < MaxQueuedKeys) {
      keys_.push_back(d.Key);
    }
    if (d.SkipRest) {
      skipping_ = true;
      skipSinceMs_ = nowMs_;
    }
    pos += d.Consumed;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void AppendKeyRecords(const KeyEvent& key, std::vector<INPUT_RECORD>* records) {
  struct Modifier {
    DWORD Flag;
    WORD Vk;
    WORD Scan;
  };
  constexpr Modifier Modifiers[] = {
      {SHIFT_PRESSED, VK_SHIFT, keys::ScanLeftShift},
      {LEFT_CTRL_PRESSED, VK_CONTROL, keys::ScanLeftCtrl},
      {LEFT_ALT_PRESSED, VK_MENU, keys::ScanLeftAlt},
  };
  // While a modifier is down the console reports it in every record's
  // state, its own press included; its release no longer has it.
  const DWORD modifierBits = SHIFT_PRESSED | LEFT_CTRL_PRESSED | LEFT_ALT_PRESSED;
  DWORD state = key.ControlState & ~modifierBits & ~static_cast<DWORD>(ENHANCED_KEY);
  for (const Modifier& m : Modifiers) {
    if ((key.ControlState & m.Flag) == 0) continue;
    state |= m.Flag;
    records->push_back(model::KeyRecord(true, m.Vk, m.Scan, 0, state));
  }
  records->push_back(
      model::KeyRecord(true, key.VirtualKey, key.ScanCode, key.Char, key.ControlState));
  records->push_back(
      model::KeyRecord(false, key.VirtualKey, key.ScanCode, key.Char, key.ControlState));
  for (auto it = std::rbegin(Modifiers); it != std::rend(Modifiers); ++it) {
    if ((key.ControlState & it->Flag) == 0) continue;
    state &= ~it->Flag;
    records->push_back(model::KeyRecord(false, it->Vk, it->Scan, 0, state));
  }
}

}  // namespace vt
