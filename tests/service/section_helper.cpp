// Helper process of the section tests: creates a section in its own process, fills it with a
// known pattern and keeps it alive until its standard input ends.
//
// Usage: service_section_helper PREFIX SIZE [global]
// Prints the section's name (or "failed"); then for each line "peek N" read from its input it
// prints the byte at offset N in decimal, so the test can see what it wrote from its side.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "service/shared_section.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PREFIX SIZE [global]\n", argv[0]);
        return 2;
    }
    const unsigned long long size = std::strtoull(argv[2], nullptr, 10);
    const unsigned flags =
        (argc > 3 && std::strcmp(argv[3], "global") == 0) ? zel::vem::GlobalAccess : 0;
    zel::vem::SharedSection section;
    if (!section.createUnique(argv[1], size, flags)) {
        std::printf("failed\n");
        std::fflush(stdout);
        return 1;
    }
    unsigned char* bytes = static_cast<unsigned char*>(section.data());
    for (unsigned long long i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    std::printf("%s\n", section.name().c_str());
    std::fflush(stdout);

    char line[128];
    while (std::fgets(line, sizeof(line), stdin) != nullptr) {
        unsigned long long offset = 0;
        if (std::sscanf(line, "peek %llu", &offset) == 1 && offset < size) {
            std::printf("%u\n", static_cast<unsigned>(bytes[offset]));
            std::fflush(stdout);
        }
    }
    return 0;
}
