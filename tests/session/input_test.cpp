// The key reader's source on a pipe: whatever is waiting is read, however it
// falls into reads, up to the bound of one pump, and no key of a long paste
// is lost (the decoder keeps only so many between pops); a lone Esc comes
// out after its timeout; a closed terminal is reported gone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
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

}  // namespace
