// What the server answers: requests in, replies out, with no network code (that is http_server).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "movies/frame_times_cache.h"
#include "movies/movie_catalog.h"
#include "movies/ome_tiff.h"
#include "warm_movies.h"

namespace vemserve {

struct Request {
    std::string method;  // as sent ("GET")
    std::string target;  // as sent: path and query, still percent-encoded
    // Header values by lower-case name; repeated headers joined with ", " ("; " for Cookie).
    std::map<std::string, std::string> headers;
    std::string client;  // "address:port", for the log

    const std::string* header(const std::string& lowerName) const;
};

// A body made while it is sent, in pieces; used from one thread at a time.
class BodySource {
  public:
    virtual ~BodySource() = default;
    virtual uint64_t size() const = 0;
    // Fills up to `n` bytes and returns how many (0 only when every byte was given). Throws
    // when the bytes cannot be had: the connection is then closed short of its Content-Length,
    // so the client sees a broken transfer, never a complete-looking one.
    virtual size_t read(uint8_t* out, size_t n) = 0;
    // How much to read at a time (whole frames where there are frames).
    virtual size_t chunkSize() const { return 1 << 20; }
};

struct Reply {
    unsigned status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;                    // the body, unless `source` is set
    std::shared_ptr<BodySource> source;  // a body read while it is sent
    bool sendBody = true;                // false for HEAD and 304: the length is declared only
    bool declareLength = true;           // false for 304
    bool eventStream = false;            // the connection becomes a Server-Sent Events stream
    std::string note;                    // for the log line (what a deletion removed)

    void set(const std::string& name, const std::string& value);
    uint64_t bodySize() const { return source ? source->size() : body.size(); }
};

// An embedded file of the browser viewer, if the build has one.
struct StaticFile {
    const char* name;
    const char* contentType;
    const unsigned char* data;
    size_t size;
};

struct RouterOptions {
    std::string token;
    unsigned short port = 0;  // the port served, for the cookie's name
    bool tls = false;         // cookies are then Secure
    bool allowDelete = false;
    // vem view's one-time code: GET /open?code=CODE, once, trades it for the token's cookie.
    // Empty: no such link.
    std::string openCode;
    // NAME.ome.tif and the folder NAME.zarr/ beside every movie, as the mount shows them; false
    // (vem serve --no-views): neither is listed nor answered.
    bool views = true;
    // The frames of an export from its `frames=` text, for a movie of `frameCount` frames, as
    // `vem export --frames` reads them; throws std::exception saying why a range is refused.
    // Unset: there is no export.
    std::function<zel::vem::FrameSelection(const std::string& text, uint64_t frameCount)>
        frameRange;
};

// Answers one request. Blocking (it reads the drive): the server calls it off its network
// thread. Thread-safe.
class Router {
  public:
    Router(zel::vem::MovieCatalog& catalog, RouterOptions options);
    Reply handle(const Request& request);
    // The path and query of a target as the log may show it: without the token.
    static std::string loggable(const std::string& target);

  private:
    Reply route(const Request& request, const std::string& path, const std::string& query);
    Reply files(const Request& request, const std::string& rest);
    Reply fileIndex(const Request& request);
    Reply api(const Request& request, const std::string& rest, const std::string& query);
    Reply times(const std::string& name);
    Reply frame(const Request& request, const std::string& name, const std::string& index,
                const std::string& query);
    Reply remove(const Request& request, const std::string& name);
    // The views (view_routes.cpp).
    enum class View { None, OmeTiff, Zarr };
    // What `name` names among the views, and its movie; None when views are off or a movie has
    // that very name.
    View viewOf(const std::string& name, std::optional<zel::vem::MovieDescription>& movie);
    // The listing's lines for the views of `movie`, whose names are not among `entries`.
    std::string viewIndexLines(const zel::vem::MovieDescription& movie,
                               const std::set<std::string>& entries);
    // The movie's times for a view's planes, or null when they cannot be had.
    std::shared_ptr<const std::vector<int64_t>> planeTimes(const zel::vem::MovieDescription& movie);
    // The OME-TIFF of `frames` (every frame when nullopt) of the listed movie.
    Reply tiff(const Request& request, const zel::vem::MovieDescription& listed,
               const std::optional<zel::vem::FrameSelection>& frames, const std::string& tagSuffix);
    // NAME.zarr/KEY, or the folder's page for an empty key.
    Reply zarr(const Request& request, const zel::vem::MovieDescription& listed,
               const std::string& key);
    Reply exportFrames(const Request& request, const std::string& name, const std::string& query);
    Reply openLink(const Request& request, const std::string& query);
    std::string tokenCookie() const;

    zel::vem::MovieCatalog& catalog_;
    const RouterOptions options_;
    // Every read of a movie opens it through here.
    WarmMovies warm_;
    // A movie's times are fetched from the service once while it stays the same movie, however
    // often pages ask for its details or times.
    zel::vem::FrameTimesCache times_;
    // Guards openSpent_; a leaf lock.
    std::mutex openLock_;
    bool openSpent_ = false;
};

// JSON error replies, {"error": "..."}.
Reply errorReply(unsigned status, const std::string& message);

}  // namespace vemserve
