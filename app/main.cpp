// Rousel: an alarm clock for the text console.  Of the command line only a
// first argument of --help or --version is read; the environment is not
// read; the alarm clock leaves only through Alt+X.
#include <cstdio>

#include "app/alarm_state.h"
#include "app/command_line.h"
#include "console/console_output.h"
#include "console/process.h"

int main(int argc, char** argv) {
  // Answered before the console is touched: the terminal stays as it is.
  const int answered = AnswerCommandLine(argc, argv, stdout);
  if (answered >= 0) return answered;
  // Its exit step must run last, after the console's, so it is registered
  // before anything else.
  InitStandardOutput();
  InitConsole();
  StartUp();
  for (;;) AlarmSequence();
}
