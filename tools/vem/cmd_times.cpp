// vem times: when each frame of a movie was taken, as its info stream stamps them.
#include <cstdio>
#include <optional>

#include "frames.h"
#include "movie.h"
#include "movies/frame_times.h"
#include "movies/movie_catalog.h"
#include "registry.h"

namespace {

struct Options {
    std::string path;
    std::string frames;
    bool json = false;
};

int runTimes(const Options& o) {
    const vemcli::DrivePath path = vemcli::parseDrivePath(o.path);
    if (path.info) {
        throw vemcli::Failure(path.display() + ": times belong to the movie; name the movie " +
                              "without :info");
    }
    // The same messages as every other command for a movie that is not there.
    const vemcli::Movie listed = vemcli::lookupMovie(path);
    zel::vem::MovieCatalog catalog(vemcli::drive());
    std::optional<zel::vem::MovieDescription> movie;
    zel::vem::FrameTimes times;
    try {
        movie = catalog.find(path.name);
        if (!movie) {
            vemcli::failMovie(path, "no such movie");
        }
        times = zel::vem::frameTimesOf(catalog, *movie);
    } catch (const zel::vem::MovieError& e) {
        throw vemcli::Failure(e.what());
    }
    if (!times.known()) {
        throw vemcli::Failure(path.display() + ": no frame times: " + times.failure);
    }
    const vemcli::FrameRange range = vemcli::parseFrameRange(o.frames, listed.geometry.frames);
    const std::vector<int64_t>& t = times.nanoseconds;
    if (o.json) {
        std::printf("[");
        for (uint64_t f = range.first, i = 0; f < range.end; f += range.step, ++i) {
            std::printf("%s\n  {\"frame\": %llu, \"time\": \"%s\", \"elapsed\": %s}",
                        i == 0 ? "" : ",", static_cast<unsigned long long>(f),
                        zel::vem::formatUtcTime(t[f]).c_str(),
                        zel::vem::formatElapsed(t[f], t[0], 6).c_str());
        }
        std::printf("%s]\n", range.count() > 0 ? "\n" : "");
        return vemcli::kExitOk;
    }
    for (uint64_t f = range.first; f < range.end; f += range.step) {
        std::printf("%llu  %s  %s\n", static_cast<unsigned long long>(f),
                    zel::vem::formatUtcTime(t[f]).c_str(),
                    zel::vem::formatElapsed(t[f], t[0], 6).c_str());
    }
    return vemcli::kExitOk;
}

}  // namespace

void registerCommand_times(vemcli::Registry& registry) {
    static Options o;
    CLI::App* app = registry.add("times", "Show when each frame of a movie was taken",
                                 [] { return runTimes(o); });
    app->add_option("PATH", o.path, "The movie")->required();
    app->add_option("--frames", o.frames,
                    "A:B[:STEP]: frames A to B-1, every STEP-th (default: all)");
    app->add_flag("--json", o.json, "Print one JSON array of {frame, time, elapsed}");
    app->footer(
        "One line per frame: INDEX  TIME  ELAPSED, TIME in UTC as 2024-02-14T09:30:00.250000Z, "
        "ELAPSED the seconds since frame 0. The times are the info stream's stamps as they "
        "are; a movie whose info stream breaks its rules has none, and the failure says why.");
}
