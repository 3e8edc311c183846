// vemsim's log on standard error.
#include "tools/vemsim/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace zel::vem::sim {

namespace {

std::atomic<bool> g_verbose{false};
// Guards standard error so that lines of different threads never interleave. Leaf lock.
std::mutex g_logLock;

}  // namespace

void logLine(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::lock_guard<std::mutex> hold(g_logLock);
    std::fprintf(stderr, "vemsim: %s\n", buffer);
    std::fflush(stderr);
}

void setVerbose(bool value) {
    g_verbose = value;
}

bool verbose() {
    return g_verbose;
}

}  // namespace zel::vem::sim
