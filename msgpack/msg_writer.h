// MsgWriter: encodes values as MessagePack straight onto a Stream, choosing the smallest format.
#pragma once

#include <cstdint>
#include <string>

#include "msgpack/msg_object.h"
#include "msgpack/stream.h"

namespace zel::vem {

// Writes each value as soon as it is given: the header (at most 9 bytes) in one stream write,
// then any payload in a second write straight from the caller's memory. Keeps no state between
// calls and never examines the stream's result; a broken pipe shows up on the following read.
class MsgWriter {
  public:
    // Passed as a text length: measure the text up to its NUL.
    static constexpr uint64_t kMeasure = ~uint64_t{0};

    explicit MsgWriter(Stream* stream) noexcept : stream_(stream) {}

    void writeNil();
    void writeBool(bool value);
    void writeUInt(uint64_t value);
    // A value of zero or more always goes out in an unsigned format.
    void writeInt(int64_t value);
    void writeFloat(float value);
    void writeDouble(double value);
    void writeString(const char* text, uint64_t length = kMeasure);
    void writeString(const std::string& text);
    void writeBlob(const void* data, uint32_t size);
    void writeExt(int8_t type, const void* data, uint32_t size);
    void writeArrayHeader(uint32_t count);
    void writeMapHeader(uint32_t count);
    void writeRaw(const void* data, uint64_t length);
    // The whole value; a Float always as float 64, map keys measured up to their NUL.
    void writeObject(const MsgObject& value);

  private:
    void put(const uint8_t* header, size_t length);
    // Type byte followed by `width` big-endian bytes of `value`.
    void putSized(uint8_t type, uint64_t value, unsigned width);

    Stream* stream_;
};

}  // namespace zel::vem
