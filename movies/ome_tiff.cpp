// The virtual OME-TIFF: its layout from the movie's numbers, and its bytes computed per read.
#include "movies/ome_tiff.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "movies/movie_description.h"
#include "movies/view_text.h"

namespace zel::vem {

namespace {

// TIFF field types.
constexpr uint16_t kAscii = 2;
constexpr uint16_t kShort = 3;
constexpr uint16_t kLong = 4;
constexpr uint16_t kRational = 5;
constexpr uint16_t kLong8 = 16;

// Tags of every page, in the ascending order an IFD lists them; the first page adds
// ImageDescription (270) between PhotometricInterpretation and StripOffsets.
constexpr unsigned kTagsPerPage = 13;

// Past this, offsets need BigTIFF: the last byte of a classic file sits at 2^32 - 1.
constexpr uint64_t kClassicLimit = uint64_t{1} << 32;
// Pixel data starts on a page boundary, so reads of the view fall on the frames as reads of
// the raw movie at the same alignment do.
constexpr uint64_t kDataAlignment = 4096;
// The longest DeltaT text: |t - t0| < 2^64 ns, at most 11 digits of seconds, 9 decimals, sign.
constexpr size_t kDeltaTWidth = view_text::kElapsedMax;

// Upper bounds for the stack buffers of one IFD and one plane.
constexpr size_t kMaxIfdSize = 512;
constexpr size_t kMaxPlaneWidth = 128;

constexpr const char kPlaneStart[] = "<Plane TheZ=\"0\" TheC=\"0\" TheT=\"";
constexpr const char kDeltaTStart[] = " DeltaT=\"";
constexpr const char kDeltaTEnd[] = "\" DeltaTUnit=\"s\"";
constexpr const char kPlaneEnd[] = "/>";

uint64_t checkedAdd(uint64_t a, uint64_t b) {
    if (a > std::numeric_limits<uint64_t>::max() - b) {
        throw std::invalid_argument("The movie is too large for an OME-TIFF.");
    }
    return a + b;
}

uint64_t checkedMul(uint64_t a, uint64_t b) {
    if (b != 0 && a > std::numeric_limits<uint64_t>::max() / b) {
        throw std::invalid_argument("The movie is too large for an OME-TIFF.");
    }
    return a * b;
}

uint64_t alignUp(uint64_t value, uint64_t alignment) {
    return checkedAdd(value, alignment - 1) / alignment * alignment;
}

uint64_t decimalDigits(uint64_t value) {
    uint64_t digits = 1;
    for (; value >= 10; value /= 10) {
        ++digits;
    }
    return digits;
}

void putLE(uint8_t* p, uint64_t value, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i) {
        p[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// Little-endian bytes of one IFD and the values it keeps after itself.
class IfdWriter {
  public:
    // `offset`: where the IFD sits in the file; its out-of-line values follow it.
    IfdWriter(bool big, uint64_t offset, unsigned entries) : big_(big) {
        put(entries, big ? 8 : 2);
        extra_ = offset + length(big, entries, false);
    }

    // Bytes of an IFD of `entries` entries with the out-of-line values this writer adds.
    static uint64_t length(bool big, unsigned entries, bool withValues) {
        const uint64_t table = big ? 8 + 20 * entries + 8 : 2 + 12 * entries + 4;
        // Classic TIFF keeps the two 8-byte rationals outside the table; BigTIFF inline.
        return table + (withValues && !big ? 16 : 0);
    }

    // A field whose value fits the entry (at most 4 bytes classic, 8 BigTIFF).
    void field(uint16_t tag, uint16_t type, uint64_t value) {
        mark(tag);
        put(tag, 2);
        put(type, 2);
        put(1, big_ ? 8 : 4);
        const unsigned size = type == kShort ? 2 : (type == kLong8 ? 8 : 4);
        put(value, size);
        put(0, (big_ ? 8 : 4) - size);
    }
    // A field whose value lives elsewhere in the file.
    void outside(uint16_t tag, uint16_t type, uint64_t count, uint64_t at) {
        mark(tag);
        put(tag, 2);
        put(type, 2);
        put(count, big_ ? 8 : 4);
        put(at, big_ ? 8 : 4);
    }
    // A RATIONAL of numerator/denominator: in the entry in BigTIFF, after the table in classic.
    void rational(uint16_t tag, uint32_t numerator, uint32_t denominator) {
        const uint64_t value = uint64_t{denominator} << 32 | numerator;
        if (big_) {
            mark(tag);
            put(tag, 2);
            put(kRational, 2);
            put(1, 8);
            put(value, 8);
        } else {
            outside(tag, kRational, 1, extra_);
            rationals_.push_back(value);
            extra_ += 8;
        }
    }
    std::vector<uint8_t> finish(uint64_t next, uint64_t paddedLength) {
        nextAt_ = bytes_.size();
        put(next, big_ ? 8 : 4);
        for (uint64_t value : rationals_) {
            put(value, 8);
        }
        bytes_.resize(static_cast<size_t>(paddedLength), 0);
        return std::move(bytes_);
    }

    // Where the value field of `tag`'s entry is in the IFD's bytes.
    size_t nextAt() const { return nextAt_; }
    size_t valueAt(uint16_t tag) const {
        for (const auto& [t, at] : valueAt_) {
            if (t == tag) {
                return at;
            }
        }
        return 0;
    }

  private:
    void mark(uint16_t tag) { valueAt_.emplace_back(tag, bytes_.size() + 4 + (big_ ? 8 : 4)); }
    void put(uint64_t value, unsigned bytes) {
        for (unsigned i = 0; i < bytes; ++i) {
            bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
    }

    bool big_;
    std::vector<std::pair<uint16_t, size_t>> valueAt_;
    size_t nextAt_ = 0;
    uint64_t extra_ = 0;
    std::vector<uint64_t> rationals_;
    std::vector<uint8_t> bytes_;
};

}  // namespace

OmeTiffMovie OmeTiffMovie::of(const MovieDescription& movie) {
    return {movie.width, movie.height, movie.frameCount, movie.name, movie.recordingTime};
}

OmeTiffView::OmeTiffView(const OmeTiffMovie& movie,
                         std::shared_ptr<const std::vector<int64_t>> times)
    : OmeTiffView(movie, FrameSelection::all(movie.frameCount), std::move(times)) {}

OmeTiffView::OmeTiffView(const OmeTiffMovie& movie, const FrameSelection& frames,
                         std::shared_ptr<const std::vector<int64_t>> times, bool bigTiff)
    : movie_(movie), frames_(frames), times_(std::move(times)) {
    if (movie.width == 0 || movie.height == 0 || movie.width > 65535 || movie.height > 65535) {
        throw std::invalid_argument("The movie's frames have no pixels to lay out.");
    }
    if (frames.count == 0) {
        throw std::invalid_argument("An OME-TIFF needs at least one frame.");
    }
    if (frames.step == 0 || frames.first >= movie.frameCount ||
        (frames.count - 1) > (movie.frameCount - 1 - frames.first) / frames.step) {
        throw std::invalid_argument("The frames asked for are not all in the movie.");
    }
    if (times_ && times_->size() != movie.frameCount) {
        throw std::invalid_argument("The frame times are not one per frame of the movie.");
    }
    frameBytes_ = uint64_t{movie.width} * movie.height * 2;

    const std::string count = std::to_string(frames.count);
    const std::string acquired = view_text::utcTimeOfSeconds(movie.recordingTime, 0);
    xmlPrefix_ =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<OME xmlns=\"http://www.openmicroscopy.org/Schemas/OME/2016-06\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xsi:schemaLocation=\"http://www.openmicroscopy.org/Schemas/OME/2016-06 "
        "http://www.openmicroscopy.org/Schemas/OME/2016-06/ome.xsd\" Creator=\"zelvem\">"
        "<Image ID=\"Image:0\" Name=\"" +
        view_text::xmlEscape(movie.name) +
        "\">"
        // Whole seconds, as the listing has it: the same text whether the times are known.
        "<AcquisitionDate>" +
        acquired.substr(0, 19) +
        "Z</AcquisitionDate>"
        "<Pixels ID=\"Pixels:0\" DimensionOrder=\"XYZCT\" Type=\"uint16\" "
        "SignificantBits=\"16\" BigEndian=\"false\" Interleaved=\"false\" SizeX=\"" +
        std::to_string(movie.width) + "\" SizeY=\"" + std::to_string(movie.height) +
        "\" SizeZ=\"1\" SizeC=\"1\" SizeT=\"" + count +
        "\">"
        "<Channel ID=\"Channel:0:0\" SamplesPerPixel=\"1\"><LightPath/></Channel>"
        "<TiffData IFD=\"0\" PlaneCount=\"" +
        count + "\"/>";
    xmlSuffix_ = "</Pixels></Image></OME>";
    planeWidth_ = (sizeof kPlaneStart - 1) + decimalDigits(frames.count - 1) + 1 +
                  (sizeof kDeltaTStart - 1) + kDeltaTWidth + (sizeof kDeltaTEnd - 1) +
                  (sizeof kPlaneEnd - 1);

    layOut(bigTiff);
    if (!bigTiff && size_ > kClassicLimit) {
        layOut(true);
    }
}

void OmeTiffView::layOut(bool big) {
    bigTiff_ = big;
    const uint64_t headerBytes = big ? 16 : 8;
    const uint64_t firstIfd = IfdWriter::length(big, kTagsPerPage + 1, true);
    xmlOffset_ = alignUp(headerBytes + firstIfd, 8);
    xmlSize_ = checkedAdd(xmlPrefix_.size() + xmlSuffix_.size() + 1,
                          checkedMul(frames_.count, planeWidth_));
    ifdsOffset_ = alignUp(checkedAdd(xmlOffset_, xmlSize_), 8);
    ifdSize_ = alignUp(IfdWriter::length(big, kTagsPerPage, true), 8);
    const uint64_t ifdsEnd = checkedAdd(ifdsOffset_, checkedMul(frames_.count - 1, ifdSize_));
    dataOffset_ = alignUp(ifdsEnd, kDataAlignment);
    size_ = checkedAdd(dataOffset_, checkedMul(frames_.count, frameBytes_));

    head_.assign(static_cast<size_t>(xmlOffset_), 0);
    const uint8_t header[16] = {'I',
                                'I',
                                static_cast<uint8_t>(big ? 43 : 42),
                                0,
                                static_cast<uint8_t>(big ? 8 : headerBytes),
                                0,
                                0,
                                0,
                                static_cast<uint8_t>(big ? headerBytes : 0)};
    std::memcpy(head_.data(), header, static_cast<size_t>(headerBytes));
    const std::vector<uint8_t> first = ifd(0, nullptr);
    std::memcpy(head_.data() + headerBytes, first.data(), first.size());
    pageOneIfd_ = frames_.count > 1 ? ifd(1, &patch_) : std::vector<uint8_t>();
}

std::vector<uint8_t> OmeTiffView::ifd(uint64_t page, PagePatch* patch) const {
    const bool big = bigTiff_;
    const bool first = page == 0;
    const uint64_t at = first ? (big ? 16 : 8) : ifdsOffset_ + (page - 1) * ifdSize_;
    const uint64_t next = page + 1 < frames_.count ? ifdsOffset_ + page * ifdSize_ : 0;
    const uint64_t strip = dataOffset_ + page * frameBytes_;
    IfdWriter w(big, at, kTagsPerPage + (first ? 1 : 0));
    w.field(256, kLong, movie_.width);   // ImageWidth
    w.field(257, kLong, movie_.height);  // ImageLength
    w.field(258, kShort, 16);            // BitsPerSample
    w.field(259, kShort, 1);             // Compression: none
    w.field(262, kShort, 1);             // PhotometricInterpretation: black is zero
    if (first) {
        w.outside(270, kAscii, xmlSize_, xmlOffset_);  // ImageDescription: the OME-XML
    }
    w.field(273, big ? kLong8 : kLong, strip);        // StripOffsets
    w.field(277, kShort, 1);                          // SamplesPerPixel
    w.field(278, kLong, movie_.height);               // RowsPerStrip: one strip
    w.field(279, big ? kLong8 : kLong, frameBytes_);  // StripByteCounts
    w.rational(282, 1, 1);                            // XResolution
    w.rational(283, 1, 1);                            // YResolution
    w.field(296, kShort, 1);                          // ResolutionUnit: none
    w.field(339, kShort, 1);                          // SampleFormat: unsigned
    const uint64_t length = IfdWriter::length(big, kTagsPerPage + (first ? 1 : 0), true);
    std::vector<uint8_t> bytes = w.finish(next, first ? length : ifdSize_);
    if (patch) {
        patch->strip = w.valueAt(273);
        patch->next = w.nextAt();
        patch->xResolution = w.valueAt(282);
        patch->yResolution = w.valueAt(283);
    }
    return bytes;
}

void OmeTiffView::laterIfdInto(uint64_t page, uint8_t* out) const {
    // Page 1's IFD with the offsets that move: a copy instead of a build per read.
    std::memcpy(out, pageOneIfd_.data(), pageOneIfd_.size());
    const unsigned word = bigTiff_ ? 8 : 4;
    putLE(out + patch_.strip, dataOffset_ + page * frameBytes_, word);
    putLE(out + patch_.next, page + 1 < frames_.count ? ifdsOffset_ + page * ifdSize_ : 0, word);
    if (!bigTiff_) {
        const uint64_t rationals =
            ifdsOffset_ + (page - 1) * ifdSize_ + IfdWriter::length(false, kTagsPerPage, false);
        putLE(out + patch_.xResolution, rationals, 4);
        putLE(out + patch_.yResolution, rationals + 8, 4);
    }
}

void OmeTiffView::planeInto(uint64_t page, char* out) const {
    char* p = out;
    const auto append = [&p](const char* text, size_t n) {
        std::memcpy(p, text, n);
        p += n;
    };
    append(kPlaneStart, sizeof kPlaneStart - 1);
    char digits[24];
    const int n =
        std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(page));
    append(digits, static_cast<size_t>(n));
    *p++ = '"';
    if (times_) {
        const std::vector<int64_t>& t = *times_;
        append(kDeltaTStart, sizeof kDeltaTStart - 1);
        p += view_text::elapsedInto(p, t[frameOfPage(page)], t[0], 9, true);
        append(kDeltaTEnd, sizeof kDeltaTEnd - 1);
    }
    // The padding goes where XML allows blanks, before the tag's end.
    char* end = out + planeWidth_ - (sizeof kPlaneEnd - 1);
    std::memset(p, ' ', static_cast<size_t>(end - p));
    std::memcpy(end, kPlaneEnd, sizeof kPlaneEnd - 1);
}

void OmeTiffView::readXml(uint64_t offset, uint8_t* out, size_t n) const {
    const uint64_t planesStart = xmlPrefix_.size();
    const uint64_t planesEnd = planesStart + frames_.count * planeWidth_;
    const uint64_t suffixEnd = planesEnd + xmlSuffix_.size();
    while (n > 0) {
        size_t take = 0;
        if (offset < planesStart) {
            take = static_cast<size_t>(std::min<uint64_t>(n, planesStart - offset));
            std::memcpy(out, xmlPrefix_.data() + offset, take);
        } else if (offset < planesEnd) {
            const uint64_t page = (offset - planesStart) / planeWidth_;
            const uint64_t within = (offset - planesStart) % planeWidth_;
            take = static_cast<size_t>(std::min<uint64_t>(n, planeWidth_ - within));
            char plane[kMaxPlaneWidth];
            planeInto(page, plane);
            std::memcpy(out, plane + within, take);
        } else if (offset < suffixEnd) {
            take = static_cast<size_t>(std::min<uint64_t>(n, suffixEnd - offset));
            std::memcpy(out, xmlSuffix_.data() + (offset - planesEnd), take);
        } else {
            take = 1;  // the NUL that ends an ASCII field
            *out = 0;
        }
        offset += take;
        out += take;
        n -= take;
    }
}

size_t OmeTiffView::read(uint64_t offset, void* out, size_t n,
                         const FrameByteReader& frames) const {
    if (offset >= size_) {
        return 0;
    }
    n = static_cast<size_t>(std::min<uint64_t>(n, size_ - offset));
    auto* dest = static_cast<uint8_t*>(out);
    const uint64_t xmlEnd = xmlOffset_ + xmlSize_;
    const uint64_t ifdsEnd = ifdsOffset_ + (frames_.count - 1) * ifdSize_;
    size_t done = 0;
    while (done < n) {
        const uint64_t at = offset + done;
        const size_t left = n - done;
        size_t take = 0;
        if (at < xmlOffset_) {
            take = static_cast<size_t>(std::min<uint64_t>(left, xmlOffset_ - at));
            std::memcpy(dest + done, head_.data() + at, take);
        } else if (at < xmlEnd) {
            take = static_cast<size_t>(std::min<uint64_t>(left, xmlEnd - at));
            readXml(at - xmlOffset_, dest + done, take);
        } else if (at >= ifdsOffset_ && at < ifdsEnd) {
            const uint64_t page = 1 + (at - ifdsOffset_) / ifdSize_;
            const uint64_t within = (at - ifdsOffset_) % ifdSize_;
            take = static_cast<size_t>(std::min<uint64_t>(left, ifdSize_ - within));
            uint8_t bytes[kMaxIfdSize];
            laterIfdInto(page, bytes);
            std::memcpy(dest + done, bytes + within, take);
        } else if (at < dataOffset_) {
            // Padding after the XML and before the pixels.
            const uint64_t end = at < ifdsOffset_ ? ifdsOffset_ : dataOffset_;
            take = static_cast<size_t>(std::min<uint64_t>(left, end - at));
            std::memset(dest + done, 0, take);
        } else {
            const uint64_t page = (at - dataOffset_) / frameBytes_;
            const uint64_t within = (at - dataOffset_) % frameBytes_;
            take = static_cast<size_t>(std::min<uint64_t>(left, frameBytes_ - within));
            frames(frameOfPage(page), within, dest + done, take);
        }
        done += take;
    }
    return n;
}

std::string OmeTiffView::omeXml() const {
    std::string xml(static_cast<size_t>(xmlSize_ - 1), '\0');
    readXml(0, reinterpret_cast<uint8_t*>(xml.data()), xml.size());
    return xml;
}

}  // namespace zel::vem
