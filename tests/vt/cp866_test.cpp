#include "standin/terminal/vt/cp866.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace vt {
namespace {

// The glyph of every region's edges (an empty cell, the low glyphs of a PC
// text screen, the Cyrillic and box-drawing blocks); no byte shows as a
// control, and every byte above 127 reads back from its glyph.
TEST(Cp866Test, BytesShowAsTheirGlyphsAndHighBytesRoundTrip) {
  const std::pair<uint8_t, char32_t> glyphs[] = {
      {0, U' '},         {1, U'\u263A'},    {31, U'\u25BC'},   {'~', U'~'},       {127, U'\u2302'},
      {0x80, U'\u0410'}, {0xAF, U'\u043F'}, {0xB0, U'\u2591'}, {0xDF, U'\u2580'}, {0xE0, U'\u0440'},
      {0xF0, U'\u0401'}, {0xF8, U'\u00B0'}, {0xFC, U'\u2116'}, {0xFF, U'\u00A0'}};
  for (const auto& [byte, glyph] : glyphs) EXPECT_EQ(Cp866ToUnicode(byte), glyph) << int{byte};
  for (int b = 0; b < 256; ++b) {
    const char32_t cp = Cp866ToUnicode(static_cast<uint8_t>(b));
    EXPECT_TRUE(cp >= 0x20 && !(cp >= 0x7F && cp <= 0x9F)) << "byte " << b;
    EXPECT_EQ(b < 128 ? b : UnicodeToCp866(cp), b);
  }
  // Only this test reaches the four-byte form: every glyph lies in the BMP.
  std::string astral;
  AppendUtf8(astral, U'\U0001F600');
  EXPECT_EQ(astral, "\xf0\x9f\x98\x80");
}

}  // namespace
}  // namespace vt
