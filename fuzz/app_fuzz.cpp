// libFuzzer target for the whole alarm application on the in-memory console.
//
// The input picks a console (size, platform family, keyboard code page, a
// console that refuses scrolls above the buffer, the local time at start,
// the key protocol the terminal has: none, win32-input-mode, or the
// keyboard enhancement with or without event types, negotiated as the
// terminal session does) and then reads as a script of timed events: typed
// characters, raw input records of every kind, keys without a character and
// Alt numbers, bytes from a terminal run through the terminal key decoder,
// keys in either protocol's encoding, virtual time passing and the local
// clock stepping (DST, a day, a few minutes, either way).  Keys that stand
// for a signal (Ctrl+C in a protocol) are dropped, as the session raises
// their signal instead.
// The program runs its real endless loop over that script on the fake's
// virtual clock.
//
// When the script is over, whatever state it left, the target brings the
// alarm to ring and stops it as a user would: it completes the entry field
// the program is in, sets the clock to the alarm minute, and at the ringing
// screen presses ESC (without a password) or Enter, ESC, the password and
// Enter.  The ringing must end, the program must return to the time entry,
// and Alt+X must end it with exit code 0 and a visible cursor.
//
// Checked all along: EntryIndex never past 16 (nor past 5 in the time
// field), the alarm time always 00:00..23:59, the sleep time one the
// program uses, unused password positions still fillers, no write, scroll
// or cursor move outside the console area, and no run longer than 256.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "app/alarm_state.h"
#include "console/console_output.h"
#include "console/keyboard.h"
#include "console/process.h"
#include "console/reset.h"
#include "fuzz/call_regions.h"
#include "fuzz/fuzz_support.h"
#include "standin/model/console_model.h"
#include "standin/terminal/vt/key_decoder.h"
#include "standin/terminal/vt/key_protocols.h"
#include "standin/testend/test_end.h"

namespace {

using fuzz::Check;

// The script may run this long in virtual time; clock steps cover longer
// spans without costing passes of the waiting loop.
constexpr uint64_t ScriptLimitMs = 10ULL * 60 * 1000;
constexpr int MaxEvents = 400;
// Time the wind-up may take: entry fields, at most one 30 s sleep before
// the alarm minute is read, the ringing, with room to spare.
constexpr uint64_t SettleLimitMs = 5ULL * 60 * 1000;
constexpr uint64_t SettleStepMs = 100;
// A ringing pass takes 150 ms; the stop keys are answered in the next one.
constexpr uint64_t StopLimitMs = 1000;
constexpr int64_t DayMs = 86400000;

const std::string TimeInput = "Rousel - time input";
const std::string PasswordInput = "Rousel - password input";
const std::string Waiting = "Rousel - waiting...";
const std::string Ringing = "Rousel - ringing...";
const std::string Exiting = "Rousel - exiting...";

struct Wind {
  uint64_t Start = 0;
  int AlarmMinuteOfDay = 0;  // what the wind-up types into the time field
  bool ClockSet = false;
  bool StopSent = false;
  uint64_t StopSentAt = 0;
  bool Done = false;
};

Wind TheWind;

const std::string& Phase() {
  static const std::string None;
  return testend::Titles().empty() ? None : testend::Titles().back();
}

// Nothing typed is still on its way to the program.
bool InputDrained() {
  return testend::Console().Input.empty() && KeyCount == 0 && PendingScanCode == 0;
}

// A password field's positions: typed characters up to the index, fillers
// after it.
void CheckField(const uint8_t (&field)[PasswordLength], const char* what) {
  for (int i = 0; i < PasswordLength; ++i) {
    if (i < AlarmState.EntryIndex) {
      Check(field[i] >= 32, what);
    } else {
      Check(field[i] == FillerChar, what);
    }
  }
}

void CheckState() {
  const TAlarmState& s = AlarmState;
  Check(s.EntryIndex <= PasswordLength, "EntryIndex past 16");
  Check(s.AlarmHour >= 0 && s.AlarmHour <= 23 && s.AlarmMinute >= 0 && s.AlarmMinute <= 59,
        "an alarm time outside 00:00..23:59");
  Check(s.AlarmSeconds == SecondsOfDay(s.AlarmHour, s.AlarmMinute, 0),
        "AlarmSeconds does not match the alarm time");
  const uint16_t sleep = s.SleepTime;
  Check(sleep == 50 || sleep == 100 || sleep == 500 || sleep == 1000 || sleep == 10000 ||
            sleep == 30000,
        "a sleep time the program never sets");
  Check(KeyCount >= 0 && KeyCount <= KeyQueueSize, "the key queue count out of range");
  const std::string& phase = Phase();
  if (phase == TimeInput) {
    Check(s.EntryIndex >= 1 && s.EntryIndex <= 5, "EntryIndex outside the time field");
  } else if (phase == PasswordInput && s.PasswordChecking) {
    CheckField(s.Password, "the password field's positions are not as typed");
  } else if (phase == Ringing && s.PromptOpen) {
    CheckField(s.TypedPassword, "the prompt's positions are not as typed");
  }
  if (s.PasswordSet) {
    Check(s.Password[0] >= 32, "a password set without a first character");
  }
  fuzz::CheckCallRegions(ScreenWidth, ScreenHeight);
}

// Alt held, the number's digits on the keypad, Alt released: how a byte
// is typed that no key gives, as 224 (a letter of code page 866 whose key
// records the keyboard layer drops).
void TypeAltNumber(uint8_t byte) {
  static const WORD PadScan[10] = {82, 79, 80, 81, 75, 76, 77, 71, 72, 73};
  testend::PushRecord(model::KeyRecord(true, VK_MENU, 56, 0, LEFT_ALT_PRESSED));
  for (const char digit : std::to_string(byte)) {
    const int d = digit - '0';
    testend::PushKey(static_cast<WORD>(VK_NUMPAD0 + d), PadScan[d], 0, LEFT_ALT_PRESSED);
  }
  testend::PushRecord(model::KeyRecord(false, VK_MENU, 56, 0, 0));
}

void TypeStopKeys() {
  // After a lone 0 (an Alt number that gave the prefix byte) the next key is
  // taken for its scan code: give it one that does nothing.
  std::string keys = AlarmState.PrevKey == 0 ? " " : "";
  if (!AlarmState.PasswordChecking) {
    testend::TypeBytes(keys + "\x1b");
    return;
  }
  // Enter first: a prompt left open with something typed is closed (or the
  // typing happens to be right); then a fresh prompt and the password.
  keys += "\r\x1b";
  testend::TypeBytes(keys);
  for (const uint8_t c : AlarmState.Password) {
    if (c == FillerChar) break;
    if (c == 224) {
      TypeAltNumber(c);
    } else {
      testend::TypeBytes(std::string(1, static_cast<char>(c)));
    }
  }
  testend::TypeBytes("\r");
}

// Moves the local clock to half a second into the alarm minute.
void SetClockToAlarm() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  const int64_t nowMs =
      ((now.wHour * 60LL + now.wMinute) * 60LL + now.wSecond) * 1000LL + now.wMilliseconds;
  const int64_t target = AlarmState.AlarmSeconds * 1000LL + 500;
  testend::StepClock(((target - nowMs) % DayMs + DayMs) % DayMs);
}

void WindStep() {
  CheckState();
  const uint64_t now = testend::NowMs();
  Check(now - TheWind.Start <= SettleLimitMs, "the alarm could not be brought to ring and stop");
  const std::string& phase = Phase();
  if (TheWind.StopSent && phase != Ringing) {
    Check(phase == TimeInput, "a stopped alarm did not return to the time entry");
    TheWind.Done = true;
    testend::PushAltX();
    return;
  }
  if (phase == Ringing) {
    if (!TheWind.StopSent && InputDrained()) {
      TypeStopKeys();
      TheWind.StopSent = true;
      TheWind.StopSentAt = now;
    } else if (TheWind.StopSent) {
      Check(now - TheWind.StopSentAt <= StopLimitMs, "the ringing did not stop");
    }
  } else if (InputDrained()) {
    if (phase == TimeInput) {
      const int hour = TheWind.AlarmMinuteOfDay / 60;
      const int minute = TheWind.AlarmMinuteOfDay % 60;
      std::string keys = "\b\b\b\b\b";
      keys += static_cast<char>('0' + hour / 10);
      keys += static_cast<char>('0' + hour % 10);
      keys += static_cast<char>('0' + minute / 10);
      keys += static_cast<char>('0' + minute % 10);
      keys += '\r';
      testend::TypeBytes(keys);
    } else if (phase == PasswordInput) {
      testend::TypeBytes("\r");
    } else if (phase == Waiting && !TheWind.ClockSet) {
      SetClockToAlarm();
      TheWind.ClockSet = true;
    }
  }
  testend::PushAt(now + SettleStepMs, WindStep);
}

// A byte as typed, biased towards the keys the program reacts to.
void TypeOne(uint8_t pick, uint8_t raw) {
  static const char Useful[] =
      "0123456789\r\x1b\b tTsSpP12345aZ~\xA5\x85\xEB\x9B\xA7\x87\xE0\xF0\xFA\t";
  const char c = pick < 200 ? Useful[pick % (sizeof Useful - 1)] : static_cast<char>(raw);
  testend::TypeBytes(std::string(1, c));
}

// Keys without a character, and Alt numbers typed on the keypad.
void PressSpecial(fuzz::Reader& in) {
  const uint8_t which = in.Byte();
  switch (which % 8) {
    case 0:
      // Alt+X, rarely, so that most scripts get to the wind-up.
      if (which == 0) {
        testend::PushAltX();
      } else {
        testend::PushKey('X', 45, 'x', RIGHT_ALT_PRESSED);  // AltGr+X: a character
      }
      break;
    case 1:
      testend::PushKey(static_cast<WORD>(VK_F1 + in.Below(12)),
                       static_cast<WORD>(59 + in.Below(10)), 0,
                       static_cast<DWORD>(in.Byte() & 0x1F));
      break;
    case 2: {
      static const WORD Arrows[][2] = {{VK_UP, 72},     {VK_DOWN, 80},  {VK_LEFT, 75},
                                       {VK_RIGHT, 77},  {VK_HOME, 71},  {VK_END, 79},
                                       {VK_INSERT, 82}, {VK_DELETE, 83}};
      const auto& key = Arrows[in.Below(8)];
      testend::PushKey(key[0], key[1], 0, ENHANCED_KEY | static_cast<DWORD>(in.Byte() & 0x1F));
      break;
    }
    case 3:
      testend::PushKey(VK_TAB, 15, 9, SHIFT_PRESSED);
      break;
    case 4: {
      // Alt held, up to four keypad digits, Alt released.
      static const WORD PadScan[10] = {82, 79, 80, 81, 75, 76, 77, 71, 72, 73};
      testend::PushRecord(model::KeyRecord(true, VK_MENU, 56, 0, LEFT_ALT_PRESSED));
      const size_t digits = 1 + in.Below(4);
      for (size_t i = 0; i < digits; ++i) {
        const size_t d = in.Below(10);
        testend::PushKey(static_cast<WORD>(VK_NUMPAD0 + d), PadScan[d], 0, LEFT_ALT_PRESSED);
      }
      testend::PushRecord(model::KeyRecord(false, VK_MENU, 56, 0, 0));
      break;
    }
    case 5:
      // Shift, Ctrl or Alt pressed and released alone.
      testend::PushKey(static_cast<WORD>(VK_SHIFT + in.Below(3)), 42, 0, 0);
      break;
    case 6:
      testend::PushKey('X', 45, 'x', LEFT_ALT_PRESSED);  // Alt+X without the Alt key's own records
      break;
    default:
      testend::PushKey(VK_RETURN, 28, 13, ENHANCED_KEY);  // keypad Enter
      break;
  }
}

void PushRaw(fuzz::Reader& in) {
  const uint8_t kind = in.Byte();
  INPUT_RECORD record{};
  if (kind % 8 == 0) {
    static const WORD Other[] = {
        MOUSE_EVENT, WINDOW_BUFFER_SIZE_EVENT, MENU_EVENT, FOCUS_EVENT, 0, 0x20, 0xFFFF};
    record.EventType = Other[in.Below(std::size(Other))];
    testend::PushRecord(record);
    return;
  }
  const bool down = (kind & 0x10) != 0;
  const auto vk = static_cast<WORD>(in.Byte());
  const auto scan = static_cast<WORD>(in.Byte());
  const uint8_t ch = in.Byte();
  const DWORD state = in.Word() & 0x1FFU;
  const auto repeat = static_cast<WORD>(in.Below(4));
  testend::PushRecord(model::KeyRecord(down, vk, scan, ch, state, repeat));
}

struct Script {
  fuzz::Reader& In;
  vt::KeyDecoder Decoder;
  uint64_t At = 0;
};

void Feed(vt::KeyDecoder& decoder, std::string_view bytes, uint64_t at) {
  decoder.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), at);
}

// The start-up negotiation with a terminal of the given kind (0 none, 1
// win32-input-mode, 2 the keyboard enhancement with every flag, 3 with
// disambiguation only), through the decoder the script's bytes go through.
void Negotiate(vt::KeyDecoder& decoder, unsigned kind) {
  static const std::string_view Answers[] = {
      "\x1b[?9001;0$y\x1b[?62c", "\x1b[?9001;2$y\x1b[?0u\x1b[?62c",
      "\x1b[?9001;0$y\x1b[?0u\x1b[?62c", "\x1b[?0u\x1b[?62c"};
  vt::KeyProtocols protocols;
  std::string sent = protocols.Query();
  Feed(decoder, Answers[kind], 0);
  vt::Reply reply;
  while (decoder.PopReply(&reply)) sent += protocols.OnReply(reply, true);
  const bool kitty = kind >= 2;
  Check(protocols.InForce() == (kind != 0), "the terminal's protocol not put in force");
  Check(sent.find(kitty ? "\x1b[>31u" : "\x1b[?9001h") != std::string::npos || kind == 0,
        "the protocol's bytes not sent");
  if (kitty) Feed(decoder, kind == 2 ? "\x1b[?31u\x1b[?62c" : "\x1b[?1u\x1b[?62c", 0);
  while (decoder.PopReply(&reply)) protocols.OnReply(reply, true);
  Check(!protocols.AwaitingReplies(), "an answer left unread");
}

// A key as a protocol encodes it, from six bytes: a win32-input-mode record
// (virtual key, scan code, character, down, control-key state), or a key
// of the keyboard enhancement (a code, mostly one the program reacts to,
// modifiers, event type, shifted key and text).
std::string ProtocolKey(bool record, fuzz::Reader& in) {
  std::string out = "\x1b[";
  if (record) {
    const uint8_t vk = in.Byte();
    const uint8_t scan = in.Byte();
    const uint8_t ch = in.Byte();
    const uint16_t state = in.Word() & 0x1FFU;
    const bool down = (in.Byte() & 1) != 0;
    return out + std::to_string(vk) + ";" + std::to_string(scan) + ";" + std::to_string(ch) + ";" +
           (down ? "1" : "0") + ";" + std::to_string(state) + ";1_";
  }
  static const unsigned Codes[] = {
      '0', '1', '2',   '3',   '5',   '7',   '9',   'x',   't',   's',   'p',   'c',   'z',  27, 13,
      127, 9,   57399, 57403, 57408, 57414, 57441, 57442, 57443, 57449, 57453, 57362, 1077, 233};
  const uint8_t pick = in.Byte();
  const unsigned code = pick < 232 ? Codes[pick % std::size(Codes)] : in.Word();
  const unsigned mods = 1 + in.Below(16);
  const unsigned event = in.Below(4);
  const uint8_t extra = in.Byte();
  out += std::to_string(code);
  if ((extra & 1) != 0) out += ":" + std::to_string(extra >> 1);
  out += ";" + std::to_string(mods);
  if (event != 0) out += ":" + std::to_string(event);
  if ((extra & 2) != 0) out += ";" + std::to_string(in.Byte());
  return out + "u";
}

// Schedules one event of the script at its virtual time.
bool ScheduleEvent(Script& script) {
  fuzz::Reader& in = script.In;
  const uint8_t op = in.Byte();
  std::vector<uint8_t> args;
  switch (op % 10) {
    case 0:
    case 1:
    case 2: {
      const uint8_t pick = in.Byte();
      const uint8_t raw = in.Byte();
      testend::PushAt(script.At, [pick, raw] {
        CheckState();
        TypeOne(pick, raw);
      });
      break;
    }
    case 3:
    case 4: {
      // The argument bytes are read now, the records made when they are due.
      for (int i = 0; i < 8; ++i) args.push_back(in.Byte());
      const bool special = op % 10 == 4;
      testend::PushAt(script.At, [args, special] {
        CheckState();
        fuzz::Reader argIn(args.data(), args.size());
        if (special) {
          PressSpecial(argIn);
        } else {
          PushRaw(argIn);
        }
      });
      break;
    }
    case 5:
    case 6:
      script.At += (op & 0x80) != 0 ? in.Word() : in.Byte();
      break;
    case 7: {
      static const int64_t Steps[] = {3600000, -3600000, 60000, -60000, DayMs, -DayMs, 1000, -1000};
      const uint8_t pick = in.Byte();
      const int64_t step = pick < 128 ? Steps[pick % std::size(Steps)]
                                      : (static_cast<int64_t>(in.Word()) - 32768) * 1000;
      testend::PushAt(script.At, [step] {
        CheckState();
        testend::StepClock(step);
      });
      break;
    }
    case 8: {
      // Bytes from a terminal, decoded as the terminal stand-in decodes
      // them; the lone-ESC timeout runs out or not.  With bit 6 a key in a
      // protocol's encoding (bit 5: a win32-input-mode record).
      if ((op & 0x40) != 0) {
        Feed(script.Decoder, ProtocolKey((op & 0x20) != 0, in), script.At);
      } else {
        const size_t n = 1 + in.Below(12);
        for (size_t i = 0; i < n; ++i) args.push_back(in.Byte());
        script.Decoder.Feed(args.data(), args.size(), script.At);
      }
      if ((op & 0x80) != 0) script.Decoder.Tick(script.At + vt::EscapeTimeoutMs);
      std::vector<INPUT_RECORD> records;
      vt::KeyEvent key;
      while (script.Decoder.Pop(&key)) {
        if (vt::SignalOf(key, {}) == vt::LineSignal::None) vt::AppendKeyRecords(key, &records);
      }
      testend::PushAt(script.At, [records] {
        CheckState();
        for (const INPUT_RECORD& record : records) testend::PushRecord(record);
      });
      break;
    }
    default:
      // Several of the same key at once, as held down or pasted.
      const uint8_t pick = in.Byte();
      const size_t count = 1 + in.Below(20);
      testend::PushAt(script.At, [pick, count] {
        CheckState();
        for (size_t i = 0; i < count; ++i) TypeOne(pick, pick);
      });
      break;
  }
  return script.At <= ScriptLimitMs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);

  testend::Options options;
  const uint8_t shape = in.Byte();
  if (shape >= 192) {
    // Small and odd consoles: the texts wrap and scroll.
    options.Width = 1 + static_cast<int>(in.Below(100));
    options.Height = 1 + static_cast<int>(in.Below(40));
  } else if (shape >= 180) {
    options.Width = 200 + static_cast<int>(in.Below(100));
    options.Height = 200 + static_cast<int>(in.Below(50));
  }
  const uint8_t flags = in.Byte();
  options.Platform = (flags & 1) != 0 ? VER_PLATFORM_WIN32_WINDOWS : VER_PLATFORM_WIN32_NT;
  static const int CodePages[] = {866, 437, -1, 1251};
  options.KeyboardCodePage = CodePages[(flags >> 1) & 3];
  options.RefuseDestinationAboveBuffer = (flags & 8) != 0;
  options.Hour = static_cast<int>(in.Below(24));
  options.Minute = static_cast<int>(in.Below(60));
  options.Second = static_cast<int>(in.Below(60));

  ResetConsoleServices();
  testend::Reset(options);
  InitStandardOutput();
  InitConsole();
  AlarmState = {};
  StartUp();

  TheWind = Wind{};
  TheWind.AlarmMinuteOfDay = static_cast<int>(in.Word() % 1440);

  Script script{in, {}, 0};
  Negotiate(script.Decoder, (flags >> 4) & 3U);
  for (int event = 0; event < MaxEvents && !in.Empty(); ++event) {
    if (!ScheduleEvent(script)) break;
  }
  TheWind.Start = script.At + 1;
  testend::PushAt(TheWind.Start, WindStep);
  testend::StopAt(TheWind.Start + SettleLimitMs + 60000);

  try {
    for (;;) AlarmSequence();
  } catch (const testend::ProcessExit& exit) {
    Check(exit.Code == 0, "an exit code other than 0");
    Check(Phase() == Exiting, "the process ended without the exit banner");
    Check(testend::Console().CursorInfo.bVisible != FALSE, "the cursor left hidden at exit");
    fuzz::CheckCallRegions(ScreenWidth, ScreenHeight);
  } catch (const testend::InputExhausted&) {
    fuzz::Fail("the program stopped answering: the alarm never rang and stopped");
  }
  if (std::getenv("ROUSEL_FUZZ_TRACE") != nullptr) {
    // For looking into a saved input: the phases the program went through.
    for (const std::string& title : testend::Titles()) std::fprintf(stderr, "%s\n", title.c_str());
    std::fprintf(stderr, "ended at %llu ms, %zu tones\n",
                 static_cast<unsigned long long>(testend::NowMs()), testend::Beeps().size());
  }
  ResetConsoleServices();
  return 0;
}
