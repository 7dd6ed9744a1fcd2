#include "app/speaker_tone.h"

#include "console/clock.h"
#include "win32/win32.h"

namespace {

// Below 19 Hz the divisor does not fit the timer's 16 bits.
constexpr uint16_t LowestTimerFrequency = 19;

}  // namespace

void Tone(uint16_t frequency, uint16_t duration, uint8_t platform) {
  if (platform != VER_PLATFORM_WIN32_WINDOWS) {
    Beep(frequency, duration);
    return;
  }
  if (frequency >= LowestTimerFrequency) {
    const auto divisor = static_cast<uint16_t>(TimerClockHz / frequency);
    const uint8_t gate = PortReadByte(SpeakerGatePort);
    if ((gate & SpeakerBits) == 0) {
      PortWriteByte(SpeakerGatePort, static_cast<uint8_t>(gate | SpeakerBits));
      PortWriteByte(TimerCommandPort, Channel2SquareWave);
    }
    PortWriteByte(TimerChannel2Port, static_cast<uint8_t>(divisor & 0xFF));
    PortWriteByte(TimerChannel2Port, static_cast<uint8_t>(divisor >> 8));
  }
  Delay(duration);
  PortWriteByte(SpeakerGatePort,
                static_cast<uint8_t>(PortReadByte(SpeakerGatePort) & ~SpeakerBits));
}
