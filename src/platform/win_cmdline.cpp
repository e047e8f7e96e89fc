// Joining an argument vector into one Windows command line.
//
// A Windows program receives one string and splits it itself; the C runtime and
// CommandLineToArgvW share these rules: inside quotation marks spaces are
// literal; 2n backslashes followed by a quotation mark give n backslashes and a
// delimiting mark; 2n+1 backslashes followed by a mark give n backslashes and a
// literal mark; backslashes not followed by a mark are literal. Each element is
// therefore wrapped in marks, its own marks are escaped together with the
// backslashes in front of them, and backslashes at its end are doubled so that
// they do not escape the closing mark. A caller's text (the input URL above all)
// can then never end its element early and add arguments of its own.
//
// The program name (element 0) is split by a simpler rule, by CreateProcess and
// by the runtime alike: from a leading mark up to the next mark, backslashes
// literal. It is copied as it is; a mark in it cannot be expressed (and no
// Windows file name contains one), so such a vector is refused.
#include "win_cmdline.h"

#include <cstring>

static void append_quoted(const char* s, std::string* out) {
  out->push_back('"');
  size_t backslashes = 0;
  for (; *s; ++s) {
    if (*s == '\\') {
      ++backslashes;
      continue;
    }
    if (*s == '"') {
      out->append(2 * backslashes + 1, '\\');
    } else {
      out->append(backslashes, '\\');
    }
    backslashes = 0;
    out->push_back(*s);
  }
  out->append(2 * backslashes, '\\');
  out->push_back('"');
}

bool join_win_cmdline(const char* const* argv, std::string* out) {
  out->clear();
  if (!argv[0] || strchr(argv[0], '"')) return false;
  out->push_back('"');
  out->append(argv[0]);
  out->push_back('"');
  for (const char* const* p = argv + 1; *p; ++p) {
    out->push_back(' ');
    append_quoted(*p, out);
  }
  // A line that does not fit is refused rather than cut: a cut line would start
  // a decoder with arguments missing or a URL truncated.
  return out->size() <= (size_t)kWinCmdlineMax;
}
