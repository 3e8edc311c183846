// vem status: which mode, whether the service answers, the drive, its movies, the emulator folder.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "entry_format.h"
#include "registry.h"
#include "service/service_channel.h"
#include "vem/vem_interface.h"

namespace {

// Why the service could not be reached, when the service layer can tell; empty when it cannot.
// This is where the service's own explanation of a refused connection is to be printed.
std::string unreachableReason() {
    return std::string();
}

int runStatus(bool json) {
    zel::vem::CVemInterface& vem = vemcli::drive();
    const bool emulator = vem.isEmulator();
    // The library hides the service behind neutral answers, so reachability is asked directly,
    // on a connection of our own, the way the library's first request would ask.
    bool reachable = false;
    if (!emulator) {
        zel::vem::ServiceChannel channel;
        reachable = channel.CheckVersion();
    }
    const bool present = vem.drivePresent();
    const size_t movies =
        vem.GetDirectoryListing(zel::CStringW(u"/"), zel::CStringW()).entries.size();
    const std::string folder = vemcli::utf8(vem.GetEmulatorFolder());

    if (json) {
        nlohmann::json out = {
            {"mode", emulator ? "emulator" : "drive"},
            {"serviceReachable", emulator ? nlohmann::json() : nlohmann::json(reachable)},
            {"drivePresent", present},
            {"movies", movies},
            {"emulatorFolder", folder}};
        std::printf("%s\n", out.dump(2).c_str());
    } else {
        std::printf("mode:            %s\n", emulator ? "emulator" : "drive");
        std::printf("service:         %s\n", emulator    ? "not used"
                                             : reachable ? "reachable"
                                                         : "unreachable");
        std::printf("drive present:   %s\n", present ? "yes" : "no");
        std::printf("movies:          %zu\n", movies);
        std::printf("emulator folder: %s\n",
                    folder.empty() ? "(none on this system)" : folder.c_str());
    }
    if (!emulator && !reachable) {
        std::string reason = unreachableReason();
        std::fprintf(stderr, "vem: the drive service does not answer%s%s\n",
                     reason.empty() ? "" : ": ", reason.c_str());
        return vemcli::kExitFailure;
    }
    return vemcli::kExitOk;
}

}  // namespace

void registerCommand_status(vemcli::Registry& registry) {
    static bool json = false;
    CLI::App* app = registry.add(
        "status", "Show the mode, the service, the drive, its movie count and the emulator folder",
        [] { return runStatus(json); });
    app->add_flag("--json", json, "Print one JSON object");
    app->footer("Exit status 1 when the drive service does not answer (drive mode).");
}
