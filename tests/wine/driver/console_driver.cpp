// Runs one end-to-end scenario (tests/e2e/scenarios/*.scn) against rousel.exe
// through the console functions themselves: the program gets a screen buffer
// of its own on this console, keys arrive as key records (WriteConsoleInputA)
// and the screen, its colours and the title are read back
// (ReadConsoleOutputA, GetConsoleTitleA).  So it types what no terminal can:
// Alt with keypad digits, AltGr, the keypad's enhanced keys.
//
//   rousel-console-driver PROGRAM SCENARIO
//
// Exit status: 0 passed, 1 failed, 77 skipped (a step only a terminal can
// take), 2 usage.  Besides the steps of the shared format it knows:
//   alt-number N            Alt held while N is typed on the keypad
//   altgr TEXT              each character typed with AltGr (right Alt + Ctrl)
//   console-buffer C R Y    the next start gets a C x R buffer, each row
//                           reading "row N", the cursor on row Y (1-based)
//   expect-cursor-row N     the console's cursor stands on row N
// and the key names KP0..KP9 (Num Lock on), KPEnter, KPDivide, KPMultiply,
// KPMinus, KPPlus beside the tmux names the shared scenarios use.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

HANDLE input = INVALID_HANDLE_VALUE;
HANDLE screen = INVALID_HANDLE_VALUE;
HANDLE ownScreen = INVALID_HANDLE_VALUE;
PROCESS_INFORMATION child{};
bool running = false;
std::string step;
SHORT nextColumns = 80;
SHORT nextRows = 25;
SHORT nextCursorRow = 0;
DWORD timeoutMs = 30000;
std::string programPath;

[[noreturn]] void Finish(int status, const std::string& why);

void Say(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

COORD Size() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  GetConsoleScreenBufferInfo(screen, &info);
  return info.dwSize;
}

// Row n (1-based) with its attributes, read in one call.
std::vector<CHAR_INFO> ReadRow(SHORT n) {
  const COORD size = Size();
  std::vector<CHAR_INFO> cells(static_cast<size_t>(size.X));
  if (n < 1 || n > size.Y) return {};
  SMALL_RECT region{0, static_cast<SHORT>(n - 1), static_cast<SHORT>(size.X - 1),
                    static_cast<SHORT>(n - 1)};
  if (!ReadConsoleOutputA(screen, cells.data(), COORD{size.X, 1}, COORD{0, 0}, &region)) return {};
  return cells;
}

// A row as the scenarios spell it, in UTF-8 (the program writes bytes of the
// OEM code page), with the cell each byte of the text came from.
struct Line {
  std::string Utf8;
  std::vector<size_t> CellOf;
};

Line Decode(const std::vector<CHAR_INFO>& cells) {
  Line line;
  for (size_t i = 0; i < cells.size(); ++i) {
    const char byte = cells[i].Char.AsciiChar;
    WCHAR wide[2] = {};
    char utf8[8] = {};
    int n = 0;
    if (MultiByteToWideChar(GetOEMCP(), 0, &byte, 1, wide, 2) == 1)
      n = WideCharToMultiByte(CP_UTF8, 0, wide, 1, utf8, sizeof utf8, nullptr, nullptr);
    if (n <= 0) {
      utf8[0] = '?';
      n = 1;
    }
    line.Utf8.append(utf8, static_cast<size_t>(n));
    line.CellOf.insert(line.CellOf.end(), static_cast<size_t>(n), i);
  }
  while (!line.Utf8.empty() && (line.Utf8.back() == ' ' || line.Utf8.back() == '\0')) {
    line.Utf8.pop_back();
    line.CellOf.pop_back();
  }
  return line;
}

std::string Text(const std::vector<CHAR_INFO>& cells) {
  return Decode(cells).Utf8;
}

void ShowScreen() {
  Say("--- screen ---");
  const SHORT rows = Size().Y < 40 ? Size().Y : 40;
  for (SHORT row = 1; row <= rows; ++row) Say(Text(ReadRow(row)));
  Say("--------------");
}

[[noreturn]] void Finish(int status, const std::string& why) {
  if (status == 1) {
    Say("FAIL at step: " + step + ": " + why);
    if (screen != INVALID_HANDLE_VALUE) ShowScreen();
  } else if (status == 77) {
    Say("SKIP: " + why);
  }
  if (running) TerminateProcess(child.hProcess, 1);
  if (ownScreen != INVALID_HANDLE_VALUE) SetConsoleActiveScreenBuffer(ownScreen);
  std::exit(status);
}

// Polls until the check holds, or fails the step.
template <typename Check>
void WaitUntil(const std::string& what, Check check) {
  const DWORD start = GetTickCount();
  while (!check()) {
    if (GetTickCount() - start > timeoutMs) Finish(1, "waited for " + what);
    Sleep(50);
  }
}

bool ScreenHas(const std::string& text) {
  const SHORT rows = Size().Y;
  for (SHORT row = 1; row <= rows; ++row)
    if (Text(ReadRow(row)).find(text) != std::string::npos) return true;
  return false;
}

// Row n against a pattern: the text in {} white (15), every other visible
// character grey (7); a last * ends a prefix.  Colours are checked on ASCII
// rows, where a character is a cell.
bool RowMatches(SHORT n, const std::string& pattern) {
  const std::vector<CHAR_INFO> cells = ReadRow(n);
  std::string want;
  std::vector<int> colours;
  int colour = 7;
  bool prefix = false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '{' || c == '}') {
      colour = c == '{' ? 15 : 7;
    } else if (c == '*' && i + 1 == pattern.size()) {
      prefix = true;
    } else {
      want += c;
      colours.push_back(colour);
    }
  }
  std::string text = Text(cells);
  if (prefix) text = text.substr(0, want.size());
  if (text != want) return false;
  for (size_t i = 0; i < want.size() && i < cells.size(); ++i) {
    if (static_cast<unsigned char>(want[i]) > 127) return true;
    if (want[i] != ' ' && (cells[i].Attributes & 15) != colours[i]) return false;
  }
  return true;
}

// The attribute of the first cell of TEXT's first appearance; -1 when absent.
int AttributeOf(const std::string& text) {
  const SHORT rows = Size().Y;
  for (SHORT row = 1; row <= rows; ++row) {
    const std::vector<CHAR_INFO> cells = ReadRow(row);
    const Line line = Decode(cells);
    const size_t at = line.Utf8.find(text);
    if (at != std::string::npos) return cells[line.CellOf[at]].Attributes & 0xFF;
  }
  return -1;
}

// A terminal's foreground SGR number as a console colour: the same colours,
// with red and blue (bits 0 and 2) in swapped places.
int ConsoleColour(int sgr) {
  const bool bright = sgr >= 90;
  const int ansi = sgr - (bright ? 90 : 30);
  const int swapped = (ansi & 2) | ((ansi & 1) << 2) | ((ansi & 4) >> 2);
  return swapped | (bright ? 8 : 0);
}

std::string Title() {
  char title[1024] = {};
  GetConsoleTitleA(title, sizeof title);
  return title;
}

bool Ended() {
  return running && WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0;
}

// --- keys --------------------------------------------------------------------

struct Key {
  WORD Vk;
  WORD Scan;
  char Ch;
  DWORD State;
};

void Send(const Key& key, bool down) {
  INPUT_RECORD record{};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.wVirtualKeyCode = key.Vk;
  record.Event.KeyEvent.wVirtualScanCode = key.Scan;
  record.Event.KeyEvent.uChar.AsciiChar = key.Ch;
  record.Event.KeyEvent.dwControlKeyState = key.State;
  DWORD written = 0;
  WriteConsoleInputA(input, &record, 1, &written);
}

void Press(const Key& key) {
  Send(key, true);
  Send(key, false);
}

const Key kAltKey{VK_MENU, 56, 0, LEFT_ALT_PRESSED};

// A printable character of the current keyboard layout.
bool CharacterKey(char ch, Key& key) {
  const SHORT found = VkKeyScanA(ch);
  if (found == -1) return false;
  key.Vk = static_cast<WORD>(found & 0xFF);
  key.Scan = static_cast<WORD>(MapVirtualKeyA(key.Vk, 0));
  key.Ch = ch;
  key.State = (found & 0x100) != 0 ? SHIFT_PRESSED : 0;
  return true;
}

struct Named {
  const char* Name;
  Key Value;
};
// The keys the scenarios name, as a PC keyboard's console reports them.
constexpr Named kNamed[] = {
    {"Enter", {VK_RETURN, 28, 13, 0}},
    {"Escape", {VK_ESCAPE, 1, 27, 0}},
    {"BSpace", {VK_BACK, 14, 8, 0}},
    {"Tab", {VK_TAB, 15, 9, 0}},
    {"Space", {VK_SPACE, 57, ' ', 0}},
    {"Up", {VK_UP, 72, 0, ENHANCED_KEY}},
    {"Down", {VK_DOWN, 80, 0, ENHANCED_KEY}},
    {"Left", {VK_LEFT, 75, 0, ENHANCED_KEY}},
    {"Right", {VK_RIGHT, 77, 0, ENHANCED_KEY}},
    {"Home", {VK_HOME, 71, 0, ENHANCED_KEY}},
    {"End", {VK_END, 79, 0, ENHANCED_KEY}},
    {"PPage", {VK_PRIOR, 73, 0, ENHANCED_KEY}},
    {"NPage", {VK_NEXT, 81, 0, ENHANCED_KEY}},
    {"IC", {VK_INSERT, 82, 0, ENHANCED_KEY}},
    {"DC", {VK_DELETE, 83, 0, ENHANCED_KEY}},
    {"F1", {VK_F1, 59, 0, 0}},
    {"F10", {VK_F10, 68, 0, 0}},
    {"F12", {VK_F12, 88, 0, 0}},
    {"KP0", {VK_NUMPAD0, 82, '0', NUMLOCK_ON}},
    {"KP1", {VK_NUMPAD1, 79, '1', NUMLOCK_ON}},
    {"KP2", {VK_NUMPAD2, 80, '2', NUMLOCK_ON}},
    {"KP3", {VK_NUMPAD3, 81, '3', NUMLOCK_ON}},
    {"KP4", {VK_NUMPAD4, 75, '4', NUMLOCK_ON}},
    {"KP5", {VK_NUMPAD5, 76, '5', NUMLOCK_ON}},
    {"KP6", {VK_NUMPAD6, 77, '6', NUMLOCK_ON}},
    {"KP7", {VK_NUMPAD7, 71, '7', NUMLOCK_ON}},
    {"KP8", {VK_NUMPAD8, 72, '8', NUMLOCK_ON}},
    {"KP9", {VK_NUMPAD9, 73, '9', NUMLOCK_ON}},
    {"KPEnter", {VK_RETURN, 28, 13, ENHANCED_KEY | NUMLOCK_ON}},
    {"KPDivide", {VK_DIVIDE, 53, '/', ENHANCED_KEY | NUMLOCK_ON}},
    {"KPMultiply", {VK_MULTIPLY, 55, '*', NUMLOCK_ON}},
    {"KPMinus", {VK_SUBTRACT, 74, '-', NUMLOCK_ON}},
    {"KPPlus", {VK_ADD, 78, '+', NUMLOCK_ON}},
};

// A tmux key name: a character or a named key, with C- and M- prefixes.
void PressNamed(std::string name) {
  bool ctrl = false;
  bool alt = false;
  while (name.size() > 2 && name[1] == '-' && (name[0] == 'C' || name[0] == 'M')) {
    (name[0] == 'C' ? ctrl : alt) = true;
    name.erase(0, 2);
  }
  Key key{};
  bool known = false;
  for (const Named& named : kNamed) {
    if (name == named.Name) {
      key = named.Value;
      known = true;
    }
  }
  if (!known && name.size() == 1) known = CharacterKey(name[0], key);
  if (!known) Finish(1, "no key named " + name);
  if (ctrl) {
    key.State |= LEFT_CTRL_PRESSED;
    // Ctrl with a letter or with one of @[\]^_ gives the control character.
    const char upper = (key.Ch >= 'a' && key.Ch <= 'z') ? static_cast<char>(key.Ch - 32) : key.Ch;
    if (upper >= '@' && upper <= '_') key.Ch = static_cast<char>(upper - '@');
  }
  if (alt) {
    key.State |= LEFT_ALT_PRESSED;
    Send(kAltKey, true);
  }
  Press(key);
  if (alt) Send(Key{VK_MENU, 56, 0, 0}, false);
}

void TypeAltNumber(const std::string& digits) {
  Send(kAltKey, true);
  for (const char digit : digits) {
    Key key{};
    for (const Named& named : kNamed)
      if (std::string(named.Name) == std::string("KP") + digit) key = named.Value;
    if (key.Vk == 0) Finish(1, "not a number: " + digits);
    // With Alt held the keypad keys carry no character.
    key.Ch = 0;
    key.State = LEFT_ALT_PRESSED | NUMLOCK_ON;
    Press(key);
  }
  const int number = std::atoi(digits.c_str()) % 256;
  Send(Key{VK_MENU, 56, static_cast<char>(number), NUMLOCK_ON}, false);
}

void TypeAltGr(const std::string& text) {
  for (const char ch : text) {
    Key key{};
    if (!CharacterKey(ch, key)) key = Key{0, 0, ch, 0};
    key.State = RIGHT_ALT_PRESSED | LEFT_CTRL_PRESSED;
    Press(key);
  }
}

// --- the program -------------------------------------------------------------

void NewScreen() {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  if (screen != INVALID_HANDLE_VALUE) CloseHandle(screen);
  screen =
      CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inherit, CONSOLE_TEXTMODE_BUFFER, nullptr);
  if (screen == INVALID_HANDLE_VALUE) Finish(1, "CreateConsoleScreenBuffer failed");
  // The window first, so that it fits into any buffer size.
  SMALL_RECT window{0, 0, 0, 0};
  SetConsoleWindowInfo(screen, TRUE, &window);
  SetConsoleScreenBufferSize(screen, COORD{nextColumns, nextRows});
  window = SMALL_RECT{0, 0, static_cast<SHORT>(nextColumns - 1),
                      static_cast<SHORT>((nextRows < 25 ? nextRows : 25) - 1)};
  SetConsoleWindowInfo(screen, TRUE, &window);
  const COORD size = Size();
  if (size.X != nextColumns || size.Y != nextRows)
    Finish(1, "the console gave a " + std::to_string(size.X) + "x" + std::to_string(size.Y) +
                  " buffer");
  DWORD done = 0;
  if (nextRows > 25) {
    for (SHORT row = 0; row < nextRows; ++row) {
      const std::string text = "row " + std::to_string(row + 1);
      WriteConsoleOutputCharacterA(screen, text.c_str(), static_cast<DWORD>(text.size()),
                                   COORD{0, row}, &done);
    }
  }
  SetConsoleCursorPosition(screen, COORD{0, nextCursorRow});
  SetConsoleActiveScreenBuffer(screen);
}

void Start(bool piped) {
  NewScreen();
  FlushConsoleInputBuffer(input);
  SetConsoleTitleA("rousel-console-driver");
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE in = input;
  if (piped)
    in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = screen;
  startup.hStdError = screen;
  std::string command = "\"" + programPath + "\"";
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &child))
    Finish(1, "could not start the program (error " + std::to_string(GetLastError()) + ")");
  running = true;
  nextColumns = 80;
  nextRows = 25;
  nextCursorRow = 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: rousel-console-driver PROGRAM SCENARIO\n", stderr);
    return 2;
  }
  programPath = argv[1];
  std::ifstream scenario(argv[2]);
  if (!scenario) {
    std::fprintf(stderr, "no scenario %s\n", argv[2]);
    return 2;
  }
  if (const char* seconds = std::getenv("E2E_TIMEOUT")) timeoutMs = std::atoi(seconds) * 1000;
  // Ctrl+C records go to the program; this process shares its console.
  SetConsoleCtrlHandler(nullptr, TRUE);

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      &inherit, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) {
    AllocConsole();
    input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        &inherit, OPEN_EXISTING, 0, nullptr);
  }
  if (input == INVALID_HANDLE_VALUE) Finish(1, "no console");
  ownScreen = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);

  std::string line;
  while (std::getline(scenario, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    step = line;
    const size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    if (verb == "start" || verb == "start-piped") {
      Start(verb == "start-piped");
    } else if (verb == "keys") {
      size_t at = 0;
      while (at < rest.size()) {
        size_t end = rest.find(' ', at);
        if (end == std::string::npos) end = rest.size();
        if (end > at) PressNamed(rest.substr(at, end - at));
        at = end + 1;
      }
    } else if (verb == "type") {
      for (const char ch : rest) PressNamed(ch == ' ' ? "Space" : std::string(1, ch));
    } else if (verb == "alt-number") {
      TypeAltNumber(rest);
    } else if (verb == "altgr") {
      TypeAltGr(rest);
    } else if (verb == "expect") {
      WaitUntil("\"" + rest + "\" on the screen", [&] { return ScreenHas(rest); });
    } else if (verb == "expect-row") {
      const SHORT row = static_cast<SHORT>(std::atoi(rest.c_str()));
      const size_t gap = rest.find(' ');
      const std::string text = gap == std::string::npos ? "" : rest.substr(gap + 1);
      WaitUntil("row " + std::to_string(row) + " to read \"" + text + "\"",
                [&] { return RowMatches(row, text); });
    } else if (verb == "expect-title") {
      WaitUntil("the title \"" + rest + "\"", [&] { return Title() == rest; });
    } else if (verb == "expect-colour") {
      const int colour = ConsoleColour(std::atoi(rest.c_str()));
      const std::string text = rest.substr(rest.find(' ') + 1);
      WaitUntil("\"" + text + "\" in colour " + std::to_string(colour),
                [&] { return (AttributeOf(text) & 15) == colour; });
    } else if (verb == "expect-cursor-row") {
      const SHORT row = static_cast<SHORT>(std::atoi(rest.c_str()));
      WaitUntil("the cursor on row " + rest, [&] {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        GetConsoleScreenBufferInfo(screen, &info);
        return info.dwCursorPosition.Y + 1 == row;
      });
    } else if (verb == "exit") {
      WaitUntil("the program to end", Ended);
      DWORD code = 0;
      GetExitCodeProcess(child.hProcess, &code);
      running = false;
      if (code != static_cast<DWORD>(std::atoi(rest.c_str())))
        Finish(1, "exit status " + std::to_string(code) + ", expected " + rest);
    } else if (verb == "terminal-restored") {
      if (running) WaitUntil("the program to end", Ended);
      running = false;
      CONSOLE_CURSOR_INFO cursor{};
      GetConsoleCursorInfo(screen, &cursor);
      if (!cursor.bVisible) Finish(1, "the cursor was left hidden");
    } else if (verb == "pause") {
      Sleep(static_cast<DWORD>(std::atoi(rest.c_str())));
    } else if (verb == "console-buffer") {
      int columns = 80;
      int rows = 25;
      int cursorRow = 1;
      std::sscanf(rest.c_str(), "%d %d %d", &columns, &rows, &cursorRow);
      nextColumns = static_cast<SHORT>(columns);
      nextRows = static_cast<SHORT>(rows);
      nextCursorRow = static_cast<SHORT>(cursorRow - 1);
    } else if (verb == "start-at") {
      Finish(77, "the clock must be set by whoever starts the driver (the Wine runner does)");
    } else if (verb == "capture-tone" || verb == "expect-tone") {
      Say("note: " + verb + " left out: the console cannot hand over the tone");
    } else {
      Finish(77, "step \"" + verb + "\" needs a terminal, not a console");
    }
  }
  step.clear();
  if (running) {
    TerminateProcess(child.hProcess, 1);
    running = false;
  }
  Say("passed");
  Finish(0, "");
}
