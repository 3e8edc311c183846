// MsgObject: construction, copying, release, accessors and map/array growth.
#include "msgpack/msg_object.h"

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

namespace zel::vem {

namespace {

// A NUL-terminated copy of exactly `length` bytes; bytes after an embedded NUL are kept too.
char* duplicateText(const char* text, size_t length) {
    char* copy = new char[length + 1];
    if (length > 0) {
        std::memcpy(copy, text, length);
    }
    copy[length] = '\0';
    return copy;
}

}  // namespace

MsgObject::MsgObject(const char* text, uint32_t length) : type_(MsgType::String) {
    if (text == nullptr) {
        if (length != kMeasure && length != 0) {
            throw std::invalid_argument("Null text with a non-zero length.");
        }
        length = 0;
        text = "";
    } else if (length == kMeasure) {
        size_t measured = std::strlen(text);
        if (measured >= kMeasure) {
            throw std::length_error("Text too long for a message.");
        }
        length = static_cast<uint32_t>(measured);
    }
    u_.text = duplicateText(text, length);
    size_ = length;
}

MsgObject::MsgObject(const uint8_t* data, uint32_t size) : type_(MsgType::Blob) {
    if (data == nullptr && size != 0) {
        throw std::invalid_argument("Null blob data with a non-zero size.");
    }
    if (size > 0) {
        u_.bytes = new uint8_t[size];
        std::memcpy(u_.bytes, data, size);
    }
    size_ = size;
}

MsgObject::MsgObject(MsgAdoptTag, uint8_t* data, uint32_t size) noexcept : type_(MsgType::Blob) {
    u_.bytes = data;
    size_ = data != nullptr ? size : 0;
}

MsgObject::MsgObject(MsgMapTag, uint32_t capacity) : type_(MsgType::Map) {
    if (capacity > 0) {
        u_.entries = new MsgMapEntry[capacity];
    }
    capacity_ = capacity;
}

MsgObject::MsgObject(MsgArrayTag, uint32_t capacity) : type_(MsgType::Array) {
    if (capacity > 0) {
        u_.elements = new MsgObject[capacity];
    }
    capacity_ = capacity;
}

MsgObject::MsgObject(const MsgObject& other) {
    copyFrom(other);
}

MsgObject::MsgObject(MsgObject&& other) noexcept {
    takeFrom(other);
}

MsgObject& MsgObject::operator=(const MsgObject& other) {
    if (this != &other) {
        // Copy first: if the copy throws, this object is untouched, and `other` may be a part of
        // this object's own payload.
        MsgObject copy(other);
        clear();
        takeFrom(copy);
    }
    return *this;
}

MsgObject& MsgObject::operator=(MsgObject&& other) noexcept {
    if (this != &other) {
        // Detach first: `other` may live inside this object's payload, which clear() frees.
        MsgObject taken(std::move(other));
        clear();
        takeFrom(taken);
    }
    return *this;
}

void MsgObject::takeFrom(MsgObject& other) noexcept {
    type_ = other.type_;
    u_ = other.u_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    other.type_ = MsgType::Nil;
    other.u_ = Payload{};
    other.size_ = 0;
    other.capacity_ = 0;
}

void MsgObject::copyFrom(const MsgObject& other) {
    // Called on a Nil object only; on failure it stays Nil and the partial copy is released.
    switch (other.type_) {
        case MsgType::String:
            u_.text = duplicateText(other.u_.text, other.size_);
            break;
        case MsgType::Blob:
            if (other.size_ > 0 && other.u_.bytes != nullptr) {
                u_.bytes = new uint8_t[other.size_];
                std::memcpy(u_.bytes, other.u_.bytes, other.size_);
            }
            break;
        case MsgType::Map: {
            MsgObject copy(msgMap, other.size_);
            for (uint32_t i = 0; i < other.size_; ++i) {
                const MsgMapEntry& source = other.u_.entries[i];
                MsgMapEntry& target = copy.u_.entries[i];
                target.key = duplicateText(source.key, std::strlen(source.key));
                // Counted before the value is copied, so a failure below still frees this key.
                copy.size_ = i + 1;
                target.value = source.value;
            }
            takeFrom(copy);
            return;
        }
        case MsgType::Array: {
            MsgObject copy(msgArray, other.size_);
            for (uint32_t i = 0; i < other.size_; ++i) {
                copy.u_.elements[i] = other.u_.elements[i];
                copy.size_ = i + 1;
            }
            takeFrom(copy);
            return;
        }
        default:
            u_ = other.u_;
            break;
    }
    type_ = other.type_;
    size_ = other.type_ == MsgType::Blob && u_.bytes == nullptr ? 0 : other.size_;
    capacity_ = 0;
}

void MsgObject::clear() noexcept {
    switch (type_) {
        case MsgType::String:
            delete[] u_.text;
            break;
        case MsgType::Blob:
            delete[] u_.bytes;
            break;
        case MsgType::Map:
            for (uint32_t i = 0; i < size_; ++i) {
                delete[] u_.entries[i].key;
            }
            delete[] u_.entries;
            break;
        case MsgType::Array:
            delete[] u_.elements;
            break;
        default:
            break;
    }
    type_ = MsgType::Nil;
    u_ = Payload{};
    size_ = 0;
    capacity_ = 0;
}

bool MsgObject::asBool() const {
    if (type_ != MsgType::Bool) {
        throw std::runtime_error("Object type is not bool, but bool expected.");
    }
    return u_.flag != 0;
}

uint64_t MsgObject::asPositive() const {
    if (type_ != MsgType::PositiveInt) {
        throw std::runtime_error(
            "Object type is not positive integer, but positive integer expected.");
    }
    return u_.positive;
}

int64_t MsgObject::asNegative() const {
    if (type_ != MsgType::NegativeInt) {
        throw std::runtime_error(
            "Object type is not negative integer, but negative integer expected.");
    }
    return u_.negative;
}

int64_t MsgObject::asInt64() const {
    if (type_ == MsgType::NegativeInt) {
        return u_.negative;
    }
    if (type_ != MsgType::PositiveInt) {
        throw std::runtime_error("Object type is not an integer, but an integer was expected.");
    }
    if (u_.positive > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        throw std::runtime_error("Integer value out of range, expected int64_t.");
    }
    return static_cast<int64_t>(u_.positive);
}

double MsgObject::asFloat() const {
    if (type_ != MsgType::Float) {
        throw std::runtime_error("Object type is not float, but float expected.");
    }
    return u_.number;
}

const char* MsgObject::asString() const {
    if (type_ != MsgType::String) {
        throw std::runtime_error("Object type is not string, but string expected.");
    }
    return u_.text;
}

const uint8_t* MsgObject::blobData() const {
    if (type_ != MsgType::Blob) {
        throw std::runtime_error("Object type is not blob, but blob expected.");
    }
    return u_.bytes;
}

uint32_t MsgObject::blobSize() const {
    if (type_ != MsgType::Blob) {
        throw std::runtime_error("Object type is not blob, but blob expected.");
    }
    return size_;
}

uint8_t* MsgObject::takeBlob() {
    if (type_ != MsgType::Blob) {
        throw std::runtime_error("Object type is not blob, but blob expected.");
    }
    uint8_t* bytes = u_.bytes;
    u_.bytes = nullptr;
    size_ = 0;
    return bytes;
}

uint32_t MsgObject::size() const {
    switch (type_) {
        case MsgType::String:
        case MsgType::Blob:
        case MsgType::Map:
        case MsgType::Array:
            return size_;
        default:
            throw std::runtime_error("Object does not have size, array/map/string/blob expected.");
    }
}

void MsgObject::requireMap() const {
    if (type_ != MsgType::Map) {
        throw std::runtime_error("Object is not a map.");
    }
}

void MsgObject::requireArray() const {
    if (type_ != MsgType::Array) {
        throw std::runtime_error("Object is not an array.");
    }
}

MsgObject& MsgObject::at(uint32_t index) {
    requireArray();
    if (index >= size_) {
        throw std::out_of_range("Index out of array range.");
    }
    return u_.elements[index];
}

const MsgObject& MsgObject::at(uint32_t index) const {
    return const_cast<MsgObject*>(this)->at(index);
}

const char* MsgObject::keyAt(uint32_t index) const {
    requireMap();
    if (index >= size_) {
        throw std::out_of_range("Index out of map range.");
    }
    return u_.entries[index].key;
}

MsgObject& MsgObject::valueAt(uint32_t index) {
    requireMap();
    if (index >= size_) {
        throw std::out_of_range("Index out of map range.");
    }
    return u_.entries[index].value;
}

const MsgObject& MsgObject::valueAt(uint32_t index) const {
    return const_cast<MsgObject*>(this)->valueAt(index);
}

int32_t MsgObject::findKey(const char* key) const {
    requireMap();
    if (key == nullptr) {
        return -1;
    }
    // Indices beyond INT32_MAX cannot be reported; such a map is never built from a reply.
    uint32_t limit = size_ < static_cast<uint32_t>(std::numeric_limits<int32_t>::max())
                         ? size_
                         : static_cast<uint32_t>(std::numeric_limits<int32_t>::max());
    for (uint32_t i = 0; i < limit; ++i) {
        if (std::strcmp(u_.entries[i].key, key) == 0) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

bool MsgObject::hasKey(const char* key) const {
    return findKey(key) >= 0;
}

MsgObject& MsgObject::get(const char* key) {
    int32_t index = findKey(key);
    if (index < 0) {
        throw std::runtime_error("Key not found in map.");
    }
    return u_.entries[index].value;
}

const MsgObject& MsgObject::get(const char* key) const {
    return const_cast<MsgObject*>(this)->get(key);
}

uint32_t MsgObject::grownCapacity() const noexcept {
    if (capacity_ < 2) {
        return 2;
    }
    // Doubling stops at the largest count the format can carry.
    uint64_t doubled = static_cast<uint64_t>(capacity_) * 2;
    return doubled > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(doubled);
}

void MsgObject::reallocate(uint32_t newCapacity) {
    if (type_ == MsgType::Map) {
        MsgMapEntry* entries = new MsgMapEntry[newCapacity];
        for (uint32_t i = 0; i < size_; ++i) {
            entries[i].key = u_.entries[i].key;
            u_.entries[i].key = nullptr;
            entries[i].value = std::move(u_.entries[i].value);
        }
        delete[] u_.entries;
        u_.entries = entries;
    } else {
        MsgObject* elements = new MsgObject[newCapacity];
        for (uint32_t i = 0; i < size_; ++i) {
            elements[i] = std::move(u_.elements[i]);
        }
        delete[] u_.elements;
        u_.elements = elements;
    }
    capacity_ = newCapacity;
}

void MsgObject::append(MsgObject&& value) {
    requireArray();
    if (size_ == 0xFFFFFFFFu) {
        throw std::length_error("Array is full.");
    }
    if (size_ + 1 > capacity_) {
        reallocate(grownCapacity());
    }
    u_.elements[size_] = std::move(value);
    ++size_;
}

void MsgObject::insert(const char* key, MsgObject&& value) {
    requireMap();
    if (key == nullptr) {
        throw std::invalid_argument("Null map key.");
    }
    // The key is copied before the map grows, so a failed allocation leaves the map as it was.
    insertOwned(duplicateText(key, std::strlen(key)), std::move(value));
}

void MsgObject::insertOwned(char* key, MsgObject&& value) {
    try {
        if (size_ == 0xFFFFFFFFu) {
            throw std::length_error("Map is full.");
        }
        if (size_ + 1 > capacity_) {
            reallocate(grownCapacity());
        }
    } catch (...) {
        delete[] key;
        throw;
    }
    u_.entries[size_].key = key;
    u_.entries[size_].value = std::move(value);
    ++size_;
}

}  // namespace zel::vem
