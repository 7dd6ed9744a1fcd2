// Systems other than Linux give a user program no PC speaker to sound.
#include "standin/terminal/sound/speaker.h"

namespace sound::speaker {

Kind Open() {
  return Kind::None;
}
bool Start(uint32_t /*frequency*/, uint32_t /*millis*/) {
  return false;
}
void Stop() noexcept {}
void Close() {}

}  // namespace sound::speaker
