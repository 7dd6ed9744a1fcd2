/* The least a prompt of this design costs: the yardstick for the time from
 * exec to the prompt and from a key to its echo.
 *
 *   reference_echo
 *
 * Puts the terminal in raw mode, writes the prompt in one write() and then
 * writes back each byte it reads, one read() and one write() per key, until
 * end of input or 'q'; the terminal's mode is put back on the way out. */
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

int main(void) {
  struct termios saved;
  const int isTerminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (isTerminal) {
    struct termios raw = saved;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~(tcflag_t)(IXON | ICRNL);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
  static const char kPrompt[] = "Enter alarm time: ";
  if (write(STDOUT_FILENO, kPrompt, sizeof kPrompt - 1) < 0) return 1;
  char key = 0;
  while (read(STDIN_FILENO, &key, 1) == 1 && key != 'q') {
    if (write(STDOUT_FILENO, &key, 1) < 0) break;
  }
  if (isTerminal) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  return 0;
}
