// Emulator-folder movies with chosen frame times, for tests of what hosts make of the times.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zel::test {

// A drive that dropped frames and once repeated a stamp: frame f's time in microseconds after
// the recording start (ten frames, about 120 per second).
const std::vector<int64_t>& irregularOffsetsUs();

// Writes `entry`.dat and `entry`.info into `dir` (created when missing): `offsetsUs.size()`
// frames of w x h with vemsim's synthetic pixels of the movie numbered by `entry`'s leading
// decimal, recorded at that movie's synthetic recording time, frame f stamped `offsetsUs[f]`
// microseconds after it. So `vemsim --folder dir` serves it. False with a reason in `error`.
bool writeFolderMovie(const std::string& dir, const std::string& entry, uint32_t w, uint32_t h,
                      const std::vector<int64_t>& offsetsUs, std::string* error);

// The number an entry name starts with ("7-run" gives 7; 0 without one).
uint64_t entryNumber(const std::string& entry);

}  // namespace zel::test
