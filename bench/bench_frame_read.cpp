// Frame reads through the library against vemsim, beside the floor of one exchange: the same
// request and reply sizes with one write and one read on each side and the frame's two copies.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "msgpack/memory_stream.h"
#include "msgpack/msg_writer.h"
#include "vem/vem_interface.h"

namespace {

using namespace zel;
using namespace zel::vem;

struct Shape {
    uint32_t side;  // the benchmark's argument
    uint32_t width, height, frames;
    const char* entry;  // vemsim numbers the movies from 1 in the order given
};
// Frame counts keep each movie's frames beyond the caches, as a real movie's are.
const Shape kShapes[] = {
    {8, 8, 8, 64, "/1-s8"}, {640, 640, 480, 32, "/2-s640"}, {2048, 2048, 2048, 8, "/3-s2048"}};

const Shape& shapeOf(int64_t side) {
    for (const Shape& s : kShapes) {
        if (s.side == side) {
            return s;
        }
    }
    return kShapes[0];
}

uint64_t frameBytes(const Shape& s) {
    return uint64_t{s.width} * s.height * 2;
}

bench::SimProcess* sim = nullptr;

// The sizes of a LoadFrame request and of its reply, as the library and vemsim send them.
size_t loadFrameRequestBytes() {
    MemoryStream out;
    MsgWriter w(&out);
    w.writeMapHeader(3);
    w.writeString("act"), w.writeString("exec");
    w.writeString("ord"), w.writeUInt(6);
    w.writeString("params"), w.writeMapHeader(2);
    w.writeString("fileId"), w.writeUInt(1);
    w.writeString("frameNumber"), w.writeUInt(10);
    return out.data.size();
}

size_t emptyReplyBytes() {
    MemoryStream out;
    MsgWriter w(&out);
    w.writeMapHeader(2);
    w.writeString("error"), w.writeNil();
    w.writeString("result"), w.writeMapHeader(0);
    return out.data.size();
}

void BM_FrameFloor(benchmark::State& state) {
    const Shape& shape = shapeOf(state.range(0));
    bench::FloorClient floor;
    if (!floor.open(loadFrameRequestBytes(), emptyReplyBytes(), frameBytes(shape), shape.frames)) {
        state.SkipWithError("floor server not reached");
        return;
    }
    bench::FrameBuffer buffer(frameBytes(shape));
    for (auto _ : state) {
        if (!floor.exchange(buffer.data())) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frameBytes(shape)));
}

// Reads `file` frame by frame, from the start again at its end.
bool readFrame(IFile& file, const bench::FrameBuffer& buffer) {
    const uint32_t size = static_cast<uint32_t>(buffer.size());
    if (file.Read(buffer.data(), size) != size) {
        return false;
    }
    if (file.GetPosition() == file.GetSize()) {
        file.Seek(0, kSeekBegin);
    }
    return true;
}

// The drive interface and the three movies, opened once and warmed: vemsim draws a frame on its
// first load and keeps it, so from then on it copies, as the floor server does.
std::unique_ptr<CVemInterface> drive;
std::map<uint32_t, TSharedPtr<IFile>> openFiles;

IFile* openMovie(const Shape& shape) {
    TSharedPtr<IFile>& file = openFiles[shape.side];
    if (!file) {
        if (!drive) {
            sim->use();
            drive = std::make_unique<CVemInterface>();
        }
        file = drive->OpenFile(CStringW(shape.entry), kOpenRead);
        if (!file || file->GetSize() != int64_t(frameBytes(shape)) * shape.frames) {
            file = TSharedPtr<IFile>();
            return nullptr;
        }
        bench::FrameBuffer buffer(frameBytes(shape));
        for (uint32_t f = 0; f < shape.frames; ++f) {
            readFrame(*file, buffer);
        }
    }
    return file.get();
}

void BM_FrameThroughLibrary(benchmark::State& state) {
    const Shape& shape = shapeOf(state.range(0));
    IFile* file = openMovie(shape);
    if (file == nullptr) {
        state.SkipWithError("movie not served");
        return;
    }
    bench::FrameBuffer buffer(frameBytes(shape));
    for (auto _ : state) {
        if (!readFrame(*file, buffer)) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frameBytes(shape)));
}

BENCHMARK(BM_FrameFloor)->Arg(8)->Arg(640)->Arg(2048)->UseRealTime();
BENCHMARK(BM_FrameThroughLibrary)->Arg(8)->Arg(640)->Arg(2048)->UseRealTime();

// --read-frames N PATH: N frame reads of PATH from the service ZELVEM_PIPE_DIR points at, and
// nothing else, for counting system calls (docs/benchmarks.md).
int readFrames(uint64_t count, const char* path) {
    CVemInterface vem;
    TSharedPtr<IFile> file = vem.OpenFile(CStringW(path), kOpenRead);
    CDirectoryEntry entry = vem.GetInfo(CStringW(path));
    const uint64_t width = std::strtoull(entry.properties.GetValue("width").c_str(), nullptr, 10);
    const uint64_t height = std::strtoull(entry.properties.GetValue("height").c_str(), nullptr, 10);
    if (!file || width * height == 0) {
        std::fprintf(stderr, "bench_frame_read: cannot open %s\n", path);
        return 1;
    }
    bench::FrameBuffer buffer(width * height * 2);
    for (uint64_t i = 0; i < count; ++i) {
        if (!readFrame(*file, buffer)) {
            std::fprintf(stderr, "bench_frame_read: read %llu failed\n",
                         static_cast<unsigned long long>(i));
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    unsetenv("ZELVEM_ENABLE_EMULATOR");
    if (argc == 4 && std::strcmp(argv[1], "--read-frames") == 0) {
        return readFrames(std::strtoull(argv[2], nullptr, 10), argv[3]);
    }
    bench::startFloorServer();
    int code = 0;
    {
        bench::SimProcess frames(
            {"--movie", "8x8x64:s8", "--movie", "640x480x32:s640", "--movie", "2048x2048x8:s2048"});
        sim = &frames;
        if (!frames.ok()) {
            std::fprintf(stderr, "bench_frame_read: %s\n", frames.error.c_str());
            code = 1;
        } else {
            benchmark::Initialize(&argc, argv);
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
        }
        openFiles.clear();
        drive.reset();  // while the service still answers the shut-down
    }
    bench::stopFloorServer();
    bench::removeRunFolder();
    return code;
}
