// The monitor picture: a sent NV12 picture sampled on a coarse grid (cheap
// enough for the sender's path), then scaled to at most 320 x 180 with its
// shape kept, turned into colour and encoded as a 24-bit BMP (elsewhere).
#pragma once
#include <cstddef>
#include <cstdint>

enum { kThumbMaxWidth = 320, kThumbMaxHeight = 180 };

// Where a picture of width x height is sampled, and what comes out of it.
struct ThumbLayout {
  int32_t width, height;        // the sent picture
  int32_t step;                 // every step-th luma sample in each direction
  int32_t grid_w, grid_h;       // luma samples taken: ceil(width / step) x ceil(height / step)
  int32_t chroma_w, chroma_h;   // Cb/Cr pairs taken: ceil(grid_w / 2) x ceil(grid_h / 2)
  int32_t out_w, out_h;         // the BMP's size
};

// False for a picture that is not positive and even in both directions.
bool thumb_layout(int32_t width, int32_t height, ThumbLayout* layout);

// Bytes of a sample (grid_w * grid_h luma, then chroma_w * chroma_h Cb/Cr pairs)
// and of the BMP file (header and padded rows).
size_t thumb_sample_bytes(const ThumbLayout& layout);
size_t thumb_bmp_bytes(const ThumbLayout& layout);

// Takes the grid's samples of one NV12 picture (layout.width x layout.height)
// into sample (thumb_sample_bytes). On the sender's path: reads about
// 1.5 grid_w * grid_h bytes, nothing more.
void thumb_sample(const ThumbLayout& layout, const uint8_t* nv12, uint8_t* sample);

// Scales a sample to out_w x out_h, converts it to BGR and writes the whole
// BMP file into bmp (thumb_bmp_bytes).
void thumb_bmp(const ThumbLayout& layout, const uint8_t* sample, uint8_t* bmp);
