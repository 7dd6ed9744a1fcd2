// The console model's Win32 semantics that the console services rely on:
// clipping of writes and scrolls, and the fill of what a scroll leaves.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "model/console_model.h"

namespace {

CHAR_INFO Blank(uint8_t attr) {
  CHAR_INFO fill{};
  fill.Char.AsciiChar = ' ';
  fill.Attributes = attr;
  return fill;
}

// A 4x4 buffer whose rows read "aaaa", "bbbb", "cccc", "dddd".
model::ScreenBuffer Lettered() {
  model::ScreenBuffer screen(4, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) screen.At(x, y).Char = static_cast<uint8_t>('a' + y);
  return screen;
}

std::vector<std::string> Rows(const model::ScreenBuffer& screen) {
  std::vector<std::string> rows;
  rows.reserve(static_cast<size_t>(screen.Height()));
  for (int y = 0; y < screen.Height(); ++y) rows.push_back(screen.RowText(y));
  return rows;
}

struct ScrollCase {
  const char* name;
  SMALL_RECT scroll;
  bool clipToScroll;
  SMALL_RECT clip;
  COORD destination;
  std::vector<std::string> rows;
};
// CTest shows the parameter in the test name: the case's name, not its bytes.
void PrintTo(const ScrollCase& c, std::ostream* os) {
  *os << c.name;
}

class ScrollTest : public ::testing::TestWithParam<ScrollCase> {};

TEST_P(ScrollTest, MovesClipsAndFills) {
  const ScrollCase& c = GetParam();
  model::ScreenBuffer screen = Lettered();
  const SMALL_RECT* clip = c.clipToScroll ? &c.scroll : &c.clip;
  ASSERT_TRUE(screen.Scroll(c.scroll, clip, c.destination, Blank(0x1E)));
  EXPECT_EQ(Rows(screen), c.rows);
  // What the scroll uncovered takes the fill's attribute; the rest keeps its own.
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x)
      EXPECT_EQ(screen.At(x, y).Attr, screen.At(x, y).Char == ' ' ? 0x1E : 7) << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(
    Model, ScrollTest,
    ::testing::Values(
        ScrollCase{
            "UpOneRowOutOfTheTop", {0, 0, 3, 3}, true, {}, {0, -1}, {"bbbb", "cccc", "dddd", ""}},
        ScrollCase{"WholeHeightBlanksAll", {0, 0, 3, 3}, true, {}, {0, -4}, {"", "", "", ""}},
        ScrollCase{"FarAboveBlanksAll", {0, 0, 3, 3}, true, {}, {0, -100}, {"", "", "", ""}},
        ScrollCase{"ClipKeepsRowsOutside",
                   {0, 0, 3, 3},
                   false,
                   {0, 1, 3, 2},
                   {0, -1},
                   {"aaaa", "cccc", "dddd", "dddd"}},
        ScrollCase{"DownOneRow", {0, 0, 3, 2}, true, {}, {0, 1}, {"", "aaaa", "bbbb", "dddd"}},
        ScrollCase{"SidewaysInsideClip",
                   {0, 0, 1, 3},
                   false,
                   {0, 0, 3, 3},
                   {2, 0},
                   {"  aa", "  bb", "  cc", "  dd"}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(ModelTest, WriteIsClippedToTheBufferAndReportsWhatItWrote) {
  model::ScreenBuffer screen(4, 2);
  CHAR_INFO cells[6];
  for (int i = 0; i < 6; ++i) {
    cells[i].Char.AsciiChar = static_cast<CHAR>('0' + i);
    cells[i].Attributes = 0x0F;
  }
  SMALL_RECT region{2, 1, 7, 1};
  ASSERT_TRUE(screen.WriteOutput(cells, COORD{6, 1}, COORD{0, 0}, &region));
  EXPECT_EQ(screen.RowText(1), "  01");
  EXPECT_EQ(region.Right, 3);
  EXPECT_EQ(screen.At(2, 1).Attr, 0x0F);
  // A region starting left of the buffer takes its cells from further in.
  SMALL_RECT left{-2, 0, 1, 0};
  ASSERT_TRUE(screen.WriteOutput(cells, COORD{6, 1}, COORD{0, 0}, &left));
  EXPECT_EQ(screen.RowText(0), "23");
}

// Every cell a write or a scroll changes lies within the spans the buffer
// reports as changed: a renderer that visits only those misses nothing.
TEST(ScreenBufferChanges, EveryChangedCellIsInTheReportedSpans) {
  struct Case {
    const char* Name;
    void (*Change)(model::ScreenBuffer&);
  };
  const Case cases[] = {
      {"write, clipped at the right",
       [](model::ScreenBuffer& s) {
         CHAR_INFO cells[3] = {Blank(0x1E), Blank(0x1E), Blank(0x1E)};
         SMALL_RECT region{2, 1, 4, 1};
         s.WriteOutput(cells, COORD{3, 1}, COORD{0, 0}, &region);
       }},
      {"scroll up by one",
       [](model::ScreenBuffer& s) {
         const SMALL_RECT all{0, 0, 3, 3};
         s.Scroll(all, &all, COORD{0, -1}, Blank(0x70));
       }},
      {"scroll of a part, clipped",
       [](model::ScreenBuffer& s) {
         const SMALL_RECT part{1, 1, 2, 2};
         const SMALL_RECT clip{0, 0, 2, 3};
         s.Scroll(part, &clip, COORD{2, 2}, Blank(0x70));
       }},
      {"a cell through At", [](model::ScreenBuffer& s) { s.At(3, 3).Char = 'z'; }},
  };
  for (const Case& c : cases) {
    model::ScreenBuffer screen = Lettered();
    screen.ClearChanged();
    const model::ScreenBuffer before = screen;
    c.Change(screen);
    const model::ScreenBuffer& after = screen;  // reading through At must not mark
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) {
        if (after.At(x, y) == before.At(x, y)) continue;
        const model::ScreenBuffer::Span& span = after.ChangedIn(y);
        EXPECT_TRUE(y >= after.ChangedTop() && y <= after.ChangedBottom() && x >= span.Left &&
                    x <= span.Right)
            << c.Name << ": cell " << x << "," << y;
      }
    }
    screen.ClearChanged();
    EXPECT_LT(screen.ChangedBottom(), screen.ChangedTop()) << c.Name;
  }
}

}  // namespace
