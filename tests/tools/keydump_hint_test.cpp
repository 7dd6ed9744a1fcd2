#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "tools/keydump_hint.h"

namespace {

TEST(KeydumpHintTest, NamesTheLikelyCauseInLinesARawTerminalShows) {
  // The bytes, the Alt+ key the hint names ("" for none), what it blames.
  const std::tuple<std::vector<uint8_t>, std::string, const char*> cases[] = {
      {{0xC3, 0xB8}, "Alt+x:", "code page 866"},       // xterm's eight-bit meta in UTF-8
      {{0xC3, 0xBE, 'x'}, "Alt+~:", "code page 866"},  // its last, then a plain key
      {{0xC2, 0xA0}, "", "code page 866"},             // no-break space: no meta key
      {{0xA1}, "Alt+!:", "UTF-8 locale"},              // eight-bit meta in a Latin-1 locale
      {{0xE0, 0xA0, 0x80}, "", "code page 866"},
      {{0xEF, 0xBF, 0xBD}, "", "code page 866"},
      {{0xF4, 0x8F, 0xBF, 0xBF}, "", "code page 866"},
      {{0x00, 0xC3, 0xB8}, "", "code page 866"},  // the first character decides
      {{0x80}, "", "not UTF-8"},
      {{0xFF}, "", "not UTF-8"},
      {{0xC3, 0x28}, "", "not UTF-8"},
      {{0xC3, 0xB8, 0xE2, 0x82}, "", "not UTF-8"},  // cut off
      {{0x1B, '[', '9', '9', 'z'}, "", "does not know this sequence"},
  };
  for (const auto& [bytes, alt, cause] : cases) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    // Continuation bytes past the end: a hint that reads beyond it changes.
    std::vector<uint8_t> padded = bytes;
    padded.insert(padded.end(), {0xAC, 0x80, 0x80});
    const std::string hint = keydump::HintFor(padded.data(), bytes.size());
    auto has = [&hint](const std::string& part) { return hint.find(part) != std::string::npos; };
    EXPECT_TRUE(has(cause)) << hint;
    EXPECT_EQ(has(alt.empty() ? "Alt+" : alt), !alt.empty()) << hint;
    EXPECT_EQ(has("metaSendsEscape") && has("printf '\\e[?1036h'"), !alt.empty());
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
