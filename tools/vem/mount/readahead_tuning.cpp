// The kernel's read-ahead window: found in the mount table, widened through sysfs.
#include "mount/readahead_tuning.h"

#include <cstdio>
#include <cstdlib>

namespace vemcli::mount {

namespace {

constexpr unsigned long kReadAheadKib = 1024;

}  // namespace

bool mountedDevice(const std::string& mountpoint, unsigned& major, unsigned& minor) {
    // The table writes space, tab, newline and backslash in a path as \ooo.
    std::string escaped;
    for (const char c : mountpoint) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char code[5];
            std::snprintf(code, sizeof code, "\\%03o", static_cast<unsigned char>(c));
            escaped += code;
        } else {
            escaped.push_back(c);
        }
    }
    FILE* table = std::fopen("/proc/self/mountinfo", "r");
    if (table == nullptr) {
        return false;
    }
    bool found = false;
    char* line = nullptr;
    size_t capacity = 0;
    while (getline(&line, &capacity, table) > 0) {
        unsigned maj = 0;
        unsigned min = 0;
        int pathAt = 0;
        int pathEnd = 0;
        if (std::sscanf(line, "%*u %*u %u:%u %*s %n%*s%n", &maj, &min, &pathAt, &pathEnd) == 2 &&
            pathEnd > pathAt && std::string(line + pathAt, line + pathEnd) == escaped) {
            major = maj;
            minor = min;
            found = true;
        }
    }
    std::free(line);
    std::fclose(table);
    return found;
}

std::string readAheadControl(const std::string& mountpoint) {
    unsigned major = 0;
    unsigned minor = 0;
    if (!mountedDevice(mountpoint, major, minor)) {
        return std::string();
    }
    return "/sys/class/bdi/" + std::to_string(major) + ":" + std::to_string(minor) +
           "/read_ahead_kb";
}

// The kernel reads a file ahead, and asks the mount, in pieces no larger than the mount's
// read-ahead window: 128 KiB unless raised, which only root may do. A megabyte a request is a
// quarter of the round trips, and of the mount's CPU time spent switching between them. The
// kernel sets the window when the session starts, so this runs once it has.
void widenReadAhead(const std::string& path) {
    if (path.empty()) {
        return;
    }
    FILE* file = std::fopen(path.c_str(), "r+");
    if (file == nullptr) {
        return;  // not root: the default window
    }
    unsigned long current = 0;
    if (std::fscanf(file, "%lu", &current) == 1 && current < kReadAheadKib) {
        std::rewind(file);
        std::fprintf(file, "%lu\n", kReadAheadKib);
    }
    std::fclose(file);
}

}  // namespace vemcli::mount
