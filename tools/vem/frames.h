// Frames of a movie: reading them, choosing them (A:B:STEP), and the 16-bit image they make.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "entry_format.h"
#include "suite/file.h"
#include "suite/shared_ptr.h"

namespace vemcli {

// A 16-bit grayscale frame, pixels in host order, rows top to bottom.
struct GrayImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint16_t> pixels;
};

// Frame n of an open movie (the drive stores pixels as 16-bit little-endian). Throws Failure
// when the frame does not arrive whole.
GrayImage readFrame(zel::IFile& movie, const FrameGeometry& geometry, uint64_t n);

// Maps the image's min..max onto 0..65535 (a flat image stays as it is).
void stretch(GrayImage& image);

// Frames first, first+step, ... below end.
struct FrameRange {
    uint64_t first = 0;
    uint64_t end = 0;
    uint64_t step = 1;
    uint64_t count() const { return first >= end ? 0 : (end - first + step - 1) / step; }
};
// "A:B[:STEP]" with A or B left out meaning the start or the end, B exclusive, as in Python
// slices (without negative numbers); empty text means every frame. Throws Failure when the text
// is malformed or reaches past `frames`.
FrameRange parseFrameRange(const std::string& text, uint64_t frames);

}  // namespace vemcli
