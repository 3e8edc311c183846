// vem status: which mode, whether the service answers, the drive, its movies, the emulator folder.
#include <cstdio>
#include <cstdlib>
#include <future>
#include <nlohmann/json.hpp>

#include "display_text.h"
#include "entry_format.h"
#include "registry.h"
#include "service_probe.h"
#include "vem/vem_interface.h"

namespace {

int runStatus(bool json) {
    // Every exchange of the library is bounded too, so a service that hangs later than at
    // start-up cannot hold status either.
    vemcli::setDefaultSwitch("ZELVEM_TIMEOUT_MS",
                             std::to_string(vemcli::serviceTimeoutMs()).c_str());
    // The library hides the service behind neutral answers, so reachability is asked directly,
    // on a bounded connection of our own, while the library starts (itself bounded): a hung
    // service costs one bound, not two.
    const char* emulatorSwitch = std::getenv("ZELVEM_ENABLE_EMULATOR");
    std::future<bool> asked;
    if (emulatorSwitch == nullptr || emulatorSwitch[0] == '\0') {
        asked = std::async(std::launch::async, [] { return vemcli::ServiceProbe().reachable(); });
    }
    zel::vem::CVemInterface& vem = vemcli::drive();
    const bool emulator = vem.isEmulator();
    const bool reachable = asked.valid() && asked.get();
    const bool present = vem.drivePresent();
    const size_t movies =
        vem.GetDirectoryListing(zel::CStringW(u"/"), zel::CStringW()).entries.size();
    const std::string folder = vemcli::utf8(vem.GetEmulatorFolder());

    if (json) {
        nlohmann::ordered_json out = {
            {"mode", emulator ? "emulator" : "drive"},
            {"serviceReachable",
             emulator ? nlohmann::ordered_json() : nlohmann::ordered_json(reachable)},
            {"drivePresent", present},
            {"movies", movies},
            {"emulatorFolder", folder}};
        std::printf("%s\n", vemcli::jsonText(out, 2).c_str());
    } else {
        std::printf("mode:            %s\n", emulator ? "emulator" : "drive");
        std::printf("service:         %s\n", emulator    ? "not used"
                                             : reachable ? "reachable"
                                                         : "unreachable");
        std::printf("drive present:   %s\n", present ? "yes" : "no");
        std::printf("movies:          %zu\n", movies);
        std::printf("emulator folder: %s\n",
                    folder.empty() ? "(none on this system)" : vemcli::displayText(folder).c_str());
    }
    if (!emulator && !reachable) {
        std::fprintf(stderr, "vem: %s\n", vemcli::unreachableMessage().c_str());
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
    app->footer(
        "Exit status 1 when the drive service does not answer (drive mode) within\n"
        "ZELVEM_TIMEOUT_MS milliseconds (default 5000).");
}
