#include "console/reset.h"

#include "console/console_output.h"
#include "console/cursor.h"
#include "console/keyboard.h"
#include "console/power.h"
#include "console/process.h"

void ResetConsoleServices() {
  ResetCursor();
  ResetConsoleOutput();
  ResetProcess();
  ResetKeyboard();
  ResetPower();
}
