// Faults the simulated drive commits on request.
#include "tools/vemsim/faults.h"

#include <cstdlib>
#include <sstream>

#include "suite/numbers.h"

namespace zel::vem::sim {

namespace {

struct KindName {
    FaultKind kind;
    const char* name;
};
constexpr KindName kKinds[] = {
    {FaultKind::Error, "error"},   {FaultKind::Garbage, "garbage"},
    {FaultKind::NotMap, "notmap"}, {FaultKind::NoResult, "noresult"},
    {FaultKind::Delay, "delay"},   {FaultKind::Drop, "drop"},
    {FaultKind::Exit, "exit"},     {FaultKind::Shrink, "shrink"},
};

// A decimal number of at most 9 digits (no sign, no spaces).
bool parseSmall(const std::string& text, uint32_t& value) {
    bool ok = false;
    value = CUInt32::Parse(CString(text), &ok);
    return ok && text.size() <= 9;
}

bool reject(std::string* error, const std::string& text) {
    if (error) {
        *error = text;
    }
    return false;
}

}  // namespace

const char* faultName(FaultKind kind) {
    for (const KindName& entry : kKinds) {
        if (entry.kind == kind) {
            return entry.name;
        }
    }
    return "?";
}

bool parseFault(const std::string& text, Fault& fault, std::string* error) {
    std::istringstream words(text);
    std::string word;
    if (!(words >> word)) {
        return reject(error, "Missing fault kind.");
    }
    Fault parsed;
    bool known = false;
    for (const KindName& entry : kKinds) {
        if (word == entry.name) {
            parsed.kind = entry.kind;
            known = true;
        }
    }
    if (!known) {
        return reject(error, "Unknown fault kind \"" + word + "\".");
    }
    bool haveMs = false;
    while (words >> word) {
        const size_t eq = word.find('=');
        const std::string key = word.substr(0, eq);
        uint32_t value = 0;
        if (key == "ord" && eq != std::string::npos && word.substr(eq + 1) == "ver") {
            parsed.ord = -1;
            continue;
        }
        if (eq == std::string::npos || !parseSmall(word.substr(eq + 1), value)) {
            return reject(error, "Bad fault option \"" + word + "\".");
        }
        if (key == "ord") {
            parsed.ord = static_cast<int>(value);
        } else if (key == "count") {
            if (value == 0) {
                return reject(error, "count must be at least 1.");
            }
            parsed.remaining = value;
        } else if (key == "ms") {
            parsed.ms = value;
            haveMs = true;
        } else {
            return reject(error, "Unknown fault option \"" + key + "\".");
        }
    }
    if (parsed.kind == FaultKind::Delay && !haveMs) {
        return reject(error, "delay needs ms=N.");
    }
    fault = parsed;
    return true;
}

void FaultPlan::arm(const Fault& fault) {
    std::lock_guard<std::mutex> hold(lock_);
    faults_.push_back(fault);
}

void FaultPlan::clear() {
    std::lock_guard<std::mutex> hold(lock_);
    faults_.clear();
}

bool FaultPlan::take(int ord, Fault& fault) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->ord != kAnyOrd && it->ord != ord) {
            continue;
        }
        fault = *it;
        if (--it->remaining == 0) {
            faults_.erase(it);
        }
        return true;
    }
    return false;
}

size_t FaultPlan::armedCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return faults_.size();
}

}  // namespace zel::vem::sim
