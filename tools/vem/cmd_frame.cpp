// vem frame: one frame as a 16-bit grayscale image.
#include "frames.h"
#include "image.h"
#include "movie.h"
#include "output_file.h"
#include "registry.h"

namespace {

struct Options {
    std::string path;
    std::string frame;
    std::string output;
    bool stretch = false;
};

int runFrame(const Options& o) {
    const vemcli::DrivePath path = vemcli::resolveForReading(vemcli::parseDrivePath(o.path));
    vemcli::Movie movie = vemcli::lookupMovie(path);
    const uint64_t n = vemcli::parseFrameNumber(o.frame, movie.geometry.frames);
    const std::string defaultName =
        path.name + "-" + std::to_string(n) + (vemcli::kPngAvailable ? ".png" : ".pgm");
    // Made before the frame is read, so an output that cannot be written costs no read.
    vemcli::OutputFile out(o.output.empty() ? defaultName : o.output, defaultName);
    const std::string ext = vemcli::lowerExtension(out.path());
    if (ext != "png" && ext != "pgm" && ext != "tif" && ext != "tiff") {
        throw vemcli::Failure(out.path() + ": name a .png, .tif, .tiff or .pgm file");
    }
    zel::TSharedPtr<zel::IFile> file = vemcli::openForReading(path);
    vemcli::GrayImage image = vemcli::readFrame(*file, movie.geometry, n);
    if (o.stretch) {
        vemcli::stretch(image);
    }
    if (ext == "png") {
        vemcli::writePng(out.stream(), out.path(), image);
    } else if (ext == "pgm") {
        vemcli::writePgm(out.stream(), out.path(), image);
    } else {
        auto tiff = vemcli::TiffStack::create(out.stream(), out.path(), image.pixels.size() * 2);
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
    app->add_option("N", o.frame, "The frame number, from 0; negative counts from the end (-1)")
        ->required();
    app->add_option("-o,--output", o.output,
                    "The image file; its extension picks the format (default NAME-N.png,\n"
                    "or NAME-N.pgm where PNG is missing; a folder receives that name)");
    app->add_flag("--stretch", o.stretch, "Map the frame's darkest..brightest to the full range");
    std::string formats = "Formats: .png (16-bit), .tif/.tiff (16-bit), .pgm (16-bit).";
    if (!vemcli::kPngAvailable || !vemcli::kTiffAvailable) {
        formats += " This build lacks";
        formats += !vemcli::kPngAvailable ? " PNG" : "";
        formats += !vemcli::kPngAvailable && !vemcli::kTiffAvailable ? " and" : "";
        formats += !vemcli::kTiffAvailable ? " TIFF" : "";
        formats += " (no library for its platform); PGM works everywhere.";
    }
    app->footer(formats);
}
