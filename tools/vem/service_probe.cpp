// The bounded service probe of status and watch, and the words for a service that is not there.
#include "service_probe.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "service/pipe_check.h"
#include "service/pipe_path.h"
#include "service/service_channel.h"

namespace vemcli {

uint32_t serviceTimeoutMs() {
    // The library's own reading of the switch: a plain decimal number of 1 to 9 digits.
    const char* value = std::getenv("ZELVEM_TIMEOUT_MS");
    if (value == nullptr || value[0] == '\0' || std::strlen(value) > 9 ||
        std::strspn(value, "0123456789") != std::strlen(value)) {
        return 5000;
    }
    const uint32_t ms = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    return ms > 0 ? ms : 5000;
}

std::string pipePlace() {
    const std::string dir = zel::vem::pipeDirectory();
    // Windows pipes live in the one system namespace: the name is what can be wrong there.
    if (dir.rfind("\\\\.\\", 0) == 0) {
        return std::string("pipe ") + dir + zel::vem::kServicePipeName;
    }
    return "pipe folder " + dir;
}

std::string unreachableMessage() {
    const std::string reason = zel::vem::pipeTrustProblem(zel::vem::kServicePipeName);
    if (!reason.empty()) {
        return "the drive service does not answer: " + reason;
    }
    return "the drive service does not answer (" + pipePlace() +
           "; if it serves elsewhere, set ZELVEM_PIPE_DIR as it has it)";
}

ServiceProbe::ServiceProbe() : channel_(std::make_unique<zel::vem::ServiceChannel>()) {
    channel_->setVersionCheckTimeout(serviceTimeoutMs());
    channel_->setTimeout(serviceTimeoutMs());
}

ServiceProbe::~ServiceProbe() = default;

bool ServiceProbe::reachable() {
    if (channel_->isConnected()) {
        return true;
    }
    // A check refused at once is asked again a few times: a Windows pipe whose one listening
    // instance was just taken by another client (the library starting beside this probe, say)
    // refuses until the service opens the next. A service that does not answer at all still
    // costs one bound: its check runs the bound out, and none follows.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(serviceTimeoutMs());
    for (int attempt = 1;; ++attempt) {
        if (channel_->CheckVersion()) {
            return true;
        }
        if (attempt == 3 || Clock::now() + std::chrono::milliseconds(100) > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

ServiceProbe::State ServiceProbe::ask() {
    State state;
    if (!reachable()) {
        return state;
    }
    state.drive = channel_->IsDriveDetected();
    // A failed exchange disconnects the channel: the service went away while it was asked.
    state.reachable = channel_->isConnected();
    return state;
}

ServiceWatch::ServiceWatch() : state_(probe_.ask()), driveSeen_(state_.reachable && state_.drive) {}

std::vector<const char*> ServiceWatch::step() {
    std::vector<const char*> events;
    const ServiceProbe::State now = probe_.ask();
    if (now.reachable != state_.reachable) {
        events.push_back(now.reachable ? "service-back" : "service-lost");
    }
    // While the service is away nothing is known of the drive: it is told when the service is
    // back and says otherwise than before.
    if (now.reachable && now.drive != driveSeen_) {
        events.push_back(now.drive ? "drive-attached" : "drive-detached");
        driveSeen_ = now.drive;
    }
    state_ = now;
    return events;
}

}  // namespace vemcli
