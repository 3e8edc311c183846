// WarmMovies: a keeper reader per recently read movie, and a thread that lets them go in time.
#include "warm_movies.h"

#include <vector>

namespace vemserve {

using zel::vem::MovieReader;

namespace {

bool sameMovie(const zel::vem::MovieDescription& a, const zel::vem::MovieDescription& b) {
    return a.entryName == b.entryName && a.recordingTime == b.recordingTime && a.size == b.size;
}

}  // namespace

WarmMovies::WarmMovies(zel::vem::MovieCatalog& catalog, size_t capacity,
                       std::chrono::milliseconds keep)
    : catalog_(catalog), capacity_(capacity), keep_(keep), expiry_([this] { expire(); }) {}

WarmMovies::~WarmMovies() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    expiry_.join();
}

MovieReader WarmMovies::open(const std::string& entryName) {
    MovieReader reader = catalog_.open(entryName);
    if (capacity_ == 0) {
        return reader;
    }
    std::vector<Warm> leaving;  // closed after the lock is let go
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = warm_.begin(); it != warm_.end(); ++it) {
            if (it->keeper.description().entryName != entryName) {
                continue;
            }
            if (sameMovie(it->keeper.description(), reader.description())) {
                it->used = std::chrono::steady_clock::now();
                warm_.splice(warm_.begin(), warm_, it);
                return reader;
            }
            leaving.push_back(std::move(*it));
            warm_.erase(it);
            break;
        }
    }
    // A second open of the same movie: it shares the reader's file, so it costs no section.
    MovieReader keeper = catalog_.open(entryName);
    if (!sameMovie(keeper.description(), reader.description())) {
        return reader;  // the drive changed in between; the next request tries again
    }
    std::lock_guard<std::mutex> guard(lock_);
    warm_.push_front({std::move(keeper), std::chrono::steady_clock::now()});
    while (warm_.size() > capacity_) {
        leaving.push_back(std::move(warm_.back()));
        warm_.pop_back();
    }
    return reader;
}

void WarmMovies::forget(const std::string& entryName) {
    std::vector<Warm> leaving;
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = warm_.begin(); it != warm_.end();) {
        if (it->keeper.description().entryName == entryName) {
            leaving.push_back(std::move(*it));
            it = warm_.erase(it);
        } else {
            ++it;
        }
    }
}

size_t WarmMovies::size() {
    std::lock_guard<std::mutex> guard(lock_);
    return warm_.size();
}

void WarmMovies::expire() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!stopping_) {
        wake_.wait_for(guard, keep_ / 2 + std::chrono::milliseconds(1));
        const auto now = std::chrono::steady_clock::now();
        std::vector<Warm> leaving;
        while (!warm_.empty() && now - warm_.back().used >= keep_) {
            leaving.push_back(std::move(warm_.back()));
            warm_.pop_back();
        }
        guard.unlock();
        leaving.clear();
        guard.lock();
    }
}

}  // namespace vemserve
