// The browser viewer's files, as the build embedded them (none when tools/vem/viewer is absent).
#include <cstring>

#include "router_parts.h"
#include "viewer_files.inc"

namespace vemserve {

const StaticFile* viewerFile(const std::string& name) {
    for (const StaticFile* file = kViewerFiles; file->name != nullptr; ++file) {
        if (name == file->name) {
            return file;
        }
    }
    return nullptr;
}

}  // namespace vemserve
