// Several movies into one folder: planning, the room check, the copies and the manifest.
#include "get/copy_movies.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

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

namespace {

// One movie read back from the disk (--verify) on a thread of its own while the copying thread
// copies the next: the read-back waits on the disk, the copy mostly on the drive. One at a
// time, so memory stays bounded and outcomes keep the movies' order.
class Verifying {
  public:
    Verifying(size_t index, std::unique_ptr<MovieCopy> copy)
        : index(index), copy(std::move(copy)), thread_([this] {
              const ReadBack result = this->copy->readBack(abandon_);
              std::lock_guard<std::mutex> hold(lock_);
              result_ = result;
              done_ = true;
              doneChanged_.notify_all();
          }) {}
    // Leaving early (a hook threw Stopped): the read-back gives up and its partial file stays,
    // for the next run to read back.
    ~Verifying() {
        abandon_.store(true);
        thread_.join();
    }
    Verifying(const Verifying&) = delete;
    Verifying& operator=(const Verifying&) = delete;

    bool done() {
        std::lock_guard<std::mutex> hold(lock_);
        return done_;
    }
    // Waits for the result, calling `meanwhile` about every 100 ms (the front end's progress
    // hook, so that a stop is still noticed).
    ReadBack result(const std::function<void()>& meanwhile) {
        std::unique_lock<std::mutex> hold(lock_);
        while (!doneChanged_.wait_for(hold, std::chrono::milliseconds(100),
                                      [this] { return done_; })) {
            hold.unlock();
            meanwhile();
            hold.lock();
        }
        return result_;
    }

    const size_t index;
    const std::unique_ptr<MovieCopy> copy;

  private:
    std::atomic<bool> abandon_{false};
    // Lock rule: lock_ guards done_ and result_, which the read-back thread sets once at its
    // end. Leaf lock.
    std::mutex lock_;
    std::condition_variable doneChanged_;
    bool done_ = false;
    ReadBack result_;
    std::thread thread_;  // last: started once everything above is ready
};

// The movies copied one after the other, each one's read-back overlapping the next one's copy;
// every outcome is reported on the copying thread, in the movies' order, once final.
class Copier {
  public:
    Copier(zel::vem::MovieCatalog& catalog, const std::vector<MoviePlan>& plans,
           const std::string& dest, const CopyOptions& options, const CopyHooks& hooks)
        : catalog_(catalog),
          plans_(plans),
          dest_(dest),
          options_(options),
          hooks_(hooks),
          manifest_(dest) {}

    std::vector<MovieOutcome> run() {
        manifest_.load();
        for (size_t i = 0; i < plans_.size(); ++i) {
            if (full_) {
                settle(true);
                MovieOutcome outcome;
                outcome.name = plans_[i].movie.entryName;
                outcome.status = "failed";
                outcome.error = "not copied: " + dest_ + " is full";
                report(outcome);
                continue;
            }
            if (hooks_.starting) {
                hooks_.starting(i);
            }
            auto copy = std::make_unique<MovieCopy>(catalog_, plans_[i], dest_, options_,
                                                    [this](uint64_t bytes) {
                                                        progress(bytes);
                                                        settle(false);
                                                    });
            copy->write();
            // The movie before is reported first, and a movie is only ever compared with the
            // disk while the next one copies.
            settle(true);
            if (copy->awaitsReadBack()) {
                verifying_ = std::make_unique<Verifying>(i, std::move(copy));
            } else {
                finish(*copy, ReadBack());
            }
        }
        settle(true);
        return std::move(outcomes_);
    }

  private:
    void progress(uint64_t bytes) {
        if (hooks_.progress) {
            hooks_.progress(bytes);
        }
    }

    // Finishes the movie being read back once its read-back is over (waiting for it when
    // `wait`): renamed or removed, reported.
    void settle(bool wait) {
        if (!verifying_ || (!wait && !verifying_->done())) {
            return;
        }
        const ReadBack result = verifying_->result([this] { progress(0); });
        const std::unique_ptr<Verifying> done = std::move(verifying_);
        finish(*done->copy, result);
    }

    void finish(MovieCopy& copy, const ReadBack& readBack) {
        MovieOutcome outcome = copy.finish(manifest_, readBack);
        if (outcome.status != "failed" && outcome.status != "skipped") {
            try {
                manifest_.save();
            } catch (const std::exception& e) {
                outcome.status = "failed";
                outcome.error =
                    std::string("copied, but the manifest was not written: ") + e.what();
            }
        }
        full_ = full_ || outcome.diskFull;
        report(outcome);
    }

    void report(const MovieOutcome& outcome) {
        outcomes_.push_back(outcome);
        if (hooks_.ended) {
            hooks_.ended(outcome);
        }
    }

    zel::vem::MovieCatalog& catalog_;
    const std::vector<MoviePlan>& plans_;
    const std::string& dest_;
    const CopyOptions& options_;
    const CopyHooks& hooks_;
    Manifest manifest_;
    bool full_ = false;
    std::vector<MovieOutcome> outcomes_;
    std::unique_ptr<Verifying> verifying_;  // last: destroyed (abandoned) first
};

}  // namespace

std::vector<MovieOutcome> copyPlanned(zel::vem::MovieCatalog& catalog,
                                      const std::vector<MoviePlan>& plans, uint64_t toWrite,
                                      const std::string& dest, const CopyOptions& options,
                                      const CopyHooks& hooks) {
    const uint64_t available = freeBytes(dest);
    if (toWrite > available) {
        throw Failure(dest + " has " + humanSize(available) + " free, " + humanSize(toWrite) +
                      " are needed; nothing was copied");
    }
    return Copier(catalog, plans, dest, options, hooks).run();
}

std::string labelledHash(const MovieOutcome& outcome) {
    return outcome.hash.empty() ? std::string() : "xxh128:" + outcome.hash;
}

}  // namespace vemcli::get
