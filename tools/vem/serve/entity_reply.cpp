// Entity replies: byte ranges, validators and bodies read from a Content while they are sent.
#include "entity_reply.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "access.h"
#include "body_memory.h"
#include "byte_ranges.h"
#include "router_parts.h"

namespace vemserve {

namespace {

// At most this many ranges in one request are answered as parts; more get the whole entity.
constexpr size_t kMaxRanges = 16;

// A body of literal texts (multipart boundaries) and pieces of the content.
class SegmentedBody : public BodySource {
  public:
    struct Segment {
        std::string text;  // literal, when `length` is 0
        uint64_t offset = 0;
        uint64_t length = 0;
    };
    SegmentedBody(std::shared_ptr<Content> content, std::vector<Segment> segments)
        : content_(std::move(content)), segments_(std::move(segments)) {
        for (const Segment& s : segments_) {
            size_ += s.length > 0 ? s.length : s.text.size();
        }
    }
    uint64_t size() const override { return size_; }
    size_t chunkSize() const override { return content_ ? content_->chunkSize() : 1 << 20; }
    size_t read(uint8_t* out, size_t n) override {
        size_t done = 0;
        while (done < n && current_ < segments_.size()) {
            const Segment& s = segments_[current_];
            const uint64_t total = s.length > 0 ? s.length : s.text.size();
            size_t take = static_cast<size_t>(std::min<uint64_t>(n - done, total - within_));
            bool boundary = false;
            if (s.length > 0) {
                const uint64_t piece = content_->pieceAt(s.offset + within_);
                boundary = piece <= take;
                take = static_cast<size_t>(std::min<uint64_t>(take, piece));
                content_->copy(s.offset + within_, out + done, take);
            } else {
                std::copy_n(s.text.data() + within_, take, out + done);
            }
            done += take;
            within_ += take;
            if (within_ == total) {
                ++current_;
                within_ = 0;
            }
            if (boundary) {
                break;  // the next read starts where the content is cheapest to read from
            }
        }
        return done;
    }

  private:
    std::shared_ptr<Content> content_;
    std::vector<Segment> segments_;
    uint64_t size_ = 0;
    size_t current_ = 0;
    uint64_t within_ = 0;
};

// Gives the bytes read ahead first, then the rest of the body.
class ReadAheadBody : public BodySource {
  public:
    explicit ReadAheadBody(std::shared_ptr<BodySource> body) : body_(std::move(body)) {
        // At most a lean buffer's worth: it is held outside the body memory's budget until the
        // status line is out.
        first_.resize(static_cast<size_t>(std::min<uint64_t>(
            body_->size(), std::min<uint64_t>(body_->chunkSize(), BodyMemory::kLean))));
        first_.resize(body_->read(first_.data(), first_.size()));
    }
    uint64_t size() const override { return body_->size(); }
    size_t chunkSize() const override { return body_->chunkSize(); }
    size_t read(uint8_t* out, size_t n) override {
        if (given_ == first_.size()) {
            return body_->read(out, n);
        }
        const size_t take = std::min(n, first_.size() - given_);
        std::copy_n(first_.data() + given_, take, out);
        given_ += take;
        if (given_ == first_.size()) {
            first_ = std::vector<uint8_t>();  // the chunk's memory is not kept for the whole body
            given_ = 0;
        }
        return take;
    }

  private:
    std::shared_ptr<BodySource> body_;
    std::vector<uint8_t> first_;
    size_t given_ = 0;
};

std::string contentRange(uint64_t first, uint64_t last, uint64_t size) {
    return "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
           std::to_string(size);
}

// A boundary that cannot occur in the parts' headers; movie bytes may hold anything, but
// multipart parts are delimited by their Content-Range lengths as much as by the boundary.
std::string makeBoundary() {
    return "zelvem-" + makeToken().substr(0, 24);
}

}  // namespace

std::shared_ptr<BodySource> readAhead(std::shared_ptr<BodySource> body) {
    return std::make_shared<ReadAheadBody>(std::move(body));
}

size_t frameChunk(uint64_t frameBytes) {
    const uint64_t frame = std::max<uint64_t>(1, frameBytes);
    return static_cast<size_t>(
        std::min<uint64_t>(frame * std::max<uint64_t>(1, (4u << 20) / frame), 64u << 20));
}

void MemoryContent::copy(uint64_t offset, uint8_t* out, size_t n) {
    if (offset > bytes_.size() || n > bytes_.size() - offset) {
        throw std::runtime_error("read past the end");
    }
    std::copy_n(bytes_.begin() + static_cast<ptrdiff_t>(offset), n, out);
}

void NoContent::copy(uint64_t, uint8_t*, size_t) {
    throw std::logic_error("no body is sent for this request");
}

std::string tagWith(const std::string& tag, const std::string& suffix) {
    return tag.substr(0, tag.size() - 1) + suffix + "\"";
}

bool tagListMatches(const std::string& list, const std::string& tag, bool strong) {
    size_t at = 0;
    while (at < list.size()) {
        while (at < list.size() && (list[at] == ' ' || list[at] == ',' || list[at] == '\t')) {
            ++at;
        }
        if (at >= list.size()) {
            break;
        }
        if (list[at] == '*') {
            return true;
        }
        bool weak = false;
        if (list.compare(at, 2, "W/") == 0) {
            weak = true;
            at += 2;
        }
        if (at >= list.size() || list[at] != '"') {
            return false;  // malformed: matches nothing
        }
        const size_t close = list.find('"', at + 1);
        if (close == std::string::npos) {
            return false;
        }
        if (list.compare(at, close - at + 1, tag) == 0 && !(strong && weak)) {
            return true;
        }
        at = close + 1;
    }
    return false;
}

std::string encodeSegment(const std::string& name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string escapeHtml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

Reply entityReply(const Request& request, std::shared_ptr<Content> content, uint64_t size,
                  const std::string& tag, int64_t modified, const std::string& contentType) {
    Reply reply;
    reply.set("Accept-Ranges", "bytes");
    reply.set("ETag", tag);
    reply.set("Last-Modified", httpDate(modified));
    reply.set("Cache-Control", "no-cache");
    if (const std::string* ifMatch = request.header("if-match")) {
        if (!tagListMatches(*ifMatch, tag, true)) {
            Reply failed = errorReply(412, "the file is not the one the client had (If-Match)");
            failed.set("ETag", tag);
            return failed;
        }
    }
    if (const std::string* ifNoneMatch = request.header("if-none-match")) {
        if (tagListMatches(*ifNoneMatch, tag, false)) {
            reply.status = 304;
            reply.sendBody = false;
            reply.declareLength = false;
            return reply;
        }
    }
    RangeAnswer ranges;
    const std::string* range = request.header("range");
    if (range != nullptr) {
        ranges = resolveRanges(*range, size, kMaxRanges);
        // A range of another version would be spliced onto what the client has: only when the
        // tag it names is still this one (a date is no strong validator here).
        if (const std::string* ifRange = request.header("if-range")) {
            if (*ifRange != tag) {
                ranges = RangeAnswer{};
            }
        }
    }
    using Segment = SegmentedBody::Segment;
    if (ranges.outcome == RangeOutcome::Unsatisfiable) {
        Reply refused =
            errorReply(416, "the range lies past the end (" + std::to_string(size) + " bytes)");
        refused.set("Content-Range", "bytes */" + std::to_string(size));
        refused.set("Accept-Ranges", "bytes");
        refused.set("ETag", tag);
        return refused;
    }
    if (ranges.outcome == RangeOutcome::Whole) {
        reply.set("Content-Type", contentType);
        std::vector<Segment> whole;
        if (size > 0) {
            whole.push_back({std::string(), 0, size});
        }
        reply.source = std::make_shared<SegmentedBody>(content, std::move(whole));
        return reply;
    }
    reply.status = 206;
    if (ranges.ranges.size() == 1) {
        const ByteRange& r = ranges.ranges.front();
        reply.set("Content-Type", contentType);
        reply.set("Content-Range", contentRange(r.first, r.last, size));
        reply.source = std::make_shared<SegmentedBody>(
            content, std::vector<Segment>{{std::string(), r.first, r.length()}});
        return reply;
    }
    const std::string boundary = makeBoundary();
    reply.set("Content-Type", "multipart/byteranges; boundary=" + boundary);
    std::vector<Segment> parts;
    for (const ByteRange& r : ranges.ranges) {
        parts.push_back({"\r\n--" + boundary + "\r\nContent-Type: " + contentType +
                             "\r\nContent-Range: " + contentRange(r.first, r.last, size) +
                             "\r\n\r\n",
                         0, 0});
        parts.push_back({std::string(), r.first, r.length()});
    }
    parts.push_back({"\r\n--" + boundary + "--\r\n", 0, 0});
    reply.source = std::make_shared<SegmentedBody>(content, std::move(parts));
    return reply;
}

}  // namespace vemserve
