// vem watch: one line (or JSON object) per change of the movies, and one when the service or
// the drive goes or comes back, until Ctrl+C or a timeout.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <set>
#include <thread>

#include "display_text.h"
#include "entry_format.h"
#include "listing_change.h"
#include "movies/movie_catalog.h"
#include "registry.h"
#include "service_probe.h"
#include "vem/exports.h"
#include "vem/vem_interface.h"

namespace {

std::atomic<bool> interrupted{false};
// Set by the library's refreshing thread; the main loop lists and compares. Keeping the work
// there means one thread writes the output and asks the service.
std::atomic<bool> changed{false};

extern "C" void onInterrupt(int) {
    interrupted = true;
}

void onFilesChanged(void*) {
    changed = true;
}

// How often the service is asked whether it and its drive are there.
constexpr auto kProbeInterval = std::chrono::seconds(1);

// Whole records only: a movie whose record could not be read is no movie (never a "0-").
std::set<std::string> currentNames() {
    std::set<std::string> names;
    for (const zel::vem::MovieDescription& movie : vemcli::catalog().list()) {
        names.insert(movie.entryName);
    }
    return names;
}

std::string isoNow() {
    using namespace std::chrono;
    long long seconds =
        duration_cast<std::chrono::seconds>(system_clock::now().time_since_epoch()).count();
    return vemcli::isoTime(zel::CDateTime::FromUnixSeconds(seconds));
}

class Watcher {
  public:
    explicit Watcher(bool json) : json_(json) {}

    // What the service says now, without a line: the state later changes are told against.
    void start(bool emulator) {
        emulator_ = emulator;
        if (!emulator_) {
            service_.emplace();
        }
        if (present()) {
            previous_ = currentNames();
        }
    }

    void probe() {
        if (emulator_) {
            return;
        }
        const bool before = present();
        for (const char* name : service_->step()) {
            event(name);
        }
        // A drive that is back may bring other movies than it took away.
        if (present() != before) {
            changed = true;
        }
    }

    // Compares the listing with the last one and prints the difference. While the service or
    // the drive is away the listing is empty: that is said once by the events, not as every
    // movie removed, and the comparison waits until they are back.
    void compare() {
        if (!present() || !vemcli::drive().drivePresent()) {
            return;
        }
        std::set<std::string> now = currentNames();
        const vemcli::ListingChange change = vemcli::compareListings(previous_, now);
        previous_ = std::move(now);
        if (change.empty()) {
            return;
        }
        if (json_) {
            std::printf("%s\n", vemcli::jsonText(vemcli::changeJson(change, isoNow())).c_str());
        } else {
            std::string text = isoNow() + "  " + std::to_string(change.movies) + " movies";
            for (const std::string& name : change.added) {
                text += "  +" + name;
            }
            for (const std::string& name : change.removed) {
                text += "  -" + name;
            }
            std::printf("%s\n", vemcli::displayText(text).c_str());
        }
        std::fflush(stdout);
    }

  private:
    bool present() const { return emulator_ || (service_ && service_->present()); }

    // With --json an event is a line among the changes; otherwise a note on stderr, so that
    // standard output keeps only the changes of the movies.
    void event(const std::string& name) {
        if (json_) {
            nlohmann::ordered_json line = {{"time", isoNow()}, {"event", name}};
            std::printf("%s\n", vemcli::jsonText(line).c_str());
            std::fflush(stdout);
            return;
        }
        const std::string text = name == "service-back" ? "the drive service is back"
                                 : name == "service-lost"
                                     ? "the drive service went away (" + vemcli::pipePlace() + ")"
                                 : name == "drive-attached" ? "drive attached"
                                                            : "drive detached";
        std::fprintf(stderr, "vem: %s  %s\n", isoNow().c_str(), text.c_str());
    }

    bool json_;
    bool emulator_ = false;
    std::optional<vemcli::ServiceWatch> service_;
    std::set<std::string> previous_;
};

int runWatch(bool json, double timeout) {
    // A watch outlives restarts of the service, as a mount does: it finds the service again by
    // itself and reports the movies it brings.
    vemcli::setDefaultSwitch("ZELVEM_RECONNECT", "1");
    if (!vemcli::haveDrive()) {
        std::fprintf(stderr, "vem: warning: %s; watching for one\n",
                     vemcli::noDriveMessage().c_str());
    }
    Watcher watcher(json);
    watcher.start(vemcli::drive().isEmulator());
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    zelDelegate handle = zelvem_AddFilesChangedHandler(&onFilesChanged, nullptr);
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long long>(timeout * 1000));
    auto nextProbe = Clock::now() + kProbeInterval;
    while (!interrupted && (timeout <= 0 || Clock::now() < deadline)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (Clock::now() >= nextProbe) {
            watcher.probe();
            nextProbe = Clock::now() + kProbeInterval;
        }
        if (changed.exchange(false)) {
            watcher.compare();
        }
    }
    zelvem_RemoveFilesChangedHandler(handle);
    return vemcli::kExitOk;
}

}  // namespace

void registerCommand_watch(vemcli::Registry& registry) {
    static bool json = false;
    static double timeout = 0;
    CLI::App* app =
        registry.add("watch", "Print the movies added and removed at every change, until Ctrl+C",
                     [] { return runWatch(json, timeout); });
    app->add_flag("--json", json,
                  "One JSON object per line: {time, added, removed, movies} for a change,\n"
                  "{time, event} when the service or the drive goes (service-lost,\n"
                  "drive-detached) or comes back (service-back, drive-attached)");
    app->add_option("--timeout", timeout, "Stop after this many seconds (default: never)")
        ->check(CLI::NonNegativeNumber);
    app->footer("Without --json the service and drive events go to stderr.");
}
