// Stream: the byte stream under the message codec, implemented by the pipe transport and by
// memory buffers in tests.
#pragma once

#include <cstddef>

namespace zel::vem {

// A blocking byte stream. Both calls transfer as much as they can and report how much they did;
// a count below the one asked for means the stream failed or ended. Neither throws.
class Stream {
public:
    virtual ~Stream() = default;
    virtual size_t read(void* buffer, size_t count) = 0;
    virtual size_t write(const void* buffer, size_t count) = 0;
};

}  // namespace zel::vem
