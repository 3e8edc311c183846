// The router: access, dispatch, the JSON API and the change feed. Files are in file_routes.cpp.
#include "router.h"

#include <chrono>
#include <cstdlib>

#include "access.h"
#include "entity_reply.h"
#include "frame_image.h"
#include "movies/frame_times.h"
#include "router_parts.h"

namespace vemserve {

using zel::vem::MovieCatalog;
using zel::vem::MovieDescription;
using zel::vem::MovieError;
using zel::vem::MovieFailure;

const std::string* Request::header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    return it == headers.end() ? nullptr : &it->second;
}

void Reply::set(const std::string& name, const std::string& value) {
    for (auto& header : headers) {
        if (header.first == name) {
            header.second = value;
            return;
        }
    }
    headers.emplace_back(name, value);
}

Router::Router(MovieCatalog& catalog, RouterOptions options)
    : catalog_(catalog), options_(std::move(options)), warm_(catalog, 8, std::chrono::seconds(5)) {}

std::string Router::loggable(const std::string& target) {
    const size_t question = target.find('?');
    if (question == std::string::npos) {
        return target;
    }
    std::string query = queryWithout(queryWithout(target.substr(question + 1), "token"), "code");
    return target.substr(0, question) + (query.empty() ? "" : "?" + query);
}

namespace {

bool bearerToken(const std::string& header, std::string& token) {
    if (header.size() < 7) {
        return false;
    }
    std::string scheme = header.substr(0, 7);
    for (char& c : scheme) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (scheme != "bearer ") {
        return false;
    }
    token = header.substr(7);
    while (!token.empty() && token.back() == ' ') {
        token.pop_back();
    }
    return true;
}

}  // namespace

Reply Router::handle(const Request& request) {
    const size_t question = request.target.find('?');
    const std::string path = request.target.substr(0, question);
    const std::string query =
        question == std::string::npos ? std::string() : request.target.substr(question + 1);

    if (path == "/open") {
        return openLink(request, query);
    }

    // Every candidate is compared, so the time taken does not tell which one was present.
    bool allowed = false;
    std::string presented;
    if (const std::string* authorization = request.header("authorization")) {
        if (bearerToken(*authorization, presented)) {
            allowed = sameSecret(presented, options_.token) || allowed;
        }
    }
    if (const std::string* cookie = request.header("cookie")) {
        presented = cookieValue(*cookie, cookieName(options_.port));
        if (!presented.empty()) {
            allowed = sameSecret(presented, options_.token) || allowed;
        }
    }
    bool inQuery = false;
    presented = queryValue(query, "token", inQuery);
    bool queryAllowed = inQuery && sameSecret(presented, options_.token);
    allowed = allowed || queryAllowed;
    if (!allowed) {
        Reply reply = errorReply(401, "unauthorized");
        reply.set("WWW-Authenticate", "Bearer");
        return reply;
    }

    Reply reply;
    try {
        reply = route(request, path, query);
        if (request.method != "HEAD" && reply.sendBody && reply.source &&
            reply.source->size() > 0) {
            reply.source = readAhead(std::move(reply.source));
        }
    } catch (const MovieError& e) {
        reply = movieErrorReply(e);
    } catch (const std::exception& e) {
        reply = errorReply(500, std::string("internal error: ") + e.what());
    }
    if (queryAllowed) {
        // A browser given the token once in a link keeps it in a cookie, out of later URLs.
        reply.headers.emplace_back("Set-Cookie", tokenCookie());
    }
    if (request.method == "HEAD") {
        reply.sendBody = false;
    }
    return reply;
}

std::string Router::tokenCookie() const {
    return cookieName(options_.port) + "=" + options_.token +
           "; Path=/; HttpOnly; SameSite=Strict" + (options_.tls ? "; Secure" : "");
}

// The link `vem view` hands to the browser carries a code instead of the token: the program that
// opens the browser sees it in its arguments, and so can anything that lists processes. The first
// GET spends it and gets the token as a cookie; any later use of the link, or a wrong code, is
// refused, so the link is worth nothing once the browser has followed it.
Reply Router::openLink(const Request& request, const std::string& query) {
    if (request.method != "GET") {
        Reply reply = errorReply(405, "method not allowed");
        reply.set("Allow", "GET");
        return reply;
    }
    bool found = false;
    const std::string code = queryValue(query, "code", found);
    bool valid = false;
    {
        std::lock_guard<std::mutex> hold(openLock_);
        valid = found && !options_.openCode.empty() && !openSpent_ &&
                sameSecret(code, options_.openCode);
        openSpent_ = openSpent_ || valid;
    }
    if (!valid) {
        return errorReply(401,
                          "this link was used already or is not this server's: run "
                          "`vem view` again for a new one");
    }
    bool hasMovie = false;
    const std::string movie = queryValue(query, "movie", hasMovie);
    Reply reply = errorReply(303, "see the viewer");
    reply.set("Location", movie.empty() ? "/" : "/#movie=" + percentEncode(movie));
    reply.set("Cache-Control", "no-store");
    reply.headers.emplace_back("Set-Cookie", tokenCookie());
    return reply;
}

namespace {

bool isRead(const Request& request) {
    return request.method == "GET" || request.method == "HEAD";
}

Reply notAllowed(const char* allow) {
    Reply reply = errorReply(405, "method not allowed");
    reply.set("Allow", allow);
    return reply;
}

}  // namespace

Reply Router::route(const Request& request, const std::string& path, const std::string& query) {
    static const std::string kFiles = "/files/";
    static const std::string kApi = "/api/v1/";
    if (path.compare(0, kFiles.size(), kFiles) == 0) {
        return files(request, path.substr(kFiles.size()));
    }
    if (path == "/files") {
        Reply reply = errorReply(301, "the listing is /files/");
        reply.set("Location", "/files/");
        return reply;
    }
    if (path.compare(0, kApi.size(), kApi) == 0) {
        return api(request, path.substr(kApi.size()), query);
    }
    // The browser viewer, when the build embeds one.
    std::string name = path == "/" ? "index.html" : path.substr(1);
    const StaticFile* file = name.find('/') == std::string::npos ? viewerFile(name) : nullptr;
    if (file == nullptr) {
        return errorReply(404, "not found");
    }
    if (!isRead(request)) {
        return notAllowed("GET, HEAD");
    }
    Reply reply;
    reply.set("Content-Type", file->contentType);
    reply.set("Cache-Control", "no-cache");
    reply.body.assign(reinterpret_cast<const char*>(file->data), file->size);
    return reply;
}

Reply Router::api(const Request& request, const std::string& rest, const std::string& query) {
    if (!isRead(request)) {
        return notAllowed("GET, HEAD");
    }
    Reply reply;
    reply.set("Content-Type", "application/json");
    reply.set("Cache-Control", "no-store");
    if (rest == "status") {
        const bool emulator = catalog_.emulator();
        const bool present = emulator || catalog_.drivePresent();
        reply.body = nlohmann::ordered_json{{"mode", emulator ? "emulator" : "drive"},
                                            {"drivePresent", present},
                                            {"movies", present ? catalog_.list().size() : 0},
                                            {"allowDelete", options_.allowDelete}}
                         .dump(2) +
                     "\n";
        return reply;
    }
    if (rest == "events") {
        reply.headers.clear();
        reply.set("Content-Type", "text/event-stream");
        reply.set("Cache-Control", "no-store");
        // HEAD learns what the stream is without holding a connection open.
        reply.eventStream = request.method == "GET";
        // Browsers reconnect after this many milliseconds when the stream breaks.
        reply.body = "retry: 3000\n\n";
        return reply;
    }
    if (rest == "movies") {
        if (!catalog_.emulator() && !catalog_.drivePresent()) {
            return errorReply(503, catalog_.noDriveMessage());
        }
        nlohmann::ordered_json out = nlohmann::ordered_json::array();
        for (const MovieDescription& movie : catalog_.list()) {
            out.push_back(movieJson(movie));
        }
        reply.body = out.dump(2) + "\n";
        return reply;
    }
    static const std::string kMovies = "movies/";
    if (rest.compare(0, kMovies.size(), kMovies) != 0) {
        return errorReply(404, "not found");
    }
    const std::string tail = rest.substr(kMovies.size());
    const size_t slash = tail.find('/');
    std::string name;
    Reply error;
    if (!decodeName(tail.substr(0, slash), name, error)) {
        return error;
    }
    if (slash == std::string::npos) {
        std::optional<MovieDescription> movie = catalog_.find(name);
        if (!movie) {
            return missingMovie(catalog_, name);
        }
        // As `vem info --json`: with the frame rate from the times, or why there is none.
        nlohmann::ordered_json object = movieJson(*movie);
        const std::shared_ptr<const zel::vem::FrameTimes> times = times_.get(catalog_, *movie);
        const std::optional<double> rate =
            times->known() ? zel::vem::frameRate(times->nanoseconds) : std::nullopt;
        object["frame_rate"] = rate ? nlohmann::ordered_json(*rate) : nlohmann::ordered_json();
        object["frame_times_failure"] =
            times->known() ? nlohmann::ordered_json() : nlohmann::ordered_json(times->failure);
        reply.body = object.dump(2) + "\n";
        return reply;
    }
    static const std::string kFrames = "frames/";
    const std::string after = tail.substr(slash + 1);
    if (after.compare(0, kFrames.size(), kFrames) == 0) {
        return frame(request, name, after.substr(kFrames.size()), query);
    }
    if (after == "times") {
        return times(name);
    }
    if (after == "export") {
        return exportFrames(request, name, query);
    }
    return errorReply(404, "not found");
}

// As `vem times --json`: one {"frame", "time", "elapsed"} per frame. A movie whose info stream
// gives no times answers 422 with the reason: never made-up times. MovieErrors (no such movie,
// no drive) reach route(), which answers them.
Reply Router::times(const std::string& name) {
    std::optional<MovieDescription> movie = catalog_.find(name);
    if (!movie) {
        return missingMovie(catalog_, name);
    }
    const std::shared_ptr<const zel::vem::FrameTimes> times = times_.get(catalog_, *movie);
    if (!times->known()) {
        return errorReply(422, "no frame times: " + times->failure);
    }
    const std::vector<int64_t>& t = times->nanoseconds;
    std::string body = "[";
    for (size_t f = 0; f < t.size(); ++f) {
        body += (f == 0 ? "\n  " : ",\n  ");
        body += "{\"frame\": " + std::to_string(f) + ", \"time\": \"" +
                zel::vem::formatUtcTime(t[f]) +
                "\", \"elapsed\": " + zel::vem::formatElapsed(t[f], t[0], 6) + "}";
    }
    body += t.empty() ? "]\n" : "\n]\n";
    Reply reply;
    reply.set("Content-Type", "application/json");
    reply.set("Cache-Control", "no-store");
    reply.body = std::move(body);
    return reply;
}

namespace {

bool parseIndex(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != text.npos) {
        return false;
    }
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

bool parseDouble(const std::string& text, double& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && value == value;
}

}  // namespace

Reply Router::frame(const Request& request, const std::string& name, const std::string& index,
                    const std::string& query) {
    uint64_t number = 0;
    if (!parseIndex(index, number)) {
        return errorReply(400, "a frame number is a whole number from 0");
    }
    bool found = false;
    std::string format = queryValue(query, "format", found);
    if (!found) {
        format = "raw";
    }
    if (format != "raw" && format != "png" && format != "png8") {
        return errorReply(400, "format is raw, png or png8");
    }
    // The contrast of png8: lo/hi raw values, or auto=P1,P2 percentiles of this frame.
    bool haveLo = false, haveHi = false, haveAuto = false;
    const std::string loText = queryValue(query, "lo", haveLo);
    const std::string hiText = queryValue(query, "hi", haveHi);
    const std::string autoText = queryValue(query, "auto", haveAuto);
    double lo = 0, hi = 0, p1 = 0.1, p2 = 99.9;
    if (haveLo != haveHi || (haveLo && haveAuto)) {
        return errorReply(400, "give lo and hi together, or auto=P1,P2");
    }
    if (haveLo &&
        (!parseDouble(loText, lo) || !parseDouble(hiText, hi) || lo < 0 || hi > 65535 || lo > hi)) {
        return errorReply(400, "lo and hi are raw values, 0 <= lo <= hi <= 65535");
    }
    if (haveAuto) {
        const size_t comma = autoText.find(',');
        if (comma == std::string::npos || !parseDouble(autoText.substr(0, comma), p1) ||
            !parseDouble(autoText.substr(comma + 1), p2) || p1 < 0 || p2 > 100 || p1 > p2) {
            return errorReply(400, "auto is P1,P2: percentiles, 0 <= P1 <= P2 <= 100");
        }
    }

    std::optional<MovieDescription> listed = catalog_.find(name);
    if (!listed) {
        return missingMovie(catalog_, name);
    }
    zel::vem::MovieReader reader = warm_.open(name);
    const MovieDescription& movie = reader.description();
    if (number >= movie.frameCount) {
        return errorReply(404, "frame " + std::to_string(number) +
                                   " does not exist (the movie has " +
                                   std::to_string(movie.frameCount) + " frames)");
    }
    std::string raw(static_cast<size_t>(movie.frameBytes), '\0');
    reader.readFrame(number, &raw[0]);

    Reply reply;
    reply.set("ETag", entityTag(movie));
    reply.set("Cache-Control", "no-cache");
    reply.set("X-Frame-Width", std::to_string(movie.width));
    reply.set("X-Frame-Height", std::to_string(movie.height));
    if (format == "raw") {
        reply.set("Content-Type", "application/octet-stream");
        reply.body = std::move(raw);
        return reply;
    }
    const FrameSamples pixels{reinterpret_cast<const uint8_t*>(raw.data()), raw.size() / 2};
    reply.set("Content-Type", "image/png");
    if (format == "png") {
        reply.body = encodeGrayPng(bigEndianSamples(pixels).data(), movie.width, movie.height, 16);
        return reply;
    }
    uint16_t low = 0, high = 0;
    if (haveLo) {
        low = static_cast<uint16_t>(lo);
        high = static_cast<uint16_t>(hi);
    } else {
        percentileValues(pixels, p1, p2, low, high);
    }
    reply.set("X-Contrast", std::to_string(low) + "," + std::to_string(high));
    reply.body =
        encodeGrayPng(stretchTo8Bits(pixels, low, high).data(), movie.width, movie.height, 8);
    (void)request;
    return reply;
}

Reply Router::remove(const Request& request, const std::string& name) {
    if (!options_.allowDelete) {
        return errorReply(403, "deleting is off (start the server with --allow-delete)");
    }
    warm_.forget(name);
    zel::vem::RemoveOutcome outcome = catalog_.remove(name);
    Reply reply;
    reply.status = 204;
    reply.note = "deleted " + outcome.removed + " for " + request.client;
    return reply;
}

}  // namespace vemserve
