#include "app/command_line.h"

#include <cstring>

namespace {

constexpr const char* VersionText = "Rousel " ROUSEL_VERSION "\n";

constexpr const char* HelpText =
    "Rousel " ROUSEL_VERSION
    ", an alarm clock for the text console.\n"
    "\n"
    "Usage: rousel [--help | --version]\n"
    "\n"
    "Type the alarm time as HH:MM and Enter, then a password and Enter (or just\n"
    "Enter for none).  Rousel waits and, at that minute, rings until you press\n"
    "Esc or, with a password, type it.\n"
    "\n"
    "While it waits: T or 1-5 sleep time, S screen output, P password checking,\n"
    "Esc drops the alarm.  Alt+X leaves, except while it rings.\n"
    "\n"
    "The whole story: man rousel.  A key that does nothing: rousel-keydump shows\n"
    "what the terminal sends for it.\n";

}  // namespace

int AnswerCommandLine(int argc, const char* const* argv, std::FILE* out) {
  if (argc < 2 || argv[1] == nullptr) return -1;
  const char* text = nullptr;
  if (std::strcmp(argv[1], "--help") == 0) {
    text = HelpText;
  } else if (std::strcmp(argv[1], "--version") == 0) {
    text = VersionText;
  } else {
    return -1;
  }
  // A full disk or a closed pipe must not pass for an answer given.
  const bool written = std::fputs(text, out) >= 0;
  return written && std::fflush(out) == 0 ? 0 : 1;
}
