#include "json_line.h"

#include <string>

#include "float_text.h"

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
      *out += float_text(v.get<double>());
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
