// Looking up the movie a PATH names, with the messages a user should see when it names none.
#pragma once

#include <string>

#include "drive_path.h"
#include "entry_format.h"
#include "suite/filesystem.h"

namespace vemcli {

// Throws Failure "no drive detected ..." unless a drive (or the emulator's folder) is there.
void requireDrive();

// Throws Failure "PATH: `what`" for a movie the library did not find or refused, or, when the
// reason is that there is no drive at all, the failure requireDrive() gives: "no such movie"
// must not be what a user reads with the service stopped.
[[noreturn]] void failMovie(const DrivePath& path, const std::string& what);

// " (did you mean 6-bigrun?)" for a name that is not found, or empty when nothing is close.
std::string didYouMean(const DrivePath& path);

// For the commands that only read: `path` with its name replaced by the movie's entry name
// when it names no entry but is the recorded name of exactly one movie ("bigrun" for
// "6-bigrun"). Never for a deletion, which takes the entry name exactly.
DrivePath resolveForReading(DrivePath path);

// The entry of the movie (or info stream) at `path`; throws Failure when there is none.
zel::CDirectoryEntry lookupEntry(const DrivePath& path);

// Opens the movie or info stream for reading; throws Failure when the library refuses.
zel::TSharedPtr<zel::IFile> openForReading(const DrivePath& path);

// The movie itself (not an info stream), with frames of a known size; throws Failure otherwise.
struct Movie {
    zel::CDirectoryEntry entry;
    FrameGeometry geometry;
};
Movie lookupMovie(const DrivePath& path);

}  // namespace vemcli
