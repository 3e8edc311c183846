// vem cat: a movie's bytes or its info stream, to stdout or a file, whole or not at all.
#include <algorithm>
#include <vector>

#include "movie.h"
#include "output_file.h"
#include "progress.h"
#include "registry.h"
#include "views.h"

namespace {

struct Options {
    std::string path;
    std::string output = "-";
    bool quiet = false;
};

int runCat(const Options& o) {
    vemcli::DrivePath path = vemcli::parseDrivePath(o.path);
    if (vemcli::catView(path, o.output, o.quiet)) {
        return vemcli::kExitOk;
    }
    path = vemcli::resolveForReading(path);
    zel::TSharedPtr<zel::IFile> file = vemcli::openForReading(path);
    const int64_t size = file->GetSize();
    if (size < 0) {
        throw vemcli::Failure(path.display() + ": the size is unknown");
    }
    uint64_t frameBytes = 0;
    if (!path.info) {
        frameBytes = vemcli::frameGeometry(vemcli::lookupEntry(path)).frameBytes();
    }
    // Whole frames per read where there are frames: the library loads one frame per request.
    uint64_t chunk =
        frameBytes > 0 ? frameBytes * std::max<uint64_t>(1, (4u << 20) / frameBytes) : (4u << 20);
    chunk = std::min<uint64_t>(chunk, 0x7fffffff);
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(chunk, size)));

    vemcli::OutputFile out(o.output, path.name + (path.info ? ".info" : ""));
    vemcli::Progress progress(!o.quiet, static_cast<uint64_t>(size), frameBytes);
    uint64_t done = 0;
    while (done < static_cast<uint64_t>(size)) {
        uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), size - done));
        uint32_t got = file->Read(buffer.data(), want);
        out.write(buffer.data(), got);
        done += got;
        progress.update(done);
        if (got < want) {
            progress.finish();
            throw vemcli::Failure(path.display() + ": the read ended after " +
                                  std::to_string(done) + " of " + std::to_string(size) +
                                  " bytes (the service refused or the connection dropped)" +
                                  (o.output == "-" ? "" : "; " + out.path() + " was not written"));
        }
    }
    progress.finish();
    out.commit();
    return vemcli::kExitOk;
}

}  // namespace

void registerCommand_cat(vemcli::Registry& registry) {
    static Options o;
    CLI::App* app = registry.add("cat", "Copy a movie's bytes (or NAME:info) to stdout or a file",
                                 [] { return runCat(o); });
    app->add_option("PATH", o.path,
                    "The movie, NAME:info for its info stream, or NAME.ome.tif for its OME-TIFF")
        ->required();
    app->add_option("-o,--output", o.output,
                    "Write to FILE instead of stdout; FILE appears only when complete");
    app->add_flag("-q,--quiet", o.quiet, "No progress bar (it is shown only on a terminal)");
    app->footer("A read that ends short is an error (exit 1); FILE is then not created.");
}
