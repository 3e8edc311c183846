// Asking the drive service directly, on a bounded connection of vem's own, whether it answers
// and whether it has a drive: the library hides both behind neutral results.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

// The service's and its drive's goings and comings, each told once: what `vem watch --json` and
// the server's event stream report. One thread at a time.
class ServiceWatch {
  public:
    // Asks once: the state later steps are told against (no event for it).
    ServiceWatch();
    // Asks again; the events since the last question, in this order where several are due:
    // "service-lost" or "service-back", then "drive-detached" or "drive-attached".
    std::vector<const char*> step();
    // The service answers and has its drive.
    bool present() const { return state_.reachable && state_.drive; }

  private:
    ServiceProbe probe_;
    ServiceProbe::State state_;
    bool driveSeen_ = false;  // the drive as last seen while the service answered
};

}  // namespace vemcli
