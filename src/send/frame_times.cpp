#include "frame_times.h"

#include <cstring>

void frame_times_init(FrameTimes* t) {
  memset(t, 0, sizeof *t);
  t->base = -1;
}

// A decimal of at most 18 digits (no overflow), with an optional minus sign, at
// *p; advances past it. False when there is none.
static bool read_int(const char** p, const char* end, int64_t* out) {
  const char* s = *p;
  bool negative = s < end && *s == '-';
  if (negative) ++s;
  const char* digits = s;
  int64_t v = 0;
  while (s < end && *s >= '0' && *s <= '9' && s - digits < 18) v = v * 10 + (*s++ - '0');
  if (s == digits || (s < end && *s >= '0' && *s <= '9')) return false;
  *out = negative ? -v : v;
  *p = s;
  return true;
}

static bool skip(const char** p, const char* end, const char* word) {
  size_t n = strlen(word);
  if ((size_t)(end - *p) < n || memcmp(*p, word, n) != 0) return false;
  *p += n;
  return true;
}

static void skip_spaces(const char** p, const char* end) {
  while (*p < end && **p == ' ') ++*p;
}

static void keep(FrameTimes* t, int64_t number, int64_t pts) {
  if (t->base < 0) t->base = number;
  if (t->count == FrameTimes::kKept) {
    t->first = (t->first + 1) % FrameTimes::kKept;
    --t->count;
  }
  size_t at = (t->first + t->count) % FrameTimes::kKept;
  t->number[at] = number;
  t->pts[at] = pts;
  ++t->count;
}

// "frame:N pts:P ..."; other lines (the keys) are passed over.
static void parse_line(FrameTimes* t, const char* p, const char* end) {
  int64_t number = 0, pts = kNoPts;
  if (!skip(&p, end, "frame:")) return;
  skip_spaces(&p, end);
  if (!read_int(&p, end, &number) || number < 0) return;
  skip_spaces(&p, end);
  if (!skip(&p, end, "pts:")) return;
  skip_spaces(&p, end);
  if (!read_int(&p, end, &pts) && !skip(&p, end, "NOPTS")) return;
  if (p < end && *p != ' ') return;
  keep(t, number, pts);
}

void frame_times_feed(FrameTimes* t, const char* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char c = bytes[i];
    if (c == '\n') {
      if (!t->overlong) parse_line(t, t->line, t->line + t->len);
      t->len = 0;
      t->overlong = false;
    } else if (t->len < sizeof t->line) {
      t->line[t->len++] = c;
    } else {
      t->overlong = true;
    }
  }
}

int64_t frame_times_take(FrameTimes* t, int64_t k) {
  if (t->base < 0 || k < 0) return kNoPts;
  int64_t wanted = t->base + k;
  while (t->count > 0) {
    int64_t number = t->number[t->first];
    int64_t pts = t->pts[t->first];
    if (number > wanted) return kNoPts;
    t->first = (t->first + 1) % FrameTimes::kKept;
    --t->count;
    if (number == wanted) return pts;
  }
  return kNoPts;
}
