// Fuzzes join_win_cmdline, the quoting of the decoder's vector into one
// Windows command line.
//
// Input: a flags byte, then, when its high bit is set, two bytes of padding
// length (up to 65535) that are appended to the last element in the character
// the low two bits pick (x, backslash, quotation mark, space), so that lines at
// and around the 32766-character limit are reached without huge inputs. The
// rest is split on NUL bytes into the vector, program name first, at most
// kMaxArgs elements.
//
// A line the join accepts is split back here by the Microsoft C runtime's
// documented rules and must give the vector exactly. The join must refuse
// exactly the vectors whose program name holds a quotation mark or whose line
// would be longer than kWinCmdlineMax.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "win_cmdline.h"

enum { kMaxArgs = 64 };

static void fail(const char* what, const std::string& line) {
  fprintf(stderr, "win_cmdline_fuzz: %s\nline (%zu chars): %.2000s\n", what, line.size(), line.c_str());
  abort();
}

static bool blank(char c) { return c == ' ' || c == '\t'; }

// The runtime's split of a command line.
// Program name: when the line starts with a quotation mark, everything up to the
// next one, backslashes literal; otherwise up to the first space or tab.
// Later arguments: spaces and tabs outside quotation marks separate; 2n
// backslashes and a mark give n backslashes and toggle quoting; 2n+1
// backslashes and a mark give n backslashes and a literal mark; backslashes not
// before a mark are literal.
// A mark that closes quoting and is followed straight by another mark is read
// differently by different runtimes (the newer ones take the pair as a literal
// mark and stay quoted), so a line holding one is reported as a fault instead.
static std::vector<std::string> split_windows(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  std::string prog;
  if (i < line.size() && line[i] == '"') {
    for (++i; i < line.size() && line[i] != '"'; ++i) prog.push_back(line[i]);
    if (i < line.size()) ++i;
  } else {
    for (; i < line.size() && !blank(line[i]); ++i) prog.push_back(line[i]);
  }
  out.push_back(prog);
  for (;;) {
    while (i < line.size() && blank(line[i])) ++i;
    if (i >= line.size()) return out;
    std::string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !blank(line[i]))) {
      size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
      if (i < line.size() && line[i] == '"') {
        arg.append(backslashes / 2, '\\');
        ++i;
        if (backslashes % 2) {
          arg.push_back('"');
        } else {
          if (quoted && i < line.size() && line[i] == '"') fail("doubled quotation mark inside quotes", line);
          quoted = !quoted;
        }
      } else {
        arg.append(backslashes, '\\');
        if (i < line.size() && (quoted || !blank(line[i]))) arg.push_back(line[i++]);
      }
    }
    out.push_back(arg);
  }
}

// Length of the line the join documents: each element in quotation marks, one
// space between elements; in the later elements a mark takes a backslash in
// front of it and doubles the backslashes just before it, and backslashes at the
// end are doubled. The program name is copied as it is.
static size_t documented_length(const std::vector<std::string>& v) {
  size_t total = v[0].size() + 2;
  for (size_t k = 1; k < v.size(); k++) {
    total += 1 + 2 + v[k].size();
    size_t run = 0;
    for (char c : v[k]) {
      if (c == '\\') {
        ++run;
        continue;
      }
      if (c == '"') total += run + 1;
      run = 0;
    }
    total += run;
  }
  return total;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t flags = data[0];
  data += 1, size -= 1;
  size_t pad = 0;
  if (flags & 0x80) {
    if (size < 2) return 0;
    pad = (size_t)data[0] | (size_t)data[1] << 8;
    data += 2, size -= 2;
  }
  static const char kPadChars[] = {'x', '\\', '"', ' '};

  std::vector<std::string> v;
  size_t start = 0;
  for (size_t i = 0; i <= size && v.size() < kMaxArgs; i++) {
    if (i == size || data[i] == 0) {
      v.emplace_back((const char*)data + start, i - start);
      start = i + 1;
    }
  }
  v.back().append(pad, kPadChars[flags & 3]);

  std::vector<const char*> argv;
  for (const std::string& s : v) argv.push_back(s.c_str());
  argv.push_back(nullptr);

  std::string line = "left over";
  bool ok = join_win_cmdline(argv.data(), &line);
  size_t expected = documented_length(v);
  bool refuse = v[0].find('"') != std::string::npos || expected > (size_t)kWinCmdlineMax;
  if (ok == refuse) fail(ok ? "accepted a vector it must refuse" : "refused a vector that fits", line);
  if (!ok) return 0;
  if (line.size() != expected) fail("line length differs from the documented quoting", line);
  if (line.find('\0') != std::string::npos) fail("NUL inside the line", line);
  if (split_windows(line) != v) fail("the split of the line does not give the vector back", line);
  return 0;
}
