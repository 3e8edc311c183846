// vem frame: one frame as a 16-bit grayscale image.
#include <algorithm>
#include <cctype>

#include "frames.h"
#include "image.h"
#include "movie.h"
#include "output_file.h"
#include "registry.h"

namespace {

struct Options {
    std::string path;
    uint64_t frame = 0;
    std::string output;
    bool stretch = false;
};

std::string lowerExtension(const std::string& name) {
    size_t dot = name.rfind('.');
    size_t slash = name.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return std::string();
    }
    std::string ext = name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

int runFrame(const Options& o) {
    vemcli::DrivePath path = vemcli::parseDrivePath(o.path);
    vemcli::Movie movie = vemcli::lookupMovie(path);
    std::string output = o.output;
    if (output.empty()) {
        output =
            path.name + "-" + std::to_string(o.frame) + (vemcli::kPngAvailable ? ".png" : ".pgm");
    }
    const std::string ext = lowerExtension(output);
    if (ext != "png" && ext != "pgm" && ext != "tif" && ext != "tiff") {
        throw vemcli::Failure(output + ": name a .png, .tif, .tiff or .pgm file");
    }
    zel::TSharedPtr<zel::IFile> file = vemcli::openForReading(path);
    vemcli::GrayImage image = vemcli::readFrame(*file, movie.geometry, o.frame);
    if (o.stretch) {
        vemcli::stretch(image);
    }
    vemcli::OutputFile out(output);
    out.closeStream();
    if (ext == "png") {
        vemcli::writePng(out.writingPath(), image);
    } else if (ext == "pgm") {
        vemcli::writePgm(out.writingPath(), image);
    } else {
        auto tiff = vemcli::TiffStack::create(out.writingPath(), image.pixels.size() * 2);
        tiff->addPage(image, 0, 1);
        tiff->close();
    }
    out.commit();
    return vemcli::kExitOk;
}

}  // namespace

void registerCommand_frame(vemcli::Registry& registry) {
    static Options o;
    CLI::App* app = registry.add("frame", "Write one frame as a 16-bit grayscale image",
                                 [] { return runFrame(o); });
    app->add_option("PATH", o.path, "The movie")->required();
    app->add_option("N", o.frame, "The frame number, from 0")->required();
    app->add_option("-o,--output", o.output,
                    "The image file; its extension picks the format (default NAME-N.png)");
    app->add_flag("--stretch", o.stretch, "Map the frame's darkest..brightest to the full range");
    std::string formats = "Formats: .png (16-bit), .tif/.tiff (16-bit), .pgm (16-bit).";
    if (!vemcli::kPngAvailable || !vemcli::kTiffAvailable) {
        formats += " This build lacks";
        formats += !vemcli::kPngAvailable ? " PNG" : "";
        formats += !vemcli::kPngAvailable && !vemcli::kTiffAvailable ? " and" : "";
        formats += !vemcli::kTiffAvailable ? " TIFF" : "";
        formats += " (its platform has no library for it); PGM works everywhere.";
    }
    app->footer(formats);
}
