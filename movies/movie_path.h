// MoviePath: the one grammar every host uses for the places of the drive's flat tree.
#pragma once

#include <string>
#include <string_view>

#include "suite/export.h"

namespace zel::vem {

// A place on the drive: the root (empty name), a movie entry, or a movie's info stream.
struct ZELVEM_API MoviePath {
    std::string name;  // the entry name "<number>-<name>", UTF-8; empty for the root
    bool info = false;

    bool isRoot() const { return name.empty(); }
    // What the drive interface is given: "/NAME", "/NAME:info" or "/".
    std::string libraryPath() const;
    // How messages show it: "vem:///NAME", "vem:///NAME:info" or "vem:///".
    std::string display() const;
};

// Accepts "vem:", "vem:///", "vem:///NAME", "vem://NAME" (a relative NAME, as the drive interface
// reads it), "/NAME" and "NAME", each with ":info" in any letter case; "" and "/" are the root.
// Refuses, with a message for the user in `error`: "vem://HOST/NAME" (another machine's drive),
// names with a folder part, ":info" without a movie, control characters and text that is not
// UTF-8. Returns false when refused.
ZELVEM_API bool parseMoviePath(std::string_view text, MoviePath& path, std::string& error);

// The computed views each movie NAME is also offered as, beside it in the same flat tree:
// "NAME.ome.tif" (an OME-TIFF) and "NAME.zarr" (a Zarr folder).
enum class MovieView { None, OmeTiff, Zarr };

// The entry name of `movie`'s view `view` ("NAME.ome.tif", "NAME.zarr").
ZELVEM_API std::string viewEntryName(const std::string& movie, MovieView view);

// Which view an entry name asks for, and of which movie (`movie` receives NAME); None when it
// names no view. A name is a view only where no movie has that very name (the movie wins):
// that is for the caller to check against its listing.
ZELVEM_API MovieView splitViewName(const std::string& name, std::string& movie);

}  // namespace zel::vem
