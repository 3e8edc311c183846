// Test helper: a canonical text form of a MsgObject, so values compare (and print) as strings.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "msgpack/msg_object.h"

namespace zel::vem::test {

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
