// The key reader's source on a pipe: whatever is waiting is read, however it
// falls into reads, up to the bound of one pump, and no key of a long paste
// is lost (the decoder keeps only so many between pops); a lone Esc comes
// out after its timeout; a closed terminal is reported gone.
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

}  // namespace
