// movie_views_tool: writes emulator-folder movies with chosen times, and their views as files,
// for tests in languages whose readers (tifffile, zarr) check what the library computes.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "movies/frame_times.h"
#include "movies/movie_description.h"
#include "movies/ome_tiff.h"
#include "movies/zarr_view.h"
#include "tests/movies/movie_folder.h"
#include "tools/vemsim/synthetic.h"

namespace {

namespace fs = std::filesystem;
using namespace zel::vem;

constexpr const char kUsage[] =
    "usage: movie_views_tool folder DIR ENTRY W H OFFSETS_US   (comma-separated microseconds)\n"
    "       movie_views_tool ome-tiff DIR ENTRY W H OUT [--frames FIRST,END,STEP] [--bigtiff] "
    "[--no-times] [--piece BYTES]\n"
    "       movie_views_tool zarr DIR ENTRY W H OUTDIR\n"
    "The movie is DIR/ENTRY.dat with DIR/ENTRY.info; it is recorded at vemsim's synthetic\n"
    "recording time of ENTRY's number. ome-tiff prints \"size=N bigtiff=0|1 times=...\".\n";

std::vector<uint8_t> readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<int64_t> numbers(const std::string& text) {
    std::vector<int64_t> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        out.push_back(std::stoll(item));
    }
    return out;
}

// The folder movie as the listing would describe it, and its frame times from its info file.
struct FolderMovie {
    MovieDescription description;
    FrameTimes times;
    fs::path data;
};

FolderMovie openMovie(const std::string& dir, const std::string& entry, uint32_t w, uint32_t h) {
    FolderMovie m;
    m.data = fs::u8path(dir) / fs::u8path(entry + ".dat");
    const uint64_t frameBytes = uint64_t{w} * h * 2;
    MovieDescription& d = m.description;
    d.entryName = entry;
    d.number = zel::test::entryNumber(entry);
    d.name = entry.substr(entry.find('-') + 1);
    d.width = w;
    d.height = h;
    d.frameBytes = frameBytes;
    d.frameCount = fs::file_size(m.data) / frameBytes;
    d.size = d.frameCount * frameBytes;
    d.recordingTime = (sim::syntheticRecordingTime(d.number) - 116444736000000000) / 10000000;
    m.times = frameTimesOf(d, readAll(fs::u8path(dir) / fs::u8path(entry + ".info")));
    return m;
}

int omeTiff(const FolderMovie& movie, const std::string& out, int argc, char** argv) {
    const MovieDescription& d = movie.description;
    FrameSelection frames = FrameSelection::all(d.frameCount);
    bool bigTiff = false;
    bool withTimes = true;
    size_t piece = 1 << 20;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--frames" && i + 1 < argc) {
            const std::vector<int64_t> f = numbers(argv[++i]);  // A,B,S: frames A to B-1
            frames.first = static_cast<uint64_t>(f.at(0));
            frames.step = static_cast<uint64_t>(f.at(2));
            frames.count =
                (static_cast<uint64_t>(f.at(1)) - frames.first + frames.step - 1) / frames.step;
        } else if (arg == "--bigtiff") {
            bigTiff = true;
        } else if (arg == "--no-times") {
            withTimes = false;
        } else if (arg == "--piece" && i + 1 < argc) {
            piece = std::stoul(argv[++i]);
        } else {
            std::cerr << kUsage;
            return 2;
        }
    }
    std::shared_ptr<const std::vector<int64_t>> times;
    if (withTimes && movie.times.known()) {
        times = std::make_shared<const std::vector<int64_t>>(movie.times.nanoseconds);
    }
    const OmeTiffView view(OmeTiffMovie::of(d), frames, times, bigTiff);
    std::ifstream data(movie.data, std::ios::binary);
    const FrameByteReader readFrame = [&](uint64_t frame, uint64_t offset, void* into, size_t n) {
        data.seekg(static_cast<std::streamoff>(frame * d.frameBytes + offset));
        if (!data.read(static_cast<char*>(into), static_cast<std::streamsize>(n))) {
            throw std::runtime_error("cannot read frame " + std::to_string(frame));
        }
    };
    std::ofstream file(fs::u8path(out), std::ios::binary);
    std::vector<char> buffer(piece);
    uint64_t written = 0;
    for (size_t got; (got = view.read(written, buffer.data(), piece, readFrame)) > 0;) {
        file.write(buffer.data(), static_cast<std::streamsize>(got));
        written += got;
    }
    if (!file.flush()) {
        std::cerr << "movie_views_tool: cannot write " << out << "\n";
        return 1;
    }
    std::cout << "size=" << view.size() << " bigtiff=" << view.bigTiff()
              << " times=" << (movie.times.known() ? "known" : movie.times.failure) << "\n";
    return 0;
}

int zarr(const FolderMovie& movie, const std::string& out) {
    const MovieDescription& d = movie.description;
    const ZarrView view(d, &movie.times);
    const fs::path folder = fs::u8path(out);
    fs::create_directories(folder);
    for (const char* key : {".zarray", ".zattrs", ".zmetadata"}) {
        std::ofstream(folder / key, std::ios::binary) << *view.metadata(key);
    }
    std::ifstream data(movie.data, std::ios::binary);
    std::vector<char> frame(static_cast<size_t>(view.chunkBytes()));
    for (uint64_t f = 0; f < view.frameCount(); ++f) {
        const std::string key = ZarrView::chunkKey(f);
        if (view.chunkFrame(key) != f || !data.read(frame.data(), frame.size())) {
            std::cerr << "movie_views_tool: chunk " << key << " is not frame " << f << "\n";
            return 1;
        }
        std::ofstream(folder / key, std::ios::binary).write(frame.data(), frame.size());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "folder" && argc == 7) {
            std::string error;
            if (!zel::test::writeFolderMovie(argv[2], argv[3], std::stoul(argv[4]),
                                             std::stoul(argv[5]), numbers(argv[6]), &error)) {
                std::cerr << "movie_views_tool: " << error << "\n";
                return 1;
            }
            return 0;
        }
        if ((command == "ome-tiff" && argc >= 7) || (command == "zarr" && argc == 7)) {
            const FolderMovie movie =
                openMovie(argv[2], argv[3], std::stoul(argv[4]), std::stoul(argv[5]));
            return command == "zarr" ? zarr(movie, argv[6])
                                     : omeTiff(movie, argv[6], argc - 7, argv + 7);
        }
    } catch (const std::exception& e) {
        std::cerr << "movie_views_tool: " << e.what() << "\n";
        return 1;
    }
    std::cerr << kUsage;
    return 2;
}
