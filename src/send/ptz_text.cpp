// A small strict reader for the one shape PTZ commands arrive in: a single
// empty XML element, <ntk_ptz_NAME attr="value" .../>. It is not an XML
// parser: anything beyond that shape (entities, nested elements, a prolog,
// comments) is simply not a command, which is the safe reading of text that
// any receiver on the network may send.
#include "ptz_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

struct Span {
  const char* p;
  size_t n;
};

bool is(Span s, const char* word) { return s.n == strlen(word) && memcmp(s.p, word, s.n) == 0; }

bool space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool name_char(char c) { return name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// More attributes than any command has, with room for a few unknown ones.
enum { kMaxAttributes = 16 };

struct Element {
  Span name;
  Span keys[kMaxAttributes];
  Span values[kMaxAttributes];
  int count;
};

struct Cursor {
  const char* p;
  const char* end;
  bool at_end() const { return p == end; }
  void skip_space() {
    while (p < end && space(*p)) ++p;
  }
  bool take(char c) {
    if (p < end && *p == c) {
      ++p;
      return true;
    }
    return false;
  }
  bool name(Span* out) {
    if (p == end || !name_start(*p)) return false;
    const char* start = p;
    while (p < end && name_char(*p)) ++p;
    *out = {start, (size_t)(p - start)};
    return true;
  }
};

// <name attr="v" attr='v' .../> or <name ...></name>, with white space around
// it allowed; false for anything else. Attributes are not looked at here
// beyond their form, except that one given twice makes the text malformed.
bool read_element(const char* text, size_t len, Element* e) {
  Cursor c{text, text + len};
  e->count = 0;
  c.skip_space();
  if (!c.take('<') || !c.name(&e->name)) return false;
  for (;;) {
    bool spaced = c.p < c.end && space(*c.p);
    c.skip_space();
    if (c.take('/')) {
      if (!c.take('>')) return false;
      break;
    }
    if (c.take('>')) {
      Span closing;
      c.skip_space();
      if (!c.take('<') || !c.take('/') || !c.name(&closing)) return false;
      if (closing.n != e->name.n || memcmp(closing.p, e->name.p, closing.n) != 0) return false;
      c.skip_space();
      if (!c.take('>')) return false;
      break;
    }
    Span key;
    if (!spaced || !c.name(&key)) return false;
    c.skip_space();
    if (!c.take('=')) return false;
    c.skip_space();
    if (c.at_end() || (*c.p != '"' && *c.p != '\'')) return false;
    char quote = *c.p++;
    const char* start = c.p;
    while (c.p < c.end && *c.p != quote) {
      // Markup and entities have no place in a command's values.
      if (*c.p == '<' || *c.p == '&' || *c.p == '\0') return false;
      ++c.p;
    }
    const char* stop = c.p;
    if (!c.take(quote)) return false;
    if (e->count == kMaxAttributes) return false;
    for (int i = 0; i < e->count; ++i)
      if (e->keys[i].n == key.n && memcmp(e->keys[i].p, key.p, key.n) == 0) return false;
    e->keys[e->count] = key;
    e->values[e->count] = {start, (size_t)(stop - start)};
    ++e->count;
  }
  c.skip_space();
  return c.at_end();
}

bool attribute(const Element& e, const char* key, Span* out) {
  for (int i = 0; i < e.count; ++i) {
    if (is(e.keys[i], key)) {
      *out = e.values[i];
      return true;
    }
  }
  return false;
}

// A decimal number, white space around it allowed: an optional sign, digits
// with an optional fraction (".5", "5." and "0.500000" alike), an optional
// exponent. Not hex, not inf or nan, and nothing that overflows.
bool number(Span s, double* out) {
  const char* p = s.p;
  const char* end = s.p + s.n;
  while (p < end && space(*p)) ++p;
  while (end > p && space(end[-1])) --end;
  if (end - p > 64) return false;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  const char* digits = p;
  size_t mantissa_digits = 0;
  while (p < end && *p >= '0' && *p <= '9') ++p, ++mantissa_digits;
  if (p < end && *p == '.') {
    ++p;
    while (p < end && *p >= '0' && *p <= '9') ++p, ++mantissa_digits;
  }
  if (mantissa_digits == 0) return false;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const char* exponent = p;
    while (p < end && *p >= '0' && *p <= '9') ++p;
    if (p == exponent) return false;
  }
  if (p != end) return false;
  double v = 0;
  auto result = std::from_chars(digits, end, v, std::chars_format::general);
  if (result.ec != std::errc() || result.ptr != end || !std::isfinite(v)) return false;
  *out = negative ? -v : v;
  return true;
}

double clamp(double v, double lo, double hi) { return v < lo ? lo : v > hi ? hi : v; }

// Builds the members text; false if it would not fit (it always does).
struct Members {
  char* out;
  size_t used;
  bool ok;
  void add(const char* text) {
    size_t n = strlen(text);
    if (!ok || used + n + 1 > kPtzMembersMax) {
      ok = false;
      return;
    }
    memcpy(out + used, text, n + 1);
    used += n;
  }
  // ,"key": then the shortest text that reads back as the value (0.6, not
  // 0.600000 nor 0.59999999999999998); -0 is written as 0.
  void add_number(const char* key, double v) {
    char text[48];
    int n = snprintf(text, sizeof text, ",\"%s\":", key);
    if (n < 0 || (size_t)n >= sizeof text) {
      ok = false;
      return;
    }
    auto r = std::to_chars(text + n, text + sizeof text - 1, v + 0.0);
    if (r.ec != std::errc()) {
      ok = false;
      return;
    }
    *r.ptr = '\0';
    add(text);
  }
  void add_text(const char* key, const char* value) {
    char text[64];
    snprintf(text, sizeof text, ",\"%s\":\"%s\"", key, value);
    add(text);
  }
};

// A named value clamped to [lo, hi]; false when it is missing or not a number.
bool ranged(const Element& e, const char* key, double lo, double hi, double* out) {
  Span s;
  double v;
  if (!attribute(e, key, &s) || !number(s, &v)) return false;
  *out = clamp(v, lo, hi);
  return true;
}

// A preset number: a whole number 0..99, in any number form ("7", "7.0").
bool preset_index(const Element& e, int* out) {
  Span s;
  double v;
  if (!attribute(e, "index", &s) || !number(s, &v)) return false;
  if (v < 0 || v > 99 || v != std::floor(v)) return false;
  *out = (int)v;
  return true;
}

// mode="..." when it is one of the words given (a null-ended list).
const char* mode_of(const Element& e, const char* const* words) {
  Span s;
  if (!attribute(e, "mode", &s)) return nullptr;
  for (; *words; ++words)
    if (is(s, *words)) return *words;
  return nullptr;
}

struct Kind {
  const char* element;
  const char* command;
};
const Kind kKinds[kPtzKinds] = {
    {"ntk_ptz_pan_tilt_speed", "pan_tilt_speed"}, {"ntk_ptz_pan_tilt", "pan_tilt"},
    {"ntk_ptz_zoom_speed", "zoom_speed"},         {"ntk_ptz_zoom", "zoom"},
    {"ntk_ptz_store_preset", "store_preset"},     {"ntk_ptz_recall_preset", "recall_preset"},
    {"ntk_ptz_focus", "focus"},                   {"ntk_ptz_focus_speed", "focus_speed"},
    {"ntk_ptz_white_balance", "white_balance"},   {"ntk_ptz_exposure", "exposure"},
};

// A number a command carries: its attribute, clamped to [low, 1], written
// under the attribute's name or under key where the two differ.
struct Number {
  const char* attribute;
  double low;
  const char* key = nullptr;
};

// The numbers of a command that carries nothing else, appended to m; false,
// with nothing appended, when one is missing.
bool read_numbers(const Element& e, std::initializer_list<Number> numbers, Members* m) {
  double values[2];  // no command carries more
  double* v = values;
  for (const Number& n : numbers)
    if (!ranged(e, n.attribute, n.low, 1, v++)) return false;
  v = values;
  for (const Number& n : numbers) m->add_number(n.key ? n.key : n.attribute, *v++);
  return true;
}

// The values of one command, appended to m; false when one it needs is missing.
bool read_values(PtzKind kind, const Element& e, Members* m) {
  static const char* const kAutoManual[] = {"auto", "manual", nullptr};
  static const char* const kWhiteBalance[] = {"auto", "indoor", "outdoor", "one_shot", "manual", nullptr};
  double a = 0, b = 0;
  int index;
  switch (kind) {
    case kPtzPanTiltSpeed:
      return read_numbers(e, {{"pan_speed", -1}, {"tilt_speed", -1}}, m);
    case kPtzPanTilt:
      return read_numbers(e, {{"pan", -1}, {"tilt", -1}}, m);
    case kPtzZoomSpeed:
      return read_numbers(e, {{"zoom_speed", -1}}, m);
    case kPtzZoom:
      return read_numbers(e, {{"zoom", 0}}, m);
    case kPtzFocusSpeed:
      // The runtime carries a focus speed in its distance attribute.
      return read_numbers(e, {{"distance", -1, "speed"}}, m);
    case kPtzStorePreset:
    case kPtzRecallPreset:
      if (!preset_index(e, &index) || (kind == kPtzRecallPreset && !ranged(e, "speed", 0, 1, &a))) return false;
      m->add_number("index", index);
      if (kind == kPtzRecallPreset) m->add_number("speed", a);
      return true;
    case kPtzFocus:
    case kPtzExposure: {
      const char* mode = mode_of(e, kAutoManual);
      const char* key = kind == kPtzFocus ? "distance" : "value";
      if (!mode || (mode[0] == 'm' && !ranged(e, key, 0, 1, &a))) return false;
      m->add_text("mode", mode);
      if (mode[0] == 'm') m->add_number(key, a);
      return true;
    }
    case kPtzWhiteBalance: {
      const char* mode = mode_of(e, kWhiteBalance);
      bool manual = mode && strcmp(mode, "manual") == 0;
      if (!mode || (manual && (!ranged(e, "red", 0, 1, &a) || !ranged(e, "blue", 0, 1, &b)))) return false;
      m->add_text("mode", mode);
      if (manual) {
        m->add_number("red", a);
        m->add_number("blue", b);
      }
      return true;
    }
    case kPtzKinds:
      break;
  }
  return false;
}

}  // namespace

bool ptz_read(const char* text, size_t len, PtzCommand* out) {
  if (len > kPtzTextMaxBytes) return false;
  Element e;
  if (!read_element(text, len, &e)) return false;
  for (int k = 0; k < kPtzKinds; ++k) {
    if (!is(e.name, kKinds[k].element)) continue;
    PtzKind kind = (PtzKind)k;
    Members m{out->members, 0, true};
    out->members[0] = '\0';
    m.add("\"command\":\"");
    m.add(kKinds[k].command);
    m.add("\"");
    if (!read_values(kind, e, &m) || !m.ok) return false;
    out->kind = kind;
    return true;
  }
  return false;
}
