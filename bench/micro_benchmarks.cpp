// Micro benchmarks of the paths a waiting alarm takes every second, on the
// real terminal stand-in.  The process puts a pseudo-terminal of 80x25 under
// its standard input and output before the console starts, and a thread
// reads and discards what the terminal is sent, so every figure includes the
// renderer and the write() a real terminal would cost.
//
// The console binds std::cout to its own writer, so the results go to
// standard error (and to --benchmark_out as usual).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "app/alarm_state.h"
#include "app/status_screen.h"
#include "console/clock.h"
#include "console/console_output.h"
#include "console/process.h"
#include "standin/terminal/vt/key_decoder.h"

namespace {

std::atomic<long long> TerminalBytes{0};

// The terminal side: keeps the pseudo-terminal's buffer from filling, which
// would block the program's writes.
void Drain(int master) {
  char buffer[8192];
  for (;;) {
    const ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) return;
    TerminalBytes += got;
  }
}

bool PutTerminalUnder() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
  winsize size{};
  size.ws_col = 80;
  size.ws_row = 25;
  ioctl(master, TIOCSWINSZ, &size);
  const char* name = ptsname(master);
  if (name == nullptr) return false;
  const int slave = open(name, O_RDWR | O_NOCTTY);
  if (slave < 0) return false;
  if (dup2(slave, STDIN_FILENO) < 0 || dup2(slave, STDOUT_FILENO) < 0) return false;
  close(slave);
  std::thread(Drain, master).detach();
  return true;
}

// Two lines of the same length that differ in every cell, so that each write
// really changes the screen.
const std::string LineA = "Alarm time.........................[07:30]";
const std::string LineB = "alarm TIME_________________________(19:45)";

void WriteLine(const std::string& line) {
  ConsoleWrite(reinterpret_cast<const uint8_t*>(line.data()), line.size());
}

void MeasureConsoleWriteChangedLine(benchmark::State& state) {
  bool flip = false;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the idiom
    GotoXY(1, 10);
    WriteLine(flip ? LineA : LineB);
    flip = !flip;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(LineA.size()));
}
BENCHMARK(MeasureConsoleWriteChangedLine)->Name("ConsoleWriteChangedLine");

// The same text again: the model changes nothing and nothing is sent.
void MeasureConsoleWriteSameLine(benchmark::State& state) {
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the idiom
    GotoXY(1, 11);
    WriteLine(LineA);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(LineA.size()));
}
BENCHMARK(MeasureConsoleWriteSameLine)->Name("ConsoleWriteSameLine");

// One second's redraw of the waiting screen, as the waiting pass does it.
void MeasureShowTimes(benchmark::State& state) {
  DrawStatusScreen();
  TextColor(15);
  int second = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the idiom
    AlarmState.CurHour = 12;
    AlarmState.CurMinute = second / 60 % 60;
    AlarmState.CurSecond = second % 60;
    AlarmState.RemainingSeconds = 86399 - second % 86399;
    ShowTimes();
    ++second;
  }
}
BENCHMARK(MeasureShowTimes)->Name("ShowTimes");

void MeasureDrawStatusScreen(benchmark::State& state) {
  AlarmState.AlarmHour = 7;
  AlarmState.AlarmMinute = 30;
  AlarmState.SleepTime = 500;
  for (auto _ : state) DrawStatusScreen();  // NOLINT(clang-analyzer-deadcode.DeadStores)
}
BENCHMARK(MeasureDrawStatusScreen)->Name("DrawStatusScreen");

void MeasureFormatFixed(benchmark::State& state) {
  static const long double SleepTimes[] = {0.1L, 0.5L, 1.0L, 10.0L, 30.0L};
  size_t i = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the idiom
    benchmark::DoNotOptimize(FormatFixed(SleepTimes[i], 0, 1));
    i = (i + 1) % std::size(SleepTimes);
  }
}
BENCHMARK(MeasureFormatFixed)->Name("FormatFixed");

void MeasureFormatInteger(benchmark::State& state) {
  int32_t value = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the idiom
    benchmark::DoNotOptimize(FormatInteger(value, 0));
    value = (value + 7) % 60;
  }
}
BENCHMARK(MeasureFormatInteger)->Name("FormatInteger");

// What a terminal sends while someone types: letters, digits, Enter, Esc
// sequences of cursor and function keys with modifiers, UTF-8 Cyrillic.
std::vector<uint8_t> TypicalInput() {
  const std::string text =
      "0730\r"
      "secret\r"
      "tT5s"
      "\x1b[A\x1b[B\x1bOP\x1b[15~\x1b[1;5C"
      "\xd0\x95\xd1\x8b"
      "\xd0\xb7"
      "p1\x7f"
      "\x1bx";
  return {text.begin(), text.end()};
}

void MeasureKeyDecoderPerByte(benchmark::State& state) {
  const std::vector<uint8_t> input = TypicalInput();
  vt::KeyDecoder decoder;
  uint64_t now = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the idiom
    decoder.Feed(input.data(), input.size(), now);
    vt::KeyEvent key;
    while (decoder.Pop(&key)) benchmark::DoNotOptimize(key);
    // Far apart, so no lone Esc is ever still waiting for the rest.
    now += 1000;
    decoder.Tick(now);
    while (decoder.Pop(&key)) benchmark::DoNotOptimize(key);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(input.size()));
}
BENCHMARK(MeasureKeyDecoderPerByte)->Name("KeyDecoderPerByte");

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  if (!PutTerminalUnder()) {
    std::perror("pseudo-terminal");
    return 1;
  }
  InitStandardOutput();
  InitConsole();
  StartUp();
  benchmark::ConsoleReporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::cerr << "terminal bytes " << TerminalBytes.load() << "\n";
  // The console would hand the (pseudo-)terminal back on the way out;
  // nobody is looking at it.
  std::fflush(nullptr);
  _exit(0);
}
