// Writing 16-bit grayscale images: PGM always, PNG and TIFF where the build has their libraries.
#pragma once

#include <memory>
#include <string>

#include "frames.h"

namespace vemcli {

extern const bool kPngAvailable;
extern const bool kTiffAvailable;

// Each writes the whole image to `path` or throws Failure.
void writePgm(const std::string& path, const GrayImage& image);
void writePng(const std::string& path, const GrayImage& image);

// A multi-page 16-bit TIFF, one page per added frame (a stack for ImageJ/Fiji and tifffile).
class TiffStack {
  public:
    // `totalBytes` of pixels to come decides between classic TIFF and BigTIFF.
    static std::unique_ptr<TiffStack> create(const std::string& path, uint64_t totalBytes);
    virtual ~TiffStack() = default;
    virtual void addPage(const GrayImage& image, uint32_t pageNumber, uint32_t pageCount) = 0;
    // Finishes the file; throws Failure when it could not be written.
    virtual void close() = 0;
};

}  // namespace vemcli
