// The terminal end's writer (standin/terminal/session/output.cpp) on a
// pseudo-terminal that stops taking output: the way out is not held up, what
// the terminal has not taken is left to a helper that holds nothing of the
// program, and bells do not pile up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "standin/terminal/session/output.h"
#include "standin/terminal/vt/renderer.h"
#include "tests/session/pty_child.h"
#include "win32/win32.h"

namespace {

using namespace std::chrono_literals;

constexpr int Slowdown = ROUSEL_TIME_SCALE;
const std::string Leave(vt::LeaveSequence());

// A line of a process's status ("State", "SigBlk"), its value after the tab.
std::string StatusField(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(name + ":\t", 0) == 0) return line.substr(name.size() + 2);
  return "";
}

// Whether done() holds within the time, asked every 10 ms.
bool Within(std::chrono::milliseconds within, const std::function<bool()>& done) {
  for (const auto deadline = std::chrono::steady_clock::now() + within; !done();
       std::this_thread::sleep_for(10ms))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

// Once the program has ended: the one process it left in the session but
// its leader, a copy program, or -1.
pid_t HelperLeftBy(pid_t session) {
  pid_t helper = -1;
  Within(1000ms * Slowdown, [&] {
    std::vector<pid_t> left;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const pid_t pid =
          static_cast<pid_t>(std::strtol(entry.path().filename().c_str(), nullptr, 10));
      if (pid > 0 && pid != session && getsid(pid) == session &&
          StatusField(pid, "State")[0] != 'Z')
        left.push_back(pid);
    }
    helper = left.size() == 1 && StatusField(left[0], "Name") == "cat" ? left[0] : -1;
    return helper > 0;
  });
  return helper;
}

// Fills what the terminal still takes, past the program's queue: nothing
// more fits until the test resumes it.
void FillTheTerminal() {
  const int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY);
  const std::string filler(4096, ' ');
  while (write(fd, filler.data(), filler.size()) > 0) {
  }
  close(fd);
}

// Alt+X while the terminal takes nothing: the program ends within a second,
// and a helper writes the hand-back and the exit banner once the terminal
// takes output again.  The helper is a copy program, with no signal blocked
// but SIGTTOU and none that ends it ignored: a SIGTERM ends it too.  The
// ringing meanwhile, a minute of it on the bell, reaches the terminal as one
// bell, not as hundreds.
TEST(OutputTest, AStalledExitLeavesTheBannerToAHelperThatHoldsNothing) {
  for (const bool resume : {true, false}) {
    SCOPED_TRACE(resume ? "the terminal resumes" : "the helper is sent SIGTERM");
    ptytest::PtyChild child([] {
      // A job of a shell with job control: a process group of its own in the
      // foreground, the shell (the session's leader) staying.
      if (const pid_t job = fork(); job != 0) {
        setpgid(job, job);
        tcsetpgrp(0, job);
        waitpid(job, nullptr, 0);
        for (;;) pause();
      }
      setpgid(0, 0);
      SetConsoleTitleA("ready");
      INPUT_RECORD record{};
      DWORD read = 0;
      ReadConsoleInputA(GetStdHandle(STD_INPUT_HANDLE), &record, 1, &read);  // the test's go
      FillTheTerminal();
      CHAR_INFO bye[3];
      for (int i = 0; i < 3; ++i) bye[i] = {{static_cast<WCHAR>("bye"[i])}, 7};
      SMALL_RECT region{0, 0, 2, 0};
      WriteConsoleOutputA(GetStdHandle(STD_OUTPUT_HANDLE), bye, {3, 1}, {0, 0}, &region);
      for (int tone = 0; tone < 400; ++tone) MessageBeep(0);
      ExitProcess(0);
    });
    ASSERT_TRUE(child.WaitFor("\x1b]2;ready\a"));
    child.SuspendOutput(true);
    child.Type("q");
    const pid_t helper = HelperLeftBy(child.Pid());
    ASSERT_GT(helper, 0) << "the program still runs, or left no helper";
    EXPECT_EQ(std::stoull(StatusField(helper, "SigBlk"), nullptr, 16), 1ull << (SIGTTOU - 1));
    const unsigned long long ignored = std::stoull(StatusField(helper, "SigIgn"), nullptr, 16);
    for (const int sig : {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGALRM, SIGPIPE})
      EXPECT_EQ(ignored & (1ull << (sig - 1)), 0u) << strsignal(sig) << " ignored";
    if (resume) {
      const size_t mark = child.Output().size();
      child.SuspendOutput(false);
      EXPECT_TRUE(child.WaitFor(Leave, mark));
      EXPECT_TRUE(child.WaitFor("bye", child.Output().find(Leave, mark)));
      // Every title ends in a BEL of its own.
      const std::string after = child.Output().substr(mark);
      const std::string bells = std::regex_replace(after, std::regex("\x1b\\]2;[^\a]*\a"), "");
      EXPECT_EQ(std::count(bells.begin(), bells.end(), '\a'), 1) << after;
    } else {
      kill(helper, SIGTERM);
    }
    EXPECT_TRUE(Within(2s * Slowdown, [helper] {
      return kill(helper, 0) != 0 || StatusField(helper, "State")[0] == 'Z';
    }));
    child.SuspendOutput(false);
  }
}

// A write the terminal took only in part (the test reads nothing for a
// while) goes on where it stopped: every byte after it is one the program
// sent.
TEST(OutputTest, AWriteTakenInPartGoesOnWhereItStopped) {
  ptytest::PtyChild child([] {
    SetConsoleTitleA("ready");
    Sleep(100);
    // Redraws the whole screen until the terminal takes no more: the last
    // write it may have taken only in part.
    SMALL_RECT region{0, 0, 79, 24};
    for (int frame = 0; frame < 5000 && session::Backlog() == 0; ++frame) {
      std::vector<CHAR_INFO> screen(size_t{80} * 25,
                                    CHAR_INFO{{static_cast<WCHAR>('a' + frame % 26)}, 7});
      WriteConsoleOutputA(GetStdHandle(STD_OUTPUT_HANDLE), screen.data(), {80, 25}, {0, 0},
                          &region);
      Sleep(1);
    }
    SetConsoleTitleA("done");
    Sleep(INFINITE);
  });
  ASSERT_TRUE(child.WaitFor("\x1b]2;ready\a"));
  const size_t mark = child.Output().size();
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(child.WaitFor("\x1b]2;done\a", mark));
  const std::string after = child.Output().substr(mark);
  for (const char c : after)
    ASSERT_TRUE(c == '\x1b' || c == '\a' || c == '\r' || (c >= ' ' && c < 127));
}

// The crash path's write into a pipe it fills: what a slow reader takes is
// every byte in order, however the writes are cut; with no time to wait
// (and no reader) it stops at what the pipe took, and with some, once that
// time has passed.
TEST(OutputTest, WriteWithinGoesOnFromWhereEachPartStopped) {
  std::string sent(size_t{256} * 1024 + 1, '\0');  // the last part a single byte
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('a' + i % 23);
  for (const int waitMs : {5000, 0, 200}) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
    std::string got;
    std::thread reader;
    if (waitMs == 5000) {
      reader = std::thread([&] {
        char buffer[4096];
        for (;;) {
          const ssize_t n = read(ends[0], buffer, sizeof buffer);
          if (n == 0) break;
          if (n > 0) got.append(buffer, static_cast<size_t>(n));
          std::this_thread::sleep_for(100us);
        }
      });
    }
    session::WriteWithin(ends[1], sent.data(), sent.size(), waitMs);
    close(ends[1]);
    if (reader.joinable()) reader.join();
    char buffer[4096];
    for (ssize_t n = 0; (n = read(ends[0], buffer, sizeof buffer)) > 0;)
      got.append(buffer, static_cast<size_t>(n));
    close(ends[0]);
    EXPECT_EQ(got, waitMs == 5000 ? sent : sent.substr(0, got.size())) << waitMs;
    EXPECT_EQ(got.size() < sent.size(), waitMs != 5000) << waitMs;
  }
}

// What waits unwritten: a bell with one that waits is one bell, a title
// replaces the one that waits, a whole screen replaces the screens before
// it, and screen bytes past the bound are refused and take the screens that
// wait with them, while what is not a screen stays.  Written bytes no longer
// count against the bound.  Once a stalled terminal has taken everything,
// what comes later is written too.
TEST(OutputTest, WhatWaitsIsMergedAndBounded) {
  ptytest::PtyChild child([] {
    SetConsoleTitleA("ready");
    INPUT_RECORD record{};
    DWORD read = 0;
    ReadConsoleInputA(GetStdHandle(STD_INPUT_HANDLE), &record, 1, &read);
    std::string log;
    const auto queue = [&log](const std::string& bytes, session::Stream stream, bool whole) {
      log += session::Queue(bytes, stream, whole, false) ? '+' : '-';
      log += std::to_string(session::Backlog()) + ' ';
    };
    using enum session::Stream;
    const size_t bound = size_t{64} * 1024;
    queue("<s1>", Screen, false);
    queue("\a", Bell, false);
    queue("\a", Bell, false);
    queue("<t1>", Title, false);
    queue("<t2>", Title, false);
    queue("<c>", Control, false);
    queue(std::string(bound - 4, 's'), Screen, false);  // up to the bound exactly
    queue("!", Screen, false);
    queue("<s2>", Screen, false);
    queue("<s3>", Screen, true);
    queue("", Control, false);
    session::Flush();
    session::Drain(2000 * Slowdown);
    queue(std::string(bound, 's'), Screen, false);
    queue("!", Screen, false);
    queue("s", Screen, false);
    queue(std::string(bound, 's'), Screen, false);
    session::Queue("<log " + log + ">", Control);
    ReadConsoleInputA(GetStdHandle(STD_INPUT_HANDLE), &record, 1, &read);
    FillTheTerminal();
    session::Queue("<stalled>", Control);
    session::Drain(5000 * Slowdown);
    session::Queue("<later>", Control);
    Sleep(INFINITE);
  });
  ASSERT_TRUE(child.WaitFor("\x1b]2;ready\a"));
  size_t mark = child.Output().size();
  child.Type("q");
  ASSERT_TRUE(child.WaitFor("<log", mark));
  ASSERT_TRUE(child.WaitFor(">", child.Output().find("<log", mark)));
  const size_t end = child.Output().find('>', child.Output().find("<log", mark)) + 1;
  EXPECT_EQ(child.Output().substr(mark, end - mark),
            "\a<t2><c><s3><log +4 +5 +5 +9 +9 +12 +65544 -8 +12 +12 +12 +65536 -0 +1 -0 >");
  mark = child.Output().size();
  child.SuspendOutput(true);
  child.Type("r");
  std::this_thread::sleep_for(200ms);
  child.SuspendOutput(false);
  EXPECT_TRUE(child.WaitFor("<stalled><later>", mark));
}

// The writer on a pipe, in a child of its own (the writer is one per
// process): a pipe is no terminal, so its thread does the writing, on the
// description it was given.
struct PipeRow {
  const char* Name;
  void (*Body)(int readEnd, int writeEnd);  // reports what it saw on fd 1
  const char* Seen;
};

void Say(const std::string& what) {
  std::ignore = write(1, what.data(), what.size());
}

// The bytes a pipe holds, read until it stays empty for a while.
std::string ReadAll(int fd) {
  std::string got;
  char buffer[4096];
  for (pollfd ready{fd, POLLIN, 0}; poll(&ready, 1, 200 * Slowdown) > 0;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

// Runs of one byte as the byte and their length: "a10000".
std::string Runs(const std::string& bytes) {
  std::string runs;
  for (size_t at = 0; at < bytes.size();) {
    size_t end = at;
    while (end < bytes.size() && bytes[end] == bytes[at]) ++end;
    const auto byte = static_cast<unsigned char>(bytes[at]);
    runs +=
        byte < ' ' ? std::string{'^', static_cast<char>(byte + '@')} : std::string(1, bytes[at]);
    runs += std::to_string(end - at);
    at = end;
  }
  return runs;
}

// Waits until the queue holds `bytes` (the writer thread has taken what the
// pipe had room for), at most five seconds.
bool BacklogIs(size_t bytes) {
  return Within(5000ms * Slowdown, [bytes] { return session::Backlog() == bytes; });
}

// The pipe filled but for 4 KiB, `queued` queued and written as far as it
// goes, and the rest left to the helper as the program ends.  Its parent,
// as a shell would, stays; once the pipe has been full a while, it reports
// everything after the filler.
void LeaveToTheHelper(int in, int out,
                      const std::vector<std::pair<std::string, session::Stream>>& queued) {
  const std::string fill(size_t{60} * 1024, 'f');
  std::ignore = write(out, fill.data(), fill.size());
  const pid_t program = fork();
  if (program == 0) {
    close(in);
    session::OpenOutput(out);
    size_t total = 0;
    for (const auto& [bytes, stream] : queued) {
      session::Queue(bytes, stream, false, false);
      total += bytes.size();
    }
    session::Flush();
    if (!BacklogIs(total - 4096)) Say("<not taken in part>");
    session::LeaveWhenDrained();
    _exit(0);
  }
  close(out);
  waitpid(program, nullptr, 0);
  std::this_thread::sleep_for(300ms);
  fcntl(in, F_SETFL, 0);
  std::string got;
  char buffer[4096];
  for (ssize_t n = 0; (n = read(in, buffer, sizeof buffer)) > 0;)
    got.append(buffer, static_cast<size_t>(n));
  Say("<" + Runs(got.substr(std::min(got.size(), fill.size()))) + ">");
}

class OutputOnAPipe : public ::testing::TestWithParam<PipeRow> {};

TEST_P(OutputOnAPipe, Writes) {
  const PipeRow& row = GetParam();
  ptytest::PtyChild child([&row] {
    int ends[2];
    if (pipe2(ends, O_NONBLOCK) != 0) _exit(2);
    row.Body(ends[0], ends[1]);
  });
  EXPECT_TRUE(child.WaitFor(std::string("<") + row.Seen + ">")) << child.Output();
}

INSTANTIATE_TEST_SUITE_P(
    Output, OutputOnAPipe,
    ::testing::Values(
        // A screen the pipe took in part is finished before the whole screen
        // that replaces it (a sequence cut in half would garble the next);
        // a screen not yet begun is dropped.  The new screen is more than the
        // pipe holds: a write that ends inside it goes on where it stopped.
        PipeRow{"AScreenCutInHalfIsFinished",
                [](int in, int out) {
                  const std::string fill(size_t{60} * 1024, 'f');  // room for 4 KiB more
                  std::ignore = write(out, fill.data(), fill.size());
                  session::OpenOutput(out);
                  session::Queue(std::string(10000, 'a'), session::Stream::Screen, false, false);
                  session::Queue(std::string(100, 'b'), session::Stream::Screen, false, false);
                  session::Flush();
                  if (!BacklogIs(10100 - 4096)) Say("<not taken in part>");
                  session::Queue(std::string(70000, 'c'), session::Stream::Screen, true);
                  std::string got = ReadAll(in);
                  session::Drain(5000 * Slowdown);
                  got += ReadAll(in);
                  Say("<" + Runs(got.substr(fill.size())) + ">");
                },
                "a10000c70000"},
        // A pipe whose reader has gone refuses the write: what waits is
        // dropped, and nothing more is queued; the writes still report success.
        PipeRow{"AGoneReaderEndsTheOutput",
                [](int in, int out) {
                  std::signal(SIGPIPE, SIG_IGN);
                  close(in);
                  session::OpenOutput(out);
                  const bool queued = session::Queue("x", session::Stream::Control);
                  const bool drained = session::Drain(60000 * Slowdown);
                  const bool later = session::Queue("y", session::Stream::Control, false, false);
                  Say("<" + std::to_string(queued) + std::to_string(drained) +
                      std::to_string(later) + " " + std::to_string(session::Backlog()) + ">");
                },
                "111 0"},
        // A blocking description is written by the writer thread alone: the
        // caller returns at once though the pipe is full, and what waits
        // goes out once the reader reads.  One writer thread, however often
        // the pipe fills.  The crash path writes to the same description,
        // and no descriptor is left open on the way.
        PipeRow{"ABlockingPipeIsWrittenByOneThread",
                [](int in, int out) {
                  fcntl(out, F_SETFL, 0);
                  const std::string fill(size_t{64} * 1024, 'f');
                  std::ignore = write(out, fill.data(), fill.size());
                  const auto files = [] {
                    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                         std::filesystem::directory_iterator{});
                  };
                  const auto threads = [] {
                    return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                         std::filesystem::directory_iterator{});
                  };
                  const auto filesBefore = files();
                  session::OpenOutput(out);
                  const bool same = files() == filesBefore && session::CrashOutputFd() == out;
                  std::string got;
                  std::array<long, 2> after{};  // threads after each round
                  for (const char round : {'a', 'b'}) {
                    session::Queue(std::string(100, round), session::Stream::Control);
                    Say("<queued>");
                    got += ReadAll(in);
                    session::Drain(60000 * Slowdown);
                    got += ReadAll(in);
                    std::ignore = write(out, fill.data(), fill.size());
                    after[round - 'a'] = threads();
                  }
                  ReadAll(in);
                  Say("<" + std::to_string(same) + " " + Runs(got) + " " +
                      std::to_string(after[1] - after[0]) + ">");
                },
                "1 f65536a100f65536b100 0"},
        // What the pipe has not taken when the program ends goes to a copy
        // program: a control chunk cut in half goes on where it stopped (a
        // sequence the terminal must see whole), the screens are left out,
        // the rest follows in order, though the pipe was full at first.
        PipeRow{"AControlChunkCutInHalfIsFinishedByTheHelper",
                [](int in, int out) {
                  using enum session::Stream;
                  LeaveToTheHelper(in, out,
                                   {{std::string(10000, 'a'), Control},
                                    {std::string(100, 'b'), Screen},
                                    {"yy", Title},
                                    {"z", Control}});
                },
                "a10000y2z1"},
        // A screen cut in half is left, a CAN ending the sequence it began.
        PipeRow{"AScreenCutInHalfEndsInCan",
                [](int in, int out) {
                  using enum session::Stream;
                  LeaveToTheHelper(in, out, {{std::string(10000, 'a'), Screen}, {"z", Control}});
                },
                "a4096^X1z1"},
        // What is more than the helper's pipe holds is dropped, not waited for.
        PipeRow{"WhatTheHelpersPipeCannotHoldIsDropped",
                [](int in, int out) {
                  using enum session::Stream;
                  LeaveToTheHelper(in, out, {{std::string(80000, 'a'), Control}, {"z", Control}});
                },
                "a69632"}),
    [](const ::testing::TestParamInfo<PipeRow>& row) { return std::string(row.param.Name); });

}  // namespace
