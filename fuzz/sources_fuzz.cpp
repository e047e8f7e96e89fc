// Fuzzes the supervisor's readers of untrusted JSON: the sources file and the
// lines its tools write.
//
// The first input byte picks the reader:
//  - even: the rest is a sources file (sources_parse). An accepted file must
//    give what the supervisor relies on: unique names of 1-256 bytes without
//    NUL, the tool's command line built around them, stall limits that are
//    numbers >= 0; a refused one a message that names the file.
//  - odd: the rest is a tool's line (json_parse at the supervisor's depth
//    limit). An accepted line, written as the supervisor writes it, must read
//    back as the same value.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "text/json_line.h"
#include "sources/sources.h"

static void fail(const char* what) {
  fprintf(stderr, "sources_fuzz: %s\n", what);
  abort();
}

static void check_sources(const std::string& text) {
  std::vector<SourceEntry> sources;
  std::string why;
  if (!sources_parse(text, "f.json", &sources, &why)) {
    if (why.compare(0, 6, "f.json") != 0) fail("a refusal that does not name the file");
    return;
  }
  std::set<std::string> names;
  for (const SourceEntry& s : sources) {
    if (s.name.empty() || s.name.size() > kNameMaxBytes) fail("a name of a length refused");
    if (s.name.find('\0') != std::string::npos) fail("a name with a NUL");
    if (!names.insert(s.name).second) fail("a name twice");
    const std::vector<std::string>& a = s.settings.argv;
    if (a.size() < 5 || a[0].empty() || a[1] != "--input" || a[2].empty() || a[3] != "--name" || a[4] != s.name) {
      fail("a command line not built around the input and name");
    }
    for (size_t i = 5; i < a.size(); ++i)
      if (a[i] == "--input" || a[i] == "--name") fail("--input or --name among the args");
    if (!std::isfinite(s.settings.stall) || s.settings.stall < 0) fail("a stall limit that is no number >= 0");
    for (const std::string* t : {&s.onvif.device, &s.onvif.endpoint, &s.onvif.profile}) {
      if (t->size() > kOnvifTextMaxBytes) fail("an ONVIF member over its bound");
    }
    if (!s.onvif.device.empty() && s.onvif.device.compare(0, 7, "http://") != 0) fail("an ONVIF device not http://");
  }
}

static void check_line(const std::string& text) {
  Json value;
  std::string why;
  bool too_deep = false;
  if (!json_parse(text, 16, &value, &why, &too_deep)) return;
  std::string written = json_text(value);
  Json again;
  if (!json_parse(written, 16, &again, &why, &too_deep)) fail("a written line that does not read back");
  if (again != value) fail("a written line that reads back as another value");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string text((const char*)data + 1, size - 1);
  if (data[0] % 2 == 0) {
    check_sources(text);
  } else {
    check_line(text);
  }
  return 0;
}
