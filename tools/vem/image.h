// Writing 16-bit grayscale images: PGM always, PNG and TIFF where the build has their libraries.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "frames.h"

namespace vemcli {

extern const bool kPngAvailable;
extern const bool kTiffAvailable;

// Each writes the whole image to `out` or throws Failure naming `name`; `out` stays open.
void writePgm(std::FILE* out, const std::string& name, const GrayImage& image);
void writePng(std::FILE* out, const std::string& name, const GrayImage& image);

// A multi-page 16-bit TIFF, one page per added frame (a stack for ImageJ/Fiji and tifffile).
class TiffStack {
  public:
    // Written to `out` (which stays open and must be seekable); `name` is for messages.
    // `totalBytes` of pixels to come decides between classic TIFF and BigTIFF.
    static std::unique_ptr<TiffStack> create(std::FILE* out, const std::string& name,
                                             uint64_t totalBytes);
    virtual ~TiffStack() = default;
    virtual void addPage(const GrayImage& image, uint32_t pageNumber, uint32_t pageCount) = 0;
    // Finishes the file; throws Failure when it could not be written.
    virtual void close() = 0;
};

}  // namespace vemcli
