// Fuzzes json_escape, the escaping of every text value put on an event line.
//
// Input: the limit first (one byte below 0x40 is the limit itself, so the small
// limits are easy to reach; otherwise two bytes give a limit up to 1024), then
// the source text, cut at its first NUL as the function sees it. The source and
// the destination each get a heap block of exactly their size, so AddressSanitizer
// catches a read past the terminator or a write at or past the limit.
//
// The output is read back by a strict checker, written here without reference
// to the project's code: it must be a valid JSON string body (no raw byte below
// 0x20, no bare quotation mark, escapes only \" \\ and \uXXXX, the rest
// well-formed UTF-8), and undoing the escapes must give a prefix of the source.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "events.h"

static void fail(const char* what, size_t limit) {
  fprintf(stderr, "json_escape_fuzz: %s (limit %zu)\n", what, limit);
  abort();
}

// Length of the well-formed UTF-8 character that starts at s (avail bytes
// readable), 1 for ASCII, 0 when no well-formed character starts there:
// overlong forms, surrogates and values past U+10FFFF are not well-formed.
static size_t utf8_char(const uint8_t* s, size_t avail) {
  if (avail == 0) return 0;
  uint8_t c = s[0];
  size_t n;
  uint32_t cp;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) n = 2, cp = c & 0x1F;
  else if ((c & 0xF0) == 0xE0) n = 3, cp = c & 0x0F;
  else if ((c & 0xF8) == 0xF0) n = 4, cp = c & 0x07;
  else return 0;
  if (avail < n) return 0;
  for (size_t i = 1; i < n; i++) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kSmallest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

static int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One unit of the output: a raw character or one escape, and the source bytes it stands for.
struct Piece {
  size_t out_start;
  size_t source_bytes;
};

// The output a source character is expected to take, for the question whether
// it would still have fit: its source length and its escaped length.
static void expected_form(const uint8_t* s, size_t avail, size_t* take, size_t* out_len) {
  size_t n = utf8_char(s, avail);
  if (n == 0 || s[0] < 0x20) *take = 1, *out_len = 6;
  else if (s[0] == '"' || s[0] == '\\') *take = 1, *out_len = 2;
  else *take = n, *out_len = n;
}

static void check(const uint8_t* src, size_t n, const uint8_t* out, size_t limit) {
  const uint8_t* end = (const uint8_t*)memchr(out, 0, limit);
  if (!end) fail("no terminator within the limit", limit);
  size_t len = (size_t)(end - out);

  // Read the output back, piece by piece, undoing the escapes.
  std::vector<uint8_t> decoded;
  std::vector<Piece> pieces;
  for (size_t i = 0; i < len;) {
    size_t at = decoded.size();
    uint8_t c = out[i];
    if (c < 0x20) fail("raw control byte in the output", limit);
    if (c == '"') fail("bare quotation mark in the output", limit);
    if (c == '\\') {
      if (i + 1 >= len) fail("backslash at the end of the output", limit);
      uint8_t e = out[i + 1];
      if (e == '"' || e == '\\') {
        decoded.push_back(e);
        pieces.push_back({i, 1});
        i += 2;
        continue;
      }
      if (e != 'u' || i + 6 > len) fail("escape other than \\\" \\\\ \\uXXXX", limit);
      int v = 0;
      for (size_t k = 2; k < 6; k++) {
        int h = hex_value(out[i + k]);
        if (h < 0) fail("\\u escape without four hex digits", limit);
        v = v * 16 + h;
      }
      if (v == 0 || v > 0xFF) fail("\\u escape that stands for no source byte", limit);
      if (v >= 0x20 && v < 0x80) fail("printable ASCII written as a \\u escape", limit);
      if (v >= 0x80 && at < n && utf8_char(src + at, n - at) != 0)
        fail("a well-formed UTF-8 character was escaped", limit);
      decoded.push_back((uint8_t)v);
      pieces.push_back({i, 1});
      i += 6;
      continue;
    }
    size_t k = utf8_char(out + i, len - i);
    if (k == 0) fail("output is not well-formed UTF-8", limit);
    decoded.insert(decoded.end(), out + i, out + i + k);
    pieces.push_back({i, k});
    i += k;
  }
  if (decoded.size() > n || (!decoded.empty() && memcmp(decoded.data(), src, decoded.size()) != 0))
    fail("unescaped output is not a prefix of the source", limit);

  // Room: after the first piece, each piece starts only while the length so far
  // plus 7 (plus the rest of a multi-byte character) stays below the limit, so
  // one six-character escape and the terminator always fit.
  if (limit < 8 && pieces.size() > 1) fail("more than one character under a limit below 8", limit);
  for (size_t p = 1; p < pieces.size(); p++)
    if (pieces[p].out_start + (pieces[p].source_bytes - 1) + 7 >= limit)
      fail("a character was written without room for an escape and the terminator", limit);
  if (limit >= 8 && len > limit - 2) fail("output longer than limit - 2", limit);

  // A cut must be forced: the next source character would not have fit.
  if (decoded.size() < n) {
    size_t take, out_len;
    expected_form(src + decoded.size(), n - decoded.size(), &take, &out_len);
    bool fits = pieces.empty() ? out_len + 1 <= limit : len + (take - 1) + 7 < limit && len + out_len + 1 <= limit;
    if (fits) fail("the walk stopped although the next character fits", limit);
  }

  // Clean text (well-formed UTF-8, no control byte, quotation mark or backslash)
  // comes out as a prefix of itself, cut only between characters, and whole
  // when it fits.
  bool clean = true;
  for (size_t i = 0; i < n && clean;) {
    size_t k = utf8_char(src + i, n - i);
    clean = k != 0 && src[i] >= 0x20 && src[i] != '"' && src[i] != '\\';
    i += k ? k : 1;
  }
  if (clean) {
    if (memcmp(out, src, len) != 0) fail("clean text changed", limit);
    if (len < n && (src[len] & 0xC0) == 0x80) fail("clean text cut inside a character", limit);
    if (n + 7 <= limit && len != n) fail("clean text that fits was cut", limit);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t limit;
  if (data[0] < 0x40) {
    limit = data[0];
    data += 1, size -= 1;
  } else {
    if (size < 2) return 0;
    limit = ((size_t)(data[0] - 0x40) << 8 | data[1]) % 1025;
    data += 2, size -= 2;
  }
  char* src = (char*)malloc(size + 1);
  if (size) memcpy(src, data, size);
  src[size] = '\0';
  size_t n = strlen(src);

  // 0xAA is a stray continuation byte: a missing terminator or a gap left
  // unwritten cannot pass for text.
  char* dst = (char*)malloc(limit ? limit : 1);
  if (limit) memset(dst, 0xAA, limit);
  json_escape(src, limit ? dst : dst + 1, limit);
  if (limit) check((const uint8_t*)src, n, (const uint8_t*)dst, limit);
  free(dst);
  free(src);
  return 0;
}
