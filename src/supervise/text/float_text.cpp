#include "text/float_text.h"

#include <charconv>
#include <cstdlib>
#include <string>
#include <system_error>

std::string float_text(double v) {
  // Shortest round-trip digits, as d.ddde±x; only the layout is ours.
  char buf[64];
  auto done = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string sci(buf, done.ptr);
  std::string sign;
  if (!sci.empty() && sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  size_t e_at = sci.find('e');
  std::string mantissa = sci.substr(0, e_at);
  int exponent = std::atoi(sci.c_str() + e_at + 1);
  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits += c;
  }

  if (exponent < -4 || exponent >= 16) {
    std::string out = sign + digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    std::string magnitude = std::to_string(exponent < 0 ? -exponent : exponent);
    if (magnitude.size() < 2) magnitude = "0" + magnitude;
    return out + "e" + (exponent < 0 ? "-" : "+") + magnitude;
  }
  if (exponent < 0) return sign + "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
  size_t whole = static_cast<size_t>(exponent) + 1;
  if (digits.size() <= whole) return sign + digits + std::string(whole - digits.size(), '0') + ".0";
  return sign + digits.substr(0, whole) + "." + digits.substr(whole);
}

double round_tenths(double v) {
  // Written with one decimal (exactly rounded, as printf does in the C
  // locale) and read back.
  char buf[400];
  auto done = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 1);
  double out = v;
  std::from_chars(buf, done.ptr, out);
  return out;
}
