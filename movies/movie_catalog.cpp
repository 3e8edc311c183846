// MovieCatalog and MovieReader over the drive interface: lookups, reads and removals by name.
#include "movies/movie_catalog.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "movies/movie_path.h"
#include "service/pipe_path.h"
#include "suite/delegate.h"
#include "suite/path.h"
#include "suite/utf.h"
#include "vem/vem_file.h"
#include "vem/vem_interface.h"
#include "vem/vem_interface_private.h"

namespace zel::vem {

MovieError::MovieError(MovieFailure failure, const std::string& message)
    : std::runtime_error(message), failure_(failure) {}

// An open movie: the drive interface's file and what the movie was when it was opened.
class MovieFile {
  public:
    MovieFile(CVemInterface& drive, TSharedPtr<IFile> file, MovieDescription description)
        : drive(drive), file(std::move(file)), description(std::move(description)) {}

    // Why a read came back short: the movie went, the drive went, or the service refused.
    [[noreturn]] void fail(uint64_t offset) {
        const std::string what = "vem:///" + description.entryName;
        auto* movie = dynamic_cast<CVemFile*>(file.get());
        if (movie != nullptr && movie->gone()) {
            throw MovieError(MovieFailure::Gone,
                             what +
                                 ": the movie left the drive, or the service restarted, "
                                 "while it was open");
        }
        if (!drive.drivePresent()) {
            throw MovieError(MovieFailure::NoDrive, what + ": the drive is no longer there");
        }
        const uint64_t frame = description.frameBytes ? offset / description.frameBytes : 0;
        throw MovieError(MovieFailure::Refused,
                         what + ": the drive could not read frame " + std::to_string(frame));
    }

    CVemInterface& drive;
    TSharedPtr<IFile> file;
    MovieDescription description;
};

MovieReader::MovieReader(std::unique_ptr<MovieFile> file) : file_(std::move(file)) {}
MovieReader::MovieReader(MovieReader&&) noexcept = default;
MovieReader& MovieReader::operator=(MovieReader&&) noexcept = default;
MovieReader::~MovieReader() = default;

const MovieDescription& MovieReader::description() const {
    return file_->description;
}

void MovieReader::readFrame(uint64_t frame, void* out) {
    const MovieDescription& d = file_->description;
    if (frame >= d.frameCount) {
        throw MovieError(MovieFailure::NotFound, "vem:///" + d.entryName + ": frame " +
                                                     std::to_string(frame) +
                                                     " does not exist (the movie has " +
                                                     std::to_string(d.frameCount) + " frames)");
    }
    if (read(frame * d.frameBytes, out, d.frameBytes) != d.frameBytes) {
        file_->fail(frame * d.frameBytes);
    }
}

size_t MovieReader::read(uint64_t offset, void* out, size_t n) {
    const MovieDescription& d = file_->description;
    if (offset >= d.size || n == 0) {
        return 0;
    }
    const uint64_t wanted = std::min<uint64_t>(n, d.size - offset);
    IFile& file = *file_->file;
    if (file.Seek(static_cast<int64_t>(offset), kSeekBegin) != static_cast<int64_t>(offset)) {
        file_->fail(offset);
    }
    auto* bytes = static_cast<uint8_t*>(out);
    uint64_t done = 0;
    while (done < wanted) {
        // The file interface counts in 32 bits; whole frames per call keep loads aligned.
        const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(wanted - done, 1u << 30));
        const uint32_t got = file.Read(bytes + done, chunk);
        done += got;
        if (got != chunk) {
            file_->fail(offset + done);
        }
    }
    return static_cast<size_t>(done);
}

namespace {

CStringW wide(const std::string& utf8) {
    return CStringW(Utf8ToUtf16(utf8));
}

// An entry name as hosts pass it: one name of the root, not a path and not an info stream (the
// drive interface would otherwise look at the last component only, or at the stream).
bool plainEntryName(const std::string& name) {
    MoviePath path;
    std::string error;
    return !name.empty() && parseMoviePath(name, path, error) && !path.info && path.name == name;
}

// Subscriptions of all catalogs, by token. The delegates handed to the drive interface carry no
// manager, so every copy of one compares equal and an unsubscribe finds the one it added.
std::mutex subscriptionsLock;  // guards subscriptions; taken before the drive's cacheLock
std::map<uint64_t, std::unique_ptr<std::function<void()>>> subscriptions;
uint64_t nextToken = 1;

void callSubscriber(void* context) {
    (*static_cast<std::function<void()>*>(context))();
}

}  // namespace

MovieCatalog::MovieCatalog() : drive_(instance()) {}
MovieCatalog::MovieCatalog(CVemInterface& drive) : drive_(&drive) {}

bool MovieCatalog::emulator() const {
    return drive_->isEmulator();
}

bool MovieCatalog::drivePresent() {
    return drive_->drivePresent();
}

std::string MovieCatalog::noDriveMessage() {
    if (drive_->d->requestChannel.isConnected() || drive_->drivePresent()) {
        return "no drive detected (the service is running, but reports no recording drive)";
    }
    return "no drive detected (no drive service answers at " + pipePath(kServicePipeName) +
           "; a service started with another ZELVEM_PIPE_DIR is not seen)";
}

std::vector<MovieDescription> MovieCatalog::list(const std::string& filter) {
    CDirectoryListing listing = drive_->GetDirectoryListing(CStringW(u"vem:///"), wide(filter));
    std::vector<MovieDescription> movies;
    movies.reserve(listing.entries.size());
    for (uint32_t i = 0; i < listing.entries.size(); ++i) {
        MovieDescription movie;
        if (!describeMovie(listing.entries[i], movie)) {
            continue;
        }
        // The emulator's listing ignores the filter: it applies here, to the recorded name too.
        if (!filter.empty() && emulator() && !path::WildcardMatch(wide(filter), wide(movie.name))) {
            continue;
        }
        movies.push_back(std::move(movie));
    }
    return movies;
}

std::optional<MovieDescription> MovieCatalog::find(const std::string& entryName) {
    if (!plainEntryName(entryName)) {
        return std::nullopt;
    }
    MovieDescription movie;
    if (!describeMovie(drive_->GetInfo(wide("/" + entryName)), movie)) {
        return std::nullopt;
    }
    return movie;
}

namespace {

[[noreturn]] void notFound(MovieCatalog& catalog, const std::string& entryName) {
    if (!catalog.drivePresent()) {
        throw MovieError(MovieFailure::NoDrive, catalog.noDriveMessage());
    }
    throw MovieError(MovieFailure::NotFound, "vem:///" + entryName + ": no such movie");
}

}  // namespace

MovieReader MovieCatalog::open(const std::string& entryName) {
    std::optional<MovieDescription> movie = find(entryName);
    if (!movie) {
        notFound(*this, entryName);
    }
    if (!movie->framesReadable()) {
        throw MovieError(MovieFailure::Unreadable,
                         "vem:///" + entryName + ": its frames of " +
                             std::to_string(movie->frameBytes) +
                             " bytes cannot be read (0 bytes, or 4 GiB or more)");
    }
    TSharedPtr<IFile> file = drive_->OpenFile(wide("/" + entryName), kOpenRead | kOpenShareRead);
    if (!file) {
        notFound(*this, entryName);
    }
    if (static_cast<uint64_t>(file->GetSize()) < movie->size) {
        throw MovieError(MovieFailure::Refused,
                         "vem:///" + entryName + ": the service gave no frames for it");
    }
    return MovieReader(std::make_unique<MovieFile>(*drive_, std::move(file), std::move(*movie)));
}

std::vector<uint8_t> MovieCatalog::infoStream(const std::string& entryName) {
    if (!plainEntryName(entryName)) {
        notFound(*this, entryName);
    }
    TSharedPtr<IFile> file = drive_->OpenFile(wide("/" + entryName + ":info"), kOpenRead);
    if (!file) {
        if (!find(entryName)) {
            notFound(*this, entryName);
        }
        throw MovieError(MovieFailure::Refused,
                         "vem:///" + entryName + ":info: the drive could not read it");
    }
    const int64_t size = file->GetSize();
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int64_t>(size, 0)));
    uint64_t done = 0;
    while (done < bytes.size()) {
        const uint32_t chunk =
            static_cast<uint32_t>(std::min<uint64_t>(bytes.size() - done, 1u << 30));
        const uint32_t got = file->Read(bytes.data() + done, chunk);
        if (got == 0) {
            throw MovieError(MovieFailure::Refused,
                             "vem:///" + entryName + ":info: the drive could not read it");
        }
        done += got;
    }
    return bytes;
}

RemoveOutcome MovieCatalog::remove(const std::string& entryName) {
    std::optional<MovieDescription> movie = find(entryName);
    if (!movie) {
        notFound(*this, entryName);
    }
    const std::string what = "vem:///" + entryName;
    if (emulator()) {
        if (!drive_->RemoveFile(wide("/" + entryName))) {
            throw MovieError(MovieFailure::Refused, what + ": the file could not be removed");
        }
        return RemoveOutcome{entryName};
    }
    std::u16string other;
    using Removal = CVemInterfacePrivate::Removal;
    switch (drive_->d->removeMovie(wide(entryName), other)) {
        case Removal::Removed:
            return RemoveOutcome{entryName};
        case Removal::NotFound:
            notFound(*this, entryName);
        case Removal::WrongMovie:
            throw MovieError(MovieFailure::WrongRemoval, what + ": the drive removed vem:///" +
                                                             Utf16ToUtf8(other) + " instead; " +
                                                             entryName + " is still there");
        case Removal::Unconfirmed:
            throw MovieError(MovieFailure::Refused,
                             what +
                                 ": the drive accepted the removal, but its list could not "
                                 "be read to confirm what went");
        case Removal::Busy:
            throw MovieError(MovieFailure::Refused,
                             what + ": another removal is still in progress; nothing removed");
        case Removal::Changing:
            throw MovieError(MovieFailure::Refused,
                             what +
                                 ": the drive kept changing while the movie was looked up; "
                                 "nothing removed");
        case Removal::Refused:
            break;
    }
    throw MovieError(MovieFailure::Refused, what + ": the drive refused the removal");
}

uint64_t MovieCatalog::subscribe(std::function<void()> onChange) {
    auto callback = std::make_unique<std::function<void()>>(std::move(onChange));
    void* context = callback.get();
    uint64_t token = 0;
    {
        std::lock_guard<std::mutex> guard(subscriptionsLock);
        token = nextToken++;
        subscriptions.emplace(token, std::move(callback));
    }
    drive_->AddFilesChangedHandler(delegate<void()>(&callSubscriber, context, nullptr));
    return token;
}

void MovieCatalog::unsubscribe(uint64_t token) {
    std::unique_ptr<std::function<void()>> callback;
    {
        std::lock_guard<std::mutex> guard(subscriptionsLock);
        auto found = subscriptions.find(token);
        if (found == subscriptions.end()) {
            return;
        }
        callback = std::move(found->second);
        subscriptions.erase(found);
    }
    // Once this returns no refresh is calling it (they run under the same lock), so the callable
    // can go.
    drive_->RemoveFilesChangedHandler(delegate<void()>(&callSubscriber, callback.get(), nullptr));
}

}  // namespace zel::vem
