#include "json_line.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

// A float as Python's repr writes it: the shortest text that reads back as the
// same number, fixed point from 1e-4 up to below 1e16 with ".0" when whole,
// else d.ddde+XX.
static std::string python_float(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  // The shortest digits that read back as value, in scientific form.
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string sci(buf, r.ptr);
  size_t e = sci.find('e');
  int exp10 = std::atoi(sci.c_str() + e + 1);
  bool negative = sci[0] == '-';
  std::string digits;
  for (size_t i = negative ? 1 : 0; i < e; ++i)
    if (sci[i] != '.') digits += sci[i];
  std::string out = negative ? "-" : "";
  if (exp10 < -4 || exp10 >= 16) {
    // d.ddde+XX, the exponent with at least two digits.
    out += digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    char ex[16];
    snprintf(ex, sizeof ex, "e%c%02d", exp10 < 0 ? '-' : '+', std::abs(exp10));
    return out + ex;
  }
  if (exp10 < 0) return out + "0." + std::string((size_t)(-exp10 - 1), '0') + digits;
  size_t whole = (size_t)exp10 + 1;
  if (digits.size() <= whole) return out + digits + std::string(whole - digits.size(), '0') + ".0";
  return out + digits.substr(0, whole) + "." + digits.substr(whole);
}

static void append(const Json& v, std::string* out) {
  switch (v.type()) {
    case Json::value_t::object: {
      *out += '{';
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) *out += ',';
        first = false;
        *out += Json(it.key()).dump(-1, ' ', false);
        *out += ':';
        append(it.value(), out);
      }
      *out += '}';
      break;
    }
    case Json::value_t::array: {
      *out += '[';
      bool first = true;
      for (const Json& e : v) {
        if (!first) *out += ',';
        first = false;
        append(e, out);
      }
      *out += ']';
      break;
    }
    case Json::value_t::number_float:
      *out += python_float(v.get<double>());
      break;
    default:
      *out += v.dump(-1, ' ', false);
  }
}

std::string json_text(const Json& value) {
  std::string out;
  append(value, &out);
  return out;
}

namespace {
struct TooDeep {};
}  // namespace

bool json_parse(const std::string& text, int max_depth, Json* out, std::string* why, bool* too_deep) {
  *too_deep = false;
  // The parser itself keeps no recursion, but the checks and the writing after
  // it do: the depth is bounded while parsing, before anything is built.
  Json::parser_callback_t limit = [max_depth](int depth, Json::parse_event_t event, Json&) {
    if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
        depth + 1 > max_depth) {
      throw TooDeep();
    }
    return true;
  };
  try {
    *out = Json::parse(text, limit);
    return true;
  } catch (const TooDeep&) {
    *too_deep = true;
    *why = "nested deeper than " + std::to_string(max_depth) + " levels";
  } catch (const Json::exception& e) {
    // Without the library's "[json.exception.parse_error.101] " tag.
    std::string what = e.what();
    size_t tag = what.find("] ");
    *why = (what[0] == '[' && tag != std::string::npos) ? what.substr(tag + 2) : what;
  }
  return false;
}
