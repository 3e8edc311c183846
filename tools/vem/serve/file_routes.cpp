// /files/: the listing, each movie's bytes and info stream with ranges and validators, deletion.
#include <algorithm>
#include <cctype>
#include <set>
#include <stdexcept>

#include "entity_reply.h"
#include "router.h"
#include "router_parts.h"

namespace vemserve {

using zel::vem::MovieDescription;

namespace {

class MovieContent : public Content {
  public:
    explicit MovieContent(zel::vem::MovieReader reader) : reader_(std::move(reader)) {}
    const MovieDescription& description() const { return reader_.description(); }
    void copy(uint64_t offset, uint8_t* out, size_t n) override {
        if (reader_.read(offset, out, n) != n) {
            throw std::runtime_error("the movie ended early");
        }
    }
    size_t chunkSize() const override { return frameChunk(reader_.description().frameBytes); }
    // A range that starts inside a frame reads up to the next chunk's first frame, so that its
    // later reads load whole frames: a read that ends inside a frame loads that frame, and the
    // next read loads it again.
    uint64_t pieceAt(uint64_t offset) const override {
        const uint64_t chunk = chunkSize();
        return chunk - offset % chunk;
    }

  private:
    zel::vem::MovieReader reader_;
};

bool endsWithInfo(const std::string& name) {
    static const std::string kInfo = ":info";
    if (name.size() <= kInfo.size()) {
        return false;
    }
    for (size_t i = 0; i < kInfo.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(name[name.size() - kInfo.size() + i])) !=
            kInfo[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

Reply Router::fileIndex(const Request& request) {
    if (request.method != "GET" && request.method != "HEAD") {
        Reply reply = errorReply(405, "method not allowed");
        reply.set("Allow", "GET, HEAD");
        return reply;
    }
    if (!catalog_.emulator() && !catalog_.drivePresent()) {
        return errorReply(503, catalog_.noDriveMessage());
    }
    // Info streams are reachable by name but not listed, as in the mount; each movie's views
    // follow it, unless a movie holds a view's name (the movie wins).
    std::string html =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>movies</title></head>\n"
        "<body>\n<h1>movies</h1>\n<ul>\n";
    const std::vector<MovieDescription> movies = catalog_.list();
    std::set<std::string> entries;
    for (const MovieDescription& movie : movies) {
        entries.insert(movie.entryName);
    }
    for (const MovieDescription& movie : movies) {
        html += "<li><a href=\"" + encodeSegment(movie.entryName) + "\">" +
                escapeHtml(movie.entryName) + "</a> " + std::to_string(movie.size) + "</li>\n";
        html += viewIndexLines(movie, entries);
    }
    html += "</ul>\n</body></html>\n";
    Reply reply;
    reply.set("Content-Type", "text/html; charset=utf-8");
    reply.set("Cache-Control", "no-cache");
    reply.body = std::move(html);
    return reply;
}

Reply Router::files(const Request& request, const std::string& rest) {
    if (rest.empty()) {
        return fileIndex(request);
    }
    const size_t slash = rest.find('/');
    std::string name;
    Reply error;
    if (!decodeName(rest.substr(0, slash), name, error)) {
        return error;
    }
    std::optional<MovieDescription> viewed;
    if (slash != std::string::npos) {
        // The drive has one flat folder; only a Zarr view is a folder, of files only.
        const std::string key = rest.substr(slash + 1);
        if (viewOf(name, viewed) != View::Zarr || key.find('/') != std::string::npos) {
            return errorReply(404, "no such file: the drive has one flat folder");
        }
        std::string decoded;
        if (!key.empty() && !decodeName(key, decoded, error)) {
            return error;
        }
        return zarr(request, *viewed, decoded);
    }
    const bool info = endsWithInfo(name);
    const View view = info ? View::None : viewOf(name, viewed);
    if (view == View::OmeTiff) {
        return tiff(request, *viewed, std::nullopt, "-ome");
    }
    if (view == View::Zarr) {
        if (request.method != "GET" && request.method != "HEAD") {
            Reply reply = errorReply(405, "a view is read only");
            reply.set("Allow", "GET, HEAD");
            return reply;
        }
        // Relative links on the folder's page resolve under the folder only with the slash.
        Reply reply = errorReply(301, "the folder is " + name + "/");
        reply.set("Location", "/files/" + encodeSegment(name) + "/");
        return reply;
    }
    const std::string movieName = info ? name.substr(0, name.size() - 5) : name;
    if (request.method == "DELETE") {
        if (info) {
            return errorReply(405, "an info stream goes only with its movie");
        }
        if (!options_.allowDelete) {
            return errorReply(403, "deleting is off (start the server with --allow-delete)");
        }
        std::optional<MovieDescription> movie = catalog_.find(movieName);
        if (!movie) {
            return missingMovie(catalog_, movieName);
        }
        // A client that names the version it saw never deletes another movie of that name.
        if (const std::string* ifMatch = request.header("if-match")) {
            if (!tagListMatches(*ifMatch, entityTag(*movie), true)) {
                return errorReply(412, "the movie is not the one the client had (If-Match)");
            }
        }
        return remove(request, movieName);
    }
    if (request.method != "GET" && request.method != "HEAD") {
        Reply reply = errorReply(405, "method not allowed");
        reply.set("Allow", "GET, HEAD, DELETE");
        return reply;
    }
    std::optional<MovieDescription> listed = catalog_.find(movieName);
    if (!listed) {
        return missingMovie(catalog_, movieName);
    }
    if (info) {
        std::vector<uint8_t> bytes = catalog_.infoStream(movieName);
        const uint64_t size = bytes.size();
        return entityReply(request, std::make_shared<MemoryContent>(std::move(bytes)), size,
                           tagWith(entityTag(*listed), "-info"), listed->recordingTime);
    }
    if (request.method == "HEAD") {
        return entityReply(request, std::make_shared<NoContent>(), listed->size, entityTag(*listed),
                           listed->recordingTime);
    }
    // The reader's own description: should the name have moved on to another movie between
    // the lookup and the open, the tag and the bytes still belong together.
    auto content = std::make_shared<MovieContent>(warm_.open(movieName));
    const MovieDescription& movie = content->description();
    return entityReply(request, content, movie.size, entityTag(movie), movie.recordingTime);
}

}  // namespace vemserve
