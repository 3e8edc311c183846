// Emulator-folder movies with chosen frame times: synthetic pixels, an info block of our times.
#include "tests/movies/movie_folder.h"

#include <filesystem>
#include <fstream>

#include "suite/file/info_block.h"
#include "tools/vemsim/synthetic.h"

namespace zel::test {

const std::vector<int64_t>& irregularOffsetsUs() {
    // Frames 3-4 and 8-9 of a regular 8333 us run were dropped; frame 4 repeats frame 3's stamp.
    static const std::vector<int64_t> offsets = {0,     8333,  16666, 41665, 41665,
                                                 49998, 58331, 83330, 91663, 99996};
    return offsets;
}

uint64_t entryNumber(const std::string& entry) {
    uint64_t number = 0;
    for (char c : entry) {
        if (c < '0' || c > '9') {
            break;
        }
        number = number * 10 + static_cast<uint64_t>(c - '0');
    }
    return number;
}

bool writeFolderMovie(const std::string& dir, const std::string& entry, uint32_t w, uint32_t h,
                      const std::vector<int64_t>& offsetsUs, std::string* error) {
    const uint64_t number = entryNumber(entry);
    file::SInfoBlock block;
    block.width = w;
    block.height = h;
    block.recordingTime = vem::sim::syntheticRecordingTime(number);
    for (int64_t us : offsetsUs) {
        block.frameTimes.push_back(block.recordingTime + us * 10);
    }
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::u8path(dir);
    std::filesystem::create_directories(folder, ec);
    std::ofstream data(folder / std::filesystem::u8path(entry + ".dat"), std::ios::binary);
    std::vector<uint8_t> frame(block.frameBytes());
    for (uint64_t f = 0; f < offsetsUs.size(); ++f) {
        vem::sim::renderSyntheticFrame(number, f, w, h, frame.data());
        data.write(reinterpret_cast<const char*>(frame.data()),
                   static_cast<std::streamsize>(frame.size()));
    }
    const std::vector<uint8_t> info = file::EncodeInfoBlock(block);
    std::ofstream infoFile(folder / std::filesystem::u8path(entry + ".info"), std::ios::binary);
    infoFile.write(reinterpret_cast<const char*>(info.data()),
                   static_cast<std::streamsize>(info.size()));
    data.close();
    infoFile.close();
    if (!data || !infoFile) {
        if (error) {
            *error = "cannot write " + entry + " into " + dir;
        }
        return false;
    }
    return true;
}

}  // namespace zel::test
