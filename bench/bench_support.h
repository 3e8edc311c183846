// Benchmark support: simulated drives in processes of their own, and the bare exchange that
// marks the least any request can cost.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "service/local_socket.h"
#include "service/shared_section.h"

namespace zel::bench {

// The folder of this run: pipe folders and logs of the helper processes. Created on first use.
const std::string& runFolder();
// Removes runFolder(); call at exit, after every helper has stopped.
void removeRunFolder();

// Frame memory on a cache line, as sections (on a page) and vemsim's rendered frames are. A frame
// copy is fastest when source and destination share their offset within a cache line, and where a
// plain vector lands depends on the allocator's history: with this, every run and both sides of a
// comparison copy alike (docs/benchmarks.md, "Alignment").
class FrameBuffer {
  public:
    explicit FrameBuffer(size_t size)
        : bytes_(static_cast<uint8_t*>(::operator new[](size, kAlignment))), size_(size) {}
    uint8_t* data() const { return bytes_.get(); }
    size_t size() const { return size_; }

  private:
    static constexpr std::align_val_t kAlignment{64};
    struct Free {
        void operator()(uint8_t* p) const { ::operator delete[](p, kAlignment); }
    };
    std::unique_ptr<uint8_t[], Free> bytes_;
    size_t size_;
};

// vemsim (the program next to this one) serving `args` on a pipe folder of its own, its log in
// that folder. Stopped (SIGTERM) when destroyed.
class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& args);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Whether it serves; `error` says why not.
    bool ok() const { return error.empty(); }
    // Points this process's ZELVEM_PIPE_DIR at it, for the connections made next.
    void use() const;

    std::string error;

  private:
    pid_t pid = -1;
    std::string dir;
};

// The floor of one request/reply exchange: one write and one read on each side and, for a frame,
// one copy into a shared section on the serving side and one out of it here. The serving side is
// a process forked at start (startFloorServer) that does nothing else.
void startFloorServer();
void stopFloorServer();

class FloorClient {
  public:
    // Connects and sets the exchange up: requests of `requestBytes` (as the library's would be),
    // replies of `replyBytes`, and, when frameSize > 0, a section of one frame that the server
    // fills from `frames` frames of its own (cycling, as a drive's cache would be read).
    bool open(size_t requestBytes, size_t replyBytes, uint64_t frameSize, uint32_t frames);
    // One exchange; with a section, then copies the frame out of it into `frame`.
    bool exchange(void* frame = nullptr);

  private:
    vem::LocalSocket socket;
    vem::SharedSection section;
    std::vector<uint8_t> request, reply;
    uint64_t frameBytes = 0;
};

}  // namespace zel::bench
