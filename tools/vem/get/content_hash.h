// The hash vem get keeps per file: XXH128 (Debian's libxxhash-dev), as `xxhsum -H2` prints it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace vemcli::get {

// A running hash of one file's bytes, in order.
class ContentHash {
  public:
    ContentHash();
    ~ContentHash();
    ContentHash(ContentHash&&) noexcept;
    ContentHash& operator=(ContentHash&&) noexcept;

    void update(const void* data, size_t size);
    // 32 lower-case hex digits, the canonical (big-endian) form xxhsum prints.
    std::string hex() const;

    // Hashes bytes whole, for small files.
    static std::string of(const void* data, size_t size);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vemcli::get
