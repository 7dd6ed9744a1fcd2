// A build without libasound has no sound card to offer: the tone falls
// through to the PC speaker or the terminal bell.
#include "standin/terminal/sound/alsa.h"

namespace sound::alsa {

bool Compiled() {
  return false;
}
bool Open() {
  return false;
}
std::optional<Clock::time_point> Play(uint32_t /*frequency*/, uint32_t /*millis*/,
                                      Clock::time_point /*call*/) {
  return std::nullopt;
}
void Close() {}
bool Streaming() {
  return false;
}
void SetIdleStop(std::chrono::milliseconds /*idle*/) {}

}  // namespace sound::alsa
