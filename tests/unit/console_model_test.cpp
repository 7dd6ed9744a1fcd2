// The console model's Win32 semantics that the console services rely on:
// scrolls moved and clipped, what they uncover filled, and every cell they
// change inside the spans reported as changed (a renderer visits only those).
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "model/console_model.h"

namespace {

TEST(ModelTest, ScrollMovesClipsFillsAndReportsWhatChanged) {
  const SMALL_RECT all{0, 0, 3, 3};
  const SMALL_RECT top3{0, 0, 3, 2};
  CHAR_INFO fill{};
  fill.Char.AsciiChar = ' ';
  fill.Attributes = 0x1E;
  // Scrolled, clip, destination, the rows after it.
  for (const auto& [scroll, clip, destination, rows] :
       std::vector<std::tuple<SMALL_RECT, SMALL_RECT, COORD, std::string>>{
           {all, all, {0, -1}, "bbbb|cccc|dddd||"},
           {all, all, {0, -100}, "||||"},
           {all, {0, 1, 3, 2}, {0, -1}, "aaaa|cccc|dddd|dddd|"},
           {top3, top3, {0, 1}, "|aaaa|bbbb|dddd|"},
           {{0, 0, 1, 3}, all, {2, 0}, "  aa|  bb|  cc|  dd|"},
           {{1, 1, 2, 2}, {0, 0, 2, 3}, {2, 2}, "aaaa|b  b|c bc|ddcd|"}}) {
    SCOPED_TRACE(rows);
    model::ScreenBuffer screen(4, 4);  // rows "aaaa", "bbbb", "cccc", "dddd"
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x) screen.At(x, y).Char = static_cast<uint8_t>('a' + y);
    screen.ClearChanged();
    const model::ScreenBuffer before = screen;
    ASSERT_TRUE(screen.Scroll(scroll, &clip, destination, fill));
    std::string text;
    for (int y = 0; y < 4; ++y) text += screen.RowText(y) + "|";
    EXPECT_EQ(text, rows);
    const model::ScreenBuffer& after = screen;  // reading through At must not mark
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) {
        // What the scroll uncovered takes the fill's attribute; the rest keeps its own.
        EXPECT_EQ(after.At(x, y).Attr, after.At(x, y).Char == ' ' ? 0x1E : 7) << x << "," << y;
        if (after.At(x, y) == before.At(x, y)) continue;
        const model::ScreenBuffer::Span& span = after.ChangedIn(y);
        EXPECT_TRUE(y >= after.ChangedTop() && y <= after.ChangedBottom() && x >= span.Left &&
                    x <= span.Right)
            << "cell " << x << "," << y;
      }
    }
  }
}

}  // namespace
