// Code page 866 (the Russian OEM code page) to Unicode and back.  The console
// cells hold code page 866 bytes; a UTF-8 terminal is shown their Unicode
// glyphs, the bytes 0..31 and 127 as the OEM glyphs a PC text screen shows.
#pragma once

#include <cstdint>
#include <string>

namespace vt {

// Unicode code point shown for a cell byte (never a control character).
char32_t Cp866ToUnicode(uint8_t byte);
// Appends the UTF-8 form of a cell byte.
void AppendCp866AsUtf8(std::string& out, uint8_t byte);
// The code page 866 byte for a code point typed on the keyboard, or -1 when
// the code page has no such character.  ASCII maps to itself; the OEM
// glyphs that stand in for 1..31 are never typed and are not searched.
int UnicodeToCp866(char32_t codePoint);
// UTF-8 encoding of a code point.
void AppendUtf8(std::string& out, char32_t codePoint);

}  // namespace vt
