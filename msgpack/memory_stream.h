// MemoryStream: a Stream over a byte vector: requests being encoded, tests, tools, benchmarks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "msgpack/stream.h"

namespace zel::vem {

// Reads consume `data` from `position` on; writes append to `data`. A read past the end delivers
// what is left, which the decoder treats as a stream that ended.
class MemoryStream : public Stream {
  public:
    MemoryStream() = default;
    explicit MemoryStream(std::vector<uint8_t> bytes) : data(std::move(bytes)) {}
    MemoryStream(std::initializer_list<uint8_t> bytes) : data(bytes) {}

    size_t read(void* buffer, size_t count) override {
        const size_t available = data.size() - std::min(position, data.size());
        const size_t taken = std::min(count, available);
        if (taken > 0) {
            std::memcpy(buffer, data.data() + position, taken);
            position += taken;
        }
        return taken;
    }

    size_t write(const void* buffer, size_t count) override {
        const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
        data.insert(data.end(), bytes, bytes + count);
        return count;
    }

    // Bytes not yet read.
    size_t remaining() const { return data.size() - std::min(position, data.size()); }

    std::vector<uint8_t> data;
    size_t position = 0;
};

}  // namespace zel::vem
