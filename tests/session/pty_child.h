// Runs a piece of the program in a child process on a pseudo-terminal of its
// own, as a user's shell would start it, and lets a test type into it, read
// what it sends the terminal and see how it ended.  Every wait has a
// deadline so that a broken build fails instead of hanging; the tests that
// bound how long the user waits (the ways out) say so themselves.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <functional>
#include <string>
#include <string_view>

namespace ptytest {

class PtyChild {
 public:
  // Starts body() in a child whose standard input, output and error are the
  // slave side of a new 80x25 pseudo-terminal, its controlling terminal, and
  // TERM an xterm's.  The child ends with _exit(0) if body returns.
  explicit PtyChild(const std::function<void()>& body);
  ~PtyChild();

  // Types bytes as the terminal's keyboard would.
  void Type(std::string_view bytes);
  // Reads until what the child sent since `from` contains needle; false on
  // the deadline.
  bool WaitFor(std::string_view needle, size_t from = 0);
  // Reads until the child ends; its wait status, or -1 on the deadline.
  int WaitExit();
  // Stops or restarts the terminal's output (tcflow), as Scroll Lock or a
  // stalled link does: the child's writes then find no room.
  void SuspendOutput(bool suspend) { tcflow(slave_, suspend ? TCOOFF : TCOON); }
  // Closes the terminal's master side, as a closed window or a dropped link
  // does: the child's reads fail with EIO.
  void HangUp();
  // Whether the parts of the terminal mode a program must give back are as
  // the user had them before the child started.
  [[nodiscard]] bool ModeRestored() const;

  [[nodiscard]] pid_t Pid() const { return pid_; }
  [[nodiscard]] const std::string& Output() const { return output_; }

 private:
  bool ReadSome(int timeoutMs);
  pid_t pid_ = -1;
  int master_ = -1;
  int slave_ = -1;  // kept open so the mode can still be read after the child
  termios before_{};
  std::string output_;
};

}  // namespace ptytest
