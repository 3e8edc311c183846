// Planning one movie's copy: its files, which are there already, what partial files keep.
#include <algorithm>
#include <stdexcept>

#include "get/copy_movie.h"
#include "get/local_names.h"
#include "movies/movie_catalog.h"
#include "movies/ome_tiff.h"
#include "output_file_platform.h"
#include "suite/store.h"

namespace vemcli::get {

namespace os = outputplatform;
using zel::vem::MovieCatalog;
using zel::vem::MovieDescription;
using zel::vem::MovieError;
using zel::vem::MovieFailure;

uint64_t wholeFramesKept(uint64_t have, uint64_t size, uint64_t gridStart, uint64_t frameBytes) {
    have = std::min(have, size);
    return have < gridStart ? 0 : gridStart + (have - gridStart) / frameBytes * frameBytes;
}

std::string metaText(const MovieDescription& movie) {
    // The values the emulator would make from the ".dat" file, taken from the drive instead.
    zel::CINIStore store;
    auto put = [&](const char* key, const std::string& value) {
        store.SetString(zel::CString(key), zel::CString(value));
    };
    put("meta/width", std::to_string(movie.width));
    put("meta/height", std::to_string(movie.height));
    put("meta/numFrames", std::to_string(movie.frameCount));
    put("meta/startTime", movie.startTime);
    put("meta/endTime", movie.endTime);
    put("meta/duration", std::to_string(movie.durationMicroseconds));
    put("meta/index", std::to_string(movie.number));
    return store.ToText().c_str();
}

uint64_t MoviePlan::bytesToWrite() const {
    uint64_t total = 0;
    for (const PlannedFile& file : files) {
        total += file.skip ? 0 : file.size - file.resumeFrom;
    }
    return total;
}

uint64_t MoviePlan::bytes() const {
    uint64_t total = 0;
    for (const PlannedFile& file : files) {
        total += file.size;
    }
    return total;
}

std::string partialName(const std::string& fileName, int64_t recordingTime) {
    return fileName + "." + std::to_string(recordingTime) + ".vem-partial";
}

MoviePlan planMovie(MovieCatalog& catalog, const MovieDescription& movie, const std::string& dest,
                    const CopyOptions& options) {
    MoviePlan plan;
    plan.movie = movie;
    if (!movie.framesReadable() && movie.frameCount > 0) {
        throw MovieError(MovieFailure::Unreadable, "its frames cannot be read");
    }
    const std::string& entry = movie.entryName;
    uint64_t gridStart = 0;
    if (options.format == Format::OmeTiff) {
        try {
            const zel::vem::OmeTiffView view(zel::vem::OmeTiffMovie::of(movie));
            plan.files.push_back({PlannedFile::OmeTiff, entry + ".ome.tif", "", view.size()});
            gridStart = view.pixelOffset();
        } catch (const std::invalid_argument& e) {
            throw MovieError(MovieFailure::Unreadable,
                             std::string("it has no OME-TIFF: ") + e.what());
        }
    } else {
        plan.files.push_back({PlannedFile::Data,
                              options.format == Format::Emulator ? entry + ".dat" : entry, "",
                              movie.size});
    }
    // The info stream is needed for every format: a file of its own, or the OME-TIFF's times.
    plan.info = catalog.infoStream(entry);
    if (options.format != Format::OmeTiff) {
        plan.files.push_back({PlannedFile::Info, entry + ".info", "", plan.info.size()});
    }
    if (options.format == Format::Emulator) {
        // Last, so that it never describes a ".dat" file that is not there yet.
        plan.files.push_back({PlannedFile::Meta, entry + ".meta", "", metaText(movie).size()});
    }
    for (PlannedFile& file : plan.files) {
        file.fileName = localFileName(file.driveName);
        uint64_t size = 0;
        int64_t time = 0;
        if (os::regularFileInfo((dest + "/" + file.fileName), size, time)) {
            file.skip = options.existing == Existing::Skip ||
                        (options.existing == Existing::SkipMatching && size == file.size &&
                         time == movie.recordingTime);
        }
        if (!file.skip && file.streamed() &&
            os::regularFileInfo((dest + "/" + partialName(file.fileName, movie.recordingTime)),
                                size, time)) {
            file.resumeFrom = wholeFramesKept(size, file.size, gridStart,
                                              std::max<uint64_t>(1, movie.frameBytes));
        }
    }
    return plan;
}

}  // namespace vemcli::get
