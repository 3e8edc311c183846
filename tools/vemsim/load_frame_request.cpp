// Recognising LoadFrame requests in place: a header-by-header walk over the received bytes.
#include "tools/vemsim/load_frame_request.h"

#include <cstring>
#include <string>

#include "msgpack/msg_reader.h"
#include "msgpack/stream.h"

namespace zel::vem::sim {

namespace {

// Reads from bytes already received; its end is the end of what arrived, so a request cut
// short fails to decode instead of waiting for the rest.
class ReceivedBytes : public Stream {
  public:
    ReceivedBytes(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}

    size_t read(void* buffer, size_t count) override {
        const size_t taken = count < size_ - position_ ? count : size_ - position_;
        std::memcpy(buffer, bytes_ + position_, taken);
        position_ += taken;
        return taken;
    }
    size_t write(const void*, size_t) override { return 0; }
    size_t position() const { return position_; }

  private:
    const uint8_t* bytes_;
    size_t size_;
    size_t position_ = 0;
};

constexpr uint64_t kOrdLoadFrame = 6;

bool readKind(MsgReader& reader, MsgType kind) {
    return reader.readHeader() && reader.kind() == kind;
}

// Reads a map key into `key` (keys of the request are all short: no allocation).
bool readKey(MsgReader& reader, std::string& key) {
    if (!readKind(reader, MsgType::String)) {
        return false;
    }
    key = reader.lastString();
    return true;
}

bool readParams(MsgReader& reader, LoadFrameRequest& request) {
    if (!readKind(reader, MsgType::Map) || reader.length() != 2) {
        return false;
    }
    bool haveFile = false, haveFrame = false;
    std::string key;
    for (int i = 0; i < 2; ++i) {
        if (!readKey(reader, key) || !readKind(reader, MsgType::PositiveInt)) {
            return false;
        }
        if (key == "fileId" && !haveFile && reader.lastPositive() <= 0xFFFFFFFFu) {
            request.fileId = static_cast<uint32_t>(reader.lastPositive());
            haveFile = true;
        } else if (key == "frameNumber" && !haveFrame) {
            request.frameNumber = reader.lastPositive();
            haveFrame = true;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

bool matchLoadFrame(const uint8_t* bytes, size_t size, LoadFrameRequest& request) {
    ReceivedBytes stream(bytes, size);
    MsgReader reader(&stream);
    if (!readKind(reader, MsgType::Map) || reader.length() != 3) {
        return false;
    }
    bool haveAct = false, haveOrd = false, haveParams = false;
    std::string key;
    for (int i = 0; i < 3; ++i) {
        if (!readKey(reader, key)) {
            return false;
        }
        if (key == "act" && !haveAct) {
            if (!readKind(reader, MsgType::String) || reader.lastString() != "exec") {
                return false;
            }
            haveAct = true;
        } else if (key == "ord" && !haveOrd) {
            if (!readKind(reader, MsgType::PositiveInt) || reader.lastPositive() != kOrdLoadFrame) {
                return false;
            }
            haveOrd = true;
        } else if (key == "params" && !haveParams) {
            if (!readParams(reader, request)) {
                return false;
            }
            haveParams = true;
        } else {
            return false;
        }
    }
    request.size = stream.position();
    return true;
}

}  // namespace zel::vem::sim
