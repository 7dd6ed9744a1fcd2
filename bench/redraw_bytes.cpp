// Bytes the terminal receives for each redraw of the waiting screen, through
// the real terminal stand-in on a pseudo-terminal of 80x25.
//
//   rousel_redraw_bytes [--seconds N]
//
// A child process runs the application's drawing routines on the slave side;
// this process holds the master, counts what arrives, and after each step
// drains the master until it has been quiet for a moment, so that the cursor
// thread's late output is counted with the step that caused it.  The child
// announces each step on a pipe and waits for a go-ahead before the next.
//
// Output, one line per step: name, bytes sent, bytes of the text the step
// writes (non-blank cells), cells whose character or colour changed, e.g.
// "second 14 16 2".  Seconds are
// simulated: the clock values are set, not waited for, starting at 12:59:30
// so that the run crosses a change of minute and of hour.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "app/alarm_state.h"
#include "app/status_screen.h"
#include "console/console_output.h"
#include "console/process.h"
#include "standin/model/console_model.h"
#include "standin/terminal/session/session.h"

namespace {

constexpr int Columns = 80;
constexpr int Rows = 25;
// The master counts as drained once nothing has come for this long.
constexpr int QuietMs = 60;
// The cursor thread wakes every 300 ms on its own; a step's output is taken
// to be complete well before that, and a stray timeout costs nothing.
constexpr int StepTimeoutMs = 2000;

struct Step {
  std::string Name;
  long long Text = 0;     // non-blank cells the step is about
  long long Changed = 0;  // cells whose character or colour changed
};

// --- Child: the drawing, on the slave side --------------------------------

int MarkFd = -1;
int GoFd = -1;

std::vector<model::Cell> Snapshot() {
  std::lock_guard lock(model::ConsoleMutex());
  const model::ScreenBuffer& screen = model::ConsoleLocked().Screen;
  std::vector<model::Cell> cells;
  for (int y = 0; y < screen.Height(); ++y)
    for (int x = 0; x < screen.Width(); ++x) cells.push_back(screen.At(x, y));
  return cells;
}

// Non-blank cells in columns [first, first + count) of a 1-based row.
long long TextIn(const std::vector<model::Cell>& cells, int row, int first, int count) {
  long long n = 0;
  for (int x = first - 1; x < first - 1 + count; ++x) {
    const model::Cell& cell =
        cells[static_cast<size_t>(row - 1) * Columns + static_cast<size_t>(x)];
    if (cell.Char != ' ') ++n;
  }
  return n;
}

// Cells that differ and are not blank afterwards: the text a step shows.
long long TextChanged(const std::vector<model::Cell>& before,
                      const std::vector<model::Cell>& after) {
  long long n = 0;
  for (size_t i = 0; i < after.size() && i < before.size(); ++i)
    if (!(after[i] == before[i]) && after[i].Char != ' ') ++n;
  return n;
}

long long CellsChanged(const std::vector<model::Cell>& before,
                       const std::vector<model::Cell>& after) {
  long long n = 0;
  for (size_t i = 0; i < after.size() && i < before.size(); ++i)
    if (!(after[i] == before[i])) ++n;
  return n;
}

void Mark(const char* name, long long text, long long changed) {
  // The step is a pass of the program: it ends by sending what it drew.
  session::Present();
  char line[128];
  const int n = std::snprintf(line, sizeof line, "%s %lld %lld\n", name, text, changed);
  if (n > 0 && write(MarkFd, line, static_cast<size_t>(n)) != n) _exit(3);
  char go = 0;
  if (read(GoFd, &go, 1) != 1) _exit(3);
}

void SetClock(int seconds) {
  AlarmState.CurHour = seconds / 3600 % 24;
  AlarmState.CurMinute = seconds / 60 % 60;
  AlarmState.CurSecond = seconds % 60;
  AlarmState.CurSeconds =
      SecondsOfDay(AlarmState.CurHour, AlarmState.CurMinute, AlarmState.CurSecond);
  AlarmState.DayOffset = AlarmState.AlarmSeconds > AlarmState.CurSeconds ? 0 : 86400;
  AlarmState.RemainingSeconds =
      AlarmState.DayOffset + AlarmState.AlarmSeconds - AlarmState.CurSeconds;
}

[[noreturn]] void RunChild(int seconds) {
  InitStandardOutput();
  InitConsole();
  StartUp();
  Mark("start-up", 0, 0);

  AlarmState.AlarmHour = 7;
  AlarmState.AlarmMinute = 30;
  AlarmState.AlarmSeconds = SecondsOfDay(7, 30, 0);
  AlarmState.SleepTime = 500;
  AlarmState.PasswordChecking = false;
  auto before = Snapshot();
  DrawStatusScreen();
  auto after = Snapshot();
  Mark("DrawStatusScreen", TextChanged(before, after), CellsChanged(before, after));

  // The waiting loop's first redraw fills the two empty fields.
  TextColor(15);
  const int start = 12 * 3600 + 59 * 60 + 30;
  for (int i = 0; i < seconds; ++i) {
    SetClock(start + i);
    before = Snapshot();
    ShowTimes();
    after = Snapshot();
    // The text of a second: the two 8-character values in column 37.
    const long long text = TextIn(after, 2, 37, 8) + TextIn(after, 3, 37, 8);
    Mark(i == 0 ? "first-second" : "second", text, CellsChanged(before, after));
  }

  before = Snapshot();
  ClrScr();
  after = Snapshot();
  Mark("ClrScr", 0, CellsChanged(before, after));
  _exit(0);
}

// --- Parent: the terminal side --------------------------------------------

// Reads what the master holds within `waitMs`; adds the count.  False once
// the slave side has gone.
bool ReadMaster(int master, int waitMs, long long* count) {
  pollfd ready{master, POLLIN, 0};
  const int polled = poll(&ready, 1, waitMs);
  if (polled <= 0) return true;
  char buffer[4096];
  const ssize_t got = read(master, buffer, sizeof buffer);
  if (got <= 0) return false;
  *count += got;
  return true;
}

int RunParent(int master, int marks, int go, pid_t child) {
  long long pending = 0;  // bytes since the last step ended
  std::string line;
  bool childOpen = true;
  std::vector<std::pair<Step, long long>> results;
  while (childOpen) {
    pollfd fds[2] = {{master, POLLIN, 0}, {marks, POLLIN, 0}};
    if (poll(fds, 2, StepTimeoutMs) <= 0) break;
    if ((fds[0].revents & POLLIN) != 0) {
      if (!ReadMaster(master, 0, &pending)) break;
      continue;
    }
    if ((fds[1].revents & (POLLIN | POLLHUP)) == 0) continue;
    char c = 0;
    if (read(marks, &c, 1) != 1) break;
    if (c != '\n') {
      line += c;
      continue;
    }
    // A step has ended: take what it sent, including late cursor moves.
    long long before = -1;
    while (before != pending) {
      before = pending;
      if (!ReadMaster(master, QuietMs, &pending)) {
        childOpen = false;
        break;
      }
    }
    Step step;
    std::istringstream fields(line);
    if (!(fields >> step.Name >> step.Text >> step.Changed)) break;
    results.emplace_back(step, pending);
    pending = 0;
    line.clear();
    if (write(go, "g", 1) != 1) break;
  }
  close(go);
  int status = 0;
  waitpid(child, &status, 0);
  for (const auto& [step, bytes] : results)
    std::printf("%s %lld %lld %lld\n", step.Name.c_str(), bytes, step.Text, step.Changed);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = static_cast<int>(std::strtol(argv[++i], nullptr, 10));
    } else {
      std::fprintf(stderr, "usage: %s [--seconds N]\n", argv[0]);
      return 2;
    }
  }
  if (seconds < 1) seconds = 1;

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("posix_openpt");
    return 1;
  }
  winsize size{};
  size.ws_col = Columns;
  size.ws_row = Rows;
  ioctl(master, TIOCSWINSZ, &size);
  const char* slaveName = ptsname(master);
  int marks[2];
  int go[2];
  if (slaveName == nullptr || pipe(marks) != 0 || pipe(go) != 0) {
    std::perror("pty");
    return 1;
  }
  const std::string slavePath = slaveName;
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    return 1;
  }
  if (child == 0) {
    setsid();
    const int slave = open(slavePath.c_str(), O_RDWR);
    if (slave < 0) _exit(4);
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, STDIN_FILENO);
    dup2(slave, STDOUT_FILENO);
    close(slave);
    close(master);
    close(marks[0]);
    close(go[1]);
    MarkFd = marks[1];
    GoFd = go[0];
    // The renderer picks UTF-8 or ASCII from the locale; the waiting screen
    // is ASCII either way, so only a fixed choice matters.
    setenv("LC_ALL", "C.UTF-8", 1);
    RunChild(seconds);
  }
  close(marks[1]);
  close(go[0]);
  return RunParent(master, marks[0], go[1], child);
}
