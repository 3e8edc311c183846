// Synthetic movies: pixels and frame times as documented functions of movie number and frame.
#pragma once

#include <cstdint>

#include "suite/file/info_block.h"

namespace zel::vem::sim {

// Frames are stamped this far apart (about 120 frames per second).
constexpr int64_t kSyntheticFrameTicks = 83330;

// Pixel (x, y) of frame f of the synthetic movie numbered n, in frames of w x h pixels:
// a diagonal stripe pattern scrolling 4 pixels per frame, with a bright square of side
// max(1, min(w, h) / 8) moving 3 pixels right and 2 down per frame (wrapping around the edges),
// and a faint texture in the low byte that differs from pixel to pixel and frame to frame.
//   high = 255 inside the square, else (x + y + 4f + 16n) mod 256
//   low  = (7x + 13y + 5f + 31n) mod 251
//   pixel = high * 256 + low
// Inside the square means (x - (3f mod w)) mod w < side and (y - (2f mod h)) mod h < side.
uint16_t syntheticPixel(uint64_t n, uint64_t f, uint32_t x, uint32_t y, uint32_t w, uint32_t h);

// The whole frame as its data-stream bytes (little-endian pixels, rows top to bottom);
// `out` holds w * h * 2 bytes.
void renderSyntheticFrame(uint64_t n, uint64_t f, uint32_t w, uint32_t h, uint8_t* out);

// Recording start of movie n: 2024-02-14 09:30:00.250 UTC plus (n mod 100000) hours.
int64_t syntheticRecordingTime(uint64_t n);
// Frame f is stamped at the recording start plus f * kSyntheticFrameTicks.
int64_t syntheticFrameTime(uint64_t n, uint64_t f);
// The info block of a synthetic movie.
zel::file::SInfoBlock syntheticInfoBlock(uint64_t n, uint32_t w, uint32_t h, uint64_t frames);

}  // namespace zel::vem::sim
