// The progress bar of cat and export.
#include "progress.h"

#include <cstdio>

#include "entry_format.h"
#include "platform.h"

namespace vemcli {

Progress::Progress(bool enabled, uint64_t totalBytes, uint64_t frameBytes)
    : enabled_(enabled && isTerminal(stderr)),
      total_(totalBytes),
      frameBytes_(frameBytes),
      started_(std::chrono::steady_clock::now()) {}

Progress::~Progress() {
    finish();
}

std::string Progress::line(uint64_t done, uint64_t total, uint64_t frameBytes, double seconds) {
    char text[160];
    double rate = seconds > 0 ? done / seconds : 0;
    std::string out;
    if (total > 0) {
        const int width = 24;
        int filled = static_cast<int>(width * static_cast<double>(done) / total);
        filled = filled > width ? width : filled;
        out = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] ";
        std::snprintf(text, sizeof text, "%3d%% ", static_cast<int>(100.0 * done / total));
        out += text;
    }
    out += humanSize(done);
    if (total > 0) {
        out += "/" + humanSize(total);
    }
    if (frameBytes > 0) {
        std::snprintf(text, sizeof text, "  %.0f frames/s", rate / frameBytes);
        out += text;
    }
    std::snprintf(text, sizeof text, "  %.1f MB/s", rate / 1e6);
    out += text;
    if (total > 0 && rate > 0 && done < total) {
        long long eta = static_cast<long long>((total - done) / rate + 0.5);
        std::snprintf(text, sizeof text, "  ETA %lld:%02lld", eta / 60, eta % 60);
        out += text;
    }
    return out;
}

void Progress::update(uint64_t bytesDone) {
    if (!enabled_) {
        return;
    }
    auto now = std::chrono::steady_clock::now();
    // Ten redraws a second are plenty, and a terminal that is slow to draw does not slow us.
    if (shown_ && now - lastDrawn_ < std::chrono::milliseconds(100) && bytesDone != total_) {
        return;
    }
    lastDrawn_ = now;
    shown_ = true;
    double seconds = std::chrono::duration<double>(now - started_).count();
    std::fprintf(stderr, "\r%s%s\x1b[K", label_.empty() ? "" : (label_ + "  ").c_str(),
                 line(bytesDone, total_, frameBytes_, seconds).c_str());
    std::fflush(stderr);
}

void Progress::finish() {
    if (shown_) {
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
        shown_ = false;
    }
}

}  // namespace vemcli
