#include "tools/keydump_hint.h"

namespace keydump {

namespace {

constexpr const char* MetaHintText =
    "  hint if you pressed Alt+%: the terminal sends Alt by setting the eighth\r\n"
    "       bit, and Rousel needs ESC before the key.  In xterm: metaSendsEscape\r\n"
    "       (Ctrl+left-click menu: Meta Sends Escape), or printf '\\e[?1036h'\r\n";

// The code point of the first character, when the bytes are whole UTF-8
// characters; -1 otherwise.
long FirstUtf8(const uint8_t* b, size_t n) {
  long first = -1;
  size_t i = 0;
  while (i < n) {
    size_t length = 0;
    long cp = 0;
    if (b[i] < 0x80) {
      length = 1;
      cp = b[i];
    } else if (b[i] >= 0xC2 && b[i] <= 0xDF) {
      length = 2;
      cp = b[i] & 0x1F;
    } else if (b[i] >= 0xE0 && b[i] <= 0xEF) {
      length = 3;
      cp = b[i] & 0x0F;
    } else if (b[i] >= 0xF0 && b[i] <= 0xF4) {
      length = 4;
      cp = b[i] & 0x07;
    } else {
      return -1;
    }
    if (n - i < length) return -1;
    for (size_t k = 1; k < length; ++k) {
      if ((b[i + k] & 0xC0) != 0x80) return -1;
      cp = (cp << 6) | (b[i + k] & 0x3F);
    }
    if (first < 0) first = cp;
    i += length;
  }
  return first;
}

// The meta hint for the printable ASCII character under an eighth bit.
std::string MetaHint(long value) {
  std::string text = MetaHintText;
  text.replace(text.find('%'), 1, 1, static_cast<char>(value - 0x80));
  return text;
}

}  // namespace

std::string HintFor(const uint8_t* bytes, size_t n) {
  if (n == 0) return "";
  if (bytes[0] == 0x1B) {
    return "  hint Rousel does not know this sequence: please report these lines\r\n"
           "       with the terminal's name, its TERM and the key you pressed\r\n";
  }
  // A meta byte: the terminal's character set is not UTF-8.
  if (n == 1 && bytes[0] >= 0xA1 && bytes[0] <= 0xFE) {
    return MetaHint(bytes[0]) +
           "  hint otherwise the terminal does not send UTF-8, which Rousel reads:\r\n"
           "       run it in a UTF-8 locale\r\n";
  }
  const long cp = FirstUtf8(bytes, n);
  if (cp < 0) {
    return "  hint these bytes are not UTF-8, which Rousel reads: run the terminal\r\n"
           "       in a UTF-8 locale\r\n";
  }
  constexpr const char* NoSuchCharacter =
      "  hint Rousel takes the characters of code page 866 (Latin, Cyrillic, box\r\n"
      "       drawing); this is none of them\r\n";
  // A meta byte sent as UTF-8, as xterm does in a UTF-8 locale: Alt+x is U+00F8.
  if (cp >= 0xA1 && cp <= 0xFE) return MetaHint(cp) + NoSuchCharacter;
  return NoSuchCharacter;
}

}  // namespace keydump
