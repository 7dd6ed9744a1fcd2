// Helpers shared by the fuzz targets: a failed check that says what broke
// before it aborts (libFuzzer then saves the input), and a reader that turns
// the fuzzer's bytes into numbers without ever running off their end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// The checking code of a target is not what is being explored: without
// coverage instrumentation it runs several times faster and does not feed
// the fuzzer's sense of progress with its own loops.
#if defined(__clang__)
#define FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_NO_COVERAGE
#endif

namespace fuzz {

[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

inline void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

// Reads the input front to back; past the end every read gives 0, so a
// short input is simply a script that stops early.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  [[nodiscard]] bool Empty() const { return pos_ >= size_; }
  [[nodiscard]] size_t Left() const { return Empty() ? 0 : size_ - pos_; }

  uint8_t Byte() { return Empty() ? 0 : data_[pos_++]; }
  uint16_t Word() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  uint32_t Dword() {
    const uint32_t low = Word();
    return low | (static_cast<uint32_t>(Word()) << 16);
  }
  // A value in 0..limit-1 (limit > 0).
  size_t Below(size_t limit) { return Byte() % limit; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace fuzz
