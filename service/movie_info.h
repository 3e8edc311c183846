// SVemMovieInfo and SVemEvent: the records the service operations fill in place.
#pragma once

#include <cstdint>
#include <type_traits>

namespace zel::vem {

// One movie as the service describes it. A plain record: zero-filled when created, copied as raw
// bytes, never destroyed field by field (the movie cache relies on that when it grows).
struct SVemMovieInfo {
    uint32_t size;    // "size" as reported; kept, not interpreted
    char name[64];    // NUL-terminated; a longer name is cut to 63 bytes
    uint16_t width;   // pixels
    uint16_t height;  // pixels
    uint64_t numFrames;
    uint64_t number;     // with name forms the entry name "%llu-%s"
    uint32_t rtcTime;    // seconds since 1970-01-01 00:00 UTC
    uint64_t startTime;  // packed IRIG time stamp of the first frame
    uint64_t endTime;    // packed IRIG time stamp of the last frame
    uint32_t status;     // "status" as reported; kept, not interpreted
};
static_assert(std::is_trivially_copyable_v<SVemMovieInfo>);

// One event from the service's queue: type 0 ends the queue, 1 means the movie set changed.
struct SVemEvent {
    uint32_t type;
    uint32_t drive;
};

}  // namespace zel::vem
