// libFuzzer target for the console writer and what a terminal makes of it.
// The input is a console (size, colours, where the cursor starts, platform
// family, whether the console refuses scrolls above the buffer) and a script
// of writes of arbitrary bytes, cursor moves to arbitrary columns and rows,
// colour changes, line and screen clearing, cursor hiding and terminal
// resizes.  After every step:
//  - the in-memory console holds what a straightforward reading of the
//    writer's rules gives (a reference grid kept here, cell by cell), and
//    the cursor stands where that reading puts it;
//  - no cell outside the console area is ever asked to be written, and no
//    run is longer than the writer's run;
//  - the terminal renderer's bytes, applied to a small terminal, show the
//    console's cells and cursor, and carry no control byte a terminal would
//    act on.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "console/console_output.h"
#include "console/cursor.h"
#include "console/reset.h"
#include "fuzz/call_regions.h"
#include "fuzz/fuzz_support.h"
#include "standin/model/console_model.h"
#include "standin/terminal/vt/cp866.h"
#include "standin/terminal/vt/renderer.h"
#include "standin/testend/test_end.h"
#include "tests/support/vterm_screen.h"

namespace {

using fuzz::Check;

// The writer's rules on a plain grid: what the console must hold.
struct Reference {
  int Width;  // the console's own size
  int Height;
  int AreaWidth;  // the part the console services use
  int AreaHeight;
  std::vector<model::Cell> Cells;
  int X;
  int Y;
  uint8_t Attr;
  // Where the console's own cursor stands until the layer first sets it.
  COORD ConsoleCursor;
  bool CursorSet = false;
  int Bells = 0;

  FUZZ_NO_COVERAGE model::Cell& At(int x, int y) {
    return Cells[static_cast<size_t>(y) * static_cast<size_t>(Width) + static_cast<size_t>(x)];
  }

  FUZZ_NO_COVERAGE void ScrollUp() {
    for (int y = 0; y + 1 < AreaHeight; ++y)
      for (int x = 0; x < AreaWidth; ++x) At(x, y) = At(x, y + 1);
    for (int x = 0; x < AreaWidth; ++x) At(x, AreaHeight - 1) = model::Cell{' ', Attr};
  }
  FUZZ_NO_COVERAGE void NextRow() {
    if (Y < AreaHeight - 1) {
      ++Y;
    } else {
      ScrollUp();
    }
  }
  FUZZ_NO_COVERAGE void Write(const uint8_t* bytes, size_t n) {
    CursorSet = true;
    for (size_t i = 0; i < n; ++i) {
      switch (bytes[i]) {
        case 7:
          ++Bells;
          break;
        case 8:
          if (X > 0) --X;
          break;
        case 10:
          NextRow();
          break;
        case 13:
          X = 0;
          break;
        default:
          At(X, Y) = model::Cell{bytes[i], Attr};
          if (++X > AreaWidth - 1) {
            X = 0;
            NextRow();
          }
      }
    }
  }
  FUZZ_NO_COVERAGE void GotoXY(uint8_t x, uint8_t y) {
    if (x >= 1 && y >= 1 && x <= AreaWidth && y <= AreaHeight) {
      CursorSet = true;
      X = x - 1;
      Y = y - 1;
    }
  }
  FUZZ_NO_COVERAGE void TextColor(uint8_t color) {
    if (color > 15) color = static_cast<uint8_t>((color & 15) | 128);
    Attr = static_cast<uint8_t>((Attr & 112) | color);
  }
  FUZZ_NO_COVERAGE void ClrEol() {
    for (int x = X; x < AreaWidth; ++x) At(x, Y) = model::Cell{' ', Attr};
  }
  FUZZ_NO_COVERAGE void ClrScr() {
    for (int y = 0; y < AreaHeight; ++y)
      for (int x = 0; x < AreaWidth; ++x) At(x, y) = model::Cell{' ', Attr};
    X = 0;
    Y = 0;
    CursorSet = true;
  }
};

FUZZ_NO_COVERAGE void CheckConsoleMatches(Reference& ref) {
  const model::Console& console = testend::Console();
  for (int y = 0; y < ref.Height; ++y) {
    for (int x = 0; x < ref.Width; ++x) {
      if (!(console.Screen.At(x, y) == ref.At(x, y))) {
        std::fprintf(stderr, "cell %d,%d holds %d/%02X, expected %d/%02X\n", x, y,
                     console.Screen.At(x, y).Char, console.Screen.At(x, y).Attr, ref.At(x, y).Char,
                     ref.At(x, y).Attr);
        fuzz::Fail("the console differs from the writer's rules");
      }
    }
  }
  const CursorPosition at = GetCursorPosition();
  Check(at.X == ref.X && at.Y == ref.Y, "the layer's cursor differs from the writer's rules");
  const COORD expected = ref.CursorSet ? COORD{static_cast<SHORT>(ref.X), static_cast<SHORT>(ref.Y)}
                                       : ref.ConsoleCursor;
  Check(console.Cursor.X == expected.X && console.Cursor.Y == expected.Y,
        "the console's cursor is not where the layer keeps it");
  Check(TextAttr == ref.Attr, "the text attribute differs");
  Check(testend::MessageBeeps() == ref.Bells, "bells rung and bell bytes written differ");
}

FUZZ_NO_COVERAGE void CheckTerminalShows(const vtscreen::VtScreen& vt, const vt::Renderer& renderer,
                                         vt::Charset charset) {
  const model::Console& console = testend::Console();
  const int rows = std::min(renderer.ViewRows(), console.Screen.Height());
  const int columns = std::min(renderer.ViewColumns(), console.Screen.Width());
  const std::string differs = vt.Differs(console, columns, rows, charset);
  if (!differs.empty()) {
    std::fprintf(stderr, "terminal: %s\n", differs.c_str());
    fuzz::Fail("the terminal does not show the console");
  }
  Check(!vt.Mode(7) && vt.Alternate, "the terminal left the program's modes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);

  // The console.  Mostly small; now and then beyond what the services use
  // (256 columns, 234 rows), so that the cut is exercised too.
  testend::Options options;
  if (in.Byte() < 224) {
    options.Width = 1 + static_cast<int>(in.Below(90));
    options.Height = 1 + static_cast<int>(in.Below(30));
  } else {
    options.Width = 1 + in.Word() % 300;
    options.Height = 1 + in.Word() % 250;
  }
  options.Fill = model::Cell{in.Byte(), in.Byte()};
  options.Cursor = COORD{static_cast<SHORT>(in.Below(static_cast<size_t>(options.Width))),
                         static_cast<SHORT>(in.Below(static_cast<size_t>(options.Height)))};
  const uint8_t flags = in.Byte();
  options.Platform = (flags & 1) != 0 ? VER_PLATFORM_WIN32_WINDOWS : VER_PLATFORM_WIN32_NT;
  options.RefuseDestinationAboveBuffer = (flags & 2) != 0;
  options.CursorInfo = CONSOLE_CURSOR_INFO{(flags & 4) != 0 ? 100u : 25u, TRUE};
  const vt::Charset charset = (flags & 8) != 0 ? vt::Charset::Ascii : vt::Charset::Utf8;

  ResetConsoleServices();
  testend::Reset(options);
  InitConsole();

  Reference ref{
      options.Width, options.Height, ScreenWidth, ScreenHeight,
      std::vector<model::Cell>(
          static_cast<size_t>(options.Width) * static_cast<size_t>(options.Height), options.Fill),
      // The layer keeps its cursor inside its area.
      std::min<int>(options.Cursor.X, ScreenWidth - 1),
      std::min<int>(options.Cursor.Y, ScreenHeight - 1), options.Fill.Attr, options.Cursor};
  Check(
      ScreenWidth == std::min(options.Width, 256) && ScreenHeight == std::min(options.Height, 234),
      "the console area is not the console's size, cut to 256 by 234");

  vt::Renderer renderer(options.Width, options.Height, charset);
  vtscreen::VtScreen vt(options.Width, options.Height, charset == vt::Charset::Ascii);
  vt.Feed(vt::EnterSequence());
  vt.Feed(renderer.Render(testend::Console()));
  fuzz::CheckCallRegions(ScreenWidth, ScreenHeight);

  const bool big = options.Width * options.Height > 4000;
  std::vector<uint8_t> bytes;
  // Rendering scans every cell: the largest consoles get fewer steps.
  const int steps = big ? 24 : 200;
  for (int step = 0; step < steps && !in.Empty(); ++step) {
    const uint8_t op = in.Byte();
    switch (op % 10) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4: {
        // Mostly short writes; sometimes long ones that cross the run's
        // 256 cells and several rows.
        const size_t n = op % 10 == 4 ? in.Word() % 700 : in.Below(48);
        bytes.clear();
        for (size_t i = 0; i < n && !in.Empty(); ++i) bytes.push_back(in.Byte());
        ConsoleWrite(bytes.data(), bytes.size());
        ref.Write(bytes.data(), bytes.size());
        break;
      }
      case 5: {
        const uint8_t x = in.Byte();
        const uint8_t y = in.Byte();
        GotoXY(x, y);
        ref.GotoXY(x, y);
        break;
      }
      case 6: {
        const uint8_t color = in.Byte();
        TextColor(color);
        ref.TextColor(color);
        break;
      }
      case 7:
        if ((op & 0x80) != 0) {
          ClrScr();
          ref.ClrScr();
        } else {
          ClrEol();
          ref.ClrEol();
        }
        break;
      case 8:
        if ((op & 0x80) != 0) {
          HideCursor();
        } else {
          RestoreCursor();
        }
        break;
      case 9: {
        // The terminal window changes its size; the console keeps its own,
        // and its window, which follows the cursor, takes the terminal's.
        const int columns = 1 + static_cast<int>(in.Below(100));
        const int rows = 1 + static_cast<int>(in.Below(40));
        vt.Resize(columns, rows);
        renderer.SetViewport(columns, rows);
        {
          std::lock_guard lock(model::ConsoleMutex());
          model::SetWindowSizeLocked(columns, rows);
        }
        break;
      }
      default:
        break;
    }
    fuzz::CheckCallRegions(ScreenWidth, ScreenHeight);
    vt.Feed(renderer.Render(testend::Console()));
    // Every cell after every step, except on the largest consoles, where
    // every eighth step and the last keep the fuzzer fast.
    if (!big || step % 8 == 0 || in.Empty()) {
      CheckConsoleMatches(ref);
      CheckTerminalShows(vt, renderer, charset);
    }
  }
  CheckConsoleMatches(ref);
  CheckTerminalShows(vt, renderer, charset);
  ResetConsoleServices();
  return 0;
}
