// A minimal host: lists the drive through the C API and reads a movie's first frame through
// the "vem:" file system. Exit 0 when both work and the listing has the expected size.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "suite/filesystem.h"
#include "suite/numbers.h"
#include "vem/exports.h"
#include "vem/vem_interface.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer EXPECTED_MOVIE_COUNT\n");
        return 2;
    }
    const unsigned expected = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
    zel::CDirectoryListing* listing = zelvem_GetDirectoryListing("vem:///", nullptr);
    const unsigned count = listing->entries.size();
    if (count != expected || count == 0) {
        std::fprintf(stderr, "consumer: %u movies, expected %u\n", count, expected);
        delete listing;
        return 1;
    }
    const zel::CDirectoryEntry first = listing->entries[0];
    delete listing;

    zel::vem::CVemInterface* vem = zelvem_Load();
    const uint32_t width = zel::CUInt16::Parse(first.properties.GetValue("width"));
    const uint32_t height = zel::CUInt16::Parse(first.properties.GetValue("height"));
    zel::TSharedPtr<zel::IFile> file = vem->OpenFile(first.path, zel::kOpenRead);
    std::vector<uint8_t> frame(size_t{width} * height * 2);
    if (!file || frame.empty() ||
        file->Read(frame.data(), static_cast<uint32_t>(frame.size())) != frame.size()) {
        std::fprintf(stderr, "consumer: cannot read the first frame\n");
        return 1;
    }
    std::printf("consumer: %u movies, read frame 0 of %s (%ux%u)\n", count,
                first.name.ToUtf8().c_str(), width, height);
    return 0;
}
