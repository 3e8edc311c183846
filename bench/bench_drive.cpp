// Start-up and lookups on drives of many movies, against vemsim in its own process: the first
// construction of the drive interface beside as many bare exchanges as it needs requests, and
// GetInfo / OpenFile of the last movie on a small drive beside the same on a large one.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "bench/bench_support.h"
#include "msgpack/memory_stream.h"
#include "msgpack/msg_writer.h"
#include "service/service_channel.h"
#include "vem/vem_interface.h"

namespace {

using namespace zel;
using namespace zel::vem;

// One vemsim per drive size, started on first use and kept for the whole run: a drive of
// 100,000 movies takes seconds to make.
std::map<int64_t, std::unique_ptr<bench::SimProcess>> sims;

bench::SimProcess* simOf(int64_t movies) {
    auto& slot = sims[movies];
    if (!slot) {
        slot = std::make_unique<bench::SimProcess>(
            std::vector<std::string>{"--movies", std::to_string(movies) + "x8x8x1"});
    }
    return slot->ok() ? slot.get() : nullptr;
}

// The sizes of a GetMovieInfo request and reply (the largest index and a typical movie).
size_t movieInfoRequestBytes(uint64_t index) {
    MemoryStream out;
    MsgWriter w(&out);
    w.writeMapHeader(3);
    w.writeString("act"), w.writeString("exec");
    w.writeString("ord"), w.writeUInt(2);
    w.writeString("params"), w.writeMapHeader(1);
    w.writeString("index"), w.writeUInt(index);
    return out.data.size();
}

size_t movieInfoReplyBytes() {
    MemoryStream out;
    MsgWriter w(&out);
    w.writeMapHeader(2);
    w.writeString("error"), w.writeNil();
    w.writeString("result"), w.writeMapHeader(1);
    w.writeString("info"), w.writeMapHeader(10);
    const char* keys[] = {"size",    "width",     "height",  "numFrames", "number",
                          "rtcTime", "startTime", "endTime", "status"};
    const uint64_t values[] = {
        128, 8, 8, 1, 99999, 1707903000, 0x138E000020C40004ull, 0x138E000020C40004ull, 0};
    for (int i = 0; i < 9; ++i) {
        w.writeString(keys[i]), w.writeUInt(values[i]);
    }
    w.writeString("name"), w.writeString("sim");
    return out.data.size();
}

// N exchanges of GetMovieInfo's sizes: what loading N movies costs at the least.
void BM_StartupFloor(benchmark::State& state) {
    const int64_t movies = state.range(0);
    bench::FloorClient floor;
    if (!floor.open(movieInfoRequestBytes(uint64_t(movies)), movieInfoReplyBytes(), 0, 0)) {
        state.SkipWithError("floor server not reached");
        return;
    }
    for (auto _ : state) {
        for (int64_t i = 0; i < movies; ++i) {
            if (!floor.exchange()) {
                state.SkipWithError("exchange failed");
                return;
            }
        }
    }
}

// Construction as the first instance() does it: connect, version check, drive detection, the
// movie list, the event channel and its thread. Shut-down is not timed.
void BM_FirstInstance(benchmark::State& state) {
    bench::SimProcess* sim = simOf(state.range(0));
    if (sim == nullptr) {
        state.SkipWithError("vemsim did not start");
        return;
    }
    sim->use();
    const std::string last = "/" + std::to_string(state.range(0)) + "-sim";
    for (auto _ : state) {
        auto* vem = new CVemInterface;
        state.PauseTiming();
        const bool loaded = vem->GetInfo(CStringW(last.c_str())).attributes == 2;
        delete vem;
        state.ResumeTiming();
        if (!loaded) {
            state.SkipWithError("movie list not loaded");
            break;
        }
    }
}

// A drive interface per drive size, loaded once and kept for the run.
std::map<int64_t, std::unique_ptr<CVemInterface>> drives;

CVemInterface* loadedDrive(int64_t movies) {
    auto& slot = drives[movies];
    if (!slot) {
        bench::SimProcess* sim = simOf(movies);
        if (sim == nullptr) {
            return nullptr;
        }
        sim->use();
        slot = std::make_unique<CVemInterface>();
    }
    return slot.get();
}

void BM_GetInfoLast(benchmark::State& state) {
    CVemInterface* vem = loadedDrive(state.range(0));
    const CStringW last(("/" + std::to_string(state.range(0)) + "-sim").c_str());
    if (vem == nullptr || vem->GetInfo(last).attributes != 2) {
        state.SkipWithError("drive not loaded");
        return;
    }
    for (auto _ : state) {
        CDirectoryEntry entry = vem->GetInfo(last);
        benchmark::DoNotOptimize(entry.attributes);
    }
}

// Opening the last movie and dropping it again: GetFileMapping, the section mapped, CloseFile.
void BM_OpenFileLast(benchmark::State& state) {
    CVemInterface* vem = loadedDrive(state.range(0));
    const CStringW last(("/" + std::to_string(state.range(0)) + "-sim").c_str());
    if (vem == nullptr) {
        state.SkipWithError("drive not loaded");
        return;
    }
    for (auto _ : state) {
        TSharedPtr<IFile> file = vem->OpenFile(last, kOpenRead);
        if (!file) {
            state.SkipWithError("OpenFile failed");
            break;
        }
    }
}

// The gap a removal leaves to programs that do not take our clients' removal lock: from the
// service's answer to the confirmation (GetMovieInfo) to its receipt of RemoveMovie, which
// follows on the same connection at once. That is one exchange of a small request: measured
// here as GetMovieInfo round trips on a bare channel.
void BM_RemovalGap(benchmark::State& state) {
    bench::SimProcess* sim = simOf(1000);
    if (sim == nullptr) {
        state.SkipWithError("vemsim did not start");
        return;
    }
    sim->use();
    ServiceChannel channel;
    SVemMovieInfo info{};
    if (!channel.CheckVersion() || !channel.GetMovieInfo(999, info)) {
        state.SkipWithError("no service");
        return;
    }
    for (auto _ : state) {
        channel.GetMovieInfo(999, info);
    }
}

BENCHMARK(BM_StartupFloor)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstInstance)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetInfoLast)->Arg(1000)->Arg(100000)->UseRealTime();
BENCHMARK(BM_OpenFileLast)->Arg(1000)->Arg(100000)->UseRealTime();
BENCHMARK(BM_RemovalGap)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    unsetenv("ZELVEM_ENABLE_EMULATOR");
    bench::startFloorServer();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    drives.clear();  // while their services still answer the shut-down
    sims.clear();
    bench::stopFloorServer();
    bench::removeRunFolder();
    return 0;
}
