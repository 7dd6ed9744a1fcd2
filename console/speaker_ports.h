// Byte-wide I/O port access for the PC speaker (the interval timer's channel 2
// at ports 0x42/0x43 and the speaker gate at 0x61).  Only Windows 95 family
// systems let a user program touch these ports; the build links the x86
// helper there, a logging stand-in in the tests and a no-op elsewhere.
#pragma once

#include <cstdint>

uint8_t PortReadByte(uint16_t port);
void PortWriteByte(uint16_t port, uint8_t value);
