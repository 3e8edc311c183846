// ZarrView: a movie as a Zarr (version 2) array folder, NAME.zarr/: its metadata texts and chunks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "suite/export.h"

namespace zel::vem {

struct FrameTimes;
struct MovieDescription;

// The folder holds ".zarray", ".zattrs", ".zmetadata" (the two consolidated) and one chunk
// per frame, "i.0.0" holding frame i's bytes as they are: shape [frames, height, width],
// chunks [1, height, width], little-endian uint16, no compressor, C order. Immutable.
class ZELVEM_API ZarrView {
  public:
    // `times` null or unknown: "frame_times" is null and "frame_times_failure" says why (when
    // known). The texts are made here, once.
    ZarrView(const MovieDescription& movie, const FrameTimes* times);

    const std::string& zarray() const { return zarray_; }
    // {"frame_times": [seconds since frame 0, ...] or null, "frame_times_failure": text or
    // null, "properties": {the entry's seven}, "recording_time": "2024-02-14T09:30:00.000000Z"}.
    const std::string& zattrs() const { return zattrs_; }
    const std::string& zmetadata() const { return zmetadata_; }
    // The text of a metadata key (".zarray", ".zattrs", ".zmetadata"); null for any other key.
    const std::string* metadata(std::string_view key) const;

    uint64_t frameCount() const { return frameCount_; }
    uint64_t chunkBytes() const { return chunkBytes_; }
    // The frame whose bytes chunk `key` holds: "i.0.0" with i in decimal without leading zeros
    // and below the frame count; nullopt for every other key.
    std::optional<uint64_t> chunkFrame(std::string_view key) const;
    static std::string chunkKey(uint64_t frame);

  private:
    uint64_t frameCount_;
    uint64_t chunkBytes_;
    std::string zarray_;
    std::string zattrs_;
    std::string zmetadata_;
};

}  // namespace zel::vem
