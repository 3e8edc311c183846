// The computed views as vem serves them: the OME-TIFF of a movie, its frame times in its planes.
#include "views.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "movies/frame_times.h"
#include "movies/movie_catalog.h"
#include "movies/movie_path.h"
#include "movies/ome_tiff.h"
#include "output_file.h"
#include "progress.h"
#include "registry.h"

namespace vemcli {

namespace {

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() > tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

namespace {

// Writes `view` (over `reader`'s movie) to `out` and commits it.
void writeView(const zel::vem::OmeTiffView& view, zel::vem::MovieReader& reader,
               const zel::vem::MovieDescription& movie, OutputFile& out, bool quiet) {
    const zel::vem::FrameByteReader frames = [&](uint64_t frame, uint64_t offset, void* to,
                                                 size_t n) {
        if (reader.read(frame * movie.frameBytes + offset, to, n) != n) {
            throw zel::vem::MovieError(zel::vem::MovieFailure::Refused,
                                       "the movie ended early at frame " + std::to_string(frame));
        }
    };
    // Whole frames per read, as for the movie itself: one service request per frame.
    const uint64_t chunk = std::min<uint64_t>(
        movie.frameBytes * std::max<uint64_t>(1, (4u << 20) / movie.frameBytes), 1u << 30);
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(chunk, view.size())));
    Progress progress(!quiet, view.size(), movie.frameBytes);
    uint64_t done = 0;
    // Reads after the metadata start at the pixels, so that they fall on whole frames.
    for (size_t got;
         (got = view.read(done, buffer.data(),
                          done < view.pixelOffset() ? static_cast<size_t>(std::min<uint64_t>(
                                                          buffer.size(), view.pixelOffset() - done))
                                                    : buffer.size(),
                          frames)) > 0;) {
        out.write(buffer.data(), got);
        done += got;
        progress.update(done);
    }
    progress.finish();
    out.commit();
}

// The movie's times for the view's planes, or none (and a note on stderr saying why).
std::shared_ptr<const std::vector<int64_t>> viewTimes(zel::vem::MovieCatalog& catalog,
                                                      const zel::vem::MovieDescription& movie,
                                                      const DrivePath& path) {
    zel::vem::FrameTimes times = zel::vem::frameTimesOf(catalog, movie);
    if (!times.known()) {
        std::fprintf(stderr, "vem: %s: its planes carry no DeltaT: %s\n", path.display().c_str(),
                     times.failure.c_str());
        return nullptr;
    }
    return std::make_shared<const std::vector<int64_t>>(std::move(times.nanoseconds));
}

}  // namespace

bool isOmeTiffName(const std::string& name) {
    std::string lower = name;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return endsWith(lower, ".ome.tif") || endsWith(lower, ".ome.tiff");
}

bool catView(const DrivePath& path, const std::string& output, bool quiet) {
    std::string movieName;
    if (path.info ||
        zel::vem::splitViewName(path.name, movieName) != zel::vem::MovieView::OmeTiff) {
        return false;
    }
    zel::vem::MovieCatalog catalog(drive());
    try {
        if (catalog.find(path.name)) {
            return false;  // a movie of that very name: it wins over the view
        }
        if (!catalog.find(movieName)) {
            return false;  // no view: the caller says "no such movie" as for any other name
        }
        zel::vem::MovieReader reader = catalog.open(movieName);
        const zel::vem::MovieDescription& movie = reader.description();
        const zel::vem::OmeTiffView view(zel::vem::OmeTiffMovie::of(movie),
                                         viewTimes(catalog, movie, path));
        OutputFile out(output);
        writeView(view, reader, movie, out, quiet);
    } catch (const zel::vem::MovieError& e) {
        throw Failure(path.display() + ": " + e.what() +
                      (output == "-" ? "" : "; " + output + " was not written"));
    }
    return true;
}

void exportOmeTiff(const DrivePath& path, uint64_t first, uint64_t step, uint64_t count,
                   OutputFile& out, bool quiet) {
    zel::vem::MovieCatalog catalog(drive());
    try {
        zel::vem::MovieReader reader = catalog.open(path.name);
        const zel::vem::MovieDescription& movie = reader.description();
        std::unique_ptr<zel::vem::OmeTiffView> view;
        try {
            view = std::make_unique<zel::vem::OmeTiffView>(
                zel::vem::OmeTiffMovie::of(movie), zel::vem::FrameSelection{first, step, count},
                viewTimes(catalog, movie, path));
        } catch (const std::invalid_argument& e) {
            throw Failure(path.display() + ": " + e.what());
        }
        writeView(*view, reader, movie, out, quiet);
    } catch (const zel::vem::MovieError& e) {
        throw Failure(path.display() + ": " + e.what() +
                      (out.direct() ? "" : "; " + out.path() + " was not written"));
    }
}

FrameRateInfo frameRateOf(const DrivePath& path) {
    zel::vem::MovieCatalog catalog(drive());
    FrameRateInfo info;
    try {
        const std::optional<zel::vem::MovieDescription> movie = catalog.find(path.name);
        if (!movie) {
            info.timesFailure = "the movie is no longer there";
            return info;
        }
        const zel::vem::FrameTimes times = zel::vem::frameTimesOf(catalog, *movie);
        if (!times.known()) {
            info.timesFailure = times.failure;
            return info;
        }
        info.rate = zel::vem::frameRate(times.nanoseconds);
    } catch (const zel::vem::MovieError& e) {
        info.timesFailure = e.what();
    }
    return info;
}

}  // namespace vemcli
