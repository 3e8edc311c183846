// The simulated drive's movies: synthetic ones, ones read from an emulator folder, and the set
// served.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "suite/file/info_block.h"

namespace zel::vem::sim {

// Largest synthetic movie: 16 Mi frames (a 128 MiB info block); pixels are made on demand.
constexpr uint64_t kMaxSyntheticFrames = uint64_t{1} << 24;
// Movie names become file names ("<number>-<name>.dat") and fit the client's 63-byte field.
constexpr size_t kMaxNameBytes = 63;

// Whether `name` can name a movie: 1 to 63 bytes of UTF-8, no path separators or ':', no
// control characters (C0, DEL, C1) or line and paragraph separators, not "." or "..".
bool validMovieName(const std::string& name);

// One movie of the drive. Immutable once made (frames of a synthetic movie are filled in
// lazily, but each only once), so connections share it without locking.
class SimMovie {
  public:
    virtual ~SimMovie();
    SimMovie(const SimMovie&) = delete;
    SimMovie& operator=(const SimMovie&) = delete;

    uint64_t number() const { return number_; }
    const std::string& name() const { return name_; }
    // "<number>-<name>", the client's entry name.
    std::string entryName() const;
    const zel::file::SInfoBlock& block() const { return block_; }
    // The encoded info block, as GetFileData serves it and the ".info" file holds it.
    const std::vector<uint8_t>& infoBytes() const { return infoBytes_; }
    uint64_t frameCount() const { return block_.frameCount(); }
    uint64_t frameBytes() const { return block_.frameBytes(); }

    // Copies the data-stream bytes of `frame` (frameBytes() of them) to `dest`. False when the
    // frame does not exist or its source fails.
    virtual bool copyFrame(uint64_t frame, void* dest) = 0;
    // "synthetic" or "folder", for logs and listings.
    virtual const char* source() const = 0;

  protected:
    // `infoBytes` is what GetFileData serves; empty means the encoding of `block`.
    SimMovie(uint64_t number, std::string name, zel::file::SInfoBlock block,
             std::vector<uint8_t> infoBytes = {});

  private:
    uint64_t number_;
    std::string name_;
    zel::file::SInfoBlock block_;
    std::vector<uint8_t> infoBytes_;
};

// A synthetic movie (see synthetic.h). Null with a reason in `error` for bad dimensions
// (sides 1..65535, frames 0..kMaxSyntheticFrames) or, when `checkName`, a bad name. Unchecked
// names play a drive that lets anything through, for tests of what clients show.
std::shared_ptr<SimMovie> makeSyntheticMovie(uint64_t number, const std::string& name,
                                             uint32_t width, uint32_t height, uint64_t frames,
                                             std::string* error, bool checkName = true);

// A movie of an emulator folder: `entry` is "<number>-<name>" and `dir` holds entry + ".dat" and
// entry + ".info" (UTF-8 paths). The number is the decimal text before the first '-' (0, and the
// whole entry as name, when there is no such number). Null with a reason when the pair does not
// open as a raw movie.
std::shared_ptr<SimMovie> openFolderMovie(const std::string& dir, const std::string& entry,
                                          std::string* error);

// Every ".dat"/".info" pair of `dir` that opens, in name order; others are logged and skipped.
std::vector<std::shared_ptr<SimMovie>> scanFolder(const std::string& dir);

// Writes the movie as entry + ".dat" and entry + ".info" into `dir` (created when missing).
bool writeMovieToFolder(SimMovie& movie, const std::string& dir, std::string* error);

// The movies the drive holds, numbered from 0 in this order, and whether the drive is attached.
class MovieSet {
  public:
    // `onChange` runs after every change of what clients see (a movie added or removed, the
    // drive detached or attached), outside the set's lock.
    explicit MovieSet(std::function<void()> onChange);

    bool attached() const;
    // False when the drive already was in that state.
    bool setAttached(bool attached);

    // Index of the new movie.
    uint32_t add(std::shared_ptr<SimMovie> movie);
    bool remove(uint32_t index);
    // The movie at `index`, even while detached; null when there is none.
    std::shared_ptr<SimMovie> at(uint32_t index) const;
    std::vector<std::shared_ptr<SimMovie>> list() const;
    // The first movie whose name, or else whose entry name, is `name`.
    bool findIndex(const std::string& name, uint32_t& index) const;
    // A fresh number for a synthetic movie: one more than the highest number seen so far.
    uint64_t nextNumber();

  private:
    std::function<void()> onChange_;
    // Guards movies_, attached_ and highestNumber_. Leaf lock: onChange_ runs after release.
    mutable std::mutex lock_;
    std::vector<std::shared_ptr<SimMovie>> movies_;
    bool attached_ = true;
    uint64_t highestNumber_ = 0;
};

}  // namespace zel::vem::sim
