// Byte ranges of a request (the Range header), resolved against the size of what is served.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vemserve {

struct ByteRange {
    uint64_t first = 0;
    uint64_t last = 0;  // inclusive
    uint64_t length() const { return last - first + 1; }
};

enum class RangeOutcome {
    Whole,          // no usable Range: answer 200 with everything
    Partial,        // answer 206 with `ranges`, in the order asked
    Unsatisfiable,  // answer 416 with "bytes */SIZE"
};

struct RangeAnswer {
    RangeOutcome outcome = RangeOutcome::Whole;
    std::vector<ByteRange> ranges;
};

// Resolves a Range header value for an entity of `size` bytes. A header that is malformed, not
// in bytes, asks for more than `maxRanges` ranges, or asks for overlapping ranges is answered
// with the whole entity, as a server may: the client then gets every byte, and never a part
// it did not ask for.
RangeAnswer resolveRanges(std::string_view header, uint64_t size, size_t maxRanges);

}  // namespace vemserve
