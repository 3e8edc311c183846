// Replies that carry an entity's bytes (a movie, a view, a text): ranges, validators, streaming.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "router.h"

namespace vemserve {

// Where a body's bytes come from. Used from one thread at a time.
class Content {
  public:
    virtual ~Content() = default;
    // Copies exactly `n` bytes from `offset`; throws when they cannot all be had.
    virtual void copy(uint64_t offset, uint8_t* out, size_t n) = 0;
    virtual size_t chunkSize() const { return 1 << 20; }
    // At most how many bytes from `offset` one read should take, so that the next one starts
    // where the content is cheapest to read from (a frame's first byte); 0 is never answered.
    virtual uint64_t pieceAt(uint64_t) const { return UINT64_MAX; }
};

// Whole frames of about 4 MiB per read (at most 64 MiB): the drive loads a frame per request.
size_t frameChunk(uint64_t frameBytes);

class MemoryContent : public Content {
  public:
    explicit MemoryContent(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    void copy(uint64_t offset, uint8_t* out, size_t n) override;

  private:
    std::vector<uint8_t> bytes_;
};

// Stands in for the bytes where none is sent (HEAD): nothing is opened.
class NoContent : public Content {
  public:
    void copy(uint64_t, uint8_t*, size_t) override;
};

// A reply with the bytes of `content` (`size` of them) as the request's range and validators
// ask: 200, 206 (one range or multipart/byteranges), 304, 412 or 416.
Reply entityReply(const Request& request, std::shared_ptr<Content> content, uint64_t size,
                  const std::string& tag, int64_t modified,
                  const std::string& contentType = "application/octet-stream");

// `body` with its first chunk (at most 1 MiB of it) read now, on the caller's thread; throws
// what that read throws.
// Called before the status line is sent: a movie that left the drive after it was looked up is
// then answered with an error status, where a failure after the status can only cut the body
// short (which a client may not check).
std::shared_ptr<BodySource> readAhead(std::shared_ptr<BodySource> body);

// Whether a list of entity tags (If-Match / If-None-Match) names `tag`. Weak comparison
// ignores the W/ prefix; strong comparison refuses weak tags.
bool tagListMatches(const std::string& list, const std::string& tag, bool strong);

// `tag` ("\"...\"") with `suffix` added inside its quotes: the tag of something made from the
// entity `tag` names.
std::string tagWith(const std::string& tag, const std::string& suffix);

// Percent-encodes all but unreserved characters, so a name is one relative path segment.
std::string encodeSegment(const std::string& name);
std::string escapeHtml(const std::string& text);

}  // namespace vemserve
