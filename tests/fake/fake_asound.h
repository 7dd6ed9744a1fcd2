// The test sound card's state (see fake_asound.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fakeasound {

// One write the card took: how many frames, and when.
struct Write {
  size_t Frames = 0;
  std::chrono::steady_clock::time_point At{};
};

struct Card {
  // How the card behaves.
  bool Absent = false;     // opening fails, as on a machine without a card
  bool Stuck = false;      // every write hangs for good
  bool Broken = false;     // opens, but the stream never starts (prepare fails)
  bool OpenHangs = false;  // opening waits until a card without this is set
  size_t MostPerWrite = SIZE_MAX;
  int Underruns = 0;   // the next writes that many fail with an underrun, each one recoverable
  int ZeroWrites = 0;  // the next writes that many take nothing
  int WriteError = 0;  // when not 0, every write fails with it, and no recovery helps
  std::vector<unsigned> Rates{48000, 44100};  // the rates it takes; it keeps the last one taken
  unsigned ReportedRate = 0;                  // the rate it reports once set up; 0: the one taken
  unsigned long BufferFrames = 12000;
  unsigned long PeriodFrames = 2400;
  std::vector<long> Avail{};  // what the next avail queries answer; then the whole buffer free
  std::string Fails{};        // the set-up call of this name fails

  // What the card was asked and given.
  bool Loud = false;   // a recovery was asked to print its reason on the terminal
  bool Quiet = false;  // an error handler was installed, so libasound prints nothing
  int OpenAttempts = 0;
  int Opened = 0;
  int Closed = 0;
  int Prepares = 0;
  int Drops = 0;
  int Misuses = 0;          // calls on a PCM that is not open
  int ParameterBlocks = 0;  // allocated and not freed
  std::vector<unsigned> RatesAsked{};
  int Resample = -1;
  bool Blocking = false;  // writes wait for room rather than fail
  long StartThreshold = -1;
  long AvailMin = -1;
  std::vector<int16_t> Samples{};  // everything written, in order
  std::vector<Write> Writes{};
};

Card Get();
void Set(const Card& card);

}  // namespace fakeasound
