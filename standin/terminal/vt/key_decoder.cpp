#include "standin/terminal/vt/key_decoder.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "standin/model/console_model.h"
#include "standin/terminal/vt/cp866.h"
#include "standin/terminal/vt/key_tables.h"

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

// DecodeKey's result, with one thing more for the streaming decoder.
struct Decoded {
  DecodeStatus Status = DecodeStatus::Partial;
  size_t Consumed = 0;
  KeyEvent Key;
  // A CSI or SS3 sequence was cut off (too long, or the timeout): the rest
  // of it may still arrive, and must be skipped rather than typed.
  bool SkipRest = false;
  // The sequence cut off was a private one ("CSI ? ..."): a DA1 still
  // counts when its final byte comes.
  bool SkipPrivate = false;
  // A control string (OSC, DCS, APC, PM, SOS) goes on past what has
  // arrived: everything up to its terminator is skipped as it comes.
  bool SkipString = false;
  // A reply to a query, when the sequence was one.
  bool IsReply = false;
  vt::Reply Answer;
};

Decoded Key(const KeyEvent& key, size_t consumed) {
  Decoded d;
  d.Status = DecodeStatus::Complete;
  d.Consumed = consumed;
  d.Key = key;
  return d;
}

Decoded NoKey(size_t consumed, bool skipRest = false) {
  Decoded d;
  d.Status = DecodeStatus::NotAKey;
  d.Consumed = consumed;
  d.SkipRest = skipRest;
  return d;
}

Decoded Answer(size_t consumed, Reply::Kind what, unsigned mode = 0, unsigned value = 0) {
  Decoded d = NoKey(consumed);
  d.IsReply = true;
  d.Answer = {what, mode, value};
  return d;
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

// Numeric parameters "n;n;n", each possibly with ":sub" parts (the first
// two kept: the enhancement protocol's alternate keys and event type).
// False for private forms ("<", "=", ">", "?") and for more than six.
struct Params {
  std::array<unsigned, 6> Value{};
  std::array<std::array<unsigned, 2>, 6> Sub{};
  size_t Count = 0;
};

bool ParseParams(const uint8_t* p, size_t len, Params* out) {
  *out = Params{};
  if (len == 0) return true;
  size_t sub = 0;
  out->Count = 1;
  for (size_t i = 0; i < len; ++i) {
    const uint8_t c = p[i];
    if (c == ';') {
      if (out->Count == out->Value.size()) return false;
      ++out->Count;
      sub = 0;
    } else if (c == ':') {
      ++sub;
    } else if (c >= '0' && c <= '9') {
      const size_t field = out->Count - 1;
      unsigned* v = nullptr;
      if (sub == 0) v = &out->Value[field];
      if (sub >= 1 && sub <= 2) v = &out->Sub[field][sub - 1];
      if (v != nullptr) *v = std::min(*v * 10 + (c - '0'), 0xFFFFU);
    } else {
      return false;
    }
  }
  return true;
}

// The enhancement protocol's event type (1 press, 2 repeat, 3 release; 0
// absent): what the key event stands for.  False for types it does not have.
bool EventStroke(unsigned type, Stroke* stroke) {
  switch (type) {
    case 0:
      *stroke = Stroke::PressAndRelease;
      return true;
    case 1:
    case 2:  // a repeat is one more press, as the console queues it
      *stroke = Stroke::Press;
      return true;
    case 3:
      *stroke = Stroke::Release;
      return true;
    default:
      return false;
  }
}

bool AllDigits(const uint8_t* p, size_t len) {
  return len > 0 && std::all_of(p, p + len, [](uint8_t c) { return c >= '0' && c <= '9'; });
}

// The key of a complete CSI sequence, or none.
bool CsiKey(const uint8_t* params, size_t paramLen, uint8_t final, KeyEvent* key) {
  Params p;
  if (!ParseParams(params, paramLen, &p)) return false;
  switch (final) {
    case '~':  // VT220: CSI number [; modifier[:event]] ~
      if (p.Count < 1 || p.Count > 2 || !keys::CsiNumberKey(p.Value[0], key)) return false;
      if (p.Count == 2) key->ControlState |= keys::XtermModifiers(p.Value[1]);
      return EventStroke(p.Sub[1][0], &key->Stroke);
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
    default:  // xterm: CSI [1 ; modifier[:event]] letter
      if (p.Count > 2 || (p.Count >= 1 && p.Value[0] > 1)) return false;
      if (!keys::CsiFinalKey(final, key)) return false;
      if (p.Count == 2) key->ControlState |= keys::XtermModifiers(p.Value[1]);
      return EventStroke(p.Sub[1][0], &key->Stroke);
  }
}

// win32-input-mode: CSI Vk ; Sc ; Uc ; Kd ; Cs ; Rc _ is one key event
// record (virtual key, scan code, the character as a Unicode code point,
// key down, control-key state, repeat count; absent values 0, the count 1).
bool Win32Record(const uint8_t* params, size_t len, KeyEvent* key) {
  Params p;
  if (!ParseParams(params, len, &p)) return false;
  const auto& v = p.Value;
  KeyEvent k;
  k.VirtualKey = static_cast<WORD>(v[0]);
  k.ScanCode = static_cast<WORD>(v[1]);
  if (v[2] != 0) {
    const int byte = v[2] < 0x80 ? static_cast<int>(v[2]) : UnicodeToCp866(v[2]);
    // A character the code page lacks: the key without one, as the console
    // gives for it.
    k.Char = byte > 0 ? static_cast<uint8_t>(byte) : 0;
  }
  k.Stroke = v[3] != 0 ? Stroke::Press : Stroke::Release;
  k.ControlState = v[4];
  k.Repeat = static_cast<WORD>(p.Count >= 6 ? v[5] : 1);
  if (k.VirtualKey == 0 && k.Char == 0) return false;  // nothing to report
  *key = k;
  return true;
}

// A code point as code page 866 has it; 0 where it has none.
uint8_t Cp866Char(unsigned cp) {
  if (cp < 0x80) return static_cast<uint8_t>(cp);
  const int byte = UnicodeToCp866(cp);
  return byte >= 0x80 ? static_cast<uint8_t>(byte) : 0;
}

// What a key may type: no C0 control, DEL or C1 control.  A terminal's
// text field or shifted key names the character typed, and a control
// character there is no key of a keyboard but a broken or forged sequence.
bool Printable(unsigned cp) {
  return cp >= 0x20 && cp != 0x7F && (cp < 0x80 || cp >= 0xA0);
}

// The progressive keyboard enhancement protocol:
//   CSI code[:shifted[:base]] [; modifiers[:event] [; text]] u
// code is the key's character without modifiers (lower case) or a code of
// its own (keys::KittyFunctionalKey); shifted the character with Shift;
// base the key on the US layout; text the code point the key types.
bool KittyKey(const uint8_t* params, size_t len, KeyEvent* key) {
  Params p;
  if (!ParseParams(params, len, &p) || p.Count < 1 || p.Count > 3) return false;
  const unsigned code = p.Value[0];
  const unsigned shifted = p.Sub[0][0];
  const unsigned base = p.Sub[0][1];
  const unsigned text = p.Count == 3 ? p.Value[2] : 0;
  for (const unsigned named : {text, shifted, base}) {
    if (named != 0 && !Printable(named)) return false;
  }
  DWORD state = keys::KittyModifiers(p.Value[1]);
  KeyEvent k;
  if (!EventStroke(p.Sub[1][0], &k.Stroke)) return false;
  const Stroke stroke = k.Stroke;
  DWORD own = 0;
  if (keys::KittyFunctionalKey(code, &k, &own)) {
    // A modifier key's own event: the console counts it held in its press
    // and no longer in its release, whatever the terminal's mask says.
    constexpr DWORD AltBits = LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED;
    constexpr DWORD CtrlBits = LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED;
    if ((own & AltBits) != 0) state &= ~AltBits;
    if ((own & CtrlBits) != 0) state &= ~CtrlBits;
    if (stroke == Stroke::Release) state &= ~own;
    if (stroke != Stroke::Release) state |= own;
    k.ControlState |= state;
    k.Stroke = stroke;
    *key = k;
    return true;
  }
  // A character key.  Its identity on the PC keyboard comes from the US
  // layout key the terminal names, else from the character.
  const unsigned usKey = base != 0 ? base : code;
  if (code < 0x20 || (code >= 0x7F && code < 0xA0) || (code >= 0xE000 && code < 0xF900)) {
    return false;  // a control code or an unknown key of the protocol's own
  }
  if (usKey < 0x80 && keys::AsciiKey(static_cast<uint8_t>(usKey), &k)) {
    k.ControlState = 0;
  } else {
    const uint8_t byte = Cp866Char(usKey);
    k = byte >= 0x80 ? keys::NonAsciiKey(usKey, byte) : KeyEvent{keys::VkPacket, 0, 0, 0};
    k.ControlState = 0;
  }
  const bool ctrl = (state & LEFT_CTRL_PRESSED) != 0;
  const bool shift = (state & SHIFT_PRESSED) != 0;
  if (text != 0) {
    k.Char = Cp866Char(text);  // what the layout typed, AltGr included
  } else if (ctrl && (state & LEFT_ALT_PRESSED) == 0) {
    k.Char = usKey < 0x80 ? keys::CtrlAscii(static_cast<uint8_t>(usKey)) : 0;
  } else if (shift) {
    k.Char = shifted != 0  ? Cp866Char(shifted)
             : code < 0x80 ? keys::ShiftedAscii(static_cast<uint8_t>(code))
                           : Cp866Char(code);
  } else {
    k.Char = Cp866Char(code);
  }
  if (k.VirtualKey == keys::VkPacket && k.Char == 0) return false;  // nothing the console names
  k.ControlState = state;
  k.Stroke = stroke;
  *key = k;
  return true;
}

// A CSI sequence that is no key, consumed whole; the replies to queries
// are noted: "CSI ? mode ; state $ y", "CSI ? flags u", "CSI ? ... c", and
// nothing else (another intermediate byte makes another sequence).
Decoded Report(const uint8_t* params, size_t len, std::string_view between, uint8_t final,
               size_t consumed) {
  if (len == 0 || params[0] != '?') return NoKey(consumed);
  Params p;
  const bool numbers = ParseParams(params + 1, len - 1, &p);
  if (final == 'y' && between == "$" && numbers && p.Count == 2) {
    return Answer(consumed, Reply::Kind::Mode, p.Value[0], p.Value[1]);
  }
  if (!between.empty()) return NoKey(consumed);
  if (final == 'u' && numbers && p.Count == 1) {
    return Answer(consumed, Reply::Kind::KeyboardFlags, 0, p.Value[0]);
  }
  if (final == 'c') return Answer(consumed, Reply::Kind::DeviceAttributes);
  return NoKey(consumed);
}

// The tail of a sequence longer than MaxSequenceBytes, from i on: skipped
// as far as the bytes go, and the streaming decoder skips what comes later.
// A private DA1 that long still counts.
Decoded SkipLongSequence(const uint8_t* b, size_t n, size_t i) {
  bool isPrivate = b[2] == '?';
  while (i < n && (IsParamByte(b[i]) || IsIntermediateByte(b[i]))) {
    isPrivate = isPrivate && IsParamByte(b[i]);
    ++i;
  }
  if (i == n) {
    Decoded d = NoKey(n, true);
    d.SkipPrivate = isPrivate;
    return d;
  }
  if (!IsFinalByte(b[i])) return NoKey(i);
  if (isPrivate && b[i] == 'c') return Answer(i + 1, Reply::Kind::DeviceAttributes);
  return NoKey(i + 1);
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
  // A parameter byte after an intermediate one breaks ECMA-48's order: the
  // sequence still runs to its final byte, and is then dropped whole.
  bool misordered = false;
  for (size_t i = 2; i < n; ++i) {
    if (i >= MaxSequenceBytes) return SkipLongSequence(b, n, i);
    const uint8_t c = b[i];
    if (IsParamByte(c)) {
      if (paramEnd == i) paramEnd = i + 1;
      misordered = misordered || paramEnd != i + 1;
      continue;
    }
    // rxvt ends Shift+key with '$' (ESC [ 3 $), an intermediate byte for
    // ECMA-48.  Terminal reports that use '$' as one (DECRPM) have more
    // than one parameter, so a '$' right after bare digits ends the key.
    if (c == '$' && !misordered && paramEnd == i && AllDigits(b + 2, i - 2)) {
      KeyEvent key;
      if (CsiKey(b + 2, i - 2, c, &key)) return Key(key, i + 1);
      return NoKey(i + 1);
    }
    if (IsIntermediateByte(c)) continue;
    if (IsFinalByte(c)) {
      if (misordered) return NoKey(i + 1);
      KeyEvent key;
      if (paramEnd == i && c == '_') {
        return Win32Record(b + 2, i - 2, &key) ? Key(key, i + 1) : NoKey(i + 1);
      }
      if (paramEnd == i && c == 'u' && i > 2 && b[2] >= '0' && b[2] <= '9') {
        return KittyKey(b + 2, i - 2, &key) ? Key(key, i + 1) : NoKey(i + 1);
      }
      if (paramEnd == i && CsiKey(b + 2, i - 2, c, &key)) return Key(key, i + 1);
      const std::string_view between(reinterpret_cast<const char*>(b) + paramEnd, i - paramEnd);
      return Report(b + 2, paramEnd - 2, between, c, i + 1);  // a report, focus, paste marker
    }
    // A byte that no control sequence holds (a control character, DEL,
    // or one above 127).  Right after ESC [ it means the user typed Alt+[
    // and then that key; later, the sequence is broken: drop it and let
    // the byte be decoded on its own.
    return i == 2 ? AltKey('[', 2) : NoKey(i);
  }
  // At the bound and still no final byte: no key will fit in what is held.
  // Cut off there or by the timeout, the rest is skipped as it comes.
  if (n < MaxSequenceBytes && !timedOut) return Partial();
  Decoded d = NoKey(n, true);
  d.SkipPrivate = b[2] == '?';
  return d;
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

constexpr uint8_t Bel = 0x07;

// The introducers of ECMA-48 control strings: OSC, DCS, SOS, PM, APC.
// Terminals answer queries with them (colours, settings, capabilities),
// often long after the query, and none of their bytes is a key.
bool IsStringIntroducer(uint8_t c) {
  return c == ']' || c == 'P' || c == 'X' || c == '^' || c == '_';
}

// b[0..1] is ESC and a string introducer.  The string ends at ST (ESC \)
// or BEL (which xterm accepts after OSC; harmless after the others); an ESC
// followed by anything else ends it too, and that ESC starts afresh.
Decoded DecodeControlString(const uint8_t* b, size_t n, bool timedOut) {
  if (n == 2) return timedOut ? AltKey(b[1], 2) : Partial();
  for (size_t i = 2; i < n; ++i) {
    if (b[i] == Bel) return NoKey(i + 1);
    if (b[i] != Esc) continue;
    if (i + 1 == n) break;
    return NoKey(b[i + 1] == '\\' ? i + 2 : i);
  }
  // No end yet: what is held is dropped and the rest skipped as it arrives.
  if (n >= MaxSequenceBytes || timedOut) {
    Decoded d = NoKey(b[n - 1] == Esc ? n - 1 : n);
    d.SkipString = b[n - 1] != Esc;
    return d;
  }
  return Partial();
}

Decoded DecodeOne(const uint8_t* b, size_t n, bool timedOut);

// The Esc key, as the byte alone types it.
Decoded EscKey() {
  KeyEvent key;
  keys::AsciiKey(Esc, &key);
  return Key(key, 1);
}

Decoded DecodeEscape(const uint8_t* b, size_t n, bool timedOut) {
  if (n == 1) return timedOut ? EscKey() : Partial();
  switch (b[1]) {
    case Esc:  // Esc, then the second ESC starts afresh
      return EscKey();
    case '[':
      return DecodeCsi(b, n, timedOut);
    case 'O':
      return DecodeSs3(b, n, timedOut);
    case '\\':  // ST: the end of a control string whose start went by
      return NoKey(2);
    default:
      if (IsStringIntroducer(b[1])) return DecodeControlString(b, n, timedOut);
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
  return EscKey();
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
    if (!pending_.empty()) pendingSinceMs_ = nowMs;
  }
}

void KeyDecoder::Tick(uint64_t nowMs) {
  const auto timeout = static_cast<uint64_t>(EscapeTimeoutMs);
  if (!pending_.empty() && Elapsed(pendingSinceMs_, nowMs) >= timeout) {
    // Cut off when its wait ran out, however much later this is: what
    // follows within another timeout is the rest of it, and skipped.
    nowMs_ = pendingSinceMs_ + timeout;
    Drain(true);
  }
  nowMs_ = nowMs;
  if ((skipping_ || inString_) && Elapsed(skipSinceMs_, nowMs) >= timeout) {
    skipping_ = false;
    inString_ = false;
  }
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

bool KeyDecoder::PopReply(Reply* reply) {
  if (replies_.empty()) return false;
  *reply = replies_.front();
  replies_.pop_front();
  return true;
}

// The flags answer also tells the decoder how the terminal now sends keys.
// Replies nobody collects (the key-dump tool's, say) are bounded: the
// oldest go.
void KeyDecoder::NoteReply(const Reply& reply) {
  if (reply.What == Reply::Kind::KeyboardFlags) {
    keyboardFlags_ = static_cast<int>(std::min(reply.Value, 0xFFFFU));
  }
  if (replies_.size() == MaxQueuedReplies) replies_.pop_front();
  replies_.push_back(reply);
}

void KeyDecoder::Drain(bool timedOut) {
  size_t pos = 0;
  while (pos < pending_.size()) {
    if (inString_) {
      // Up to the string's terminator; an ESC is left for the decoder (ST,
      // or the start of what comes next).
      const uint8_t c = pending_[pos];
      if (c == Esc) {
        inString_ = false;
        continue;
      }
      ++pos;
      skipSinceMs_ = nowMs_;
      if (c == Bel) inString_ = false;
      continue;
    }
    if (skipping_) {
      const uint8_t c = pending_[pos];
      if (IsParamByte(c) || IsIntermediateByte(c)) {
        skippingPrivate_ = skippingPrivate_ && IsParamByte(c);
        ++pos;
        skipSinceMs_ = nowMs_;
        continue;
      }
      skipping_ = false;
      if (IsFinalByte(c)) {
        ++pos;
        if (skippingPrivate_ && c == 'c') NoteReply({Reply::Kind::DeviceAttributes, 0, 0});
      }
      continue;
    }
    const Decoded d = DecodeOne(pending_.data() + pos, pending_.size() - pos, timedOut);
    if (d.Status == DecodeStatus::Partial) {
      // Never the case once timed out; should it be, nothing may linger.
      if (timedOut) pos = pending_.size();
      break;
    }
    if (d.Status == DecodeStatus::Complete && keys_.size() < MaxQueuedKeys) {
      KeyEvent key = d.Key;
      Settle(&key, pending_[pos] == Esc && pos + 1 < pending_.size() && pending_[pos + 1] == '[');
      keys_.push_back(key);
    }
    if (d.SkipRest) {
      skipping_ = true;
      skippingPrivate_ = d.SkipPrivate;
      skipSinceMs_ = nowMs_;
    }
    if (d.IsReply) NoteReply(d.Answer);
    if (d.SkipString) {
      inString_ = true;
      skipSinceMs_ = nowMs_;
    }
    pos += d.Consumed;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
}

// What the decoder knows beyond one sequence.  With the enhancement
// protocol's event types in force, a key sequence without a type is a
// press, whose release comes on its own.  The protocol says Alt and Ctrl
// but not which of the two keys; the modifier keys' own events tell, and
// a key that types a character while only the right Alt key is down
// without the terminal counting it as Alt is AltGr, which the console
// reports as right Alt with left Ctrl.
void KeyDecoder::Settle(KeyEvent* key, bool fromCsi) {
  constexpr int ReportEventTypes = 2;
  if (fromCsi && key->Stroke == Stroke::PressAndRelease && keyboardFlags_ > 0 &&
      (keyboardFlags_ & ReportEventTypes) != 0) {
    key->Stroke = Stroke::Press;
  }
  const bool enhanced = (key->ControlState & ENHANCED_KEY) != 0;
  DWORD side = 0;
  if (key->VirtualKey == VK_MENU) side = enhanced ? RIGHT_ALT_PRESSED : LEFT_ALT_PRESSED;
  if (key->VirtualKey == VK_CONTROL) side = enhanced ? RIGHT_CTRL_PRESSED : LEFT_CTRL_PRESSED;
  if (side != 0) {
    if (key->Stroke == Stroke::Press) heldSides_ |= side;
    if (key->Stroke == Stroke::Release) heldSides_ &= ~side;
    return;
  }
  DWORD& state = key->ControlState;
  const auto swap = [&state, this](DWORD left, DWORD right) {
    if ((state & left) != 0 && (heldSides_ & right) != 0 && (heldSides_ & left) == 0) {
      state = (state & ~left) | right;
    }
  };
  const bool altGr = (state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) == 0 &&
                     (heldSides_ & RIGHT_ALT_PRESSED) != 0 && key->Char != 0;
  swap(LEFT_ALT_PRESSED, RIGHT_ALT_PRESSED);
  swap(LEFT_CTRL_PRESSED, RIGHT_CTRL_PRESSED);
  if (altGr) state |= RIGHT_ALT_PRESSED | LEFT_CTRL_PRESSED;
}

LineSignal SignalOf(const KeyEvent& key, const SignalChars& chars) {
  const bool ctrl = (key.ControlState & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) != 0;
  if (key.VirtualKey == keys::VkCancel || (ctrl && key.VirtualKey == keys::VkPause)) {
    return LineSignal::Quit;
  }
  if (key.Char == 0) return LineSignal::None;
  if (key.Char == chars.Interrupt) return LineSignal::Interrupt;
  if (key.Char == chars.Quit) return LineSignal::Quit;
  if (key.Char == chars.Suspend) return LineSignal::Suspend;
  return LineSignal::None;
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
  if (key.Stroke != Stroke::PressAndRelease) {
    records->push_back(model::KeyRecord(key.Stroke == Stroke::Press, key.VirtualKey, key.ScanCode,
                                        key.Char, key.ControlState, key.Repeat));
    return;
  }
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
