// Recognising a LoadFrame request in the bytes it arrived in, without building its value tree.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel::vem::sim {

struct LoadFrameRequest {
    uint32_t fileId = 0;
    uint64_t frameNumber = 0;
    size_t size = 0;  // the request's bytes, from the start of `bytes`
};

// True when `bytes` begin with a whole LoadFrame request in the client's form: a map of exactly
// "act": "exec", "ord": 6 and "params" holding exactly "fileId" (at most 0xFFFFFFFF) and
// "frameNumber", keys in any order. Anything else (another request, a request cut short, extra
// or repeated keys, a value out of range) gives false and leaves the request to the general
// decoder, which answers it as it answers every request; so this never decides an outcome, it
// only spares the common request its allocations.
bool matchLoadFrame(const uint8_t* bytes, size_t size, LoadFrameRequest& request);

}  // namespace zel::vem::sim
