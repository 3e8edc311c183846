// Benchmarks of the message codec on the service's real shapes, each beside msgpack-cxx doing
// the same work on the same bytes.
#include <benchmark/benchmark.h>

#include <msgpack.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "msgpack/memory_stream.h"
#include "msgpack/msg_reader.h"
#include "msgpack/msg_writer.h"

using namespace zel::vem;

namespace {

// {"error": nil, "result": {"info": {ten fields}}}, as the service answers a movie-information
// request.
std::vector<uint8_t> movieInfoReply() {
    MemoryStream out;
    MsgWriter w(&out);
    w.writeMapHeader(2);
    w.writeString("error");
    w.writeNil();
    w.writeString("result");
    w.writeMapHeader(1);
    w.writeString("info");
    w.writeMapHeader(10);
    w.writeString("size");
    w.writeUInt(734003200);
    w.writeString("name");
    w.writeString("MOV_0007_2024-06-10_14-03-22");
    w.writeString("width");
    w.writeUInt(1920);
    w.writeString("height");
    w.writeUInt(1080);
    w.writeString("numFrames");
    w.writeUInt(12500);
    w.writeString("number");
    w.writeUInt(7);
    w.writeString("rtcTime");
    w.writeUInt(1718028202);
    w.writeString("startTime");
    w.writeUInt(0x0123456789abcdefull);
    w.writeString("endTime");
    w.writeUInt(0x0123456789abd000ull);
    w.writeString("status");
    w.writeUInt(0);
    return out.data;
}

void BM_DecodeMovieInfo_Zelvem(benchmark::State& state) {
    MemoryStream stream(movieInfoReply());
    // One reader for all replies, as a service channel keeps it.
    MsgReader reader(&stream);
    for (auto _ : state) {
        stream.position = 0;
        MsgObject reply = reader.readObject();
        benchmark::DoNotOptimize(reply.get("result").get("info").size());
    }
    state.SetBytesProcessed(state.iterations() * stream.data.size());
}
BENCHMARK(BM_DecodeMovieInfo_Zelvem);

void BM_DecodeMovieInfo_MsgpackCxx(benchmark::State& state) {
    const std::vector<uint8_t> bytes = movieInfoReply();
    for (auto _ : state) {
        msgpack::object_handle reply =
            msgpack::unpack(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        benchmark::DoNotOptimize(reply.get().via.map.ptr[1].val.via.map.ptr[0].val.via.map.size);
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}
BENCHMARK(BM_DecodeMovieInfo_MsgpackCxx);

// {"act": "exec", "ord": 6, "params": {"fileId": n, "frameNumber": m}}, written field by field
// as the request builder does.
void encodeFrameRequest(MsgWriter& w, uint64_t fileId, uint64_t frame) {
    w.writeMapHeader(3);
    w.writeString("act");
    w.writeString("exec");
    w.writeString("ord");
    w.writeUInt(6);
    w.writeString("params");
    w.writeMapHeader(2);
    w.writeString("fileId");
    w.writeUInt(fileId);
    w.writeString("frameNumber");
    w.writeUInt(frame);
}

void packStr(msgpack::packer<msgpack::sbuffer>& p, const char* text) {
    const uint32_t length = static_cast<uint32_t>(std::strlen(text));
    p.pack_str(length);
    p.pack_str_body(text, length);
}

void encodeFrameRequestCxx(msgpack::packer<msgpack::sbuffer>& p, uint64_t fileId, uint64_t frame) {
    p.pack_map(3);
    packStr(p, "act");
    packStr(p, "exec");
    packStr(p, "ord");
    p.pack_uint64(6);
    packStr(p, "params");
    p.pack_map(2);
    packStr(p, "fileId");
    p.pack_uint64(fileId);
    packStr(p, "frameNumber");
    p.pack_uint64(frame);
}

void BM_EncodeFrameRequest_Zelvem(benchmark::State& state) {
    MemoryStream out;
    out.data.reserve(64);
    MsgWriter writer(&out);
    uint64_t frame = 0;
    for (auto _ : state) {
        out.data.clear();
        encodeFrameRequest(writer, 3, frame++ & 0xffff);
        benchmark::DoNotOptimize(out.data.data());
    }
}
BENCHMARK(BM_EncodeFrameRequest_Zelvem);

void BM_EncodeFrameRequest_MsgpackCxx(benchmark::State& state) {
    msgpack::sbuffer out(64);
    msgpack::packer<msgpack::sbuffer> packer(out);
    uint64_t frame = 0;
    for (auto _ : state) {
        out.clear();
        encodeFrameRequestCxx(packer, 3, frame++ & 0xffff);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_EncodeFrameRequest_MsgpackCxx);

// The two sides must do the same work: same request bytes, same decoded reply.
void checkSameWork() {
    MemoryStream ours;
    MsgWriter writer(&ours);
    encodeFrameRequest(writer, 3, 1000);
    msgpack::sbuffer theirs;
    msgpack::packer<msgpack::sbuffer> packer(theirs);
    encodeFrameRequestCxx(packer, 3, 1000);
    const std::vector<uint8_t> reply = movieInfoReply();
    msgpack::object_handle decoded =
        msgpack::unpack(reinterpret_cast<const char*>(reply.data()), reply.size());
    MemoryStream stream(reply);
    MsgReader reader(&stream);
    MsgObject info = reader.readObject().get("result").get("info");
    const msgpack::object& cxxInfo = decoded.get().via.map.ptr[1].val.via.map.ptr[0].val;
    if (ours.data.size() != theirs.size() ||
        std::memcmp(ours.data.data(), theirs.data(), theirs.size()) != 0 ||
        cxxInfo.via.map.size != info.size() ||
        cxxInfo.via.map.ptr[6].val.via.u64 != info.get("rtcTime").asPositive()) {
        std::fprintf(stderr, "bench_msgpack: the two codecs disagree\n");
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    checkSameWork();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
