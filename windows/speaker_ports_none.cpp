// Processors without x86 I/O ports have no PC speaker to program: reading
// gives 0 and writing does nothing.
#include "win32/speaker_ports.h"

uint8_t PortReadByte(uint16_t /*port*/) {
  return 0;
}
void PortWriteByte(uint16_t /*port*/, uint8_t /*value*/) {}
