// PATH arguments: the library's one path grammar, with its refusals as the CLI's failures.
#pragma once

#include <string>

#include "movies/movie_path.h"

namespace vemcli {

// A place on the drive: the root (empty name), a movie, or a movie's info stream.
using DrivePath = zel::vem::MoviePath;

// The forms zel::vem::parseMoviePath accepts; throws Failure with its message otherwise.
DrivePath parseDrivePath(const std::string& text);

}  // namespace vemcli
