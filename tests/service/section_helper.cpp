// Helper process of the section tests: creates a section of its own, fills it with a known
// pattern, and reports whether the test's write into it arrives on this side.
//
// Usage: service_section_helper NAME SIZE [global]
// Prints "created" (or "failed"), then waits up to 20 s for the last byte to become 201 and
// prints "seen=N" with the value it read last; the exit code is 0 only when 201 arrived.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "service/shared_section.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s NAME SIZE [global]\n", argv[0]);
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
    // Volatile: the last byte changes under us, written by the other process.
    volatile unsigned char* bytes = static_cast<unsigned char*>(section.data());
    for (unsigned long long i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    std::printf("created\n");
    std::fflush(stdout);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (bytes[size - 1] != 201 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const unsigned seen = bytes[size - 1];
    std::printf("seen=%u\n", seen);
    return seen == 201 ? 0 : 1;
}
