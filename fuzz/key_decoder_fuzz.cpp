// libFuzzer target for the terminal key decoder.  Whatever the bytes:
// DecodeKey keeps its contract, the streaming decoder gives the same keys
// however the bytes are split into reads, and its memory stays bounded.
//
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I. \
//     fuzz/key_decoder_fuzz.cpp posix/core_key_decoder.cpp \
//     posix/core_key_tables.cpp posix/core_cp866.cpp -o key_decoder_fuzz
//   ./key_decoder_fuzz -max_len=512 -max_total_time=60
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "posix/core_key_decoder.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckKey(const term::KeyEvent& key) {
  Check(key.VirtualKey != 0);
  Check((key.ControlState & ~static_cast<DWORD>(SHIFT_PRESSED | LEFT_CTRL_PRESSED |
                                                LEFT_ALT_PRESSED | ENHANCED_KEY)) == 0);
}

// The keys of DecodeKey's own loop: wait while a prefix is partial, then
// take what is left as timed out.
std::vector<term::KeyEvent> DecodeAll(const uint8_t* data, size_t size) {
  std::vector<term::KeyEvent> keys;
  size_t pos = 0;
  bool timedOut = false;
  while (pos < size) {
    term::KeyEvent key;
    size_t consumed = 0;
    const term::DecodeStatus status =
        term::DecodeKey(data + pos, size - pos, timedOut, &key, &consumed);
    if (status == term::DecodeStatus::Partial) {
      Check(!timedOut && consumed == 0);
      timedOut = true;
      continue;
    }
    Check(consumed > 0 && consumed <= size - pos);
    if (status == term::DecodeStatus::Complete) {
      CheckKey(key);
      keys.push_back(key);
    }
    pos += consumed;
  }
  return keys;
}

std::vector<term::KeyEvent> PopAll(term::KeyDecoder& decoder) {
  std::vector<term::KeyEvent> keys;
  term::KeyEvent key;
  while (decoder.Pop(&key)) {
    CheckKey(key);
    keys.push_back(key);
  }
  return keys;
}

void CheckBounds(const term::KeyDecoder& decoder) {
  Check(decoder.PendingBytes() < term::kMaxSequenceBytes);
  Check(decoder.QueuedKeys() <= term::KeyDecoder::kMaxQueuedKeys);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<term::KeyEvent> expected = DecodeAll(data, size);

  // All at once, at one time.
  term::KeyDecoder whole;
  whole.Feed(data, size, 1000);
  CheckBounds(whole);
  whole.Tick(1000 + term::EscapeTimeoutMs);
  Check(whole.PendingBytes() == 0);
  std::vector<term::KeyEvent> got = PopAll(whole);
  if (expected.size() <= term::KeyDecoder::kMaxQueuedKeys) Check(got == expected);

  // Split into reads of sizes drawn from the bytes themselves, at one time:
  // the same keys.
  term::KeyDecoder split;
  got.clear();
  for (size_t pos = 0, i = 0; pos < size; ++i) {
    const size_t take = std::min<size_t>(size - pos, 1 + data[i % size] % 9);
    split.Feed(data + pos, take, 1000);
    CheckBounds(split);
    pos += take;
    for (const term::KeyEvent& k : PopAll(split)) got.push_back(k);
  }
  split.Tick(1000 + term::EscapeTimeoutMs);
  for (const term::KeyEvent& k : PopAll(split)) got.push_back(k);
  Check(got == expected);

  // With time passing between reads (some past the timeout): only the
  // bounds and the contract hold, the keys may differ.
  term::KeyDecoder timed;
  uint64_t now = 0;
  for (size_t pos = 0; pos < size; ++pos) {
    now += data[pos] % 4 == 0 ? static_cast<uint64_t>(term::EscapeTimeoutMs) : 1;
    timed.Feed(data + pos, 1, now);
    Check(timed.PendingTimeoutMs(now) <= term::EscapeTimeoutMs);
    CheckBounds(timed);
    PopAll(timed);
  }
  timed.Tick(now + term::EscapeTimeoutMs);
  Check(timed.PendingBytes() == 0 && timed.PendingTimeoutMs(now) == -1);
  PopAll(timed);
  return 0;
}
