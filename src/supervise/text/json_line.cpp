#include "text/json_line.h"

#include <set>
#include <string>
#include <vector>

#include "text/float_text.h"

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
struct Refused {
  std::string why;
};
}  // namespace

bool json_parse(const std::string& text, int max_depth, Json* out, std::string* why, bool* refused) {
  *refused = false;
  // The names seen in each object still open, innermost last.
  std::vector<std::set<std::string>> names;
  // The parser itself keeps no recursion, but the checks and the writing after
  // it do: the depth is bounded while parsing, before anything is built.
  Json::parser_callback_t check = [max_depth, &names](int depth, Json::parse_event_t event, Json& parsed) {
    if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
        depth + 1 > max_depth) {
      throw Refused{"nested deeper than " + std::to_string(max_depth) + " levels"};
    }
    if (event == Json::parse_event_t::object_start) {
      names.emplace_back();
    } else if (event == Json::parse_event_t::object_end) {
      names.pop_back();
    } else if (event == Json::parse_event_t::key && !names.back().insert(parsed.get<std::string>()).second) {
      throw Refused{"the member " + parsed.dump(-1, ' ', true) + " is given twice in one object"};
    }
    return true;
  };
  try {
    *out = Json::parse(text, check);
    return true;
  } catch (const Refused& r) {
    *refused = true;
    *why = r.why;
  } catch (const Json::exception& e) {
    // Without the library's "[json.exception.parse_error.101] " tag.
    std::string what = e.what();
    size_t tag = what.find("] ");
    *why = (what[0] == '[' && tag != std::string::npos) ? what.substr(tag + 2) : what;
  }
  return false;
}
