// The computed views as vem serves them: NAME.ome.tif, the OME-TIFF of movie NAME.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "drive_path.h"

namespace vemcli {

class OutputFile;

// When `path` names a view (NAME.ome.tif of a movie NAME, and no movie has that very name:
// the movie wins), writes the view to `output` ("-" for stdout, else whole or not at all) and
// returns true; false when `path` is no view. Throws Failure when the view cannot be read.
bool catView(const DrivePath& path, const std::string& output, bool quiet);

// Whether an output named `name` asks for an OME-TIFF: it ends in .ome.tif or .ome.tiff, in any
// letter case.
bool isOmeTiffName(const std::string& name);

// Writes frames first, first + step, ... (`count` of them) of the movie at `path` to `out` as
// the OME-TIFF of those frames (the layout of NAME.ome.tif, with those frames' times), and
// commits it. Throws Failure when the movie cannot be read.
void exportOmeTiff(const DrivePath& path, uint64_t first, uint64_t step, uint64_t count,
                   OutputFile& out, bool quiet);

// The movie's frame rate from its times, and why there is none when the times cannot be had
// (empty when they can): null in JSON below two frames or for a median interval of 0.
struct FrameRateInfo {
    std::optional<double> rate;
    std::string timesFailure;
};
FrameRateInfo frameRateOf(const DrivePath& path);

}  // namespace vemcli
