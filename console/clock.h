// Clock, delay and number formatting: thin layers over GetLocalTime and Sleep,
// and the number-to-text rules of the waiting screen.
#pragma once

#include <cstdint>
#include <string>

// The local time of day, all three from one GetLocalTime reading.
void GetTime(int32_t& hour, int32_t& minute, int32_t& second);
// Sleeps the thread for the given milliseconds; nothing else happens meanwhile.
void Delay(uint32_t milliseconds);
// Decimal text of value, padded in front with blanks to width; never cut.
std::string FormatInteger(int32_t value, int width);
// Fixed-point text with `decimals` digits after the point, padded in front
// with blanks to width.  The value is first taken to 18 significant digits,
// then rounded half up at the last kept decimal, so that every whole number
// of milliseconds divided by 1000 gives its exact quotient rounded half up,
// whatever the width of long double on the compiler at hand.
std::string FormatFixed(long double value, int width, int decimals);
