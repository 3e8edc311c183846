// Helper process of the section tests: creates a section of its own, fills it with a known
// pattern, and changes it once the test has mapped it, to show the two views are one memory.
//
// Usage: service_section_helper NAME SIZE global|local MARKER
// Prints "created" (or "failed"), waits up to 20 s for the file MARKER to exist (the test has
// mapped the section), writes 201 into the last byte and prints "wrote"; exit code 0 then.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "service/shared_section.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s NAME SIZE global|local MARKER\n", argv[0]);
        return 2;
    }
    const unsigned long long size = std::strtoull(argv[2], nullptr, 10);
    const unsigned flags =
        (argc > 3 && std::strcmp(argv[3], "global") == 0) ? zel::vem::GlobalAccess : 0;
    zel::vem::SharedSection section;
    if (size == 0 || !section.create(argv[1], size, flags)) {
        std::printf("failed\n");
        return 1;
    }
    auto* bytes = static_cast<unsigned char*>(section.data());
    for (unsigned long long i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    std::printf("created\n");
    std::fflush(stdout);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::error_code ignored;
    while (argc > 4 && !std::filesystem::exists(std::filesystem::u8path(argv[4]), ignored)) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::printf("no marker\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    bytes[size - 1] = 201;
    std::printf("wrote\n");
    return 0;
}
