// OmeTiffView: a movie as an OME-TIFF file whose bytes are computed when read, never stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "suite/export.h"

namespace zel::vem {

struct MovieDescription;

// What the layout of a movie's OME-TIFF follows from: all of it is in the movie's listing, so
// the file's size is known without loading a frame or the movie's times.
struct ZELVEM_API OmeTiffMovie {
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t frameCount = 0;
    std::string name;           // the recorded name, UTF-8
    int64_t recordingTime = 0;  // seconds since 1970 UTC

    static OmeTiffMovie of(const MovieDescription& movie);
};

// The movie's frames first, first + step, ... (`count` of them): the pages of an export.
struct ZELVEM_API FrameSelection {
    uint64_t first = 0;
    uint64_t step = 1;
    uint64_t count = 0;

    static FrameSelection all(uint64_t frameCount) { return {0, 1, frameCount}; }
};

// Reads `n` bytes from byte `offset` of movie frame `frame` into `out`, all of them, or throws.
using FrameByteReader = std::function<void(uint64_t frame, uint64_t offset, void* out, size_t n)>;

// The OME-TIFF of a movie (docs/views.md): one uncompressed 16-bit grey page per selected frame,
// one strip each, the frames one after another at the end of the file so that a read in the
// pixel data is a read of the movie's own bytes; the first page's description holds OME-XML
// with one Plane per frame. Classic TIFF while every byte's offset fits in 32 bits, BigTIFF
// beyond. The metadata is laid out at fixed widths, so size() follows from the movie alone and
// stays the same whether or not the times are known. Immutable; read() may run on many
// threads at once.
class ZELVEM_API OmeTiffView {
  public:
    // `times`: the whole movie's frame times (nanoseconds since 1970 UTC, one per frame, as
    // FrameTimes holds them) or null; the planes carry DeltaT, seconds since the movie's frame 0,
    // only when given. `bigTiff` asks for BigTIFF even when classic TIFF would do.
    // Throws std::invalid_argument when there is nothing to lay out: no frame selected, a
    // selection past the movie's end, sides of 0 or over 65535, times of another frame count,
    // or a file that 64-bit offsets cannot address.
    OmeTiffView(const OmeTiffMovie& movie, const FrameSelection& frames,
                std::shared_ptr<const std::vector<int64_t>> times = nullptr, bool bigTiff = false);
    // Every frame of the movie.
    explicit OmeTiffView(const OmeTiffMovie& movie,
                         std::shared_ptr<const std::vector<int64_t>> times = nullptr);

    uint64_t size() const { return size_; }
    bool bigTiff() const { return bigTiff_; }
    uint64_t pageCount() const { return frames_.count; }
    // Where page 0's pixels start; page k's start frameBytes x k after it.
    uint64_t pixelOffset() const { return dataOffset_; }
    uint64_t frameBytes() const { return frameBytes_; }
    // The movie frame shown on page `page`.
    uint64_t frameOfPage(uint64_t page) const { return frames_.first + page * frames_.step; }

    // Copies up to `n` bytes from `offset` into `out`, reading pixel data through `frames`;
    // short only at the end of the file. Exceptions of `frames` pass through.
    size_t read(uint64_t offset, void* out, size_t n, const FrameByteReader& frames) const;

    // The OME-XML of the first page, whole (tests and tools; hosts read it through read()).
    std::string omeXml() const;

  private:
    // Where an IFD after the first holds what differs from page to page.
    struct PagePatch {
        size_t strip = 0, next = 0, xResolution = 0, yResolution = 0;
    };
    void layOut(bool bigTiff);
    std::vector<uint8_t> ifd(uint64_t page, PagePatch* patch) const;
    // IFD `page` (1 or more) into `out` (ifdSize_ bytes), from the one of page 1.
    void laterIfdInto(uint64_t page, uint8_t* out) const;
    // Plane `page` into `out` (planeWidth_ characters).
    void planeInto(uint64_t page, char* out) const;
    void readXml(uint64_t offset, uint8_t* out, size_t n) const;

    OmeTiffMovie movie_;
    FrameSelection frames_;
    std::shared_ptr<const std::vector<int64_t>> times_;
    uint64_t frameBytes_ = 0;
    bool bigTiff_ = false;
    // The XML is prefix, one plane of planeWidth_ characters per page, suffix and a NUL.
    std::string xmlPrefix_;
    std::string xmlSuffix_;
    uint64_t planeWidth_ = 0;
    // Byte offsets, in file order.
    std::vector<uint8_t> head_;  // the header, the first IFD and its values before the XML
    uint64_t xmlOffset_ = 0;
    uint64_t xmlSize_ = 0;     // with its NUL
    uint64_t ifdsOffset_ = 0;  // IFD of page 1
    uint64_t ifdSize_ = 0;     // each IFD after the first, with its values and padding
    std::vector<uint8_t> pageOneIfd_;
    PagePatch patch_;
    uint64_t dataOffset_ = 0;
    uint64_t size_ = 0;
};

}  // namespace zel::vem
