// vem's PNG and TIFF output read back with libpng and libtiff, pixel for pixel.
#include <png.h>
#include <tiffio.h>

#include <cstdio>

#include "vem_cli_test_support.h"

using namespace vemcli::test;

namespace {

using Pixels = std::vector<uint16_t>;

// The pixels of a 16-bit grayscale PNG of w x h; empty when it is anything else.
Pixels readPng(const std::string& path, uint32_t w, uint32_t h) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        return {};
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    Pixels pixels;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, in);
        png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
        if (png_get_image_width(png, info) == w && png_get_image_height(png, info) == h &&
            png_get_bit_depth(png, info) == 16 &&
            png_get_color_type(png, info) == PNG_COLOR_TYPE_GRAY) {
            png_bytepp rows = png_get_rows(png, info);
            for (uint32_t y = 0; y < h; ++y) {
                for (uint32_t x = 0; x < w; ++x) {
                    pixels.push_back(
                        static_cast<uint16_t>(rows[y][2 * x] << 8 | rows[y][2 * x + 1]));
                }
            }
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(in);
    return pixels;
}

// Every page of a TIFF, each checked to be 16-bit grayscale of w x h (else an empty page).
std::vector<Pixels> readTiff(const std::string& path, uint32_t w, uint32_t h) {
    std::vector<Pixels> pages;
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    if (tiff == nullptr) {
        return pages;
    }
    do {
        uint32_t width = 0, height = 0;
        uint16_t bits = 0, samples = 0;
        TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
        TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
        Pixels pixels;
        if (width == w && height == h && bits == 16 && samples == 1) {
            pixels.resize(size_t{w} * h);
            for (uint32_t y = 0; y < h; ++y) {
                if (TIFFReadScanline(tiff, pixels.data() + size_t{y} * w, y) != 1) {
                    pixels.clear();
                    break;
                }
            }
        }
        pages.push_back(pixels);
    } while (TIFFReadDirectory(tiff));
    TIFFClose(tiff);
    return pages;
}

TEST_F(VemTest, FramesAndExportsMatchThePixels) {
    ASSERT_TRUE(startSim({"--movie", "40x30x20:run_a"}));
    VemRun png = vem({"frame", "1-run_a", "13", "-o", file("f.PNG")});
    ASSERT_EQ(png.code, 0) << png.text();
    EXPECT_EQ(readPng(file("f.PNG"), 40, 30), syntheticPixels(1, 13, 40, 30));
    VemRun tif = vem({"frame", "vem:///1-run_a", "0", "-o", file("f.tif")});
    ASSERT_EQ(tif.code, 0) << tif.text();
    EXPECT_EQ(readTiff(file("f.tif"), 40, 30), std::vector<Pixels>{syntheticPixels(1, 0, 40, 30)});
    // Negative numbers count from the end; a folder receives NAME-N.png with N from the start.
    VemRun last = vem({"frame", "1-run_a", "-1", "-o", outDir});
    ASSERT_EQ(last.code, 0) << last.text();
    EXPECT_EQ(readPng(file("1-run_a-19.png"), 40, 30), syntheticPixels(1, 19, 40, 30));

    // export writes the chosen frames as the pages of one TIFF.
    struct Case {
        const char* frames;
        std::vector<uint64_t> expected;
    } cases[] = {
        {"3:12:4", {3, 7, 11}},
        {"18:", {18, 19}},
        {"5", {5}},
        {"-1", {19}},
        {"-3:", {17, 18, 19}},
        {"-20:-17", {0, 1, 2}},
        {"1:-14:3", {1, 4}},
        {"", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"export", "1-run_a", "-o", file("stack.tif")};
        if (*c.frames) {
            args.insert(args.end(), {"--frames", c.frames});
        }
        VemRun run = vem(args);
        ASSERT_EQ(run.code, 0) << c.frames << "\n" << run.text();
        std::vector<Pixels> expected;
        for (uint64_t f : c.expected) {
            expected.push_back(syntheticPixels(1, f, 40, 30));
        }
        EXPECT_EQ(readTiff(file("stack.tif"), 40, 30), expected) << c.frames;
    }
}

}  // namespace
