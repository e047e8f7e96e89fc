#include "thumbnail.h"

static int32_t ceil_div(int64_t a, int64_t b) { return (int32_t)((a + b - 1) / b); }

bool thumb_layout(int32_t width, int32_t height, ThumbLayout* l) {
  if (width <= 0 || height <= 0 || ((width | height) & 1)) return false;
  l->width = width;
  l->height = height;
  // The largest size within 320 x 180 of the picture's shape, never larger
  // than the picture; the side that binds is exact, the other rounded.
  const int64_t w = width, h = height, max_w = kThumbMaxWidth, max_h = kThumbMaxHeight;
  if (w * max_h >= h * max_w) {
    l->out_w = (int32_t)(w < max_w ? w : max_w);
    l->out_h = (int32_t)((h * l->out_w * 2 + w) / (2 * w));
  } else {
    l->out_h = (int32_t)(h < max_h ? h : max_h);
    l->out_w = (int32_t)((w * l->out_h * 2 + h) / (2 * h));
  }
  if (l->out_w < 1) l->out_w = 1;
  if (l->out_h < 1) l->out_h = 1;
  // A step that makes the grid no larger than the output, so the copy on the
  // sender's path stays within 1.5 x 320 x 180 bytes whatever the picture.
  int32_t sx = ceil_div(w, l->out_w), sy = ceil_div(h, l->out_h);
  l->step = sx > sy ? sx : sy;
  l->grid_w = ceil_div(w, l->step);
  l->grid_h = ceil_div(h, l->step);
  l->chroma_w = ceil_div(l->grid_w, 2);
  l->chroma_h = ceil_div(l->grid_h, 2);
  return true;
}

size_t thumb_sample_bytes(const ThumbLayout& l) {
  return (size_t)l.grid_w * (size_t)l.grid_h + (size_t)l.chroma_w * (size_t)l.chroma_h * 2;
}

static size_t bmp_row_bytes(const ThumbLayout& l) { return ((size_t)l.out_w * 3 + 3) / 4 * 4; }

enum { kBmpHeaderBytes = 14 + 40 };

size_t thumb_bmp_bytes(const ThumbLayout& l) { return kBmpHeaderBytes + bmp_row_bytes(l) * (size_t)l.out_h; }

void thumb_sample(const ThumbLayout& l, const uint8_t* nv12, uint8_t* sample) {
  const size_t width = (size_t)l.width, step = (size_t)l.step;
  uint8_t* out = sample;
  for (int32_t gy = 0; gy < l.grid_h; ++gy) {
    const uint8_t* row = nv12 + (size_t)gy * step * width;
    for (int32_t gx = 0; gx < l.grid_w; ++gx) *out++ = row[(size_t)gx * step];
  }
  // One Cb/Cr pair for every second grid point in each direction: the pair
  // that covers luma sample (2 gx step, 2 gy step) sits in chroma row gy step,
  // pair gx step; both lie inside the chroma plane (half the luma's size).
  const uint8_t* chroma = nv12 + width * (size_t)l.height;
  for (int32_t cy = 0; cy < l.chroma_h; ++cy) {
    const uint8_t* row = chroma + (size_t)cy * step * width;
    for (int32_t cx = 0; cx < l.chroma_w; ++cx) {
      const uint8_t* pair = row + (size_t)cx * step * 2;
      *out++ = pair[0];
      *out++ = pair[1];
    }
  }
}

// Branch-free clamp to 0..255: the sums below stay within -290..547 for any
// Y, Cb and Cr, and a noisy picture makes a compare-and-branch clamp miss
// its prediction about once per colour.
static uint8_t clamp8(int32_t v) {
  int32_t low = v & ~(v >> 31);                   // 0 below 0
  return (uint8_t)(low | ((255 - low) >> 31));    // 255 (low bits) above 255
}

static void put16(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}

static void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}

void thumb_bmp(const ThumbLayout& l, const uint8_t* sample, uint8_t* bmp) {
  const size_t row_bytes = bmp_row_bytes(l);
  const size_t total = thumb_bmp_bytes(l);
  // File header, then the 40-byte info header: 24 bits, uncompressed, rows
  // bottom-up (a positive height), 72 dpi.
  for (size_t i = 0; i < kBmpHeaderBytes; ++i) bmp[i] = 0;
  bmp[0] = 'B';
  bmp[1] = 'M';
  put32(bmp + 2, (uint32_t)total);
  put32(bmp + 10, kBmpHeaderBytes);
  put32(bmp + 14, 40);
  put32(bmp + 18, (uint32_t)l.out_w);
  put32(bmp + 22, (uint32_t)l.out_h);
  put16(bmp + 26, 1);
  put16(bmp + 28, 24);
  put32(bmp + 34, (uint32_t)(row_bytes * (size_t)l.out_h));
  put32(bmp + 38, 2835);
  put32(bmp + 42, 2835);

  const uint8_t* luma = sample;
  const uint8_t* chroma = sample + (size_t)l.grid_w * (size_t)l.grid_h;
  // Nearest grid point: the grid is at most the output's size, so this only
  // repeats samples where the output is a little larger. The columns are the
  // same for every row: worked out once, not per pixel.
  int32_t columns[kThumbMaxWidth];
  for (int32_t x = 0; x < l.out_w; ++x) columns[x] = (int32_t)((int64_t)x * l.grid_w / l.out_w);
  for (int32_t y = 0; y < l.out_h; ++y) {
    const int32_t gy = (int32_t)((int64_t)y * l.grid_h / l.out_h);
    const uint8_t* luma_row = luma + (size_t)gy * (size_t)l.grid_w;
    const uint8_t* chroma_row = chroma + (size_t)(gy / 2) * (size_t)l.chroma_w * 2;
    uint8_t* out = bmp + kBmpHeaderBytes + row_bytes * (size_t)(l.out_h - 1 - y);
    for (int32_t x = 0; x < l.out_w; ++x) {
      const int32_t gx = columns[x];
      const uint8_t* pair = chroma_row + (size_t)(gx / 2) * 2;
      // BT.709, limited range: what HD sources (and ffmpeg's scale to NV12
      // for them) carry. Fixed point with 8 fraction bits.
      const int32_t c = 298 * (luma_row[gx] - 16);
      const int32_t d = pair[0] - 128;  // Cb
      const int32_t e = pair[1] - 128;  // Cr
      *out++ = clamp8((c + 541 * d + 128) >> 8);            // B
      *out++ = clamp8((c - 55 * d - 136 * e + 128) >> 8);   // G
      *out++ = clamp8((c + 459 * e + 128) >> 8);            // R
    }
    for (size_t pad = (size_t)l.out_w * 3; pad < row_bytes; ++pad) *out++ = 0;
  }
}
