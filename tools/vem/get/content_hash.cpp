// XXH128 through xxhash.h inlined: the Windows build has the header but no library to link.
#include "get/content_hash.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vemcli::get {

struct ContentHash::State {
    XXH3_state_t xxh;
};

ContentHash::ContentHash() : state_(std::make_unique<State>()) {
    XXH3_128bits_reset(&state_->xxh);
}

ContentHash::~ContentHash() = default;
ContentHash::ContentHash(ContentHash&&) noexcept = default;
ContentHash& ContentHash::operator=(ContentHash&&) noexcept = default;

void ContentHash::update(const void* data, size_t size) {
    XXH3_128bits_update(&state_->xxh, data, size);
}

std::string ContentHash::hex() const {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&state_->xxh));
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : canonical.digest) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

std::string ContentHash::of(const void* data, size_t size) {
    ContentHash hash;
    hash.update(data, size);
    return hash.hex();
}

}  // namespace vemcli::get
