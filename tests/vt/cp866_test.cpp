#include "posix/vt/cp866.h"

#include <gtest/gtest.h>

#include <string>

namespace vt {
namespace {

TEST(Cp866Test, BytesShowAsTheirGlyphs) {
  const struct {
    uint8_t byte;
    char32_t glyph;
  } cases[] = {
      {0, U' '},       // an empty cell
      {1, U'\u263A'},  // the low glyphs of a PC text screen
      {31, U'\u25BC'},   {'~', U'~'},       {127, U'\u2302'},  {0x80, U'\u0410'},
      {0xAF, U'\u043F'}, {0xB0, U'\u2591'}, {0xDF, U'\u2580'}, {0xE0, U'\u0440'},
      {0xF0, U'\u0401'}, {0xF8, U'\u00B0'}, {0xFC, U'\u2116'}, {0xFF, U'\u00A0'},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Cp866ToUnicode(c.byte), c.glyph) << "byte " << int{c.byte};
  }
}

TEST(Cp866Test, HighBytesRoundTripAndNoByteShowsAsAControl) {
  for (int b = 0; b < 256; ++b) {
    const char32_t cp = Cp866ToUnicode(static_cast<uint8_t>(b));
    EXPECT_TRUE(cp >= 0x20 && !(cp >= 0x7F && cp <= 0x9F)) << "byte " << b;
    if (b >= 128) {
      EXPECT_EQ(UnicodeToCp866(cp), b);
    }
  }
}

TEST(Cp866Test, TypedCharactersOutsideTheCodePageHaveNoByte) {
  EXPECT_EQ(UnicodeToCp866(U'a'), 'a');
  EXPECT_EQ(UnicodeToCp866(U'\u00E9'), -1);  // e acute
  EXPECT_EQ(UnicodeToCp866(U'\u0456'), -1);  // Ukrainian i, not in 866
  EXPECT_EQ(UnicodeToCp866(U'\u0080'), -1);  // a C1 control
  // The glyphs that stand in for control bytes are never typed.
  EXPECT_EQ(UnicodeToCp866(U'\u263A'), -1);
}

TEST(Cp866Test, Utf8Forms) {
  const struct {
    uint8_t byte;
    const char* utf8;
  } cases[] = {
      {'A', "A"},
      {0xA5, "\xd0\xb5"},
      {0xB0, "\xe2\x96\x91"},
      {0, " "},
  };
  for (const auto& c : cases) {
    std::string out = "<";
    AppendCp866AsUtf8(out, c.byte);
    EXPECT_EQ(out, std::string("<") + c.utf8) << "byte " << int{c.byte};
  }
  std::string emoji;
  AppendUtf8(emoji, U'\U0001F600');
  EXPECT_EQ(emoji, "\xf0\x9f\x98\x80");
}

}  // namespace
}  // namespace vt
