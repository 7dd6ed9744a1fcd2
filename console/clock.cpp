#include "console/clock.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "win32/win32.h"

void GetTime(int32_t& hour, int32_t& minute, int32_t& second) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  hour = now.wHour;
  minute = now.wMinute;
  second = now.wSecond;
}

void Delay(uint32_t milliseconds) {
  Sleep(milliseconds);
}

namespace {

std::string PadLeft(std::string text, int width) {
  if (width > 0 && text.size() < static_cast<size_t>(width))
    text.insert(0, static_cast<size_t>(width) - text.size(), ' ');
  return text;
}

// Adds one in the last place of a digit string; true when the carry runs
// out of the first digit.
bool IncrementDigits(std::string& digits) {
  for (size_t i = digits.size(); i-- > 0;) {
    if (digits[i] != '9') {
      ++digits[i];
      return false;
    }
    digits[i] = '0';
  }
  return true;
}

constexpr int SignificantDigits = 18;

}  // namespace

std::string FormatInteger(int32_t value, int width) {
  // Through 64 bits so that the most negative value has a magnitude too.
  const int64_t wide = value;
  std::string text = wide < 0 ? "-" : "";
  text += std::to_string(wide < 0 ? -wide : wide);
  return PadLeft(std::move(text), width);
}

std::string FormatFixed(long double value, int width, int decimals) {
  if (decimals < 0) decimals = 0;
  if (std::isnan(value)) return PadLeft("Nan", width);
  if (std::isinf(value)) return PadLeft(value < 0 ? "-Inf" : "+Inf", width);
  const bool negative = value < 0;
  const long double magnitude = std::fabs(value);

  // The digits of the value and the decimal exponent E of the first one
  // (value = d.ddd * 10^E), at most 18 significant digits.
  std::string digits;
  int exponent = 0;
  if (magnitude != 0) {
    char buffer[64];
    std::to_chars_result result{};
    if constexpr (std::numeric_limits<long double>::digits > 53) {
      // The exact value rounded once to 18 digits, ties to even: a value
      // computed as n/1000 then lies so close to the decimal quotient that
      // the tenths come out half up.
      result = std::to_chars(buffer, buffer + sizeof buffer, magnitude,
                             std::chars_format::scientific, SignificantDigits - 1);
    } else {
      // With 53 bits the binary value of 0.15 lies just below 0.15 and would
      // round down; the shortest text that reads back as the same value is
      // the decimal quotient itself, and never longer than 17 digits.
      result =
          std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
    }
    const std::string_view text(buffer, static_cast<size_t>(result.ptr - buffer));
    const size_t e = text.find('e');
    for (const char c : text.substr(0, e))
      if (c != '.') digits.push_back(c);
    std::string_view power = text.substr(e + 1);
    if (!power.empty() && power.front() == '+') power.remove_prefix(1);
    std::from_chars(power.data(), power.data() + power.size(), exponent);
  }

  // Cut behind the last kept decimal, rounding half up.
  const long keep = static_cast<long>(exponent) + 1 + decimals;
  if (keep < 0) {
    digits.clear();
    exponent = 0;
  } else if (static_cast<size_t>(keep) < digits.size()) {
    const bool up = digits[static_cast<size_t>(keep)] >= '5';
    digits.resize(static_cast<size_t>(keep));
    if (up && IncrementDigits(digits)) {
      digits.assign(1, '1');
      ++exponent;
    }
  }
  const auto digitAt = [&](long index) {
    return index >= 0 && static_cast<size_t>(index) < digits.size()
               ? digits[static_cast<size_t>(index)]
               : '0';
  };

  std::string text = negative ? "-" : "";
  if (exponent >= 0) {
    for (long i = 0; i <= exponent; ++i) text.push_back(digitAt(i));
  } else {
    text.push_back('0');
  }
  if (decimals > 0) {
    text.push_back('.');
    for (long i = 0; i < decimals; ++i) text.push_back(digitAt(exponent + 1 + i));
  }
  return PadLeft(std::move(text), width);
}
