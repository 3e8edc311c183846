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

// The extension of a file name in lower case ("png" for "a/B.PNG"), empty when it has none.
std::string lowerExtension(const std::string& name);

// Maps the image's min..max onto 0..65535 (a flat image stays as it is).
void stretch(GrayImage& image);

// Frames first, first+step, ... below end.
struct FrameRange {
    uint64_t first = 0;
    uint64_t end = 0;
    uint64_t step = 1;
    uint64_t count() const { return first >= end ? 0 : (end - first + step - 1) / step; }
};
// A frame number as a user writes it: from 0, or negative counting from the end (-1 is the
// last), as in Python. Throws UsageFailure when the text is no whole number, Failure when the
// movie of `frames` frames has no such frame.
uint64_t parseFrameNumber(const std::string& text, uint64_t frames);

// "A:B[:STEP]" as a Python slice: A or B left out mean the start or the end, B is exclusive,
// negative A and B count from the end; a single number N is frame N alone; empty text means
// every frame. Throws UsageFailure for malformed text and for a range that selects nothing
// (10:5, 0:10:0), Failure when it reaches outside the movie or the movie has no frames.
FrameRange parseFrameRange(const std::string& text, uint64_t frames);

}  // namespace vemcli
