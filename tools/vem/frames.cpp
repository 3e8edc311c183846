// Reading and selecting frames.
#include "frames.h"

#include <algorithm>

#include "registry.h"

namespace vemcli {

GrayImage readFrame(zel::IFile& movie, const FrameGeometry& geometry, uint64_t n) {
    if (n >= geometry.frames) {
        throw Failure("frame " + std::to_string(n) + " does not exist (the movie has " +
                      std::to_string(geometry.frames) + " frames)");
    }
    const uint64_t bytes = geometry.frameBytes();
    std::vector<uint8_t> raw(bytes);
    const int64_t at = static_cast<int64_t>(n * bytes);
    if (movie.Seek(at, zel::kSeekBegin) != at ||
        movie.Read(raw.data(), static_cast<uint32_t>(bytes)) != bytes) {
        throw Failure("frame " + std::to_string(n) + " could not be read from the drive");
    }
    GrayImage image;
    image.width = geometry.width;
    image.height = geometry.height;
    image.pixels.resize(size_t{geometry.width} * geometry.height);
    for (size_t i = 0; i < image.pixels.size(); ++i) {
        image.pixels[i] = static_cast<uint16_t>(raw[2 * i] | (raw[2 * i + 1] << 8));
    }
    return image;
}

void stretch(GrayImage& image) {
    if (image.pixels.empty()) {
        return;
    }
    auto [low, high] = std::minmax_element(image.pixels.begin(), image.pixels.end());
    const uint32_t min = *low;
    const uint32_t span = *high - min;
    if (span == 0) {
        return;
    }
    for (uint16_t& p : image.pixels) {
        p = static_cast<uint16_t>((uint64_t{p - min} * 65535 + span / 2) / span);
    }
}

namespace {

bool parseNumber(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::stoull(text);
    return true;
}

}  // namespace

FrameRange parseFrameRange(const std::string& text, uint64_t frames) {
    FrameRange range{0, frames, 1};
    if (text.empty()) {
        return range;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1) {
        parts.push_back(text.substr(start, colon - start));
    }
    parts.push_back(text.substr(start));
    const std::string bad = "--frames '" + text + "': ";
    if (parts.size() < 2 || parts.size() > 3) {
        throw Failure(bad + "write A:B or A:B:STEP (B exclusive, either may be left out)");
    }
    if (!parts[0].empty() && !parseNumber(parts[0], range.first)) {
        throw Failure(bad + "the first frame is not a number");
    }
    if (!parts[1].empty() && !parseNumber(parts[1], range.end)) {
        throw Failure(bad + "the end is not a number");
    }
    if (parts.size() == 3 && !parts[2].empty() &&
        (!parseNumber(parts[2], range.step) || range.step == 0)) {
        throw Failure(bad + "the step must be a whole number above 0");
    }
    if (range.end > frames) {
        throw Failure(bad + "the movie has only " + std::to_string(frames) + " frames");
    }
    if (range.count() == 0) {
        throw Failure(bad + "selects no frame");
    }
    return range;
}

}  // namespace vemcli
