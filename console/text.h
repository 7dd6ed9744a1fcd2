// The application's way to write text: Write() hands strings, single
// characters and numbers to ConsoleWrite as one piece when the call
// completes; WriteLn() does the same and ends the line with 13, 10.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

#include "console/clock.h"
#include "console/console_output.h"

namespace text_detail {

inline void Append(std::string& out, std::string_view text) {
  out.append(text);
}
inline void Append(std::string& out, const char* text) {
  out.append(text);
}
inline void Append(std::string& out, const std::string& text) {
  out.append(text);
}
inline void Append(std::string& out, char c) {
  out.push_back(c);
}
// A byte is a character in the console's code page (a key echoed, 250 ...).
inline void Append(std::string& out, uint8_t c) {
  out.push_back(static_cast<char>(c));
}
template <std::integral T>
requires(!std::same_as<T, char> && !std::same_as<T, uint8_t> &&
         !std::same_as<T, bool>) void Append(std::string& out, T value) {
  out += FormatInteger(static_cast<int32_t>(value), 0);
}

inline void Flush(const std::string& out) {
  ConsoleWrite(reinterpret_cast<const uint8_t*>(out.data()), out.size());
}

}  // namespace text_detail

template <typename... Args>
void Write(const Args&... args) {
  std::string out;
  (text_detail::Append(out, args), ...);
  text_detail::Flush(out);
}

template <typename... Args>
void WriteLn(const Args&... args) {
  std::string out;
  (text_detail::Append(out, args), ...);
  out += "\r\n";
  text_detail::Flush(out);
}
