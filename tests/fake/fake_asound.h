// The test sound card's state (see fake_asound.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fakeasound {

struct Card {
  bool Absent = false;     // opening fails, as on a machine without a card
  bool Stuck = false;      // every write hangs for good
  bool Broken = false;     // opens, but the stream never starts (prepare fails)
  bool OpenHangs = false;  // opening waits until a card without this is set
  size_t MostPerWrite = SIZE_MAX;
  int Underruns = 0;  // the next writes that many fail with an underrun, each one recoverable
  bool Loud = false;  // a recovery was asked to print its reason on the terminal
  int Opened = 0;
  int Closed = 0;
  std::vector<int16_t> Samples;  // everything written, in order
};

Card Get();
void Set(const Card& card);

}  // namespace fakeasound
