// PATH arguments: the forms a user types, reduced to the one path the library is given.
#pragma once

#include <string>

namespace vemcli {

// A place on the drive: the root (empty name), a movie, or a movie's info stream.
struct DrivePath {
    std::string name;
    bool info = false;

    bool isRoot() const { return name.empty(); }
    // The absolute path handed to the library: "/NAME", "/NAME:info" or "/".
    std::string libraryPath() const;
    // How messages show it: "vem:///NAME" or "vem:///NAME:info".
    std::string display() const;
};

// Accepts "vem:///NAME", "/NAME" and "NAME", each with an optional ":info" in any letter case,
// and the root as "", "/", "vem:" or "vem:///". Throws Failure for anything that cannot name a
// place on the drive's one flat folder.
DrivePath parseDrivePath(const std::string& text);

}  // namespace vemcli
