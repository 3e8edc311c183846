// Reading and selecting frames.
#include "frames.h"

#include <algorithm>
#include <cctype>

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

std::string lowerExtension(const std::string& name) {
    const size_t dot = name.rfind('.');
    const size_t slash = name.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return std::string();
    }
    std::string ext = name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
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

// An optionally negative decimal number within int64; false for anything else.
bool parseSigned(const std::string& text, int64_t& value) {
    const size_t digits = text.size() - (text.rfind('-', 0) == 0 ? 1 : 0);
    if (digits == 0 || digits > 18 ||
        text.find_first_not_of("0123456789", text.size() - digits) != std::string::npos) {
        return false;
    }
    value = std::stoll(text);
    return true;
}

// Where `value` falls in a movie of `frames` frames, negative counting from the end; false when
// it falls before the first frame.
bool fromStart(int64_t value, uint64_t frames, uint64_t& index) {
    if (value >= 0) {
        index = static_cast<uint64_t>(value);
        return true;
    }
    const uint64_t back = static_cast<uint64_t>(-value);
    if (back > frames) {
        return false;
    }
    index = frames - back;
    return true;
}

std::string framesText(uint64_t frames) {
    return std::to_string(frames) + (frames == 1 ? " frame" : " frames");
}

}  // namespace

uint64_t parseFrameNumber(const std::string& text, uint64_t frames) {
    int64_t value = 0;
    if (!parseSigned(text, value)) {
        throw UsageFailure("frame '" + text +
                           "': write a whole number, from 0, or negative to count from the end");
    }
    uint64_t index = 0;
    if (!fromStart(value, frames, index) || index >= frames) {
        throw Failure("frame " + text + " does not exist (the movie has " + framesText(frames) +
                      ")");
    }
    return index;
}

FrameRange parseFrameRange(const std::string& text, uint64_t frames) {
    if (frames == 0) {
        throw Failure("the movie has no frames");
    }
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
    if (parts.size() == 1) {
        range.first = parseFrameNumber(text, frames);
        range.end = range.first + 1;
        return range;
    }
    if (parts.size() > 3) {
        throw UsageFailure(bad + "write N, A:B or A:B:STEP (B exclusive, either may be left out)");
    }
    int64_t first = 0;
    int64_t end = static_cast<int64_t>(frames);
    int64_t step = 1;
    if (!parts[0].empty() && !parseSigned(parts[0], first)) {
        throw UsageFailure(bad + "the first frame is not a number");
    }
    if (!parts[1].empty() && !parseSigned(parts[1], end)) {
        throw UsageFailure(bad + "the end is not a number");
    }
    if (parts.size() == 3 && !parts[2].empty() && (!parseSigned(parts[2], step) || step <= 0)) {
        throw UsageFailure(bad + "the step must be a whole number above 0");
    }
    if (!fromStart(first, frames, range.first) || !fromStart(end, frames, range.end)) {
        throw Failure(bad + "reaches before the first frame (the movie has " + framesText(frames) +
                      ")");
    }
    range.step = static_cast<uint64_t>(step);
    if (range.count() == 0) {
        throw UsageFailure(bad + "selects no frame");
    }
    if (range.end > frames) {
        throw Failure(bad + "the movie has only " + framesText(frames));
    }
    return range;
}

}  // namespace vemcli
