// Parsing of PATH arguments.
#include "drive_path.h"

#include "registry.h"

namespace vemcli {

DrivePath parseDrivePath(const std::string& text) {
    DrivePath path;
    std::string error;
    if (!zel::vem::parseMoviePath(text, path, error)) {
        throw Failure(error);
    }
    return path;
}

}  // namespace vemcli
