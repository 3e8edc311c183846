// Test helpers: values and byte sequences as canonical texts, so they compare (and print) as
// strings.
#pragma once

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "msgpack/msg_object.h"

namespace zel::vem::test {

// Bytes as "c4 01 ff".
inline std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char byte[4];
    for (uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, out.empty() ? "%02x" : " %02x", b);
        out += byte;
    }
    return out;
}

// "c4 01 ff" as bytes.
inline std::vector<uint8_t> bytes(const std::string& hexText) {
    std::vector<uint8_t> out;
    std::istringstream in(hexText);
    unsigned byte;
    while (in >> std::hex >> byte) {
        out.push_back(static_cast<uint8_t>(byte));
    }
    return out;
}

// Kinds are spelled out (u: unsigned, i: signed, f: float bits) so that 1 and int 1 differ,
// and floats compare by bit pattern (NaN equals itself, 0.0 differs from -0.0).
inline std::string dump(const MsgObject& value) {
    char buffer[48];
    switch (value.type()) {
        case MsgType::Nil:
            return "nil";
        case MsgType::Bool:
            return value.asBool() ? "true" : "false";
        case MsgType::PositiveInt:
            std::snprintf(buffer, sizeof buffer, "u%llu",
                          static_cast<unsigned long long>(value.asPositive()));
            return buffer;
        case MsgType::NegativeInt:
            std::snprintf(buffer, sizeof buffer, "i%lld",
                          static_cast<long long>(value.asNegative()));
            return buffer;
        case MsgType::Float: {
            double number = value.asFloat();
            unsigned long long bits;
            std::memcpy(&bits, &number, sizeof bits);
            std::snprintf(buffer, sizeof buffer, "f%.17g/%016llx", number, bits);
            return buffer;
        }
        case MsgType::String: {
            std::string out = "\"";
            for (uint32_t i = 0; i < value.size(); ++i) {
                const unsigned char c = static_cast<unsigned char>(value.asString()[i]);
                if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
                    std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
                    out += buffer;
                } else {
                    out += static_cast<char>(c);
                }
            }
            return out + "\"";
        }
        case MsgType::Blob: {
            std::string out = "bin(";
            for (uint32_t i = 0; i < value.blobSize(); ++i) {
                std::snprintf(buffer, sizeof buffer, "%02x", value.blobData()[i]);
                out += buffer;
            }
            return out + ")";
        }
        case MsgType::Map: {
            std::string out = "{";
            for (uint32_t i = 0; i < value.size(); ++i) {
                out += i ? ", " : "";
                out += std::string(value.keyAt(i)) + ": " + dump(value.valueAt(i));
            }
            return out + "}";
        }
        case MsgType::Array: {
            std::string out = "[";
            for (uint32_t i = 0; i < value.size(); ++i) {
                out += i ? ", " : "";
                out += dump(value.at(i));
            }
            return out + "]";
        }
    }
    return "?";
}

}  // namespace zel::vem::test
