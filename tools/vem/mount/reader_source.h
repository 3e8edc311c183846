// ReaderSource: a block cache's bytes from one reader of the movie layer.
#pragma once

#include <cstdint>
#include <exception>
#include <utility>

#include "mount/block_cache.h"
#include "mount/errors.h"
#include "movies/movie_catalog.h"

namespace vemcli::mount {

// Reads the movie from byte `base` on (a Zarr chunk is one frame of it). A reader that lost its
// movie or its service stays Gone: its cache then never serves another reader's bytes.
class ReaderSource : public BlockSource {
  public:
    explicit ReaderSource(zel::vem::MovieReader reader, uint64_t base = 0)
        : reader_(std::move(reader)), base_(base) {}
    LoadResult read(uint64_t offset, uint8_t* out, size_t n) override {
        try {
            return reader_.read(base_ + offset, out, n) == n ? LoadResult::Ok : LoadResult::Failed;
        } catch (const zel::vem::MovieError& error) {
            return error.failure() == zel::vem::MovieFailure::Gone ? LoadResult::Gone
                                                                   : LoadResult::Failed;
        } catch (const std::exception&) {
            return LoadResult::Failed;
        }
    }

  private:
    zel::vem::MovieReader reader_;
    uint64_t base_;
};

inline int failureErrno(const zel::vem::MovieError& error, bool byName) {
    return errnoOf(refusalOf(error.failure(), byName));
}

}  // namespace vemcli::mount
