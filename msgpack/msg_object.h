// MsgObject: the in-memory form of one MessagePack value (a tagged value owning its payload).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel::vem {

// The kind of a value, and of the header the decoder read last. The codes are part of the
// interface: callers compare and log them.
enum class MsgType : uint32_t {
    Nil = 0,
    NegativeInt = 1,
    PositiveInt = 2,
    String = 3,
    Bool = 4,
    Float = 5,
    Blob = 6,
    Map = 7,
    Array = 8,
};

// Tags that pick the constructors whose arguments would otherwise look alike.
struct MsgMapTag {
    explicit MsgMapTag() = default;
};
struct MsgArrayTag {
    explicit MsgArrayTag() = default;
};
struct MsgAdoptTag {
    explicit MsgAdoptTag() = default;
};
inline constexpr MsgMapTag msgMap{};
inline constexpr MsgArrayTag msgArray{};
inline constexpr MsgAdoptTag msgAdopt{};

class MsgReader;
struct MsgMapEntry;

class MsgObject {
  public:
    // Passed as a text length: measure the text up to its NUL.
    static constexpr uint32_t kMeasure = 0xFFFFFFFFu;

    MsgObject() noexcept {}
    MsgObject(std::nullptr_t) noexcept {}
    explicit MsgObject(uint64_t value) noexcept : type_(MsgType::PositiveInt) {
        u_.positive = value;
    }
    // Kept as NegativeInt whatever the sign; the encoder writes it by value.
    explicit MsgObject(int64_t value) noexcept : type_(MsgType::NegativeInt) {
        u_.negative = value;
    }
    explicit MsgObject(bool value) noexcept : type_(MsgType::Bool) { u_.flag = value ? 1 : 0; }
    explicit MsgObject(double value) noexcept : type_(MsgType::Float) { u_.number = value; }
    // String; the text is copied and given a NUL terminator.
    MsgObject(const char* text, uint32_t length = kMeasure);
    // Blob holding a copy of the bytes.
    MsgObject(const uint8_t* data, uint32_t size);
    // Blob adopting a buffer from the global allocator (operator new) without copying it.
    MsgObject(MsgAdoptTag, uint8_t* data, uint32_t size) noexcept;
    // Empty map or array with `capacity` slots allocated up front.
    MsgObject(MsgMapTag, uint32_t capacity);
    MsgObject(MsgArrayTag, uint32_t capacity);

    MsgObject(const MsgObject& other);
    MsgObject(MsgObject&& other) noexcept;
    MsgObject& operator=(const MsgObject& other);
    MsgObject& operator=(MsgObject&& other) noexcept;
    ~MsgObject() { clear(); }

    // Releases the payload recursively; the object becomes Nil.
    void clear() noexcept;

    MsgType type() const noexcept { return type_; }

    bool asBool() const;
    uint64_t asPositive() const;
    int64_t asNegative() const;
    int64_t asInt64() const;
    double asFloat() const;
    const char* asString() const;

    const uint8_t* blobData() const;
    uint32_t blobSize() const;
    // Hands the bytes to the caller (release them with operator delete); the object stays an
    // empty Blob.
    uint8_t* takeBlob();

    uint32_t size() const;
    // Slots allocated for a Map or Array (0 for the other kinds).
    uint32_t capacity() const noexcept { return capacity_; }

    MsgObject& at(uint32_t index);
    const MsgObject& at(uint32_t index) const;
    void append(MsgObject&& value);

    const char* keyAt(uint32_t index) const;
    MsgObject& valueAt(uint32_t index);
    const MsgObject& valueAt(uint32_t index) const;
    int32_t findKey(const char* key) const;
    bool hasKey(const char* key) const;
    MsgObject& get(const char* key);
    const MsgObject& get(const char* key) const;
    void insert(const char* key, MsgObject&& value);

  private:
    friend class MsgReader;

    void requireMap() const;
    void requireArray() const;
    // Moves the slots into a new array of `newCapacity` (>= size_) slots.
    void reallocate(uint32_t newCapacity);
    // The next capacity for one more slot: 2 below 2, otherwise doubled.
    uint32_t grownCapacity() const noexcept;
    // insert() for a key already copied with new[]; the map owns it from the call on, even when
    // the call throws.
    void insertOwned(char* key, MsgObject&& value);
    void copyFrom(const MsgObject& other);
    void takeFrom(MsgObject& other) noexcept;

    MsgType type_ = MsgType::Nil;
    union Payload {
        int64_t negative;
        uint64_t positive;
        uint8_t flag;
        double number;
        char* text;
        uint8_t* bytes;
        MsgMapEntry* entries;
        MsgObject* elements;
    } u_{};
    uint32_t size_ = 0;
    uint32_t capacity_ = 0;
};

// One slot of a map. The map owns the key (exactly length+1 bytes) and frees the keys of its
// first `size` entries itself; an entry's destructor only destroys its value.
struct MsgMapEntry {
    char* key = nullptr;
    MsgObject value;

    MsgMapEntry() = default;
    MsgMapEntry(const MsgMapEntry&) = delete;
    MsgMapEntry& operator=(const MsgMapEntry&) = delete;
};

}  // namespace zel::vem
