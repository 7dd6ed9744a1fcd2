// The key reader's source on a pipe: whatever is waiting is read, however it
// falls into reads, up to the bound of one pump, and no key of a long paste
// is lost (the decoder keeps only so many between pops); a lone Esc comes
// out after its timeout; a closed terminal is reported gone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
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
  struct Case {
    const char* Name;
    std::string Bytes;
    size_t MaxBytes;
    std::vector<size_t> KeysPerPump;  // a pump each, after a wait for input
  };
  const Case cases[] = {
      {"a few keys", "abc", 4096, {3}},
      {"more than one read's buffer", std::string(1500, 'x'), 4096, {1500}},
      {"exactly one read's buffer", std::string(512, 'y'), 4096, {512}},
      {"exactly one read's buffer, then more", std::string(512, 'y') + "z", 4096, {513}},
      {"beyond one pump's bound", std::string(5000, 'x'), 4096, {4096, 904}},
      {"a lone Esc, after its timeout", "\x1b", 4096, {0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], c.Bytes.data(), c.Bytes.size()), static_cast<ssize_t>(c.Bytes.size()));
    InputSource source(ends[0]);
    std::string typed;
    for (const size_t keys : c.KeysPerPump) {
      ASSERT_EQ(source.Wait(5000), InputSource::Status::Ok);
      std::vector<INPUT_RECORD> records;
      ASSERT_EQ(source.Pump(&records, nullptr, c.MaxBytes), InputSource::Status::Ok);
      EXPECT_EQ(Typed(records).size(), keys);
      typed += Typed(records);
    }
    EXPECT_TRUE(typed == c.Bytes) << typed.size() << " of " << c.Bytes.size() << " typed";
    close(ends[1]);
    std::vector<INPUT_RECORD> records;
    EXPECT_EQ(source.Wait(5000), InputSource::Status::Gone) << "the terminal went away";
    EXPECT_EQ(source.Pump(&records), InputSource::Status::Gone);
    EXPECT_TRUE(records.empty());
    close(ends[0]);
  }
}

}  // namespace
