// MsgReader: header decoding, typed reads, skipping and whole-value decoding with peer limits.
#include "msgpack/msg_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

namespace zel::vem {

namespace {

uint64_t loadBigEndian(const uint8_t* in, unsigned width) {
    uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        value = (value << 8) | in[i];
    }
    return value;
}

[[noreturn]] void failRead() {
    throw std::runtime_error("Failed to read.");
}

}  // namespace

bool MsgReader::readRaw(void* buffer, uint64_t count) {
    if (count == 0) {
        return true;
    }
    if (count > std::numeric_limits<size_t>::max()) {
        return false;
    }
    return stream_->read(buffer, static_cast<size_t>(count)) == count;
}

bool MsgReader::readText(uint32_t count) {
    // Small texts arrive in one read; a long one is read chunk by chunk so that a length the
    // peer announces but never sends cannot make us allocate it up front.
    if (count <= kReadChunk) {
        text_.resize(count);
        return readRaw(&text_[0], count);
    }
    text_.clear();
    size_t done = 0;
    while (done < count) {
        const size_t step = std::min<size_t>(kReadChunk, count - done);
        text_.resize(done + step);
        if (!readRaw(&text_[done], step)) {
            return false;
        }
        done += step;
    }
    return true;
}

bool MsgReader::readHeader() {
    uint8_t type;
    if (!readRaw(&type, 1)) {
        return false;
    }
    uint8_t payload[8];
    auto fetch = [&](unsigned width, uint64_t& value) {
        if (!readRaw(payload, width)) {
            return false;
        }
        value = loadBigEndian(payload, width);
        return true;
    };
    auto setInteger = [&](uint64_t bits) {
        positive_ = bits;
        negative_ = static_cast<int64_t>(bits);
    };
    uint64_t value = 0;

    if (type <= 0x7f) {
        setInteger(type);
        kind_ = MsgType::PositiveInt;
        return true;
    }
    if (type <= 0x8f) {
        length_ = type & 0x0f;
        kind_ = MsgType::Map;
        return true;
    }
    if (type <= 0x9f) {
        length_ = type & 0x0f;
        kind_ = MsgType::Array;
        return true;
    }
    if (type <= 0xbf) {
        if (!readText(type & 0x1f)) {
            return false;
        }
        kind_ = MsgType::String;
        return true;
    }
    if (type >= 0xe0) {
        setInteger(static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(type))));
        kind_ = MsgType::NegativeInt;
        return true;
    }
    switch (type) {
        case 0xc0:
            kind_ = MsgType::Nil;
            return true;
        case 0xc2:
        case 0xc3:
            flag_ = type == 0xc3;
            kind_ = MsgType::Bool;
            return true;
        case 0xc4:
        case 0xc5:
        case 0xc6:
            if (!fetch(1u << (type - 0xc4), value)) {
                return false;
            }
            length_ = static_cast<uint32_t>(value);
            kind_ = MsgType::Blob;
            return true;
        case 0xca: {
            if (!fetch(4, value)) {
                return false;
            }
            const uint32_t bits = static_cast<uint32_t>(value);
            float single;
            std::memcpy(&single, &bits, sizeof single);
            number_ = single;
            kind_ = MsgType::Float;
            return true;
        }
        case 0xcb:
            if (!fetch(8, value)) {
                return false;
            }
            std::memcpy(&number_, &value, sizeof number_);
            kind_ = MsgType::Float;
            return true;
        case 0xcc:
        case 0xcd:
        case 0xce:
        case 0xcf:
            if (!fetch(1u << (type - 0xcc), value)) {
                return false;
            }
            setInteger(value);
            kind_ = MsgType::PositiveInt;
            return true;
        case 0xd0:
        case 0xd1:
        case 0xd2:
        case 0xd3: {
            const unsigned width = 1u << (type - 0xd0);
            if (!fetch(width, value)) {
                return false;
            }
            // Sign-extend from the top bit of the payload.
            const unsigned shift = 64 - 8 * width;
            const int64_t extended = static_cast<int64_t>(value << shift) >> shift;
            setInteger(static_cast<uint64_t>(extended));
            kind_ = extended < 0 ? MsgType::NegativeInt : MsgType::PositiveInt;
            return true;
        }
        case 0xd9:
        case 0xda:
        case 0xdb:
            if (!fetch(1u << (type - 0xd9), value) || !readText(static_cast<uint32_t>(value))) {
                return false;
            }
            kind_ = MsgType::String;
            return true;
        case 0xdc:
        case 0xdd:
            if (!fetch(type == 0xdc ? 2 : 4, value)) {
                return false;
            }
            length_ = static_cast<uint32_t>(value);
            kind_ = MsgType::Array;
            return true;
        case 0xde:
        case 0xdf:
            if (!fetch(type == 0xde ? 2 : 4, value)) {
                return false;
            }
            length_ = static_cast<uint32_t>(value);
            kind_ = MsgType::Map;
            return true;
        default:
            // 0xc1 (never used) and every extension format: nothing further is read.
            return false;
    }
}

void MsgReader::readHeaderOrFail() {
    if (!readHeader()) {
        failRead();
    }
}

uint32_t MsgReader::readArrayHeader() {
    readHeaderOrFail();
    if (kind_ != MsgType::Array) {
        throw std::runtime_error("Expected array.");
    }
    return length_;
}

uint32_t MsgReader::readMapHeader() {
    readHeaderOrFail();
    if (kind_ != MsgType::Map) {
        throw std::runtime_error("Expected map.");
    }
    return length_;
}

uint32_t MsgReader::readBlobHeader() {
    readHeaderOrFail();
    if (kind_ != MsgType::Blob) {
        throw std::runtime_error("Expected blob.");
    }
    return length_;
}

bool MsgReader::readBool() {
    readHeaderOrFail();
    if (kind_ != MsgType::Bool) {
        throw std::runtime_error("Expected boolean.");
    }
    return flag_;
}

uint64_t MsgReader::readPositive() {
    readHeaderOrFail();
    if (kind_ != MsgType::PositiveInt) {
        throw std::runtime_error("Expected pos integer.");
    }
    return positive_;
}

int64_t MsgReader::readNegative() {
    readHeaderOrFail();
    if (kind_ != MsgType::NegativeInt) {
        throw std::runtime_error("Expected neg integer.");
    }
    return negative_;
}

int64_t MsgReader::readInt64() {
    readHeaderOrFail();
    if (kind_ == MsgType::NegativeInt) {
        return negative_;
    }
    if (kind_ != MsgType::PositiveInt) {
        throw std::runtime_error("Expected integer.");
    }
    if (positive_ > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        throw std::runtime_error("Integer value out of range, expected int64_t.");
    }
    return static_cast<int64_t>(positive_);
}

std::string MsgReader::readString() {
    readHeaderOrFail();
    if (kind_ != MsgType::String) {
        throw std::runtime_error("Expected string.");
    }
    return text_;
}

void MsgReader::readBlobData(void* buffer, uint32_t size) {
    if (kind_ != MsgType::Blob) {
        throw std::runtime_error("Not a blob.");
    }
    if (size != length_) {
        throw std::runtime_error("Must read entire blob.");
    }
    if (!readRaw(buffer, size)) {
        failRead();
    }
}

bool MsgReader::discard(uint64_t count) {
    if (count == 0) {
        return true;
    }
    // The sink grows no larger than one chunk, however long the announced payload.
    std::vector<uint8_t> sink(static_cast<size_t>(std::min<uint64_t>(count, kReadChunk)));
    while (count > 0) {
        const size_t step = static_cast<size_t>(std::min<uint64_t>(sink.size(), count));
        if (!readRaw(sink.data(), step)) {
            return false;
        }
        count -= step;
    }
    return true;
}

void MsgReader::skip() {
    // Iterative: a count of the values still owed replaces recursion, so no nesting depth can
    // exhaust the stack. Each header is at least one byte, so the count cannot outrun the input
    // by more than the announced counts, and 64 bits hold any sum of them.
    uint64_t pending = 1;
    while (pending > 0) {
        readHeaderOrFail();
        --pending;
        switch (kind_) {
            case MsgType::Blob:
                if (!discard(length_)) {
                    failRead();
                }
                break;
            case MsgType::Map:
                pending += 2 * static_cast<uint64_t>(length_);
                break;
            case MsgType::Array:
                pending += length_;
                break;
            default:
                break;
        }
    }
}

void MsgReader::findField(uint32_t& remaining, const char* name) {
    if (remaining == 0) {
        throw std::runtime_error("Map field not found.");
    }
    const size_t nameLength = name != nullptr ? std::strlen(name) : 0;
    for (;;) {
        readHeaderOrFail();
        if (kind_ != MsgType::String) {
            throw std::runtime_error("Expected string.");
        }
        if (name != nullptr && text_.size() == nameLength &&
            std::memcmp(text_.data(), name, nameLength) == 0) {
            --remaining;
            return;
        }
        skip();
        if (--remaining == 0) {
            throw std::runtime_error("Map field not found.");
        }
    }
}

MsgObject MsgReader::readObject() {
    return readValue(0);
}

MsgObject MsgReader::readBlob() {
    const uint32_t total = length_;
    if (total == 0) {
        return MsgObject(msgAdopt, nullptr, 0);
    }
    // Up to one chunk the buffer is exactly the blob; beyond, it doubles (capped at the blob's
    // length) as bytes really arrive, so an announced length costs nothing until it is sent.
    size_t capacity = std::min<size_t>(total, kReadChunk);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
    size_t done = 0;
    for (;;) {
        if (!readRaw(buffer.get() + done, capacity - done)) {
            failRead();
        }
        done = capacity;
        if (done == total) {
            break;
        }
        const size_t grown = std::min<size_t>(capacity * 2, total);
        std::unique_ptr<uint8_t[]> larger(new uint8_t[grown]);
        std::memcpy(larger.get(), buffer.get(), done);
        buffer = std::move(larger);
        capacity = grown;
    }
    return MsgObject(msgAdopt, buffer.release(), total);
}

MsgObject MsgReader::readValue(unsigned depth) {
    readHeaderOrFail();
    switch (kind_) {
        case MsgType::Nil:
            return MsgObject();
        case MsgType::Bool:
            return MsgObject(flag_);
        case MsgType::Float:
            return MsgObject(number_);
        case MsgType::NegativeInt:
            return MsgObject(negative_);
        case MsgType::PositiveInt:
            return MsgObject(positive_);
        case MsgType::String:
            return MsgObject(text_.data(), static_cast<uint32_t>(text_.size()));
        case MsgType::Blob:
            return readBlob();
        case MsgType::Map:
        case MsgType::Array:
            break;
    }

    // A hostile peer could otherwise nest headers until the stack overflows.
    if (depth >= kMaxDepth) {
        failRead();
    }
    const uint32_t count = length_;
    const bool isMap = kind_ == MsgType::Map;
    // Up to the preallocation bound the capacity is the announced count, so filling never
    // reallocates; beyond it the container grows only as entries actually arrive.
    const uint32_t initial = std::min(count, kMaxPreallocSlots);
    MsgObject result = isMap ? MsgObject(msgMap, initial) : MsgObject(msgArray, initial);
    for (uint32_t i = 0; i < count; ++i) {
        if (result.size_ == result.capacity_) {
            const uint64_t doubled = 2 * static_cast<uint64_t>(result.capacity_);
            result.reallocate(static_cast<uint32_t>(std::min<uint64_t>(doubled, count)));
        }
        if (isMap) {
            readHeaderOrFail();
            if (kind_ != MsgType::String) {
                throw std::runtime_error("Expected string.");
            }
            std::unique_ptr<char[]> key(new char[text_.size() + 1]);
            std::memcpy(key.get(), text_.c_str(), text_.size() + 1);
            MsgObject value = readValue(depth + 1);
            result.insertOwned(key.release(), std::move(value));
        } else {
            result.append(readValue(depth + 1));
        }
    }
    return result;
}

}  // namespace zel::vem
