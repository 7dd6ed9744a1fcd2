// Clock reading and the number formatting behind the waiting screen.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "console/clock.h"

namespace {

// Every whole millisecond count comes out as the exact decimal quotient
// ms/1000 rounded half up to tenths (0.15 gives 0.2 whatever long double is).
TEST(FormatFixedTest, EveryWholeMillisecondCountRoundsHalfUpToTenths) {
  for (unsigned ms = 0; ms <= 65535; ++ms) {
    const unsigned tenths = (ms + 50) / 100;
    ASSERT_EQ(FormatFixed(static_cast<long double>(ms) / 1000.0L, 0, 1),
              std::to_string(tenths / 10) + "." + std::to_string(tenths % 10))
        << ms << " ms";
  }
}

TEST(FormatFixedTest, ValuesWidthsAndDecimals) {
  struct {
    long double Value;
    int Width, Decimals;
    const char* Text;
  } const cases[] = {{-1.25L, 6, 1, "  -1.3"},
                     {0.5L, 2, 1, "0.5"},
                     {0.00001L, 0, 3, "0.000"},
                     {999.95L, 0, 1, "1000.0"},
                     {2.5L, 0, 0, "3"},
                     {0.0005L, 0, 3, "0.001"},
                     {1e20L, 0, 0, "100000000000000000000"},
                     {NAN, 5, 1, "  Nan"},
                     {-INFINITY, 0, 1, "-Inf"},
                     {0.0L, 0, -2, "0"}};
  for (const auto& c : cases) {
    EXPECT_EQ(FormatFixed(c.Value, c.Width, c.Decimals), c.Text)
        << static_cast<double>(c.Value) << " width " << c.Width << " decimals " << c.Decimals;
  }
}

TEST(FormatFixedTest, RoundsTheExactValueTo18DigitsTiesToEven) {
  if (std::numeric_limits<long double>::digits < 64) GTEST_SKIP() << "long double has 53 bits";
  // Just below 0.25: its 18 digits are 0.249999999999999999(499...), so one
  // decimal gives 0.2; rounding the shortest text (0.2499999999999999995)
  // a second time would give 0.3.
  EXPECT_EQ(FormatFixed(0.25L - 37.0L * std::ldexp(1.0L, -66), 0, 1), "0.2");
  // Exact ties at the 18th digit go to the even digit.
  EXPECT_EQ(FormatFixed(1e17L + 0.5L, 0, 0), "100000000000000000");
  EXPECT_EQ(FormatFixed(1e17L + 1.5L, 0, 0), "100000000000000002");
}

}  // namespace
