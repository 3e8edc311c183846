// MovieDescription: a movie's entry as typed numbers, read from the drive interface in one place.
#pragma once

#include <cstdint>
#include <string>

#include "suite/export.h"
#include "suite/filesystem.h"

namespace zel::vem {

// What makes a movie the same movie: its number, recorded name and recording time. Its index
// (position in the drive's list) is not part of it: removing another movie changes the index.
struct ZELVEM_API MovieIdentity {
    uint64_t number = 0;
    std::string name;           // the recorded name, UTF-8
    int64_t recordingTime = 0;  // seconds since 1970-01-01 00:00 UTC
    bool operator==(const MovieIdentity& other) const;
    bool operator!=(const MovieIdentity& other) const { return !(*this == other); }
};

struct ZELVEM_API MovieDescription {
    std::string entryName;  // "<number>-<name>", UTF-8: how every host names the movie
    uint64_t number = 0;
    std::string name;    // the recorded name
    uint32_t index = 0;  // position in the drive's list when described; may change
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t frameCount = 0;
    uint64_t frameBytes = 0;    // width x height x 2, in 64 bits
    uint64_t size = 0;          // frameBytes x frameCount
    int64_t recordingTime = 0;  // seconds since 1970-01-01 00:00 UTC
    // The entry's startTime and endTime as shown ("DDD:HH:MM:SS.mmmuuu") and the duration in
    // microseconds; emulator movies carry what their meta file says.
    std::string startTime;
    std::string endTime;
    uint64_t durationMicroseconds = 0;

    MovieIdentity identity() const;
    // Whether its frames can be read at all: a frame of 0 bytes, or of 4 GiB or more (the drive
    // interface counts a frame's bytes in 32 bits), reads nothing.
    bool framesReadable() const;
};

// Reads the seven properties and the time of a movie entry as numbers; false when the entry is
// no movie or a property is missing or not a number (then `out` is unspecified).
ZELVEM_API bool describeMovie(const CDirectoryEntry& entry, MovieDescription& out);

}  // namespace zel::vem
