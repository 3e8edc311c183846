// PNG where the build has no libpng (the Windows build on Debian).
#include "image.h"
#include "registry.h"

namespace vemcli {

const bool kPngAvailable = false;

void writePng(std::FILE*, const std::string&, const GrayImage&) {
    throw Failure("this build of vem writes no PNG (no libpng); use .pgm");
}

}  // namespace vemcli
