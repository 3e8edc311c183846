// PGM: the format needing no library (16-bit samples are stored big-endian).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image.h"
#include "registry.h"

namespace vemcli {

void writePgm(std::FILE* out, const std::string& name, const GrayImage& image) {
    std::string header =
        "P5\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n65535\n";
    std::vector<uint8_t> data(image.pixels.size() * 2);
    for (size_t i = 0; i < image.pixels.size(); ++i) {
        data[2 * i] = static_cast<uint8_t>(image.pixels[i] >> 8);
        data[2 * i + 1] = static_cast<uint8_t>(image.pixels[i]);
    }
    if (std::fwrite(header.data(), 1, header.size(), out) != header.size() ||
        std::fwrite(data.data(), 1, data.size(), out) != data.size()) {
        throw Failure("cannot write " + name + ": " + std::strerror(errno));
    }
}

}  // namespace vemcli
