// Rousel: an alarm clock for the text console.  The command line and the
// environment are not read; the process leaves only through Alt+X.
#include "app/alarm_state.h"
#include "console/console_output.h"

int main() {
  // Its exit step must run last, after the console's, so it is registered
  // before anything else.
  InitStandardOutput();
  InitConsole();
  StartUp();
  for (;;) AlarmSequence();
}
