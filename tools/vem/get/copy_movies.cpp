// Several movies into one folder: planning, the room check, the copies and the manifest.
#include "get/copy_movies.h"

#include <filesystem>

#include "failure.h"
#include "get/manifest.h"
#include "human_size.h"
#include "movies/movie_catalog.h"

namespace vemcli::get {

namespace fs = std::filesystem;

void prepareFolder(const std::string& dest, bool create) {
    const fs::path path = fs::u8path(dest);
    std::error_code error;
    if (fs::exists(path, error) && !fs::is_directory(path, error)) {
        throw Failure(dest + ": not a folder");
    }
    if (create && !fs::is_directory(path, error) && (fs::create_directories(path, error), error)) {
        throw Failure("cannot create " + dest + ": " + error.message());
    }
}

uint64_t freeBytes(const std::string& dest) {
    fs::path path = fs::u8path(dest);
    std::error_code error;
    while (!fs::exists(path, error) && path.has_parent_path() && path.parent_path() != path) {
        path = path.parent_path();
    }
    const fs::space_info space = fs::space(path.empty() ? fs::path(".") : path, error);
    return error ? UINT64_MAX : space.available;
}

Plans planMovies(zel::vem::MovieCatalog& catalog,
                 const std::vector<zel::vem::MovieDescription>& movies, const std::string& dest,
                 const CopyOptions& options) {
    Plans result;
    for (const zel::vem::MovieDescription& movie : movies) {
        try {
            result.plans.push_back(planMovie(catalog, movie, dest, options));
            result.toWrite += result.plans.back().bytesToWrite();
        } catch (const std::exception& e) {
            MovieOutcome outcome;
            outcome.name = movie.entryName;
            outcome.status = "failed";
            outcome.error = e.what();
            result.failed.push_back(outcome);
        }
    }
    return result;
}

std::vector<MovieOutcome> copyPlanned(zel::vem::MovieCatalog& catalog,
                                      const std::vector<MoviePlan>& plans, uint64_t toWrite,
                                      const std::string& dest, const CopyOptions& options,
                                      const CopyHooks& hooks) {
    const uint64_t available = freeBytes(dest);
    if (toWrite > available) {
        throw Failure(dest + " has " + humanSize(available) + " free, " + humanSize(toWrite) +
                      " are needed; nothing was copied");
    }
    Manifest manifest(dest);
    manifest.load();
    const std::function<void(uint64_t)> progress =
        hooks.progress ? hooks.progress : [](uint64_t) {};
    std::vector<MovieOutcome> outcomes;
    bool full = false;
    for (size_t i = 0; i < plans.size(); ++i) {
        MovieOutcome outcome;
        if (full) {
            outcome.name = plans[i].movie.entryName;
            outcome.status = "failed";
            outcome.error = "not copied: " + dest + " is full";
        } else {
            if (hooks.starting) {
                hooks.starting(i);
            }
            outcome = copyMovie(catalog, plans[i], dest, options, manifest, progress);
            full = outcome.diskFull;
            if (outcome.status != "failed" && outcome.status != "skipped") {
                try {
                    manifest.save();
                } catch (const std::exception& e) {
                    outcome.status = "failed";
                    outcome.error =
                        std::string("copied, but the manifest was not written: ") + e.what();
                }
            }
        }
        if (hooks.ended) {
            hooks.ended(outcome);
        }
        outcomes.push_back(outcome);
    }
    return outcomes;
}

std::string labelledHash(const MovieOutcome& outcome) {
    return outcome.hash.empty() ? std::string() : "xxh128:" + outcome.hash;
}

}  // namespace vemcli::get
