// Copying one movie: whole small files, streamed large ones through a resumable partial file.
#include "get/copy_movie.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "failure.h"
#include "get/content_hash.h"
#include "get/manifest.h"
#include "get/write_behind.h"
#include "movies/frame_times.h"
#include "movies/movie_catalog.h"
#include "movies/ome_tiff.h"
#include "output_file.h"
#include "output_file_platform.h"
#include "platform.h"

namespace vemcli::get {

namespace {

namespace os = outputplatform;
using zel::vem::MovieCatalog;
using zel::vem::MovieDescription;
using zel::vem::MovieError;
using zel::vem::MovieFailure;
using zel::vem::MovieReader;

// A failure writing the destination; `diskFull` when the reason was space.
struct WriteFailure : Failure {
    WriteFailure(const std::string& what, bool full) : Failure(what), diskFull(full) {}
    bool diskFull;
};

[[noreturn]] void failWrite(const std::string& what, int error) {
    throw WriteFailure(what + ": " + std::strerror(error), error == ENOSPC);
}

// Where a streamed file's bytes come from, and where in it frames start: a resumed copy
// starts again at the last frame the partial file holds whole.
struct Source {
    uint64_t size = 0;
    uint64_t gridStart = 0;  // the first frame's offset; what is before it is read first whole
    uint64_t frameBytes = 1;
    std::function<size_t(uint64_t offset, void* out, size_t n)> read;

    uint64_t resumePoint(uint64_t have) const {
        return wholeFramesKept(have, size, gridStart, frameBytes);
    }
    // Whole frames per read: the drive loads one frame per request, never one twice.
    size_t chunkAt(uint64_t offset, uint64_t buffer) const {
        const uint64_t end = offset < gridStart ? gridStart : size;
        return static_cast<size_t>(std::min(buffer, end - offset));
    }
};

// Whole frames, about a MiB: each write lands in the partial file as soon as its frames
// arrive, so an interrupted copy keeps nearly all it read.
uint64_t bufferBytes(uint64_t frameBytes) {
    return std::min<uint64_t>(frameBytes * std::max<uint64_t>(1, (1u << 20) / frameBytes),
                              1u << 30);
}

// Partials of `fileName` from other recordings (the drive renumbered since they were begun)
// can never complete under that name once it holds a whole copy: they go with it, so that an
// interrupted get leaves one partial at most.
void removeStalePartials(const std::string& dest, const std::string& fileName) {
    const std::string prefix = fileName + ".";
    const std::string suffix = ".vem-partial";
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::u8path(dest), ec)) {
        const std::string name = entry.path().filename().u8string();
        if (name.size() <= prefix.size() + suffix.size() ||
            name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        const std::string time =
            name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        if (time.find_first_not_of("-0123456789") == std::string::npos) {
            os::removeFile(entry.path().u8string());
        }
    }
}

std::string inFolder(const std::string& dest, const std::string& name) {
    return dest + "/" + name;
}

// The stream of a partial file, closed on every way out.
struct StreamCloser {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using Stream = std::unique_ptr<std::FILE, StreamCloser>;

}  // namespace

struct MovieCopy::State {
    State(MovieCatalog& catalog, const MoviePlan& plan, const std::string& dest,
          const CopyOptions& options, std::function<void(uint64_t)> progress)
        : catalog_(catalog),
          plan_(plan),
          movie_(plan.movie),
          dest_(dest),
          options_(options),
          progress_(std::move(progress)) {}

    bool write() {
        try {
            for (const PlannedFile& file : plan_.files) {
                if (!file.skip && file.streamed()) {
                    resumed_ = resumed_ || file.resumeFrom > 0;
                    writeStreamed(file);
                }
            }
            return true;
        } catch (const WriteFailure& e) {
            fail(e.what(), e.diskFull);
        } catch (const std::exception& e) {
            fail(e.what(), false);
        }
        return false;
    }

    bool awaitsReadBack() const { return options_.verify && stream_ != nullptr; }

    ReadBack readBack(const std::atomic<bool>& abandon) {
        ReadBack result;
        if (!awaitsReadBack()) {
            return result;
        }
        ContentHash disk;
        bool abandoned = false;
        result.error =
            os::readFromDisk(stream_.get(), written_.size, [&](const uint8_t* data, size_t n) {
                abandoned = abandon.load();
                disk.update(data, n);
                return !abandoned;
            });
        if (abandoned) {
            result.result = ReadBack::Abandoned;
            return result;
        }
        if (result.error != 0) {
            result.result = ReadBack::Unreadable;
            return result;
        }
        result.result = disk.hex() == written_.hash ? ReadBack::Matches : ReadBack::Differs;
        return result;
    }

    MovieOutcome finish(Manifest& manifest, const ReadBack& readBack) {
        MovieOutcome outcome;
        outcome.name = movie_.entryName;
        outcome.bytes = plan_.bytes();
        if (error_.empty()) {
            try {
                outcome.hash = finishFiles(manifest, readBack);
                outcome.status = plan_.bytesToWrite() == 0 ? "skipped"
                                 : resumed_                ? "resumed"
                                                           : "copied";
            } catch (const WriteFailure& e) {
                fail(e.what(), e.diskFull);
            } catch (const std::exception& e) {
                fail(e.what(), false);
            }
        }
        if (!error_.empty()) {
            outcome.status = "failed";
            outcome.error = error_;
            outcome.diskFull = diskFull_;
        }
        outcome.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        return outcome;
    }

  private:
    // The streamed file written by write(), still under its partial name.
    struct Written {
        const PlannedFile* file = nullptr;
        std::string partial;
        uint64_t size = 0;
        std::string hash;
    };

    void fail(const std::string& what, bool full) {
        if (error_.empty()) {
            error_ = what;
            diskFull_ = full;
        }
    }

    // The partial file takes its name (after its read-back matched), then the small files are
    // written; every written file's hash goes into `manifest`. The hash of the main file.
    std::string finishFiles(Manifest& manifest, const ReadBack& readBack) {
        std::string mainHash;
        if (stream_) {
            renameWritten(readBack);
            manifest.set(written_.file->fileName, written_.hash, written_.file->driveName);
            mainHash = written_.hash;
        }
        for (const PlannedFile& file : plan_.files) {
            if (file.streamed()) {
                if (file.skip) {
                    auto known = manifest.hashes().find(file.fileName);
                    mainHash = known == manifest.hashes().end() ? "" : known->second;
                }
                continue;
            }
            if (file.skip) {
                continue;
            }
            const std::vector<uint8_t> bytes = smallFileBytes(file);
            OutputFile out(inFolder(dest_, file.fileName));
            out.write(bytes.data(), bytes.size());
            out.commitDurably(movie_.recordingTime);
            progress_(bytes.size());
            manifest.set(file.fileName, ContentHash::of(bytes.data(), bytes.size()),
                         file.driveName);
        }
        return mainHash;
    }

    void renameWritten(const ReadBack& readBack) {
        const std::string& partial = written_.partial;
        if (options_.verify) {
            if (readBack.result == ReadBack::Unreadable) {
                failWrite("cannot read back " + partial, readBack.error);
            }
            if (readBack.result == ReadBack::Abandoned) {
                // Never compared: kept, the next run reads it back.
                throw Failure("stopped before " + partial + " was read back");
            }
            if (readBack.result != ReadBack::Matches) {
                // Bytes that are not the drive's are no start to resume from either.
                stream_.reset();
                os::removeFile(partial);
                throw Failure("the copy read back from " + partial +
                              " differs from the drive; it was removed, run again to copy anew");
            }
        }
        if (std::fclose(stream_.release()) != 0) {
            failWrite("cannot write " + partial, errno);
        }
        const std::string target = inFolder(dest_, written_.file->fileName);
        if (!replaceFile(partial, target)) {
            failWrite("cannot rename " + partial + " to " + target, errno);
        }
        if (!os::syncFolder(dest_)) {
            failWrite("cannot sync " + dest_, errno);
        }
        removeStalePartials(dest_, written_.file->fileName);
    }

    std::vector<uint8_t> smallFileBytes(const PlannedFile& file) const {
        if (file.kind == PlannedFile::Info) {
            return plan_.info;
        }
        const std::string text = metaText(movie_);
        return std::vector<uint8_t>(text.begin(), text.end());
    }

    MovieReader& reader() {
        if (!reader_) {
            reader_ = std::make_unique<MovieReader>(catalog_.open(movie_.entryName));
            // The drive must still hold what was planned: a movie replaced under its name since
            // would put another movie's bytes into this one's file.
            if (reader_->description().identity() != movie_.identity() ||
                reader_->description().size != movie_.size) {
                throw MovieError(MovieFailure::Gone, "the movie changed on the drive");
            }
        }
        return *reader_;
    }

    Source sourceFor(const PlannedFile& file) {
        Source source;
        source.size = file.size;
        source.frameBytes = std::max<uint64_t>(1, movie_.frameBytes);
        auto readMovie = [this](uint64_t offset, void* out, size_t n) {
            const size_t got = reader().read(offset, out, n);
            if (got != n) {
                throw MovieError(MovieFailure::Refused,
                                 "the movie ended early, at byte " + std::to_string(offset + got));
            }
            return got;
        };
        if (file.kind == PlannedFile::Data) {
            source.read = readMovie;
            return source;
        }
        const zel::vem::FrameTimes times = zel::vem::frameTimesOf(movie_, plan_.info);
        view_ = std::make_unique<zel::vem::OmeTiffView>(
            zel::vem::OmeTiffMovie::of(movie_),
            times.known() ? std::make_shared<const std::vector<int64_t>>(times.nanoseconds)
                          : nullptr);
        source.gridStart = view_->pixelOffset();
        source.read = [this, readMovie](uint64_t offset, void* out, size_t n) {
            return view_->read(offset, out, n,
                               [&](uint64_t frame, uint64_t at, void* into, size_t count) {
                                   readMovie(frame * movie_.frameBytes + at, into, count);
                               });
        };
        return source;
    }

    // Hashes `count` bytes from `offset` of `source` into `hash` (and `buffer`), for a prefix
    // the partial file already holds that --verify compares again with the drive.
    void hashFromSource(const Source& source, uint64_t count, std::vector<uint8_t>& buffer,
                        ContentHash& hash) {
        for (uint64_t at = 0; at < count;) {
            const size_t n = std::min<size_t>(source.chunkAt(at, buffer.size()), count - at);
            source.read(at, buffer.data(), n);
            hash.update(buffer.data(), n);
            at += n;
        }
    }

    // Hashes the first `count` bytes of `stream`; false when they cannot all be read.
    static bool hashFromFile(std::FILE* stream, uint64_t count, std::vector<uint8_t>& buffer,
                             ContentHash& hash) {
        std::rewind(stream);
        for (uint64_t at = 0; at < count;) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), count - at));
            const size_t got = std::fread(buffer.data(), 1, want, stream);
            hash.update(buffer.data(), got);
            at += got;
            if (got != want) {
                return false;
            }
        }
        return true;
    }

    void writeStreamed(const PlannedFile& file) {
        const Source source = sourceFor(file);
        const std::string partial =
            inFolder(dest_, partialName(file.fileName, movie_.recordingTime));
        std::string error;
        Stream stream(os::openReadWrite(partial, error));
        if (!stream) {
            throw WriteFailure("cannot write " + partial + ": " + error, false);
        }
        // The plan looked before; what the file holds now is what counts.
        uint64_t have = 0;
        int64_t time = 0;
        if (!os::regularFileInfo(partial, have, time)) {
            failWrite("cannot read " + partial, errno);
        }
        const uint64_t start = source.resumePoint(have);
        if (!os::truncateFile(stream.get(), start)) {
            failWrite("cannot cut " + partial + " to its whole frames", errno);
        }
        std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(
            bufferBytes(source.frameBytes), std::max<uint64_t>(1, source.size))));
        ContentHash hash;
        // Without --verify the kept prefix is trusted as written; with it, the drive is read
        // again so that the final comparison covers every byte.
        if (options_.verify) {
            hashFromSource(source, start, buffer, hash);
        } else if (!hashFromFile(stream.get(), start, buffer, hash)) {
            failWrite("cannot read back " + partial, errno);
        }
        if (std::fseek(stream.get(), 0, SEEK_END) != 0) {
            failWrite("cannot write " + partial, errno);
        }
        {
            WriteBehind writer(stream.get(), start, buffer.size());
            for (uint64_t at = start; at < source.size;) {
                const size_t n = source.chunkAt(at, buffer.size());
                uint8_t* chunk = writer.buffer();
                if (chunk == nullptr) {
                    break;  // a write failed: finish() says why
                }
                source.read(at, chunk, n);
                hash.update(chunk, n);
                writer.write(n);
                at += n;
                progress_(n);
            }
            if (const int error = writer.finish()) {
                failWrite("cannot write " + partial, error);
            }
        }
        if (!os::setModifiedTime(stream.get(), movie_.recordingTime) ||
            !os::syncFile(stream.get())) {
            failWrite("cannot write " + partial, errno);
        }
        written_.file = &file;
        written_.partial = partial;
        written_.size = source.size;
        written_.hash = hash.hex();
        stream_ = std::move(stream);
    }

    MovieCatalog& catalog_;
    const MoviePlan& plan_;
    const MovieDescription& movie_;
    const std::string dest_;
    const CopyOptions options_;
    const std::function<void(uint64_t)> progress_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::unique_ptr<MovieReader> reader_;
    std::unique_ptr<zel::vem::OmeTiffView> view_;
    bool resumed_ = false;
    std::string error_;  // the first failure, kept for finish()
    bool diskFull_ = false;
    Stream stream_;  // the partial file write() left open, until finish()
    Written written_;
};

MovieCopy::MovieCopy(MovieCatalog& catalog, const MoviePlan& plan, const std::string& dest,
                     const CopyOptions& options, std::function<void(uint64_t)> progress)
    : state_(std::make_unique<State>(catalog, plan, dest, options, std::move(progress))) {}

MovieCopy::~MovieCopy() = default;

bool MovieCopy::write() {
    return state_->write();
}

bool MovieCopy::awaitsReadBack() const {
    return state_->awaitsReadBack();
}

ReadBack MovieCopy::readBack(const std::atomic<bool>& abandon) {
    return state_->readBack(abandon);
}

MovieOutcome MovieCopy::finish(Manifest& manifest, const ReadBack& readBack) {
    return state_->finish(manifest, readBack);
}

}  // namespace vemcli::get
