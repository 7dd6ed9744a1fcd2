// The key reader's source on a pipe: whatever is waiting is read, however it
// falls into reads, up to the bound of one pump, and no key of a long paste
// is lost (the decoder keeps only so many between pops); a lone Esc comes
// out after its timeout; a closed terminal is reported gone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "standin/terminal/session/input.h"

namespace {

using session::InputSource;

// The characters of the key presses among the records.
std::string Typed(const std::vector<INPUT_RECORD>& records) {
  std::string typed;
  for (const INPUT_RECORD& r : records)
    if (r.EventType == KEY_EVENT && r.Event.KeyEvent.bKeyDown != FALSE)
      typed += r.Event.KeyEvent.uChar.AsciiChar;
  return typed;
}

TEST(InputTest, ReadsWhatWaitsInPiecesUpToItsBound) {
  // Name, bytes, the keys of each pump (after a wait for input), 4096 bytes at most.
  const std::tuple<const char*, std::string, std::vector<size_t>> cases[] = {
      {"a few keys", "abc", {3}},
      {"more than one read's buffer", std::string(1500, 'x'), {1500}},
      {"exactly one read's buffer", std::string(512, 'y'), {512}},
      {"exactly one read's buffer, then more", std::string(512, 'y') + "z", {513}},
      {"beyond one pump's bound", std::string(5000, 'x'), {4096, 904}},
      {"a lone Esc, after its timeout", "\x1b", {0, 1}},
  };
  for (const auto& [name, bytes, keysPerPump] : cases) {
    SCOPED_TRACE(name);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    InputSource source(ends[0]);
    std::string typed;
    for (const size_t keys : keysPerPump) {
      ASSERT_EQ(source.Wait(5000), InputSource::Status::Ok);
      std::vector<INPUT_RECORD> records;
      ASSERT_EQ(source.Pump(&records), InputSource::Status::Ok);
      EXPECT_EQ(Typed(records).size(), keys);
      typed += Typed(records);
    }
    EXPECT_TRUE(typed == bytes) << typed.size() << " of " << bytes.size() << " typed";
    close(ends[1]);
    std::vector<INPUT_RECORD> records;
    EXPECT_EQ(source.Wait(5000), InputSource::Status::Gone) << "the terminal went away";
    EXPECT_EQ(source.Pump(&records), InputSource::Status::Gone);
    EXPECT_TRUE(records.empty());
    close(ends[0]);
  }
}

// A key protocol's Ctrl+C is a signal, not a key: once for each press, with
// the keys around it kept; without a place for signals it is a key.
TEST(InputTest, AKeyThatStandsForASignalIsASignalForEachPress) {
  for (const bool withSignals : {true, false}) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    // Ctrl+C pressed, released and pressed again.
    const std::string bytes = "a\x1b[99;5u\x1b[99;5:3u\x1b[99;5ub";
    ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    InputSource source(ends[0]);
    std::vector<INPUT_RECORD> records;
    std::vector<vt::LineSignal> signals;
    ASSERT_EQ(source.Pump(&records, withSignals ? &signals : nullptr), InputSource::Status::Ok);
    // As keys: Ctrl's own press, then Ctrl+C's, twice.
    const std::string asKeys = std::string("a\0\x03\0\x03", 5) + "b";
    EXPECT_EQ(Typed(records), withSignals ? "ab" : asKeys);
    EXPECT_EQ(signals, withSignals ? std::vector(2, vt::LineSignal::Interrupt)
                                   : std::vector<vt::LineSignal>{});
    close(ends[0]);
    close(ends[1]);
  }
}

// A pump bound that is no multiple of a read stops at it; bytes another
// reader took since the wait leave nothing to read, which is no hang-up
// unless the terminal has gone.
TEST(InputTest, APumpStopsAtItsBoundAndAnEmptyReadIsNoHangUp) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
  const std::string bytes(1500, 'x');
  ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  InputSource source(ends[0]);
  std::vector<INPUT_RECORD> records;
  ASSERT_EQ(source.Pump(&records, nullptr, 1000), InputSource::Status::Ok);
  EXPECT_EQ(Typed(records).size(), 1000u);
  ASSERT_EQ(source.Wait(5000), InputSource::Status::Ok);
  char taken[500];
  ASSERT_EQ(read(ends[0], taken, sizeof taken), 500);
  records.clear();
  EXPECT_EQ(source.Pump(&records), InputSource::Status::Ok);
  EXPECT_TRUE(records.empty());
  // The same, with the terminal gone by then: the end of the file is.
  ASSERT_EQ(write(ends[1], "x", 1), 1);
  ASSERT_EQ(source.Wait(5000), InputSource::Status::Ok);
  ASSERT_EQ(read(ends[0], taken, 1), 1);
  close(ends[1]);
  EXPECT_EQ(source.Pump(&records), InputSource::Status::Gone);
  EXPECT_TRUE(records.empty());
  close(ends[0]);
}

// How a wait ends: when its time is up, when an Esc held for its timeout is
// due (at once if it is overdue, though no time was given), or when a signal
// comes, which is no hang-up.  Each row runs in a child with a few seconds
// to live: a wait that does not end fails the row instead of the suite.
struct WaitRow {
  const char* Name;
  const char* Typed;  // before the first pump
  int SleepMs;        // between the first pump and the wait
  int TimeoutMs;      // of the wait
  bool Signal;        // a signal comes during the wait
  const char* Keys;   // the pump after the wait
};

class InputWait : public ::testing::TestWithParam<WaitRow> {};

void Interrupted(int /*sig*/) {}

int WaitAndPump(const WaitRow& row) {
  alarm(5);
  int ends[2];
  if (pipe(ends) != 0) return 10;
  if (write(ends[1], row.Typed, std::strlen(row.Typed)) < 0) return 11;
  InputSource source(ends[0]);
  std::vector<INPUT_RECORD> records;
  if (source.Pump(&records) != InputSource::Status::Ok || !records.empty()) return 12;
  std::this_thread::sleep_for(std::chrono::milliseconds(row.SleepMs));
  std::thread signaller;
  if (row.Signal) {
    struct sigaction action {};
    action.sa_handler = Interrupted;  // no SA_RESTART: poll() returns EINTR
    sigaction(SIGUSR1, &action, nullptr);
    signaller = std::thread([waiter = pthread_self()] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      pthread_kill(waiter, SIGUSR1);
    });
  }
  const InputSource::Status waited = source.Wait(row.TimeoutMs);
  if (signaller.joinable()) signaller.join();
  if (waited != InputSource::Status::Ok) return 13;
  if (source.Pump(&records) != InputSource::Status::Ok) return 14;
  return Typed(records) == row.Keys ? 0 : 15;
}

TEST_P(InputWait, EndsAndPumps) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(WaitAndPump(GetParam())), testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(
    Input, InputWait,
    ::testing::Values(WaitRow{"NothingPendingTimeUp", "", 0, 50, false, ""},
                      WaitRow{"AnEscDueWithNoTimeGiven", "\x1b", 0, -1, false, "\x1b"},
                      WaitRow{"AnEscOverdue", "\x1b", 200, -1, false, "\x1b"},
                      WaitRow{"ASignalIsNoHangUp", "", 0, 3000, true, ""}),
    [](const ::testing::TestParamInfo<WaitRow>& row) { return std::string(row.param.Name); });

}  // namespace
