// MsgReader: decodes MessagePack from a Stream, header by header or as whole MsgObject values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "msgpack/msg_object.h"
#include "msgpack/stream.h"

namespace zel::vem {

// Reads exactly the bytes each header announces and nothing more, so it never consumes a byte
// of the next message. There is no resynchronisation: after a failure the stream stands wherever
// the failure left it.
//
// The peer is not trusted. A value nested deeper than kMaxDepth, an unsupported format byte and a
// stream that ends early all fail with "Failed to read.", and memory follows the bytes that
// actually arrive, not the counts and lengths that headers announce.
class MsgReader {
  public:
    // Maps and arrays nested inside each other that readObject accepts.
    static constexpr unsigned kMaxDepth = 256;
    // Slots allocated for a map or array before its entries arrive; a larger announced count
    // grows by doubling (up to the count) as entries are read.
    static constexpr uint32_t kMaxPreallocSlots = 512;
    // Strings and blobs longer than this are read chunk by chunk, the buffer growing with them.
    static constexpr size_t kReadChunk = size_t{1} << 16;

    explicit MsgReader(Stream* stream) noexcept : stream_(stream) {}

    // Reads one header (and a string's bytes). False when the stream ends early or the format
    // is not supported (0xc1, extensions); the recorded fields then keep their old values.
    bool readHeader();

    MsgType kind() const noexcept { return kind_; }
    uint32_t length() const noexcept { return length_; }
    bool lastBool() const noexcept { return flag_; }
    uint64_t lastPositive() const noexcept { return positive_; }
    int64_t lastNegative() const noexcept { return negative_; }
    double lastFloat() const noexcept { return number_; }
    std::string lastString() const { return text_; }
    // Whether the stream delivered all `count` bytes into `buffer`.
    bool readRaw(void* buffer, uint64_t count);

    uint32_t readArrayHeader();
    uint32_t readMapHeader();
    // The blob's bytes stay on the stream for readBlobData.
    uint32_t readBlobHeader();
    bool readBool();
    uint64_t readPositive();
    int64_t readNegative();
    int64_t readInt64();
    std::string readString();

    // Reads the bytes of the blob whose header was read last; `size` must be its whole length.
    void readBlobData(void* buffer, uint32_t size);
    // Consumes one complete value, nested ones included.
    void skip();
    // Consumes entries of the current map until the key `name` has been read; the field's value
    // is next on the stream. `remaining` counts the entries not yet consumed.
    void findField(uint32_t& remaining, const char* name);
    // Reads the complete next value.
    MsgObject readObject();

  private:
    MsgObject readValue(unsigned depth);
    MsgObject readBlob();
    bool readText(uint32_t count);
    void readHeaderOrFail();
    // Consumes `count` bytes that nobody needs.
    bool discard(uint64_t count);

    Stream* stream_;
    uint32_t length_ = 0;
    int64_t negative_ = 0;
    uint64_t positive_ = 0;
    std::string text_;
    bool flag_ = false;
    double number_ = 0;
    MsgType kind_ = MsgType::Nil;
};

}  // namespace zel::vem
