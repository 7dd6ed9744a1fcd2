#include "posix/vt/cp866.h"

#include <array>

namespace vt {
namespace {

// Glyphs of the bytes 0..31 on a PC text screen; 0 shows as a blank cell.
constexpr std::array<char32_t, 32> LowGlyphs = {
    U' ',      U'\u263A', U'\u263B', U'\u2665', U'\u2666', U'\u2663', U'\u2660', U'\u2022',
    U'\u25D8', U'\u25CB', U'\u25D9', U'\u2642', U'\u2640', U'\u266A', U'\u266B', U'\u263C',
    U'\u25BA', U'\u25C4', U'\u2195', U'\u203C', U'\u00B6', U'\u00A7', U'\u25AC', U'\u21A8',
    U'\u2191', U'\u2193', U'\u2192', U'\u2190', U'\u221F', U'\u2194', U'\u25B2', U'\u25BC'};

// 0xB0..0xDF: shades, box drawing and blocks, as in every PC OEM code page.
constexpr std::array<char32_t, 48> BoxGlyphs = {
    U'\u2591', U'\u2592', U'\u2593', U'\u2502', U'\u2524', U'\u2561', U'\u2562', U'\u2556',
    U'\u2555', U'\u2563', U'\u2551', U'\u2557', U'\u255D', U'\u255C', U'\u255B', U'\u2510',
    U'\u2514', U'\u2534', U'\u252C', U'\u251C', U'\u2500', U'\u253C', U'\u255E', U'\u255F',
    U'\u255A', U'\u2554', U'\u2569', U'\u2566', U'\u2560', U'\u2550', U'\u256C', U'\u2567',
    U'\u2568', U'\u2564', U'\u2565', U'\u2559', U'\u2558', U'\u2552', U'\u2553', U'\u256B',
    U'\u256A', U'\u2518', U'\u250C', U'\u2588', U'\u2584', U'\u258C', U'\u2590', U'\u2580'};

// 0xF0..0xFF: Ukrainian and Belarusian letters and a few signs; 0xFA is the
// small centred dot the program writes before its banner lines.
constexpr std::array<char32_t, 16> HighGlyphs = {
    U'\u0401', U'\u0451', U'\u0404', U'\u0454', U'\u0407', U'\u0457', U'\u040E', U'\u045E',
    U'\u00B0', U'\u2219', U'\u00B7', U'\u221A', U'\u2116', U'\u00A4', U'\u25A0', U'\u00A0'};

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
