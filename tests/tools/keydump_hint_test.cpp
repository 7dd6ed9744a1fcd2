#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/keydump_hint.h"

namespace {

bool Has(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

TEST(KeydumpHintTest, NamesTheLikelyCause) {
  struct Case {
    std::vector<uint8_t> bytes;
    const char* alt;       // the Alt+ key the hint names, or nullptr for none
    const char* mustHave;  // the cause
  };
  const Case cases[] = {
      {{0xC3, 0xB8}, "Alt+x", "code page 866"},  // xterm's eight-bit meta in UTF-8
      {{0xC3, 0xA9}, "Alt+i", "code page 866"},
      {{0xF8}, "Alt+x", "UTF-8 locale"},  // the same in a Latin-1 locale
      {{0xE9}, "Alt+i", "UTF-8 locale"},
      {{0xC2, 0xA1}, "Alt+!", "code page 866"},
      {{0xE2, 0x82, 0xAC}, nullptr, "code page 866"},  // the euro sign
      {{0xC3, 0x28}, nullptr, "not UTF-8"},
      {{0x80}, nullptr, "not UTF-8"},
      {{0xFF}, nullptr, "not UTF-8"},
      {{0xC3, 0xB8, 0xC3, 0xB8}, "Alt+x", "code page 866"},  // pressed twice
      {{0xC3, 0xB8, 0xC3}, nullptr, "not UTF-8"},            // cut off
      {{0x1B, '[', '9', '9', 'z'}, nullptr, "does not know this sequence"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    const std::string hint = keydump::HintFor(c.bytes.data(), c.bytes.size());
    EXPECT_TRUE(Has(hint, c.mustHave)) << hint;
    if (c.alt != nullptr) {
      EXPECT_TRUE(Has(hint, c.alt)) << hint;
      EXPECT_TRUE(Has(hint, "metaSendsEscape") && Has(hint, "printf '\\e[?1036h'")) << hint;
    } else {
      EXPECT_FALSE(Has(hint, "Alt+")) << hint;
    }
    // Raw-mode lines within 80 columns, and no control byte but CR LF.
    size_t start = 0;
    for (size_t end = hint.find("\r\n"); end != std::string::npos; end = hint.find("\r\n", start)) {
      EXPECT_LE(end - start, 80U) << hint.substr(start, end - start);
      for (size_t i = start; i < end; ++i) EXPECT_GE(static_cast<uint8_t>(hint[i]), 0x20);
      start = end + 2;
    }
    EXPECT_EQ(start, hint.size()) << hint;
  }
}

}  // namespace
