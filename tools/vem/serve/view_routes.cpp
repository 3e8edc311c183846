// The computed views over HTTP: NAME.ome.tif, the NAME.zarr/ folder and the OME-TIFF export API,
// every byte laid out by the movie layer's views and read from the movie while it is sent.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "access.h"
#include "entity_reply.h"
#include "movies/frame_times.h"
#include "movies/movie_path.h"
#include "movies/ome_tiff.h"
#include "movies/zarr_view.h"
#include "router.h"
#include "router_parts.h"

namespace vemserve {

using zel::vem::FrameSelection;
using zel::vem::MovieDescription;
using zel::vem::OmeTiffMovie;
using zel::vem::OmeTiffView;
using zel::vem::ZarrView;

namespace {

// The size of the movie's OME-TIFF; nullopt when it has none: its frames cannot be read, or the
// layer lays none out (no frame, sides a TIFF cannot hold), as the mount decides.
std::optional<uint64_t> omeTiffSize(const MovieDescription& movie) {
    if (!movie.framesReadable()) {
        return std::nullopt;
    }
    try {
        return OmeTiffView(OmeTiffMovie::of(movie)).size();
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
}

// An OME-TIFF's bytes: metadata computed by the view, pixels read from the movie.
class TiffContent : public Content {
  public:
    TiffContent(zel::vem::MovieReader reader, std::shared_ptr<const OmeTiffView> view)
        : reader_(std::move(reader)), view_(std::move(view)) {}
    void copy(uint64_t offset, uint8_t* out, size_t n) override {
        const uint64_t frameBytes = view_->frameBytes();
        const zel::vem::FrameByteReader frames = [this, frameBytes](uint64_t frame, uint64_t at,
                                                                    void* to, size_t count) {
            if (reader_.read(frame * frameBytes + at, to, count) != count) {
                throw std::runtime_error("the movie ended early");
            }
        };
        if (view_->read(offset, out, n, frames) != n) {
            throw std::runtime_error("the view ended early");
        }
    }
    size_t chunkSize() const override { return frameChunk(view_->frameBytes()); }
    // The metadata in pieces of its own, then whole frames, as `vem cat NAME.ome.tif` reads.
    uint64_t pieceAt(uint64_t offset) const override {
        const uint64_t pixels = view_->pixelOffset();
        if (offset < pixels) {
            return pixels - offset;
        }
        const uint64_t chunk = chunkSize();
        return chunk - (offset - pixels) % chunk;
    }

  private:
    zel::vem::MovieReader reader_;
    std::shared_ptr<const OmeTiffView> view_;
};

// One frame of the movie: a Zarr chunk.
class FrameContent : public Content {
  public:
    FrameContent(zel::vem::MovieReader reader, uint64_t start)
        : reader_(std::move(reader)), start_(start) {}
    void copy(uint64_t offset, uint8_t* out, size_t n) override {
        if (reader_.read(start_ + offset, out, n) != n) {
            throw std::runtime_error("the movie ended early");
        }
    }
    size_t chunkSize() const override {
        return static_cast<size_t>(
            std::min<uint64_t>(std::max<uint64_t>(1, reader_.description().frameBytes), 64u << 20));
    }

  private:
    zel::vem::MovieReader reader_;
    uint64_t start_;
};

// The page of NAME.zarr/: its three texts and a link per chunk, made while it is sent, so that a
// movie of a million frames costs no page held whole.
class ZarrIndex : public BodySource {
  public:
    ZarrIndex(const std::string& folder, uint64_t chunks) : chunks_(chunks) {
        const std::string title = escapeHtml(folder);
        pending_ = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title +
                   "</title></head>\n<body>\n<h1>" + title + "</h1>\n<ul>\n";
        for (const char* key : {".zarray", ".zattrs", ".zmetadata"}) {
            pending_ += line(key);
        }
        size_ = pending_.size() + std::strlen(kTail);
        // A chunk's line is the markup around its key, written twice ("i.0.0").
        const uint64_t markup = line("").size();
        for (uint64_t i = 0; i < chunks_; ++i) {
            size_ += markup + 2 * ZarrView::chunkKey(i).size();
        }
    }
    uint64_t size() const override { return size_; }
    size_t read(uint8_t* out, size_t n) override {
        size_t done = 0;
        while (done < n) {
            if (at_ == pending_.size() && !refill()) {
                break;
            }
            const size_t take = std::min(n - done, pending_.size() - at_);
            std::memcpy(out + done, pending_.data() + at_, take);
            at_ += take;
            done += take;
        }
        return done;
    }

  private:
    static constexpr const char* kTail = "</ul>\n</body></html>\n";
    static std::string line(const std::string& key) {
        return "<li><a href=\"" + key + "\">" + key + "</a></li>\n";
    }
    bool refill() {
        pending_.clear();
        at_ = 0;
        while (next_ < chunks_ && pending_.size() < (64u << 10)) {
            pending_ += line(ZarrView::chunkKey(next_++));
        }
        if (pending_.empty() && !tailSent_) {
            pending_ = kTail;
            tailSent_ = true;
        }
        return !pending_.empty();
    }

    uint64_t chunks_;
    uint64_t size_ = 0;
    uint64_t next_ = 0;
    bool tailSent_ = false;
    std::string pending_;
    size_t at_ = 0;
};

std::string hexHash(const std::string& text) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char out[24];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(hash));
    return out;
}

// A file name for any client: the movie's name with every character outside [A-Za-z0-9._-]
// as "_" (the exact name travels in filename*).
std::string plainFileName(const std::string& name) {
    std::string out = name;
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) && u < 0x80) && c != '.' && c != '-' && c != '_') {
            c = '_';
        }
    }
    return out;
}

bool isRead(const Request& request) {
    return request.method == "GET" || request.method == "HEAD";
}

Reply readOnly() {
    Reply reply = errorReply(405, "a view is read only");
    reply.set("Allow", "GET, HEAD");
    return reply;
}

}  // namespace

Router::View Router::viewOf(const std::string& name, std::optional<MovieDescription>& movie) {
    if (!options_.views) {
        return View::None;
    }
    std::string stem;
    const zel::vem::MovieView asked = zel::vem::splitViewName(name, stem);
    if (asked == zel::vem::MovieView::None) {
        return View::None;
    }
    const View kind = asked == zel::vem::MovieView::OmeTiff ? View::OmeTiff : View::Zarr;
    // A movie of that very name wins over the view, so no name means two things.
    if (catalog_.find(name)) {
        return View::None;
    }
    movie = catalog_.find(stem);
    if (!movie ||
        !(kind == View::OmeTiff ? omeTiffSize(*movie).has_value() : movie->framesReadable())) {
        return View::None;
    }
    return kind;
}

std::string Router::viewIndexLines(const MovieDescription& movie,
                                   const std::set<std::string>& entries) {
    if (!options_.views) {
        return std::string();
    }
    std::string lines;
    const std::string tiff = zel::vem::viewEntryName(movie.entryName, zel::vem::MovieView::OmeTiff);
    const std::optional<uint64_t> size = omeTiffSize(movie);
    if (size && !entries.count(tiff)) {
        lines += "<li><a href=\"" + encodeSegment(tiff) + "\">" + escapeHtml(tiff) + "</a> " +
                 std::to_string(*size) + "</li>\n";
    }
    const std::string zarr = zel::vem::viewEntryName(movie.entryName, zel::vem::MovieView::Zarr);
    if (!entries.count(zarr) && movie.framesReadable()) {
        lines +=
            "<li><a href=\"" + encodeSegment(zarr) + "/\">" + escapeHtml(zarr) + "/</a></li>\n";
    }
    return lines;
}

std::shared_ptr<const std::vector<int64_t>> Router::planeTimes(const MovieDescription& movie) {
    const std::shared_ptr<const zel::vem::FrameTimes> times = times_.get(catalog_, movie);
    if (!times->known() || times->nanoseconds.size() != movie.frameCount) {
        return nullptr;
    }
    return std::shared_ptr<const std::vector<int64_t>>(times, &times->nanoseconds);
}

// The tag names the movie, the frames and whether the planes carry times: times that could not
// be had once and can now change the bytes.
Reply Router::tiff(const Request& request, const MovieDescription& listed,
                   const std::optional<FrameSelection>& frames, const std::string& tagSuffix) {
    if (!isRead(request)) {
        return readOnly();
    }
    auto made = [&](const MovieDescription& movie, std::shared_ptr<const OmeTiffView>& view) {
        const std::shared_ptr<const std::vector<int64_t>> stamps = planeTimes(movie);
        view = std::make_shared<const OmeTiffView>(
            OmeTiffMovie::of(movie), frames.value_or(FrameSelection::all(movie.frameCount)),
            stamps);
        return tagWith(entityTag(movie), tagSuffix + (stamps ? "" : "-untimed"));
    };
    std::shared_ptr<const OmeTiffView> view;
    try {
        if (request.method == "HEAD") {
            const std::string tag = made(listed, view);
            return entityReply(request, std::make_shared<NoContent>(), view->size(), tag,
                               listed.recordingTime, "image/tiff");
        }
        // The reader's own description, as for the movie: tag and bytes belong together.
        zel::vem::MovieReader reader = warm_.open(listed.entryName);
        const MovieDescription movie = reader.description();
        const std::string tag = made(movie, view);
        return entityReply(request, std::make_shared<TiffContent>(std::move(reader), view),
                           view->size(), tag, movie.recordingTime, "image/tiff");
    } catch (const std::invalid_argument&) {
        // Checked against the listing: only another movie under the name gets here.
        return errorReply(409, "the movie changed under its name; ask again");
    }
}

Reply Router::zarr(const Request& request, const MovieDescription& listed, const std::string& key) {
    if (!isRead(request)) {
        return readOnly();
    }
    if (key.empty()) {
        Reply reply;
        reply.set("Content-Type", "text/html; charset=utf-8");
        reply.set("Cache-Control", "no-cache");
        reply.source = std::make_shared<ZarrIndex>(
            zel::vem::viewEntryName(listed.entryName, zel::vem::MovieView::Zarr),
            listed.frameCount);
        return reply;
    }
    // A chunk's name and size need no times: only the texts fetch the info stream.
    if (std::optional<uint64_t> frame = ZarrView(listed, nullptr).chunkFrame(key)) {
        if (request.method == "HEAD") {
            return entityReply(request, std::make_shared<NoContent>(), listed.frameBytes,
                               tagWith(entityTag(listed), "-zarr-" + key), listed.recordingTime);
        }
        zel::vem::MovieReader reader = warm_.open(listed.entryName);
        const MovieDescription movie = reader.description();
        if (*frame >= movie.frameCount) {
            return errorReply(409, "the movie changed under its name; ask again");
        }
        return entityReply(
            request, std::make_shared<FrameContent>(std::move(reader), *frame * movie.frameBytes),
            movie.frameBytes, tagWith(entityTag(movie), "-zarr-" + key), movie.recordingTime);
    }
    const std::shared_ptr<const zel::vem::FrameTimes> times = times_.get(catalog_, listed);
    const ZarrView view(listed, times.get());
    const std::string* text = view.metadata(key);
    if (text == nullptr) {
        return errorReply(404,
                          "no key '" + key + "' in " +
                              zel::vem::viewEntryName(listed.entryName, zel::vem::MovieView::Zarr));
    }
    // The texts hold the movie's index and times, which its tag leaves out: their hash is added.
    return entityReply(
        request, std::make_shared<MemoryContent>(std::vector<uint8_t>(text->begin(), text->end())),
        text->size(), tagWith(entityTag(listed), "-zarr" + key + "-" + hexHash(*text)),
        listed.recordingTime, "application/json");
}

Reply Router::exportFrames(const Request& request, const std::string& name,
                           const std::string& query) {
    if (!options_.frameRange) {
        return errorReply(404, "not found");
    }
    std::optional<MovieDescription> listed = catalog_.find(name);
    if (!listed) {
        return missingMovie(catalog_, name);
    }
    bool found = false;
    const std::string text = queryValue(query, "frames", found);
    FrameSelection frames;
    try {
        frames = options_.frameRange(text, listed->frameCount);
    } catch (const std::exception& e) {
        // The command line's words name its option: here it is a query parameter.
        std::string message = e.what();
        if (message.compare(0, 2, "--") == 0) {
            message.erase(0, 2);
        }
        return errorReply(400, message);
    }
    const uint64_t last = frames.first + (frames.count - 1) * frames.step;
    const std::string part = "-frames-" + std::to_string(frames.first) + "-" +
                             std::to_string(last) +
                             (frames.step > 1 ? "-step-" + std::to_string(frames.step) : "");
    Reply reply = tiff(request, *listed, frames,
                       "-ome-" + std::to_string(frames.first) + "-" + std::to_string(frames.step) +
                           "-" + std::to_string(frames.count));
    if (reply.status == 200 || reply.status == 206) {
        const std::string file = name + part + ".ome.tif";
        reply.set("Content-Disposition", "attachment; filename=\"" + plainFileName(file) +
                                             "\"; filename*=UTF-8''" + percentEncode(file));
    }
    return reply;
}

}  // namespace vemserve
