// x86 port I/O for the PC speaker.  <intrin.h> gives __inbyte/__outbyte on
// both MSVC and MinGW-w64, so no inline assembly is needed.  Only a Windows
// 95 family system lets a user program execute these instructions; the
// application calls them on that platform only.
#include <intrin.h>

#include "win32/speaker_ports.h"

uint8_t PortReadByte(uint16_t port) {
  return __inbyte(port);
}
void PortWriteByte(uint16_t port, uint8_t value) {
  __outbyte(port, value);
}
