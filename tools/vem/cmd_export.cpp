// vem export: a range of frames as one multi-page 16-bit TIFF stack, or as an OME-TIFF.
#include "frames.h"
#include "image.h"
#include "movie.h"
#include "output_file.h"
#include "progress.h"
#include "registry.h"
#include "views.h"

namespace {

struct Options {
    std::string path;
    std::string output;
    std::string frames;
    bool quiet = false;
};

int runExport(const Options& o) {
    const vemcli::DrivePath path = vemcli::resolveForReading(vemcli::parseDrivePath(o.path));
    vemcli::Movie movie = vemcli::lookupMovie(path);
    const vemcli::FrameRange range = vemcli::parseFrameRange(o.frames, movie.geometry.frames);
    const uint64_t count = range.count();
    // Made before any frame is read, so an output that cannot be written costs no read.
    vemcli::OutputFile out(o.output, path.name + ".tif");
    if (!out.direct() && vemcli::isOmeTiffName(out.path())) {
        // The layout of NAME.ome.tif, computed here: no libtiff, so every platform writes it.
        vemcli::exportOmeTiff(path, range.first, range.step, count, out, o.quiet);
        return vemcli::kExitOk;
    }
    if (count > 0xFFFF) {
        // The page-number field of a TIFF page holds 16 bits.
        throw vemcli::Failure("a stack holds at most 65535 frames; choose fewer with --frames");
    }
    const std::string ext = vemcli::lowerExtension(out.path());
    if (!out.direct() && ext != "tif" && ext != "tiff") {
        throw vemcli::Failure(out.path() + ": a stack is a TIFF file; name a .tif or .tiff file");
    }
    zel::TSharedPtr<zel::IFile> file = vemcli::openForReading(path);
    const uint64_t frameBytes = movie.geometry.frameBytes();
    auto tiff = vemcli::TiffStack::create(out.stream(), out.path(), count * frameBytes);
    vemcli::Progress progress(!o.quiet, count * frameBytes, frameBytes);
    uint64_t page = 0;
    for (uint64_t n = range.first; n < range.end; n += range.step, ++page) {
        vemcli::GrayImage image = vemcli::readFrame(*file, movie.geometry, n);
        tiff->addPage(image, static_cast<uint32_t>(page), static_cast<uint32_t>(count));
        progress.update((page + 1) * frameBytes);
    }
    progress.finish();
    tiff->close();
    out.commit();
    return vemcli::kExitOk;
}

}  // namespace

void registerCommand_export(vemcli::Registry& registry) {
    static Options o;
    CLI::App* app = registry.add("export", "Write frames as one multi-page 16-bit TIFF stack",
                                 [] { return runExport(o); });
    app->add_option("PATH", o.path, "The movie")->required();
    app->add_option(
           "-o,--output", o.output,
           "The .tif file (ImageJ/Fiji and tifffile open it); a folder receives NAME.tif;\n"
           "a name ending in .ome.tif writes an OME-TIFF with the frames' times")
        ->required();
    app->add_option("--frames", o.frames,
                    "A:B[:STEP]: frames A to B-1, every STEP-th; N: frame N alone; negative\n"
                    "numbers count from the end (default: all)");
    app->add_flag("-q,--quiet", o.quiet, "No progress bar (it is shown only on a terminal)");
    if (!vemcli::kTiffAvailable) {
        app->footer(
            "This build writes plain TIFF stacks only as OME-TIFF (NAME.ome.tif): its "
            "platform has no libtiff.");
    }
}
