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
// and the key names KP0..KP9 (Num Lock on), KPEnter and KPDivide beside the
// tmux names the shared scenarios use.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

HANDLE input = INVALID_HANDLE_VALUE;
HANDLE screen = INVALID_HANDLE_VALUE;
HANDLE ownScreen = INVALID_HANDLE_VALUE;
std::string program;
PROCESS_INFORMATION child{};
bool running = false;
std::string step;
DWORD timeoutMs = 30000;

void Say(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

COORD Size() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  GetConsoleScreenBufferInfo(screen, &info);
  return info.dwSize;
}

// Row n (1-based) as the scenarios spell it, in UTF-8 (the program writes
// the OEM code page), with the attribute of each cell.
struct Row {
  std::string Text;
  std::vector<WORD> Attributes;
};

Row ReadRow(SHORT n) {
  const COORD size = Size();
  std::vector<CHAR_INFO> cells(static_cast<size_t>(size.X));
  SMALL_RECT region{0, static_cast<SHORT>(n - 1), static_cast<SHORT>(size.X - 1),
                    static_cast<SHORT>(n - 1)};
  Row row;
  if (n < 1 || n > size.Y ||
      !ReadConsoleOutputA(screen, cells.data(), COORD{size.X, 1}, COORD{0, 0}, &region))
    return row;
  std::string bytes;
  for (const CHAR_INFO& cell : cells) {
    bytes += cell.Char.AsciiChar == '\0' ? ' ' : cell.Char.AsciiChar;
    row.Attributes.push_back(cell.Attributes);
  }
  // The OEM code pages are single-byte: one UTF-16 unit per cell.
  std::wstring wide(bytes.size(), L' ');
  MultiByteToWideChar(GetOEMCP(), 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(),
                      static_cast<int>(wide.size()));
  row.Text.resize(wide.size() * 3);
  row.Text.resize(static_cast<size_t>(
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), row.Text.data(),
                          static_cast<int>(row.Text.size()), nullptr, nullptr)));
  row.Text.erase(row.Text.find_last_not_of(' ') + 1);
  return row;
}

[[noreturn]] void Finish(int status, const std::string& why) {
  if (status == 1) {
    Say("FAIL at step: " + step + ": " + why);
    Say("--- screen ---");
    for (SHORT n = 1; screen != INVALID_HANDLE_VALUE && n <= Size().Y && n <= 40; ++n)
      Say(ReadRow(n).Text);
    Say("--------------");
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
  for (SHORT n = 1; n <= Size().Y; ++n)
    if (ReadRow(n).Text.find(text) != std::string::npos) return true;
  return false;
}

// Row n against a pattern: the text in {} white (15), every other visible
// character grey (7); a last * ends a prefix.  Colours are checked up to the
// first character that is not ASCII, where characters and cells part.
bool RowMatches(SHORT n, const std::string& pattern) {
  const Row row = ReadRow(n);
  const bool prefix = !pattern.empty() && pattern.back() == '*';
  std::string want;
  std::vector<WORD> colours;
  WORD colour = 7;
  for (const char c : pattern.substr(0, pattern.size() - (prefix ? 1 : 0))) {
    if (c == '{' || c == '}') {
      colour = c == '{' ? 15 : 7;
    } else {
      want += c;
      colours.push_back(colour);
    }
  }
  if ((prefix ? row.Text.substr(0, want.size()) : row.Text) != want) return false;
  for (size_t i = 0; i < want.size() && static_cast<unsigned char>(want[i]) < 128; ++i)
    if (want[i] != ' ' && (row.Attributes[i] & 15) != colours[i]) return false;
  return true;
}

// --- keys --------------------------------------------------------------------

struct Key {
  WORD Vk;
  WORD Scan;
  char Ch;
  DWORD State;
};

constexpr Key kAlt{VK_MENU, 56, 0, LEFT_ALT_PRESSED};

void Send(const Key& key, bool down) {
  INPUT_RECORD record{};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent = {down, 1, key.Vk, key.Scan, {}, key.State};
  record.Event.KeyEvent.uChar.AsciiChar = key.Ch;
  DWORD written = 0;
  WriteConsoleInputA(input, &record, 1, &written);
}

void Press(const Key& key) {
  Send(key, true);
  Send(key, false);
}

// A key the scenarios name, as a PC keyboard's console reports it, or a
// printable character of the current keyboard layout; Vk 0 when neither.
Key Named(const std::string& name) {
  static const WORD kKeypadScans[] = {82, 79, 80, 81, 75, 76, 77, 71, 72, 73};
  if (name.size() == 3 && name.compare(0, 2, "KP") == 0 && name[2] >= '0' && name[2] <= '9') {
    const int digit = name[2] - '0';
    return {static_cast<WORD>(VK_NUMPAD0 + digit), kKeypadScans[digit], name[2], NUMLOCK_ON};
  }
  static const std::pair<const char*, Key> kNamed[] = {
      {"Enter", {VK_RETURN, 28, 13, 0}},
      {"Escape", {VK_ESCAPE, 1, 27, 0}},
      {"BSpace", {VK_BACK, 14, 8, 0}},
      {"Space", {VK_SPACE, 57, ' ', 0}},
      {"KPEnter", {VK_RETURN, 28, 13, ENHANCED_KEY | NUMLOCK_ON}},
      {"KPDivide", {VK_DIVIDE, 53, '/', ENHANCED_KEY | NUMLOCK_ON}},
  };
  for (const auto& [named, key] : kNamed)
    if (name == named) return key;
  const SHORT found = name.size() == 1 ? VkKeyScanA(name[0]) : -1;
  if (found == -1) return {};
  const WORD vk = found & 0xFF;
  return {vk, static_cast<WORD>(MapVirtualKeyA(vk, 0)), name[0],
          static_cast<DWORD>((found & 0x100) != 0 ? SHIFT_PRESSED : 0)};
}

// A tmux key name: a character or a named key, with C- and M- prefixes.
void PressNamed(std::string name) {
  bool ctrl = false;
  bool alt = false;
  while (name.size() > 2 && name[1] == '-' && (name[0] == 'C' || name[0] == 'M')) {
    (name[0] == 'C' ? ctrl : alt) = true;
    name.erase(0, 2);
  }
  Key key = Named(name);
  if (key.Vk == 0) Finish(1, "no key named " + name);
  if (ctrl) {
    key.State |= LEFT_CTRL_PRESSED;
    // Ctrl with a letter or with one of @[\]^_ gives the control character.
    const char upper = (key.Ch >= 'a' && key.Ch <= 'z') ? static_cast<char>(key.Ch - 32) : key.Ch;
    if (upper >= '@' && upper <= '_') key.Ch = static_cast<char>(upper - '@');
  }
  if (alt) {
    key.State |= LEFT_ALT_PRESSED;
    Send(kAlt, true);
  }
  Press(key);
  if (alt) Send(Key{VK_MENU, 56, 0, 0}, false);
}

// The character of the number modulo 256 arrives with Alt's release.
void TypeAltNumber(const std::string& digits) {
  Send(kAlt, true);
  for (const char digit : digits) {
    Key key = Named(std::string("KP") + digit);
    if (key.Vk == 0) Finish(1, "not a number: " + digits);
    // With Alt held the keypad keys carry no character.
    Press(Key{key.Vk, key.Scan, 0, LEFT_ALT_PRESSED | NUMLOCK_ON});
  }
  Send(Key{VK_MENU, 56, static_cast<char>(std::atoi(digits.c_str()) % 256), NUMLOCK_ON}, false);
}

// --- the program -------------------------------------------------------------

void Start(SHORT columns, SHORT rows, SHORT cursorRow) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  if (screen != INVALID_HANDLE_VALUE) CloseHandle(screen);
  screen =
      CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inherit, CONSOLE_TEXTMODE_BUFFER, nullptr);
  if (screen == INVALID_HANDLE_VALUE) Finish(1, "CreateConsoleScreenBuffer failed");
  // The window shrinks first, so that the buffer may take any size.
  SMALL_RECT window{0, 0, 0, 0};
  SetConsoleWindowInfo(screen, TRUE, &window);
  SetConsoleScreenBufferSize(screen, COORD{columns, rows});
  window = {0, 0, static_cast<SHORT>(columns - 1), static_cast<SHORT>((rows < 25 ? rows : 25) - 1)};
  SetConsoleWindowInfo(screen, TRUE, &window);
  if (Size().X != columns || Size().Y != rows)
    Finish(1, "the console gave a " + std::to_string(Size().X) + "x" + std::to_string(Size().Y) +
                  " buffer");
  for (SHORT row = 0; rows > 25 && row < rows; ++row) {
    const std::string text = "row " + std::to_string(row + 1);
    DWORD done = 0;
    WriteConsoleOutputCharacterA(screen, text.c_str(), static_cast<DWORD>(text.size()),
                                 COORD{0, row}, &done);
  }
  SetConsoleCursorPosition(screen, COORD{0, cursorRow});
  SetConsoleActiveScreenBuffer(screen);
  FlushConsoleInputBuffer(input);
  // A title of its own, so that the program's is seen to arrive.
  SetConsoleTitleA("rousel-console-driver");
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = startup.hStdError = screen;
  std::string command = "\"" + program + "\"";
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &child))
    Finish(1, "could not start the program (error " + std::to_string(GetLastError()) + ")");
  running = true;
}

void AwaitEnd() {
  if (running)
    WaitUntil("the program to end",
              [] { return WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0; });
  running = false;
}

}  // namespace

int main(int argc, char** argv) {
  std::ifstream scenario(argc == 3 ? argv[2] : "");
  if (!scenario) {
    std::fputs("usage: rousel-console-driver PROGRAM SCENARIO\n", stderr);
    return 2;
  }
  if (const char* seconds = std::getenv("E2E_TIMEOUT")) timeoutMs = std::atoi(seconds) * 1000;
  // Ctrl+C records go to the program; this process shares its console.
  SetConsoleCtrlHandler(nullptr, TRUE);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      &inherit, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) Finish(1, "no console");
  ownScreen = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  program = argv[1];

  struct {
    int Columns = 80;
    int Rows = 25;
    int CursorRow = 1;
  } next;
  bool checked = false;  // a scenario whose steps check nothing must not pass
  while (std::getline(scenario, step)) {
    if (!step.empty() && step.back() == '\r') step.pop_back();
    if (step.empty() || step[0] == '#') continue;
    const size_t space = step.find(' ');
    const std::string verb = step.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : step.substr(space + 1);
    checked =
        checked || verb.rfind("expect", 0) == 0 || verb == "exit" || verb == "terminal-restored";
    if (verb == "start") {
      Start(static_cast<SHORT>(next.Columns), static_cast<SHORT>(next.Rows),
            static_cast<SHORT>(next.CursorRow - 1));
      next = {};
    } else if (verb == "console-buffer") {
      std::sscanf(rest.c_str(), "%d %d %d", &next.Columns, &next.Rows, &next.CursorRow);
    } else if (verb == "keys") {
      std::istringstream names(rest);
      for (std::string name; names >> name;) PressNamed(name);
    } else if (verb == "type") {
      for (const char ch : rest) PressNamed(ch == ' ' ? "Space" : std::string(1, ch));
    } else if (verb == "alt-number") {
      TypeAltNumber(rest);
    } else if (verb == "altgr") {
      for (const char ch : rest) {
        const Key key = Named(std::string(1, ch));
        Press(Key{key.Vk, key.Scan, ch, RIGHT_ALT_PRESSED | LEFT_CTRL_PRESSED});
      }
    } else if (verb == "expect") {
      WaitUntil("\"" + rest + "\" on the screen", [&] { return ScreenHas(rest); });
    } else if (verb == "expect-row") {
      const SHORT n = static_cast<SHORT>(std::atoi(rest.c_str()));
      const size_t gap = rest.find(' ');
      const std::string text = gap == std::string::npos ? "" : rest.substr(gap + 1);
      WaitUntil("row " + std::to_string(n) + " to read \"" + text + "\"",
                [&] { return RowMatches(n, text); });
    } else if (verb == "expect-title") {
      WaitUntil("the title \"" + rest + "\"", [&] {
        char title[1024] = {};
        GetConsoleTitleA(title, sizeof title);
        return rest == title;
      });
    } else if (verb == "exit") {
      AwaitEnd();
      DWORD code = 0;
      GetExitCodeProcess(child.hProcess, &code);
      if (code != static_cast<DWORD>(std::atoi(rest.c_str())))
        Finish(1, "exit status " + std::to_string(code) + ", expected " + rest);
    } else if (verb == "terminal-restored") {
      AwaitEnd();
      CONSOLE_CURSOR_INFO cursor{};
      GetConsoleCursorInfo(screen, &cursor);
      if (!cursor.bVisible) Finish(1, "the cursor was left hidden");
    } else if (verb == "pause") {
      Sleep(static_cast<DWORD>(std::atoi(rest.c_str())));
    } else if (verb == "start-at") {
      Finish(77, "the clock must be set by whoever starts the driver (the Wine runner does)");
    } else {
      Finish(77, "step \"" + verb + "\" needs a terminal, not a console");
    }
  }
  step.clear();
  if (!checked) Finish(1, "the scenario has no step that checks anything");
  Say("passed");
  Finish(0, "");
}
