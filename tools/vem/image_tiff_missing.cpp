// TIFF where the build has no libtiff (the Windows build on Debian).
#include "image.h"
#include "registry.h"

namespace vemcli {

const bool kTiffAvailable = false;

std::unique_ptr<TiffStack> TiffStack::create(std::FILE*, const std::string&, uint64_t) {
    throw Failure("this build of vem writes no TIFF (no libtiff); use .pgm");
}

}  // namespace vemcli
