// Why a run of bytes from the terminal gave no key, for the key-dump tool to
// tell the user.  The common causes are a terminal that sends Alt by
// setting a character's eighth bit instead of sending ESC before it, and a
// terminal whose character set is not UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace keydump {

// The hint for bytes that made no key: one or more lines, each ending in
// "\r\n" (the terminal is in raw mode).
std::string HintFor(const uint8_t* bytes, size_t n);

}  // namespace keydump
