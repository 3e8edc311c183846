// MovieCatalog and MovieReader: the process's movies as hosts use them (list, open, read, remove).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "movies/movie_description.h"
#include "suite/export.h"

namespace zel::vem {

class CVemInterface;

// Why an operation on a movie failed, for hosts to map onto exit codes, errno or HTTP statuses.
enum class MovieFailure {
    NoDrive,       // no service, or no drive detected (the message says which)
    NotFound,      // no movie of that entry name
    Refused,       // the service refused the request or the connection broke
    Gone,          // the movie left the drive, or the service restarted, while it was open
    Unreadable,    // its frames cannot be read (0 bytes, or 4 GiB or more each)
    WrongRemoval,  // a removal took another movie than the one named (the message names it)
};

class ZELVEM_API MovieError : public std::runtime_error {
  public:
    MovieError(MovieFailure failure, const std::string& message);
    MovieFailure failure() const { return failure_; }

  private:
    MovieFailure failure_;
};

class MovieFile;

// One open movie. Readers of the same movie in one process share one file of the service (one
// section); each reader has its own position, reads take turns a frame at a time, and a reader's
// bytes are always its own frame's. A reader follows its movie when another movie's removal
// renumbers the drive, and fails with Gone once the movie is no longer there or the service it
// was opened on went away. One thread at a time per reader; many readers may run in parallel.
class ZELVEM_API MovieReader {
  public:
    MovieReader(MovieReader&&) noexcept;
    MovieReader& operator=(MovieReader&&) noexcept;
    ~MovieReader();

    const MovieDescription& description() const;
    // Reads frame `frame` whole into `out` (description().frameBytes bytes). Throws MovieError:
    // NotFound for a frame past the end, Gone or Refused as above.
    void readFrame(uint64_t frame, void* out);
    // Reads up to `n` bytes from byte `offset` of the movie into `out`; short only at the end
    // of the movie. Throws MovieError when a byte before the end cannot be read.
    size_t read(uint64_t offset, void* out, size_t n);

  private:
    friend class MovieCatalog;
    explicit MovieReader(std::unique_ptr<MovieFile> file);
    std::unique_ptr<MovieFile> file_;
};

// What a removal did.
struct RemoveOutcome {
    // Removed: the named movie is gone and nothing else. Otherwise a MovieError was thrown.
    std::string removed;  // the entry name that went
};

// The movies of the process's drive interface (the drive's, or the emulator folder's). Every
// host (command line, mount, Python, HTTP) stands on this: one path grammar, one description,
// one open file per movie, confirmed removals. Thread-safe.
class ZELVEM_API MovieCatalog {
  public:
    // Over the process's drive interface, zel::vem::instance().
    MovieCatalog();
    explicit MovieCatalog(CVemInterface& drive);

    bool emulator() const;
    // Whether the drive is there: NoDrive failures name the reason (no service, no drive).
    bool drivePresent();
    // The message a host shows when there is no drive: which of the two, and where the service
    // was sought (the pipe folder).
    std::string noDriveMessage();

    // Every movie, in the drive's order; `filter` (a wildcard on the recorded name) when given.
    std::vector<MovieDescription> list(const std::string& filter = std::string());
    // The movie of entry name `entryName`, exactly; nullopt when there is none.
    std::optional<MovieDescription> find(const std::string& entryName);
    // Opens the movie for reading. Throws MovieError (NoDrive, NotFound, Refused, Unreadable).
    MovieReader open(const std::string& entryName);
    // The movie's info stream, whole. Throws MovieError.
    std::vector<uint8_t> infoStream(const std::string& entryName);
    // Removes the movie named exactly `entryName` after confirming, right before, that the drive
    // still holds it where it is removed; then confirms that it went and nothing else did.
    // Throws MovieError: NotFound, NoDrive, Refused, or WrongRemoval naming what the drive did.
    RemoveOutcome remove(const std::string& entryName);

    // Calls `onChange` after every refresh of the movie list (on the refreshing thread, with the
    // list locked: it must not block). Returns a token for unsubscribe, which must not be called
    // from inside the callback itself.
    uint64_t subscribe(std::function<void()> onChange);
    void unsubscribe(uint64_t token);

  private:
    CVemInterface* drive_;
};

}  // namespace zel::vem
