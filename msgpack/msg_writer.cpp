// MsgWriter: MessagePack format selection and big-endian header assembly.
#include "msgpack/msg_writer.h"

#include <cstring>

namespace zel::vem {

namespace {

void storeBigEndian(uint8_t* out, uint64_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    }
}

}  // namespace

void MsgWriter::put(const uint8_t* header, size_t length) {
    stream_->write(header, length);
}

void MsgWriter::putSized(uint8_t type, uint64_t value, unsigned width) {
    uint8_t header[9];
    header[0] = type;
    storeBigEndian(header + 1, value, width);
    put(header, 1 + width);
}

void MsgWriter::writeNil() {
    const uint8_t header = 0xc0;
    put(&header, 1);
}

void MsgWriter::writeBool(bool value) {
    const uint8_t header = value ? 0xc3 : 0xc2;
    put(&header, 1);
}

void MsgWriter::writeUInt(uint64_t value) {
    if (value <= 0x7f) {
        const uint8_t header = static_cast<uint8_t>(value);
        put(&header, 1);
    } else if (value <= 0xff) {
        putSized(0xcc, value, 1);
    } else if (value <= 0xffff) {
        putSized(0xcd, value, 2);
    } else if (value <= 0xffffffffu) {
        putSized(0xce, value, 4);
    } else {
        putSized(0xcf, value, 8);
    }
}

void MsgWriter::writeInt(int64_t value) {
    if (value >= 0) {
        writeUInt(static_cast<uint64_t>(value));
        return;
    }
    // Two's complement: the low bytes of the value are its signed big-endian form.
    const uint64_t bits = static_cast<uint64_t>(value);
    if (value >= -32) {
        const uint8_t header = static_cast<uint8_t>(bits);
        put(&header, 1);
    } else if (value >= -128) {
        putSized(0xd0, bits, 1);
    } else if (value >= -32768) {
        putSized(0xd1, bits, 2);
    } else if (value >= -2147483648LL) {
        putSized(0xd2, bits, 4);
    } else {
        putSized(0xd3, bits, 8);
    }
}

void MsgWriter::writeFloat(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    putSized(0xca, bits, 4);
}

void MsgWriter::writeDouble(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    putSized(0xcb, bits, 8);
}

void MsgWriter::writeString(const char* text, uint64_t length) {
    if (text == nullptr) {
        text = "";
        length = 0;
    } else if (length == kMeasure) {
        length = std::strlen(text);
    }
    // The format cannot carry more than 32 bits of length; the header keeps the low 32 bits and
    // the payload matches it, so the stream stays decodable.
    length &= 0xffffffffu;
    if (length <= 31) {
        const uint8_t header = static_cast<uint8_t>(0xa0 + length);
        put(&header, 1);
    } else if (length <= 0xff) {
        putSized(0xd9, length, 1);
    } else if (length <= 0xffff) {
        putSized(0xda, length, 2);
    } else {
        putSized(0xdb, length, 4);
    }
    writeRaw(text, length);
}

void MsgWriter::writeString(const std::string& text) {
    writeString(text.data(), text.size());
}

void MsgWriter::writeBlob(const void* data, uint32_t size) {
    if (size <= 0xff) {
        putSized(0xc4, size, 1);
    } else if (size <= 0xffff) {
        putSized(0xc5, size, 2);
    } else {
        putSized(0xc6, size, 4);
    }
    writeRaw(data, size);
}

void MsgWriter::writeExt(int8_t type, const void* data, uint32_t size) {
    uint8_t header[6];
    size_t length;
    switch (size) {
        case 1:
        case 2:
        case 4:
        case 8:
        case 16: {
            static const uint8_t fixed[17] = {0, 0xd4, 0xd5, 0, 0xd6, 0, 0, 0,   0xd7,
                                              0, 0,    0,    0, 0,    0, 0, 0xd8};
            header[0] = fixed[size];
            length = 1;
            break;
        }
        default: {
            unsigned width = size <= 0xff ? 1 : size <= 0xffff ? 2 : 4;
            header[0] = width == 1 ? 0xc7 : width == 2 ? 0xc8 : 0xc9;
            storeBigEndian(header + 1, size, width);
            length = 1 + width;
            break;
        }
    }
    header[length++] = static_cast<uint8_t>(type);
    put(header, length);
    writeRaw(data, size);
}

void MsgWriter::writeArrayHeader(uint32_t count) {
    if (count <= 15) {
        const uint8_t header = static_cast<uint8_t>(0x90 + count);
        put(&header, 1);
    } else if (count <= 0xffff) {
        putSized(0xdc, count, 2);
    } else {
        putSized(0xdd, count, 4);
    }
}

void MsgWriter::writeMapHeader(uint32_t count) {
    if (count <= 15) {
        const uint8_t header = static_cast<uint8_t>(0x80 + count);
        put(&header, 1);
    } else if (count <= 0xffff) {
        putSized(0xde, count, 2);
    } else {
        putSized(0xdf, count, 4);
    }
}

void MsgWriter::writeRaw(const void* data, uint64_t length) {
    // Nothing to send for an empty payload (the caller's pointer may then be null).
    if (length > 0) {
        stream_->write(data, static_cast<size_t>(length));
    }
}

void MsgWriter::writeObject(const MsgObject& value) {
    switch (value.type()) {
        case MsgType::Nil:
            writeNil();
            break;
        case MsgType::NegativeInt:
            writeInt(value.asNegative());
            break;
        case MsgType::PositiveInt:
            writeUInt(value.asPositive());
            break;
        case MsgType::String:
            writeString(value.asString(), value.size());
            break;
        case MsgType::Bool:
            writeBool(value.asBool());
            break;
        case MsgType::Float:
            writeDouble(value.asFloat());
            break;
        case MsgType::Blob:
            writeBlob(value.blobData(), value.blobSize());
            break;
        case MsgType::Map: {
            const uint32_t count = value.size();
            writeMapHeader(count);
            for (uint32_t i = 0; i < count; ++i) {
                writeString(value.keyAt(i));
                writeObject(value.valueAt(i));
            }
            break;
        }
        case MsgType::Array: {
            const uint32_t count = value.size();
            writeArrayHeader(count);
            for (uint32_t i = 0; i < count; ++i) {
                writeObject(value.at(i));
            }
            break;
        }
    }
}

}  // namespace zel::vem
