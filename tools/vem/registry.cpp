// Subcommand registration and the one place where the library is started.
#include "registry.h"

#include <cstdlib>

#include "movies/movie_catalog.h"
#include "platform.h"
#include "suite/strings.h"
#include "vem/exports.h"
#include "vem/vem_interface.h"

namespace vemcli {

CLI::App* Registry::add(const std::string& name, const std::string& description,
                        std::function<int()> run) {
    CLI::App* app = root_.add_subcommand(name, description);
    entries_.push_back({app, std::move(run)});
    return app;
}

std::function<int()> Registry::chosen() const {
    for (const Entry& entry : entries_) {
        if (entry.app->parsed()) {
            return entry.run;
        }
    }
    return {};
}

void applyGlobalOptions(const GlobalOptions& global) {
    if (global.emulator) {
        setEnvironment("ZELVEM_ENABLE_EMULATOR", "1");
    }
}

void setDefaultSwitch(const char* name, const char* value) {
    const char* chosen = std::getenv(name);
    if (chosen == nullptr || chosen[0] == '\0') {
        setEnvironment(name, value);
    }
}

const char* const kNoDrive =
    "no drive detected (the drive service does not answer, or no drive is attached)";

bool haveDrive() {
    return drive().isEmulator() || drive().drivePresent();
}

zel::vem::CVemInterface& drive() {
    static zel::vem::CVemInterface* vem = [] {
        zel::vem::CVemInterface* loaded = zelvem_Load();
        if (loaded == nullptr) {
            throw Failure("the drive library did not start");
        }
        // Relative paths name entries of the root, whatever a host set before.
        loaded->SetCurrentWorkingDirectory(zel::CStringW(u"/"));
        return loaded;
    }();
    return *vem;
}

zel::vem::MovieCatalog& catalog() {
    static zel::vem::MovieCatalog movies(drive());
    return movies;
}

}  // namespace vemcli
