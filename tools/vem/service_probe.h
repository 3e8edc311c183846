// Asking the drive service directly, on a bounded connection of vem's own, whether it answers
// and whether it has a drive: the library hides both behind neutral results.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zel::vem {
class ServiceChannel;
}

namespace vemcli {

// ZELVEM_TIMEOUT_MS when it holds 1 to 999999999, else 5000: how long one question may take.
uint32_t serviceTimeoutMs();

// Where the service is sought, for messages: "pipe folder DIR" (POSIX) or the pipe's name.
std::string pipePlace();

// "the drive service does not answer (pipe folder DIR; ...)", with the reason when it is one of
// trust (an unsafe folder, a folder or peer of another user).
std::string unreachableMessage();

// One connection kept across questions; each question takes at most serviceTimeoutMs().
class ServiceProbe {
  public:
    ServiceProbe();
    ~ServiceProbe();
    struct State {
        bool reachable = false;
        bool drive = false;  // meaningful only when reachable
        bool operator==(const State& o) const {
            return reachable == o.reachable && (!reachable || drive == o.drive);
        }
        bool operator!=(const State& o) const { return !(*this == o); }
    };
    // Connects when not connected, then asks for the drive. One thread at a time.
    State ask();
    // Only whether the service answers its version check.
    bool reachable();

  private:
    std::unique_ptr<zel::vem::ServiceChannel> channel_;
};

}  // namespace vemcli
