// Fuzzes the reader of the decoder's frame times (the text its metadata
// filters print). The first byte chooses where the text is cut into pieces;
// the rest is the text.
//
// Whatever the text, a frame's time is one a line gave as that frame's (a
// decimal of at most 18 digits, so below 10^18 either way), frames taken in
// order never get a time twice, and nothing is read outside the pieces.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "frame_times.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  size_t piece = (size_t)data[0] % 64 + 1;
  FrameTimes t;
  frame_times_init(&t);
  int64_t k = 0;
  for (size_t at = 1; at < size; at += piece) {
    size_t n = size - at < piece ? size - at : piece;
    std::vector<char> copy(data + at, data + at + n);  // exactly the piece, for ASan
    frame_times_feed(&t, copy.data(), copy.size());
    if (t.count > (size_t)FrameTimes::kKept || t.first >= (size_t)FrameTimes::kKept || t.len > sizeof t.line) {
      fprintf(stderr, "frame_times_fuzz: the reader's state is out of its bounds\n");
      abort();
    }
    int64_t pts = frame_times_take(&t, k++);
    if (pts != kNoPts && (pts >= 1000000000000000000 || pts <= -1000000000000000000)) {
      fprintf(stderr, "frame_times_fuzz: a time no line could give: %lld\n", (long long)pts);
      abort();
    }
  }
  return 0;
}
