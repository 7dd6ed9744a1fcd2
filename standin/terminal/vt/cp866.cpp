#include "standin/terminal/vt/cp866.h"

#include <array>
#include <string_view>

namespace vt {
namespace {

// Glyphs of the bytes 0..31 on a PC text screen; 0 shows as a blank cell.
constexpr std::u32string_view LowGlyphs = U" ☺☻♥♦♣♠•◘○◙♂♀♪♫☼►◄↕‼¶§▬↨↑↓→←∟↔▲▼";

// 0xB0..0xDF: shades, box drawing and blocks, as in every PC OEM code page.
constexpr std::u32string_view BoxGlyphs = U"░▒▓│┤╡╢╖╕╣║╗╝╜╛┐└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀";

// 0xF0..0xFF: Ukrainian and Belarusian letters and a few signs; 0xFA is the
// small centred dot the program writes before its banner lines.
constexpr std::u32string_view HighGlyphs = U"ЁёЄєЇїЎў°∙·√№¤■\u00A0";  // the last: no-break space

static_assert(LowGlyphs.size() == 32 && BoxGlyphs.size() == 48 && HighGlyphs.size() == 16);

constexpr std::array<char32_t, 256> BuildTable() {
  std::array<char32_t, 256> table{};
  for (int b = 0; b < 32; ++b) table[b] = LowGlyphs[b];
  for (int b = 32; b < 127; ++b) table[b] = static_cast<char32_t>(b);
  table[127] = U'\u2302';
  for (int b = 0x80; b <= 0xAF; ++b) table[b] = static_cast<char32_t>(0x0410 + (b - 0x80));
  for (int b = 0xB0; b <= 0xDF; ++b) table[b] = BoxGlyphs[b - 0xB0];
  for (int b = 0xE0; b <= 0xEF; ++b) table[b] = static_cast<char32_t>(0x0440 + (b - 0xE0));
  for (int b = 0xF0; b <= 0xFF; ++b) table[b] = HighGlyphs[b - 0xF0];
  return table;
}

constexpr std::array<char32_t, 256> Table = BuildTable();

}  // namespace

char32_t Cp866ToUnicode(uint8_t byte) {
  return Table[byte];
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendCp866AsUtf8(std::string& out, uint8_t byte) {
  AppendUtf8(out, Table[byte]);
}

int UnicodeToCp866(char32_t cp) {
  if (cp < 0x80) return static_cast<int>(cp);
  for (int b = 0x80; b < 256; ++b)
    if (Table[b] == cp) return b;
  return -1;
}

}  // namespace vt
