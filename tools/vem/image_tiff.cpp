// TIFF through libtiff: one 16-bit grayscale page per frame.
#include <tiffio.h>
#include <unistd.h>

#include <cstdio>

#include "image.h"
#include "registry.h"

namespace vemcli {

const bool kTiffAvailable = true;

namespace {

class LibTiffStack : public TiffStack {
  public:
    LibTiffStack(TIFF* tiff, std::string path) : tiff_(tiff), path_(std::move(path)) {}
    ~LibTiffStack() override {
        if (tiff_ != nullptr) {
            TIFFClose(tiff_);
        }
    }

    void addPage(const GrayImage& image, uint32_t pageNumber, uint32_t pageCount) override {
        TIFFSetField(tiff_, TIFFTAG_IMAGEWIDTH, image.width);
        TIFFSetField(tiff_, TIFFTAG_IMAGELENGTH, image.height);
        TIFFSetField(tiff_, TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(tiff_, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tiff_, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
        TIFFSetField(tiff_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tiff_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(tiff_, TIFFTAG_ROWSPERSTRIP, image.height);
        if (pageCount > 1) {
            TIFFSetField(tiff_, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
            TIFFSetField(tiff_, TIFFTAG_PAGENUMBER, pageNumber, pageCount);
        }
        // One strip per page: libtiff writes the samples in this machine's byte order and says so.
        tmsize_t bytes = static_cast<tmsize_t>(image.pixels.size() * 2);
        if (TIFFWriteEncodedStrip(tiff_, 0, const_cast<uint16_t*>(image.pixels.data()), bytes) !=
                bytes ||
            !TIFFWriteDirectory(tiff_)) {
            throw Failure("cannot write the TIFF file " + path_);
        }
    }

    void close() override {
        TIFF* tiff = tiff_;
        tiff_ = nullptr;
        // TIFFClose reports no error; a failed flush shows up as a failed TIFFFlush first.
        bool ok = TIFFFlush(tiff) == 1;
        TIFFClose(tiff);
        if (!ok) {
            throw Failure("cannot write the TIFF file " + path_);
        }
    }

  private:
    TIFF* tiff_;
    std::string path_;
};

}  // namespace

std::unique_ptr<TiffStack> TiffStack::create(std::FILE* out, const std::string& name,
                                             uint64_t totalBytes) {
    // Classic TIFF addresses 4 GiB; leave room for the page directories.
    const char* mode = totalBytes > (uint64_t{3} << 30) ? "w8" : "w";
    // libtiff writes through a descriptor of its own and closes it; the caller's stream, which
    // has buffered nothing, is closed (and the file committed) by the caller. libtiff exists
    // only where dup() does.
    std::fflush(out);
    const int fd = ::dup(::fileno(out));
    TIFF* tiff = fd < 0 ? nullptr : TIFFFdOpen(fd, name.c_str(), mode);
    if (tiff == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        throw Failure("cannot create the TIFF file " + name);
    }
    return std::make_unique<LibTiffStack>(tiff, name);
}

}  // namespace vemcli
