// The computed views as vem serves them: NAME.ome.tif, the OME-TIFF of movie NAME.
#pragma once

#include <string>

#include "drive_path.h"

namespace vemcli {

// When `path` names a view (NAME.ome.tif of a movie NAME, and no movie has that very name:
// the movie wins), writes the view to `output` ("-" for stdout, else whole or not at all) and
// returns true; false when `path` is no view. Throws Failure when the view cannot be read.
bool catView(const DrivePath& path, const std::string& output, bool quiet);

}  // namespace vemcli
