// Faults the simulated drive commits on request, armed for a number of requests.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zel::vem::sim {

enum class FaultKind {
    Error,     // {"error": "Injected fault."}, the operation is not carried out
    Garbage,   // the byte 0xC1, which no MessagePack value starts with
    NotMap,    // a valid value that is not a map: ["not", "a", "reply"]
    NoResult,  // {"error": nil} without "result"
    Delay,     // the operation is carried out and answered after `ms` milliseconds
    Drop,      // the operation is carried out, half its reply is sent, the connection is closed
    Exit,      // the process ends at once with exit code 3, without answering
    Shrink,    // the operation is carried out, then the connection's sections are cut to 0 bytes
               // and closed (POSIX; a mapped reader must fail, not crash), then it is answered
};

// Matches requests by "ord"; verCheck and requests without a numeric "ord" have ord -1.
constexpr int kAnyOrd = -2;

struct Fault {
    FaultKind kind = FaultKind::Error;
    int ord = kAnyOrd;
    uint32_t remaining = 1;
    uint32_t ms = 0;
};

// Parses "KIND [ord=N|ord=ver] [count=N] [ms=N]" (KIND: error, garbage, notmap, noresult, delay,
// drop, exit, shrink; delay needs ms; ord=ver picks the version check). False with a reason
// otherwise.
bool parseFault(const std::string& text, Fault& fault, std::string* error);
const char* faultName(FaultKind kind);

class FaultPlan {
  public:
    void arm(const Fault& fault);
    void clear();
    // The first armed fault that matches `ord`, used up by one; false when none matches.
    bool take(int ord, Fault& fault);
    size_t armedCount() const;

  private:
    // Guards faults_. Leaf lock.
    mutable std::mutex lock_;
    std::vector<Fault> faults_;
};

}  // namespace zel::vem::sim
