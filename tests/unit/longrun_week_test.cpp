// Days of alarms on the in-memory console's virtual clock: a user sets an
// alarm every few hours, across midnight and the day's wrap, with the local
// clock stepping an hour forward and back as daylight saving time does.
//
// The local time here is a function of virtual time that the test knows
// (start time plus every step taken so far), and every pass of the waiting
// loop is checked against it: the current time shown is the last clock
// reading that changed the second, the remaining time is the alarm minus
// that reading (so it never drifts, whatever the clock did), nothing sounds
// before the alarm, and the alarm rings in exactly the first pass whose
// reading falls into the alarm minute, with the screen output switched off
// as well, or in the first pass after a clock step carried the clock forward
// (by less than half a day) past the start of the alarm minute.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "tests/unit/app_test_support.h"

namespace {

constexpr int64_t Second = 1000;
constexpr int64_t Minute = 60 * Second;
constexpr int64_t Hour = 60 * Minute;
constexpr int64_t Day = 24 * Hour;
// The user chooses the longest sleep time ("5"): a pass every 30 s after
// the first one, which sleeps the 500 ms every alarm starts with.
constexpr int64_t FirstSleep = 500;
constexpr int64_t LongSleep = 30 * Second;
constexpr int64_t RingFor = 20 * Second;   // before the user stops it
constexpr int64_t NextAfter = 1 * Second;  // from the stop to the next alarm typed

// One alarm of the run.  The clock step, when there is one, happens the
// first time the local clock reads stepAt after the alarm is set.
struct Alarm {
  const char* time;      // "HHMM" as typed
  const char* password;  // nullptr: none
  bool screenOff;        // "S" too: the fields freeze, the alarm still rings
  const char* stepAt;    // "HH:MM:SS" or nullptr
  int64_t stepBy;
};

// Starts on day 0 at 22:00:00.  Each alarm is typed a second after the one
// before it was stopped, so each row's situation depends on the row before.
// clang-format off
const Alarm Alarms[] = {
    {"2330", nullptr, false, nullptr, 0},
    {"0000", nullptr, false, nullptr, 0},                    // across midnight
    {"0000", nullptr, false, nullptr, 0},                    // the current minute: at once
    {"2359", "sleepy", false, nullptr, 0},                   // a minute ago: tomorrow
    {"0230", nullptr, false, "02:00:00", Hour},              // DST skips 02:30: at the step
    {"0310", nullptr, false, "03:05:00", -Hour},             // DST repeats an hour
    {"0700", "wake me", false, "06:00:20", Hour},            // stepped into the minute
    {"1215", nullptr, true, nullptr, 0},
    {"0130", nullptr, false, nullptr, 0},
    {"0100", nullptr, false, "02:00:00", -Hour},             // back into the alarm minute
    {"1100", "abc", false, "09:00:00", Day},                 // a day forward: same time
    {"1945", nullptr, false, "17:00:07", -Day},              // a day back: same time
    {"0300", nullptr, false, "02:59:50", 80 * Second},       // over the minute: at the step
};
// clang-format on

int64_t Mod(int64_t value, int64_t modulus) {
  return ((value % modulus) + modulus) % modulus;
}

// "HH:MM:SS" as milliseconds of the day.
int64_t ParseClock(const char* text) {
  const auto two = [text](int at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); };
  return two(0) * Hour + two(3) * Minute + two(6) * Second;
}

std::string Hms(int64_t secondsOfDay) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(secondsOfDay / 3600),
                static_cast<int>(secondsOfDay / 60 % 60), static_cast<int>(secondsOfDay % 60));
  return text;
}

std::string Label(const char* label, const std::string& value) {
  return std::string(label) + std::string(35 - std::string(label).size(), '.') + "[" + value + "]";
}

// The user, the clock and the checks.
class User {
 public:
  explicit User(int64_t startOfDay) : start_(startOfDay) {}

  // Local time of day in ms at virtual time t: the start, the time passed
  // and every step taken by then (a step at t is taken before a pass at t).
  [[nodiscard]] int64_t LocalMs(int64_t t) const {
    int64_t offset = 0;
    for (const auto& [at, by] : steps_)
      if (at <= t) offset += by;
    return Mod(start_ + t + offset, Day);
  }

  void TypeAlarm(size_t index) {
    index_ = index;
    const Alarm& alarm = Alarms[index];
    const int64_t now = Now();
    setAt_ = now;
    alarmSeconds_ = ((alarm.time[0] - '0') * 10 + (alarm.time[1] - '0')) * 3600 +
                    ((alarm.time[2] - '0') * 10 + (alarm.time[3] - '0')) * 60;
    if (alarm.stepAt != nullptr) {
      const int64_t at = now + Mod(ParseClock(alarm.stepAt) - LocalMs(now), Day);
      steps_.emplace_back(at, alarm.stepBy);
      fake::PushAt(static_cast<uint64_t>(at), [by = alarm.stepBy] { fake::StepClock(by); });
    }
    std::string keys = std::string(alarm.time) + "\r";
    keys += alarm.password != nullptr ? std::string(alarm.password) + "\r" : "\r";
    keys += alarm.screenOff ? "5s" : "5";
    Press(keys);
    beepsBefore_ = fake::Beeps().size();
    shown_ = -1;  // the waiting screen is drawn with both fields blank

    // The passes: now, after the first 500 ms, then every 30 s.  The ring
    // is due in the first one whose reading lies in the alarm minute, or
    // that a step forward carried past the minute's start.
    passes_.clear();
    int64_t before = -1;  // the pass before's reading in ms; none yet
    for (int64_t t = now;; t += passes_.size() == 1 ? FirstSleep : LongSleep) {
      passes_.push_back(t);
      const int64_t reading = LocalMs(t) / Second * Second;
      if (reading / Minute == alarmSeconds_ / 60) break;
      if (before >= 0) {
        const int64_t moved = Mod(reading - before, Day);
        const int64_t untilAlarm = Mod(alarmSeconds_ * Second - before, Day);
        if (moved <= Day / 2 && untilAlarm > 0 && untilAlarm <= moved) break;
      }
      before = reading;
      ASSERT_LT(t - now, 3 * Day) << "the schedule never reaches the alarm minute";
    }
    pass_ = 0;
    Schedule(passes_[0] + 1, [this] { CheckPass(); });
  }

  [[nodiscard]] bool Finished() const { return finished_; }
  [[nodiscard]] int Rings() const { return rings_; }
  [[nodiscard]] int PassesChecked() const { return checked_; }
  [[nodiscard]] int64_t LastRing() const { return lastRing_; }

 private:
  static int64_t Now() { return static_cast<int64_t>(fake::NowMs()); }
  static void Schedule(int64_t at, std::function<void()> what) {
    fake::PushAt(static_cast<uint64_t>(at), std::move(what));
  }

  // Just after pass number pass_: what the screen shows.
  void CheckPass() {
    const int64_t passAt = passes_[pass_];
    const int64_t reading = LocalMs(passAt) / Second;
    const Alarm& alarm = Alarms[index_];
    SCOPED_TRACE(testing::Message() << "alarm " << index_ << " " << alarm.time << ", pass at "
                                    << Hms(reading) << " (" << passAt << " ms)");
    fake::ClearCalls();
    // The fields are rewritten only when the second read differs from the
    // one read in the pass before (the last alarm's ringing pass, for the
    // first pass of an alarm), until then they stay blank; and not at all
    // once "S" has switched screen output off, after the first pass.
    const bool output = pass_ == 0 || !alarm.screenOff;
    if (output && reading % 60 != lastSecond_ % 60) shown_ = reading;
    lastSecond_ = reading;
    ++checked_;
    const bool due = pass_ + 1 == passes_.size();
    if (!due) {
      EXPECT_EQ(fake::Titles().back(), "Rousel - waiting...");
      const std::string blank(8, ' ');
      // The remaining time lies in 1..86400 s: in the alarm minute itself it
      // would be a whole day.
      const int64_t remaining = Mod(alarmSeconds_ - shown_ - 1, 86400) + 1;
      EXPECT_EQ(fake::Row(2), Label("Current time", shown_ < 0 ? blank : Hms(shown_)));
      EXPECT_EQ(fake::Row(3), Label("Remaining time", shown_ < 0 ? blank : Hms(remaining)));
      EXPECT_EQ(fake::Beeps().size(), beepsBefore_) << "a tone while waiting";
      if (testing::Test::HasFailure()) return Finish();
      ++pass_;
      Schedule(passes_[pass_] + 1, [this] { CheckPass(); });
      return;
    }
    // The alarm minute: ringing from this pass on, the first tone 50 ms later.
    EXPECT_EQ(fake::Titles().back(), "Rousel - ringing...") << "the alarm did not ring";
    EXPECT_EQ(fake::Row(1), "Come on, sleepy head! Get up!");
    if (testing::Test::HasFailure()) return Finish();
    ++rings_;
    lastRing_ = passAt;
    Schedule(passAt + RingFor, [this, passAt] { Stop(passAt); });
  }

  void Stop(int64_t ringAt) {
    const Alarm& alarm = Alarms[index_];
    ASSERT_GT(fake::Beeps().size(), beepsBefore_);
    EXPECT_EQ(fake::Beeps()[beepsBefore_].AtMs, static_cast<uint64_t>(ringAt + 50));
    Press(alarm.password != nullptr ? "\033" + std::string(alarm.password) + "\r" : "\033");
    Schedule(Now() + NextAfter, [this] {
      EXPECT_EQ(fake::Titles().back(), "Rousel - time input") << "the alarm did not stop";
      if (testing::Test::HasFailure() || index_ + 1 == std::size(Alarms)) return Finish();
      TypeAlarm(index_ + 1);
    });
  }

  void Finish() {
    finished_ = true;
    fake::PushAltX();
  }

  int64_t start_;
  std::vector<std::pair<int64_t, int64_t>> steps_;
  size_t index_ = 0;
  int64_t setAt_ = 0;
  int64_t alarmSeconds_ = 0;
  std::vector<int64_t> passes_;
  size_t pass_ = 0;
  size_t beepsBefore_ = 0;
  int64_t lastSecond_ = 0;  // the process starts with second 0 as the last read
  int64_t shown_ = -1;
  int rings_ = 0;
  int checked_ = 0;
  int64_t lastRing_ = 0;
  bool finished_ = false;
};

using LongRunTest = AppTest;

TEST_F(LongRunTest, DaysOfAlarmsRingInTheirMinuteWithoutDrift) {
  StartApp({.Hour = 22});
  User week(22 * Hour);
  fake::PushAt(1000, [&week] { week.TypeAlarm(0); });
  fake::StopAt(static_cast<uint64_t>(9 * Day));
  UINT code = 99;
  EXPECT_EQ(RunApp(
                [] {
                  for (;;) AlarmSequence();
                },
                &code),
            Outcome::Exited);
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(week.Finished());
  EXPECT_EQ(week.Rings(), static_cast<int>(std::size(Alarms)));
  EXPECT_GE(week.LastRing(), 3 * Day) << "the schedule no longer covers days";
  EXPECT_GT(week.PassesChecked(), 9000);
}

}  // namespace
