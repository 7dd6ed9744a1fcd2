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
  // A character the code page lacks, the first past ASCII among them.
  for (const char32_t cp : {U'\u0080', U'\u00E9', U'\u2501'})
    EXPECT_EQ(UnicodeToCp866(cp), -1) << int(cp);
}

// Each UTF-8 length at both of its ends; only this test reaches the
// four-byte form, since every glyph lies in the BMP.
TEST(Cp866Test, CodePointsEncodeInTheShortestUtf8) {
  const std::pair<char32_t, std::string> cases[] = {
      {U'\u007F', "\x7f"},
      {U'\u0080', "\xc2\x80"},
      {U'\u07FF', "\xdf\xbf"},
      {U'\u0800', "\xe0\xa0\x80"},
      {U'\uFFFF', "\xef\xbf\xbf"},
      {U'\U00010000', "\xf0\x90\x80\x80"},
      {U'\U0001F600', "\xf0\x9f\x98\x80"},
      {U'\U0010FFFF', "\xf4\x8f\xbf\xbf"},
  };
  for (const auto& [cp, utf8] : cases) {
    std::string out;
    AppendUtf8(out, cp);
    EXPECT_EQ(out, utf8) << int(cp);
  }
}

}  // namespace
}  // namespace vt
