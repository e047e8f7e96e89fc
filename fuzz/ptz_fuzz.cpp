// Fuzzes ptz_read, the reader of what any receiver on the network may send.
//
// Input: the metadata text itself, in a heap block of exactly its size, so
// AddressSanitizer catches a read past its end (the reader gets no NUL).
//
// A text that is taken must give members that a strict checker, written here
// without reference to the reader, accepts: "command":"<one of the ten>"
// followed by the command's own values in their order, each a JSON number in
// its range (an integer 0..99 for a preset) or one of the command's mode words;
// and the same text read again gives the same members.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ptz_text.h"

static void fail(const char* what, const std::string& members) {
  fprintf(stderr, "ptz_fuzz: %s: %s\n", what, members.c_str());
  abort();
}

struct Value {
  const char* key;
  double lo, hi;  // a number in [lo, hi]; lo > hi: a mode word
};

struct Command {
  const char* name;
  std::vector<Value> values;
};

static const double kWord = 1, kNoWord = 0;  // lo/hi of a mode word (lo > hi)

static const std::vector<Command> kCommands = {
    {"pan_tilt_speed", {{"pan_speed", -1, 1}, {"tilt_speed", -1, 1}}},
    {"pan_tilt", {{"pan", -1, 1}, {"tilt", -1, 1}}},
    {"zoom_speed", {{"zoom_speed", -1, 1}}},
    {"zoom", {{"zoom", 0, 1}}},
    {"store_preset", {{"index", 0, 99}}},
    {"recall_preset", {{"index", 0, 99}, {"speed", 0, 1}}},
    {"focus", {{"mode", kWord, kNoWord}, {"distance", 0, 1}}},
    {"focus_speed", {{"speed", -1, 1}}},
    {"white_balance", {{"mode", kWord, kNoWord}, {"red", 0, 1}, {"blue", 0, 1}}},
    {"exposure", {{"mode", kWord, kNoWord}, {"value", 0, 1}}},
};

// A JSON number (RFC 8259 grammar) as a whole text.
static bool json_number(const std::string& s, double* out) {
  size_t i = 0, n = s.size();
  if (i < n && s[i] == '-') ++i;
  if (i == n) return false;
  if (s[i] == '0') ++i;
  else if (s[i] >= '1' && s[i] <= '9') while (i < n && isdigit((unsigned char)s[i])) ++i;
  else return false;
  if (i < n && s[i] == '.') {
    size_t start = ++i;
    while (i < n && isdigit((unsigned char)s[i])) ++i;
    if (i == start) return false;
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    size_t start = i;
    while (i < n && isdigit((unsigned char)s[i])) ++i;
    if (i == start) return false;
  }
  if (i != n) return false;
  *out = strtod(s.c_str(), nullptr);
  return std::isfinite(*out);
}

static void check_members(const std::string& m) {
  // "command":"name" then ,"key":value pieces; no value holds a comma.
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t i = 0; i <= m.size(); ++i) {
    if (i == m.size() || m[i] == ',') {
      pieces.push_back(m.substr(start, i - start));
      start = i + 1;
    }
  }
  const Command* command = nullptr;
  for (const Command& c : kCommands)
    if (pieces[0] == std::string("\"command\":\"") + c.name + "\"") command = &c;
  if (!command) fail("no known command first", m);
  bool manual = false;
  size_t next = 0;
  for (size_t p = 1; p < pieces.size(); ++p) {
    const std::string& piece = pieces[p];
    size_t colon = piece.find("\":");
    if (piece.size() < 4 || piece[0] != '"' || colon == std::string::npos) fail("a member not \"key\":value", m);
    std::string key = piece.substr(1, colon - 1), value = piece.substr(colon + 2);
    while (next < command->values.size() && key != command->values[next].key) ++next;
    if (next == command->values.size()) fail("a member the command does not have, or out of order", m);
    const Value& v = command->values[next++];
    if (v.lo > v.hi) {
      static const char* const kWords[] = {"auto", "manual", "indoor", "outdoor", "one_shot"};
      bool known = false;
      for (const char* w : kWords) known = known || value == std::string("\"") + w + "\"";
      if (!known) fail("a mode that is not a mode word", m);
      if (strcmp(command->name, "white_balance") != 0 && value != "\"auto\"" && value != "\"manual\"")
        fail("a white balance word in another command", m);
      manual = value == "\"manual\"";
      continue;
    }
    double d;
    if (!json_number(value, &d)) fail("a value that is not a JSON number", m);
    if (d < v.lo || d > v.hi) fail("a number outside its range", m);
    if (key == "index" && (value.find_first_not_of("0123456789") != std::string::npos)) fail("an index not an integer", m);
  }
  // Every value of the command is there, except the manual ones without manual.
  size_t expected = command->values.size();
  if (command->values[0].lo > command->values[0].hi && !manual) expected = 1;
  if (pieces.size() - 1 != expected) fail("a value missing", m);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char* text = (char*)malloc(size ? size : 1);
  if (size) memcpy(text, data, size);
  PtzCommand c;
  bool taken = ptz_read(text, size, &c);
  if (taken) {
    if (size > kPtzTextMaxBytes) fail("a text over the limit was taken", c.members);
    std::string members = c.members;
    check_members(members);
    PtzCommand again;
    if (!ptz_read(text, size, &again) || members != again.members || again.kind != c.kind)
      fail("the same text read differently", members);
  }
  free(text);
  return 0;
}
