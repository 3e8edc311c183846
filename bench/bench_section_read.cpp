// Copying a frame out of a shared section: from the mapped view, as readers did, beside readAt
// (pread from the section's descriptor), which survives a section shrunk under it.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "service/shared_section.h"

namespace {

using zel::vem::SharedSection;

constexpr uint32_t kFrameBytes = 640 * 480 * 2;

// A section made by this process and opened again, as a client opens the service's.
struct OpenedSection {
    SharedSection creator, reader;
    bool ready = false;
    OpenedSection() {
        const std::string name = "zvbench" + std::to_string(::getpid());
        ready = creator.create(name.c_str(), kFrameBytes) && reader.open(name.c_str());
        if (ready) {
            std::memset(creator.data(), 0x5A, kFrameBytes);
        }
    }
};

void BM_SectionCopyFromView(benchmark::State& state) {
    OpenedSection section;
    std::vector<uint8_t> target(kFrameBytes);
    if (!section.ready) {
        state.SkipWithError("no section");
        return;
    }
    for (auto _ : state) {
        std::memcpy(target.data(), section.reader.data(), kFrameBytes);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFrameBytes);
}

void BM_SectionReadAt(benchmark::State& state) {
    OpenedSection section;
    std::vector<uint8_t> target(kFrameBytes);
    if (!section.ready) {
        state.SkipWithError("no section");
        return;
    }
    for (auto _ : state) {
        if (section.reader.readAt(0, target.data(), kFrameBytes) != kFrameBytes) {
            state.SkipWithError("short read");
            break;
        }
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFrameBytes);
}

// A service's side of LoadFrame: one of 32 stored frames (20 MB, beyond the caches, as vemsim's
// are) copied into the section, the stored frames starting the argument's bytes past a cache line.
// The section starts on a page: at 0 and 64 both sides of the copy share their alignment
// (docs/benchmarks.md, "Alignment of frame copies").
void BM_FrameIntoSection(benchmark::State& state) {
    constexpr uint32_t kFrames = 32;
    OpenedSection section;
    zel::bench::FrameBuffer store(uint64_t{kFrames} * kFrameBytes + 64);
    if (!section.ready) {
        state.SkipWithError("no section");
        return;
    }
    std::memset(store.data(), 0x5A, store.size());
    const uint8_t* const first = store.data() + state.range(0);
    uint32_t frame = 0;
    for (auto _ : state) {
        std::memcpy(section.creator.data(), first + uint64_t{frame} * kFrameBytes, kFrameBytes);
        frame = (frame + 1) % kFrames;
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFrameBytes);
}

BENCHMARK(BM_SectionCopyFromView);
BENCHMARK(BM_SectionReadAt);
BENCHMARK(BM_FrameIntoSection)->Arg(0)->Arg(16)->Arg(32)->Arg(48)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
