// Several movies copied into one folder, as `vem get` and the Python package's Drive.get copy
// them: the folder made, every movie planned, the room checked, each copied, the manifest kept.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "get/copy_movie.h"

namespace vemcli::get {

// Thrown by a hook of CopyHooks to stop now: copyPlanned lets it through, every file left
// either complete under its name or as a partial file that the same copy resumes.
struct Stopped {};

// Makes the folder `dest` when it is missing and `create` is set. Throws Failure when it is
// something else than a folder, or cannot be made.
void prepareFolder(const std::string& dest, bool create);

// Free bytes where `dest` is or would be made (UINT64_MAX when that cannot be told).
uint64_t freeBytes(const std::string& dest);

struct Plans {
    std::vector<MoviePlan> plans;
    std::vector<MovieOutcome> failed;  // movies the drive would not describe; nothing was written
    uint64_t toWrite = 0;              // bytes still to be written for all the plans
};

// Plans each of `movies` (in their order) into `dest`.
Plans planMovies(zel::vem::MovieCatalog& catalog,
                 const std::vector<zel::vem::MovieDescription>& movies, const std::string& dest,
                 const CopyOptions& options);

// What a front end hears while copyPlanned runs; any of them may be empty. They run on the
// copying thread and may throw Stopped.
struct CopyHooks {
    std::function<void(size_t index)> starting;      // before plans[index]
    std::function<void(uint64_t bytes)> progress;    // bytes just written
    std::function<void(const MovieOutcome&)> ended;  // each movie's outcome, failures included
};

// Copies every plan into `dest`, saving the manifest after each movie that wrote something.
// After a full disk the remaining movies fail without being tried. Throws Failure, before
// anything is written, when `dest` has no room for `toWrite` bytes or its manifest cannot be read.
std::vector<MovieOutcome> copyPlanned(zel::vem::MovieCatalog& catalog,
                                      const std::vector<MoviePlan>& plans, uint64_t toWrite,
                                      const std::string& dest, const CopyOptions& options,
                                      const CopyHooks& hooks);

// The hash as `vem get --json` and Drive.get report it: "xxh128:HEX", empty when unknown.
std::string labelledHash(const MovieOutcome& outcome);

}  // namespace vemcli::get
