// Fuzzer for the message decoder: arbitrary bytes from the service must never crash the host,
// and whatever decodes must survive a round trip through the encoder unchanged.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "msgpack/memory_stream.h"
#include "msgpack/msg_reader.h"
#include "msgpack/msg_writer.h"

using namespace zel::vem;

namespace {

// Malformed input may only fail with the decoder's runtime_error; anything else (bad_alloc,
// out_of_range, a crash) escapes and is reported by the fuzzer.
void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::vector<uint8_t> encode(const MsgObject& value) {
    MemoryStream out;
    MsgWriter writer(&out);
    writer.writeObject(value);
    return out.data;
}

void roundTrip(const MsgObject& value) {
    // Our own encoding must decode to a value that encodes to the same bytes again.
    const std::vector<uint8_t> first = encode(value);
    MemoryStream stream(first);
    MsgReader reader(&stream);
    MsgObject again = reader.readObject();
    check(stream.remaining() == 0);
    check(encode(again) == first);
    // A deep copy encodes the same way.
    MsgObject copy(value);
    check(encode(copy) == first);
}

void walkFields(const std::vector<uint8_t>& bytes) {
    // The streaming side: look for a few keys in the order a caller would ask for them.
    MemoryStream stream(bytes);
    MsgReader reader(&stream);
    try {
        uint32_t remaining = reader.readMapHeader();
        for (const char* name : {"error", "result", "info", "data"}) {
            const uint32_t before = remaining;
            reader.findField(remaining, name);
            check(remaining < before);
            if (reader.readHeader() && reader.kind() == MsgType::Blob) {
                std::vector<uint8_t> blob(std::min<uint32_t>(reader.length(), 1 << 16));
                if (blob.size() == reader.length()) {
                    reader.readBlobData(blob.data(), reader.length());
                }
            }
        }
    } catch (const std::runtime_error&) {
    }
}

}  // namespace

// ASan keeps 256 MB of freed blocks by default; with the 512 MB RSS limit of the test run that
// leaves too little headroom, and a smaller quarantine still catches use after free.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=64";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);

    MemoryStream stream(bytes);
    MsgReader reader(&stream);
    bool decoded = false;
    size_t consumed = 0;
    MsgObject value;
    try {
        value = reader.readObject();
        decoded = true;
        consumed = stream.position;
    } catch (const std::runtime_error&) {
    }

    // skip() has no depth limit, so it may accept more, but where readObject succeeds it must
    // stop at the same byte.
    MemoryStream skipStream(bytes);
    MsgReader skipper(&skipStream);
    try {
        skipper.skip();
        check(!decoded || skipStream.position == consumed);
    } catch (const std::runtime_error&) {
        check(!decoded);
    }

    if (decoded) {
        roundTrip(value);
    }
    walkFields(bytes);
    return 0;
}
