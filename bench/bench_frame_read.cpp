// Reading movie frames through the library, beside the bare protocol round trip and a bare copy,
// against a simulated drive service running in this process on a private pipe folder.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "service/service_channel.h"
#include "service/shared_section.h"
#include "tools/vemsim/service.h"
#include "tools/vemsim/synthetic.h"
#include "vem/vem_interface.h"

namespace {

using namespace zel;
using namespace zel::vem;

constexpr uint32_t kWidth = 640, kHeight = 480, kFrames = 64;
constexpr uint32_t kFrameBytes = kWidth * kHeight * 2;

// Every frame is loaded once before timing, so the simulator's own work is one copy per load.
void warm(IFile& file, std::vector<uint8_t>& buffer) {
    file.Seek(0, kSeekBegin);
    for (uint32_t f = 0; f < kFrames; ++f) {
        file.Read(buffer.data(), kFrameBytes);
    }
}

// The baseline: copying one frame from memory to memory, what any reader pays at least.
void BM_CopyFrameBaseline(benchmark::State& state) {
    std::vector<uint8_t> source(kFrameBytes, 7), target(kFrameBytes);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), kFrameBytes);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFrameBytes);
}

// The protocol alone: LoadFrame on a ServiceChannel and a copy out of the mapped section.
void BM_LoadFrameRoundTrip(benchmark::State& state) {
    ServiceChannel channel;
    CString mapping;
    SharedSection section;
    if (!channel.CheckVersion() || !channel.GetFileMapping(0, mapping) ||
        !section.open(mapping.c_str())) {
        state.SkipWithError("no service");
        return;
    }
    std::vector<uint8_t> target(kFrameBytes);
    uint64_t frame = 0;
    for (auto _ : state) {
        if (!channel.LoadFrame(0, frame)) {
            state.SkipWithError("LoadFrame failed");
            break;
        }
        std::memcpy(target.data(), section.data(), kFrameBytes);
        frame = (frame + 1) % kFrames;
    }
    channel.CloseFile(0);
    state.SetBytesProcessed(int64_t(state.iterations()) * kFrameBytes);
}

// The library: one frame per Read of a movie opened through the drive's file system.
void BM_ReadFrameThroughLibrary(benchmark::State& state) {
    TSharedPtr<IFile> file = instance()->OpenFile(CStringW(u"vem:///1-bench"), kOpenRead);
    std::vector<uint8_t> buffer(kFrameBytes);
    if (!file || file->GetSize() != int64_t{kFrameBytes} * kFrames) {
        state.SkipWithError("movie not served");
        return;
    }
    warm(*file, buffer);
    file->Seek(0, kSeekBegin);
    for (auto _ : state) {
        if (file->Read(buffer.data(), kFrameBytes) != kFrameBytes) {
            state.SkipWithError("read failed");
            break;
        }
        if (file->GetPosition() == file->GetSize()) {
            file->Seek(0, kSeekBegin);
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFrameBytes);
}

BENCHMARK(BM_CopyFrameBaseline);
BENCHMARK(BM_LoadFrameRoundTrip)->UseRealTime();
BENCHMARK(BM_ReadFrameThroughLibrary)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // A pipe folder of this run only, and no emulator: the library must talk to the simulator.
    std::string dir = "/tmp/zelvem-bench-" + std::to_string(::getpid());
    setenv("ZELVEM_PIPE_DIR", dir.c_str(), 1);
    unsetenv("ZELVEM_ENABLE_EMULATOR");
    sim::SimService service(sim::ServiceOptions{});
    std::string error;
    auto movie = sim::makeSyntheticMovie(1, "bench", kWidth, kHeight, kFrames, &error);
    if (!movie || (service.movies().add(movie), !service.start(&error))) {
        std::fprintf(stderr, "bench_frame_read: %s\n", error.c_str());
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    service.stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
