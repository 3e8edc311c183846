// The Zarr view's metadata texts, written by hand (the library has no JSON dependency).
#include "movies/zarr_view.h"

#include "movies/frame_times.h"
#include "movies/movie_description.h"
#include "movies/view_text.h"

namespace zel::vem {

namespace {

constexpr std::string_view kChunkTail = ".0.0";

}  // namespace

ZarrView::ZarrView(const MovieDescription& movie, const FrameTimes* times)
    : frameCount_(movie.frameCount), chunkBytes_(uint64_t{movie.width} * movie.height * 2) {
    const std::string w = std::to_string(movie.width);
    const std::string h = std::to_string(movie.height);
    zarray_ = "{\n    \"chunks\": [1, " + h + ", " + w +
              "],\n"
              "    \"compressor\": null,\n"
              "    \"dimension_separator\": \".\",\n"
              "    \"dtype\": \"<u2\",\n"
              "    \"fill_value\": 0,\n"
              "    \"filters\": null,\n"
              "    \"order\": \"C\",\n"
              "    \"shape\": [" +
              std::to_string(movie.frameCount) + ", " + h + ", " + w +
              "],\n"
              "    \"zarr_format\": 2\n}";

    std::string frameTimes = "null";
    std::string failure = "null";
    if (times && times->known() && times->nanoseconds.size() == movie.frameCount) {
        const std::vector<int64_t>& t = times->nanoseconds;
        frameTimes = "[";
        frameTimes.reserve(t.size() * 12);
        for (size_t i = 0; i < t.size(); ++i) {
            frameTimes += i == 0 ? "" : ", ";
            frameTimes += view_text::elapsed(t[i], t[0], 9, true);
        }
        frameTimes += "]";
    } else if (times && times->known()) {
        failure = view_text::jsonString("The frame times are not one per frame of the movie.");
    } else if (times) {
        failure = view_text::jsonString(times->failure);
    }
    zattrs_ = "{\n    \"frame_times\": " + frameTimes +
              ",\n"
              "    \"frame_times_failure\": " +
              failure +
              ",\n"
              "    \"properties\": {\n"
              "        \"width\": " +
              w + ",\n        \"height\": " + h +
              ",\n        \"numFrames\": " + std::to_string(movie.frameCount) +
              ",\n        \"index\": " + std::to_string(movie.index) +
              ",\n        \"startTime\": " + view_text::jsonString(movie.startTime) +
              ",\n        \"endTime\": " + view_text::jsonString(movie.endTime) +
              ",\n        \"duration\": " + std::to_string(movie.durationMicroseconds) +
              "\n    },\n"
              "    \"recording_time\": " +
              view_text::jsonString(view_text::utcTimeOfSeconds(movie.recordingTime, 0)) + "\n}";
    zmetadata_ = "{\n\"metadata\": {\n\".zarray\": " + zarray_ + ",\n\".zattrs\": " + zattrs_ +
                 "\n},\n\"zarr_consolidated_format\": 1\n}";
}

const std::string* ZarrView::metadata(std::string_view key) const {
    if (key == ".zarray") {
        return &zarray_;
    }
    if (key == ".zattrs") {
        return &zattrs_;
    }
    if (key == ".zmetadata") {
        return &zmetadata_;
    }
    return nullptr;
}

std::optional<uint64_t> ZarrView::chunkFrame(std::string_view key) const {
    if (key.size() <= kChunkTail.size() ||
        key.substr(key.size() - kChunkTail.size()) != kChunkTail) {
        return std::nullopt;
    }
    const std::string_view digits = key.substr(0, key.size() - kChunkTail.size());
    // One spelling per chunk: no sign, no leading zeros, nothing but digits.
    if (digits.size() > 20 || (digits.size() > 1 && digits[0] == '0')) {
        return std::nullopt;
    }
    uint64_t frame = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<uint64_t>(c - '0');
        if (frame > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        frame = frame * 10 + digit;
    }
    if (frame >= frameCount_) {
        return std::nullopt;
    }
    return frame;
}

std::string ZarrView::chunkKey(uint64_t frame) {
    return std::to_string(frame) + std::string(kChunkTail);
}

}  // namespace zel::vem
