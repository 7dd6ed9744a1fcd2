// Byte-wide I/O port access for the PC speaker, and the speaker hardware's
// numbers.  The 8253/8254 interval timer's channel 2 feeds the speaker; port
// 0x61 bit 0 gates the channel, bit 1 connects its output to the speaker.
// Only Windows 95 family systems let a user program touch these ports; the
// Windows build links the x86 instructions there, the stand-in a model of
// the ports that sounds nothing.
#pragma once

#include <cstdint>

constexpr uint16_t TimerChannel2Port = 0x42;
constexpr uint16_t TimerCommandPort = 0x43;
constexpr uint16_t SpeakerGatePort = 0x61;
// The gate and output bits of port 0x61.
constexpr uint8_t SpeakerBits = 0x03;
// Channel 2, low byte then high byte, mode 3 (square wave), binary.
constexpr uint8_t Channel2SquareWave = 0xB6;
// The timer's input clock: a tone of f hertz divides it by f.
constexpr uint32_t TimerClockHz = 1193181;

uint8_t PortReadByte(uint16_t port);
void PortWriteByte(uint16_t port, uint8_t value);
