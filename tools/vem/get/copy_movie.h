// One movie copied into the destination folder: its files planned, then written whole or
// resumably, verified when asked.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "movies/movie_description.h"

namespace zel::vem {
class MovieCatalog;
}

namespace vemcli::get {

class Manifest;

enum class Format { Raw, OmeTiff, Emulator };

// What to do with a file that is already in the destination.
enum class Existing {
    SkipMatching,  // default: skip it when its size and time are the copy's, else copy again
    Skip,          // --skip-existing: skip it whatever it holds
    Overwrite,     // --overwrite: copy again
};

struct CopyOptions {
    Format format = Format::Raw;
    Existing existing = Existing::SkipMatching;
    bool verify = false;
};

// One file of a movie's copy.
struct PlannedFile {
    enum Kind { Data, OmeTiff, Info, Meta };
    Kind kind = Data;
    std::string driveName;  // "12-run_a.dat": what it is called before any mapping
    std::string fileName;   // the name in the destination
    uint64_t size = 0;
    bool skip = false;        // already there
    uint64_t resumeFrom = 0;  // bytes a partial file holds that are kept (whole frames)

    // Streamed through a resumable partial file, rather than written whole at the end.
    bool streamed() const { return kind == Data || kind == OmeTiff; }
};

struct MoviePlan {
    zel::vem::MovieDescription movie;
    std::vector<uint8_t> info;  // the info stream
    std::vector<PlannedFile> files;

    // Bytes still to be written to the destination.
    uint64_t bytesToWrite() const;
    // Bytes the movie's files hold when complete.
    uint64_t bytes() const;
};

// What happened to one movie.
struct MovieOutcome {
    std::string name;    // the entry name
    uint64_t bytes = 0;  // its files' bytes
    double seconds = 0;
    std::string status;  // "copied", "resumed", "skipped" or "failed"
    std::string hash;    // of its movie data file (the OME-TIFF for that format); may be empty
    std::string error;   // for "failed"
    bool diskFull = false;
};

// The partial file of `fileName` for a movie recorded at `recordingTime`: its name says what it
// is and whose, so a movie of the same name recorded at another time never resumes from it.
std::string partialName(const std::string& fileName, int64_t recordingTime);

// Where a copy of a file of `size` bytes resumes when its partial file holds `have`: after the
// last whole frame (frames of `frameBytes` from `gridStart`; what is before it counts whole or
// not at all).
uint64_t wholeFramesKept(uint64_t have, uint64_t size, uint64_t gridStart, uint64_t frameBytes);

// The emulator's NAME.meta for `movie`.
std::string metaText(const zel::vem::MovieDescription& movie);

// Plans `movie`'s copy into `dest` (which must exist): its files, which are there already, what
// partial files hold. Throws zel::vem::MovieError when the drive refuses the info stream.
MoviePlan planMovie(zel::vem::MovieCatalog& catalog, const zel::vem::MovieDescription& movie,
                    const std::string& dest, const CopyOptions& options);

// How a partial file read back from the disk compared with the bytes written into it.
struct ReadBack {
    enum Result { Matches, Differs, Unreadable, Abandoned } result = Matches;
    int error = 0;  // errno, for Unreadable
};

// One movie's copy in two steps, so that --verify can read one movie back from the disk while
// the drive sends the next: write() streams its large file into the partial file, readBack()
// reads that file back, finish() gives it its name, writes the small files and records hashes.
class MovieCopy {
  public:
    MovieCopy(zel::vem::MovieCatalog& catalog, const MoviePlan& plan, const std::string& dest,
              const CopyOptions& options, std::function<void(uint64_t bytes)> progress);
    ~MovieCopy();
    MovieCopy(const MovieCopy&) = delete;
    MovieCopy& operator=(const MovieCopy&) = delete;

    // On the copying thread: streams the large file into its partial file, synced and with its
    // time, still under the partial name; `progress` is told every byte written. A failure is
    // kept for finish(); false after one.
    bool write();
    // Whether write() left a partial file for readBack() (only with --verify).
    bool awaitsReadBack() const;
    // Reads that partial file back from the disk and compares its hash; safe on another thread
    // while nothing else calls this copy. Gives up (Abandoned) as soon as `abandon` is set.
    ReadBack readBack(const std::atomic<bool>& abandon);
    // On the copying thread, after write() and readBack(): the partial file renamed (or, when
    // its bytes differ, removed), the small files written, every written file's hash recorded
    // in `manifest` (saved by the caller). Failures are caught into the outcome; a full disk
    // sets diskFull.
    MovieOutcome finish(Manifest& manifest, const ReadBack& readBack);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vemcli::get
