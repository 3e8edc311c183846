// Movie lookups shared by the subcommands that read.
#include "movie.h"

#include "movie_names.h"
#include "movies/movie_catalog.h"
#include "registry.h"
#include "vem/vem_interface.h"

namespace vemcli {

void requireDrive() {
    if (!haveDrive()) {
        throw Failure(noDriveMessage());
    }
}

namespace {

std::vector<std::string> entryNames() {
    std::vector<std::string> names;
    for (const zel::vem::MovieDescription& movie : catalog().list()) {
        names.push_back(movie.entryName);
    }
    return names;
}

}  // namespace

std::string didYouMean(const DrivePath& path) {
    return didYouMean(closeNames(path.name, entryNames()));
}

void failMovie(const DrivePath& path, const std::string& what) {
    requireDrive();
    throw Failure(path.display() + ": " + what + didYouMean(path));
}

DrivePath resolveForReading(DrivePath path) {
    if (!path.isRoot()) {
        const std::string entry = resolveEntryName(path.name, entryNames());
        if (!entry.empty()) {
            path.name = entry;
        }
    }
    return path;
}

zel::CDirectoryEntry lookupEntry(const DrivePath& path) {
    if (path.isRoot()) {
        throw Failure("a movie PATH is needed, not the drive's root");
    }
    zel::CDirectoryEntry entry = drive().GetInfo(zel::CStringW(path.libraryPath().c_str()));
    if (entry.attributes & zel::kAttrNone) {
        failMovie(path, "no such movie");
    }
    return entry;
}

zel::TSharedPtr<zel::IFile> openForReading(const DrivePath& path) {
    if (path.isRoot()) {
        throw Failure("a movie PATH is needed, not the drive's root");
    }
    zel::TSharedPtr<zel::IFile> file = drive().OpenFile(zel::CStringW(path.libraryPath().c_str()),
                                                        zel::kOpenRead | zel::kOpenShareRead);
    if (!file) {
        failMovie(path, "cannot open (no such movie, or the service refused)");
    }
    return file;
}

Movie lookupMovie(const DrivePath& path) {
    if (path.info) {
        throw Failure(path.display() + ": an info stream has no frames; name the movie");
    }
    Movie movie{lookupEntry(path), {}};
    movie.geometry = frameGeometry(movie.entry);
    if (movie.geometry.frameBytes() == 0) {
        throw Failure(path.display() + ": the movie has no frame size");
    }
    return movie;
}

}  // namespace vemcli
