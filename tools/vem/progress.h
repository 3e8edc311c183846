// A one-line progress bar on stderr: shown only when stderr is a terminal and not silenced.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vemcli {

class Progress {
  public:
    // `totalBytes` 0 when unknown; `frameBytes` 0 when the stream has no frames.
    Progress(bool enabled, uint64_t totalBytes, uint64_t frameBytes);
    ~Progress();
    void update(uint64_t bytesDone);
    // Text shown before the bar ("3/12 movies"); redrawn with the next update.
    void setLabel(const std::string& label) { label_ = label; }
    // Clears the line, so that a following message starts at the left edge.
    void finish();

    // The bar's text for the given state; public for its test.
    static std::string line(uint64_t done, uint64_t total, uint64_t frameBytes, double seconds);

  private:
    bool enabled_;
    bool shown_ = false;
    std::string label_;
    uint64_t total_;
    uint64_t frameBytes_;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point lastDrawn_;
};

}  // namespace vemcli
