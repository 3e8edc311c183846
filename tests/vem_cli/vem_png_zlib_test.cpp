// The PNG writer of builds without libpng (vem.exe), read back by libpng where both exist.
#include <gtest/gtest.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>

#include "image.h"
#include "registry.h"

namespace {

// libpng reports errors by longjmp; no C++ object needing destruction lives in this frame.
bool readPng(std::FILE* in, uint32_t& width, uint32_t& height, int& depth, int& colour,
             std::vector<uint16_t>& pixels) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, in);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    width = png_get_image_width(png, info);
    height = png_get_image_height(png, info);
    depth = png_get_bit_depth(png, info);
    colour = png_get_color_type(png, info);
    png_bytepp rows = png_get_rows(png, info);
    pixels.assign(size_t{width} * height, 0);
    for (uint32_t y = 0; depth == 16 && y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            pixels[size_t{y} * width + x] =
                static_cast<uint16_t>(rows[y][2 * x] << 8 | rows[y][2 * x + 1]);
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

vemcli::GrayImage pattern(uint32_t width, uint32_t height) {
    vemcli::GrayImage image{width, height, {}};
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            image.pixels.push_back(static_cast<uint16_t>((x * 131u + y * 977u) * 37u));
        }
    }
    return image;
}

TEST(PngThroughZlib, LibpngReadsBackEveryValue) {
    const vemcli::GrayImage cases[] = {
        {1, 1, {0}},     {1, 1, {65535}},   {3, 2, {0, 1, 255, 256, 65534, 65535}},
        pattern(37, 23), pattern(640, 480),
    };
    for (const vemcli::GrayImage& image : cases) {
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        vemcli::writePng(file, "test.png", image);
        std::rewind(file);
        uint32_t width = 0, height = 0;
        int depth = 0, colour = -1;
        std::vector<uint16_t> pixels;
        ASSERT_TRUE(readPng(file, width, height, depth, colour, pixels)) << image.width;
        std::fclose(file);
        EXPECT_EQ(width, image.width);
        EXPECT_EQ(height, image.height);
        EXPECT_EQ(depth, 16);
        EXPECT_EQ(colour, PNG_COLOR_TYPE_GRAY);
        EXPECT_EQ(pixels, image.pixels) << image.width << "x" << image.height;
    }
}

TEST(PngThroughZlib, AnEmptyImageIsRefusedWithItsName) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    try {
        vemcli::writePng(file, "empty.png", vemcli::GrayImage{0, 5, {}});
        ADD_FAILURE() << "no failure";
    } catch (const vemcli::Failure& e) {
        EXPECT_NE(std::string(e.what()).find("empty.png"), std::string::npos) << e.what();
    }
    std::fclose(file);
}

}  // namespace
