// PNG through libpng: 16-bit grayscale, samples big-endian as PNG stores them.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <vector>

#include "image.h"
#include "registry.h"

namespace vemcli {

const bool kPngAvailable = true;

namespace {

// libpng reports errors by longjmp; this frame holds no C++ objects that need destroying.
bool writeRows(std::FILE* out, const GrayImage& image, std::vector<png_bytep>& rows) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) {
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, out);
    png_set_IHDR(png, info, image.width, image.height, 16, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

void writePng(std::FILE* out, const std::string& name, const GrayImage& image) {
    std::vector<uint8_t> data(image.pixels.size() * 2);
    for (size_t i = 0; i < image.pixels.size(); ++i) {
        data[2 * i] = static_cast<uint8_t>(image.pixels[i] >> 8);
        data[2 * i + 1] = static_cast<uint8_t>(image.pixels[i]);
    }
    std::vector<png_bytep> rows(image.height);
    for (uint32_t y = 0; y < image.height; ++y) {
        rows[y] = data.data() + size_t{y} * image.width * 2;
    }
    if (!writeRows(out, image, rows)) {
        throw Failure("cannot write the PNG image " + name);
    }
}

}  // namespace vemcli
