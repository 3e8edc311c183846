// Cross-check of the codec against msgpack-cxx on random values (fixed seed): each side decodes
// what the other encodes, and both encoders produce the same bytes.
#include <gtest/gtest.h>

#include <msgpack.hpp>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "msgpack/memory_stream.h"
#include "msgpack/msg_reader.h"
#include "msgpack/msg_writer.h"
#include "tests/msgpack/msg_dump.h"

namespace zel::vem {
namespace {

using Bytes = std::vector<uint8_t>;
using test::dump;

// msgpack-cxx's object as a MsgObject, to be compared through test::dump.
MsgObject fromCxx(const msgpack::object& o) {
    switch (o.type) {
        case msgpack::type::NIL:
            return MsgObject();
        case msgpack::type::BOOLEAN:
            return MsgObject(o.via.boolean);
        case msgpack::type::POSITIVE_INTEGER:
            return MsgObject(static_cast<uint64_t>(o.via.u64));
        case msgpack::type::NEGATIVE_INTEGER:
            return MsgObject(static_cast<int64_t>(o.via.i64));
        case msgpack::type::FLOAT32:
        case msgpack::type::FLOAT64:
            return MsgObject(o.via.f64);
        case msgpack::type::STR:
            return MsgObject(o.via.str.ptr, o.via.str.size);
        case msgpack::type::BIN:
            return MsgObject(reinterpret_cast<const uint8_t*>(o.via.bin.ptr), o.via.bin.size);
        case msgpack::type::ARRAY: {
            MsgObject array(msgArray, o.via.array.size);
            for (uint32_t i = 0; i < o.via.array.size; ++i) {
                array.append(fromCxx(o.via.array.ptr[i]));
            }
            return array;
        }
        case msgpack::type::MAP: {
            MsgObject map(msgMap, o.via.map.size);
            for (uint32_t i = 0; i < o.via.map.size; ++i) {
                const msgpack::object& key = o.via.map.ptr[i].key;
                const std::string text = key.type == msgpack::type::STR
                                             ? std::string(key.via.str.ptr, key.via.str.size)
                                             : "<non-string key>";
                map.insert(text.c_str(), fromCxx(o.via.map.ptr[i].val));
            }
            return map;
        }
        default:
            return MsgObject("<ext>");
    }
}

class RandomValues {
  public:
    explicit RandomValues(uint64_t seed) : rng_(seed) {}

    MsgObject value(int depth) {
        const unsigned pick = below(depth < 4 ? 10 : 7);
        switch (pick) {
            case 0:
                return below(4) == 0 ? MsgObject() : MsgObject(below(2) == 1);
            case 1:
                return MsgObject(magnitude());
            case 2:  // -1 down to INT64_MIN
                return MsgObject(static_cast<int64_t>(~(magnitude() & INT64_MAX)));
            case 3:
                return MsgObject(doubleValue());
            case 4: {
                std::string text = bytesOfLength(length(), true);
                return MsgObject(text.data(), static_cast<uint32_t>(text.size()));
            }
            case 5: {
                std::string bytes = bytesOfLength(length(), false);
                return MsgObject(reinterpret_cast<const uint8_t*>(bytes.data()),
                                 static_cast<uint32_t>(bytes.size()));
            }
            case 6:
                return MsgObject(static_cast<uint64_t>(below(128)));
            case 7:
            case 8: {
                const uint32_t count = containerCount();
                MsgObject map(msgMap, static_cast<uint32_t>(below(3) * count));
                for (uint32_t i = 0; i < count; ++i) {
                    // Keys are texts without NUL bytes: the encoder measures them.
                    const bool longKey = count <= 64 && below(8) == 0;
                    std::string key = bytesOfLength(longKey ? length() : below(12), false);
                    for (char& c : key) {
                        c = static_cast<char>('A' + static_cast<unsigned char>(c) % 58);
                    }
                    map.insert(key.c_str(), count > 64
                                                ? MsgObject(static_cast<uint64_t>(below(300)))
                                                : value(depth + 1));
                }
                return map;
            }
            default: {
                const uint32_t count = containerCount();
                MsgObject array(msgArray, below(2) ? count : 0);
                for (uint32_t i = 0; i < count; ++i) {
                    array.append(count > 64 ? MsgObject(static_cast<uint64_t>(below(300)))
                                            : value(depth + 1));
                }
                return array;
            }
        }
    }

    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

  private:
    // Half of the magnitudes sit on a format boundary (2^k - 1 or 2^k), the others have a
    // random bit width, so that every integer format gets its share.
    uint64_t magnitude() {
        static const unsigned widths[] = {0, 5, 7, 8, 15, 16, 31, 32, 63, 64};
        if (below(2) == 0) {
            const unsigned k = widths[below(std::size(widths))];
            return (k < 64 ? uint64_t{1} << k : 0) - below(2);
        }
        return rng_() >> below(64);
    }

    double doubleValue() {
        static const double edges[] = {0.0,       -0.0, 1.0,          -1.5,    HUGE_VAL,
                                       -HUGE_VAL, NAN,  DBL_TRUE_MIN, DBL_MAX, -DBL_MAX};
        if (below(3) == 0) {
            return edges[below(std::size(edges))];
        }
        if (below(2) == 0) {
            // Exactly representable as float 32, for the float 32 path of the other encoder.
            return static_cast<float>(static_cast<int32_t>(rng_()) / 1024.0);
        }
        const uint64_t bits = rng_();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    uint32_t length() {
        static const uint32_t edges[] = {0, 1, 15, 31, 32, 33, 255, 256, 257, 65535, 65536};
        const unsigned roll = below(100);
        if (roll < 50) {
            return below(40);
        }
        if (roll < 80) {
            return below(600);
        }
        if (roll < 99) {
            return edges[below(9)];
        }
        return edges[9 + below(2)] + below(3);
    }

    uint32_t containerCount() {
        const unsigned roll = below(1000);
        if (roll < 900) {
            return below(8);
        }
        if (roll < 997) {
            return 14 + below(4);  // around the fixmap/fixarray limit of 15
        }
        return roll < 999 ? 65535 : 65536;
    }

    std::string bytesOfLength(uint32_t n, bool text) {
        std::string out(n, '\0');
        for (char& c : out) {
            c = static_cast<char>(text && below(4) ? 'a' + below(26) : rng_() & 0xff);
        }
        return out;
    }

    std::mt19937_64 rng_;
};

// msgpack-cxx packing the same value; floats that fit in float 32 go out as float 32 when
// `useFloat32` is set. Returns whether any float 32 was written.
bool packCxx(msgpack::packer<msgpack::sbuffer>& packer, const MsgObject& value, bool useFloat32) {
    bool wroteFloat32 = false;
    switch (value.type()) {
        case MsgType::Nil:
            packer.pack_nil();
            break;
        case MsgType::Bool:
            value.asBool() ? packer.pack_true() : packer.pack_false();
            break;
        case MsgType::PositiveInt:
            packer.pack_uint64(value.asPositive());
            break;
        case MsgType::NegativeInt:
            packer.pack_int64(value.asNegative());
            break;
        case MsgType::Float: {
            const double number = value.asFloat();
            const float single = static_cast<float>(number);
            if (useFloat32 && static_cast<double>(single) == number) {
                packer.pack_float(single);
                wroteFloat32 = true;
            } else {
                packer.pack_double(number);
            }
            break;
        }
        case MsgType::String:
            packer.pack_str(value.size());
            packer.pack_str_body(value.asString(), value.size());
            break;
        case MsgType::Blob:
            packer.pack_bin(value.blobSize());
            packer.pack_bin_body(reinterpret_cast<const char*>(value.blobData()), value.blobSize());
            break;
        case MsgType::Map:
            packer.pack_map(value.size());
            for (uint32_t i = 0; i < value.size(); ++i) {
                const uint32_t keyLength = static_cast<uint32_t>(std::strlen(value.keyAt(i)));
                packer.pack_str(keyLength);
                packer.pack_str_body(value.keyAt(i), keyLength);
                wroteFloat32 |= packCxx(packer, value.valueAt(i), useFloat32);
            }
            break;
        case MsgType::Array:
            packer.pack_array(value.size());
            for (uint32_t i = 0; i < value.size(); ++i) {
                wroteFloat32 |= packCxx(packer, value.at(i), useFloat32);
            }
            break;
    }
    return wroteFloat32;
}

// msgpack-cxx writes a float whose value is a whole number as that integer; give our encoder
// the same values so that the two byte streams are comparable.
void integralFloatsAsIntegers(MsgObject& value) {
    switch (value.type()) {
        case MsgType::Float: {
            const double d = value.asFloat();
            if (d >= 0 && d < 18446744073709551616.0 && d == static_cast<double>(uint64_t(d))) {
                value = MsgObject(static_cast<uint64_t>(d));
            } else if (d < 0 && d >= -9223372036854775808.0 &&
                       d == static_cast<double>(int64_t(d))) {
                value = MsgObject(static_cast<int64_t>(d));
            }
            break;
        }
        case MsgType::Map:
            for (uint32_t i = 0; i < value.size(); ++i) {
                integralFloatsAsIntegers(value.valueAt(i));
            }
            break;
        case MsgType::Array:
            for (uint32_t i = 0; i < value.size(); ++i) {
                integralFloatsAsIntegers(value.at(i));
            }
            break;
        default:
            break;
    }
}

Bytes bytesOf(const msgpack::sbuffer& buffer) {
    return Bytes(buffer.data(), buffer.data() + buffer.size());
}

TEST(MsgCrossCheckTest, RandomValuesBothWays) {
    constexpr int kValues = 3000;
    RandomValues random(20240611);
    int float32Values = 0;
    for (int i = 0; i < kValues; ++i) {
        SCOPED_TRACE("value " + std::to_string(i));
        MsgObject value = random.value(0);

        // What we write, msgpack-cxx reads back as the same value.
        MemoryStream ours;
        MsgWriter(&ours).writeObject(value);
        std::size_t offset = 0;
        msgpack::object_handle handle = msgpack::unpack(
            reinterpret_cast<const char*>(ours.data.data()), ours.data.size(), offset);
        ASSERT_EQ(offset, ours.data.size());
        ASSERT_EQ(dump(fromCxx(handle.get())), dump(value));

        // What msgpack-cxx writes (float 32 where it fits), we read as msgpack-cxx itself does,
        // and skip ends where readObject ends.
        msgpack::sbuffer theirs;
        msgpack::packer<msgpack::sbuffer> packer(theirs);
        float32Values += packCxx(packer, value, true) ? 1 : 0;
        handle = msgpack::unpack(theirs.data(), theirs.size());
        MemoryStream stream(bytesOf(theirs));
        MsgReader reader(&stream);
        ASSERT_EQ(dump(reader.readObject()), dump(fromCxx(handle.get())));
        ASSERT_EQ(stream.remaining(), 0u);
        stream.position = 0;
        reader.skip();
        ASSERT_EQ(stream.remaining(), 0u);

        // Given the same value, both encoders write the same bytes.
        integralFloatsAsIntegers(value);
        ours.data.clear();
        MsgWriter(&ours).writeObject(value);
        theirs.clear();
        packCxx(packer, value, false);
        ASSERT_EQ(ours.data, bytesOf(theirs));
    }
    // The float 32 path was really taken.
    EXPECT_GT(float32Values, kValues / 20);
}

}  // namespace
}  // namespace zel::vem
