// vem watch: one line (or JSON object) per files-changed notification, until Ctrl+C or a timeout.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

#include "entry_format.h"
#include "registry.h"
#include "vem/exports.h"
#include "vem/vem_interface.h"

namespace {

std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int) {
    interrupted = true;
}

std::set<std::string> currentNames() {
    zel::CDirectoryListing listing =
        vemcli::drive().GetDirectoryListing(zel::CStringW(u"/"), zel::CStringW());
    std::set<std::string> names;
    for (const zel::CDirectoryEntry& entry : listing.entries) {
        names.insert(vemcli::utf8(entry.name));
    }
    return names;
}

struct Watcher {
    bool json = false;
    // Guards previous and the output: notifications come on the library's refreshing thread.
    // Leaf lock (nothing else is taken while it is held; the listing call is made before).
    std::mutex lock;
    std::set<std::string> previous;
    uint64_t notifications = 0;

    void notified() {
        std::set<std::string> now = currentNames();
        std::lock_guard<std::mutex> hold(lock);
        std::vector<std::string> added, removed;
        for (const std::string& name : now) {
            if (!previous.count(name)) {
                added.push_back(name);
            }
        }
        for (const std::string& name : previous) {
            if (!now.count(name)) {
                removed.push_back(name);
            }
        }
        ++notifications;
        std::string stamp = isoNow();
        if (json) {
            nlohmann::ordered_json line = {
                {"time", stamp}, {"added", added}, {"removed", removed}, {"movies", now.size()}};
            std::printf("%s\n", line.dump().c_str());
        } else {
            std::string text = stamp + "  " + std::to_string(now.size()) + " movies";
            for (const std::string& name : added) {
                text += "  +" + name;
            }
            for (const std::string& name : removed) {
                text += "  -" + name;
            }
            std::printf("%s\n", text.c_str());
        }
        std::fflush(stdout);
        previous = std::move(now);
    }

    static std::string isoNow() {
        using namespace std::chrono;
        long long seconds =
            duration_cast<std::chrono::seconds>(system_clock::now().time_since_epoch()).count();
        return vemcli::isoTime(zel::CDateTime::FromUnixSeconds(seconds));
    }
};

void onFilesChanged(void* user) {
    static_cast<Watcher*>(user)->notified();
}

int runWatch(bool json, double timeout) {
    Watcher watcher;
    watcher.json = json;
    // A watch outlives restarts of the service, as a mount does: it finds the service again by
    // itself and reports the movies it brings.
    vemcli::setDefaultSwitch("ZELVEM_RECONNECT", "1");
    if (!vemcli::haveDrive()) {
        std::fprintf(stderr, "vem: warning: %s; watching for one\n", vemcli::kNoDrive);
    }
    watcher.previous = currentNames();
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    zelDelegate handle = zelvem_AddFilesChangedHandler(&onFilesChanged, &watcher);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(timeout * 1000));
    while (!interrupted && (timeout <= 0 || std::chrono::steady_clock::now() < deadline)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // After this returns no handler runs any more, so the watcher may go.
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
    app->add_flag("--json", json, "One JSON object per line: time, added, removed, movies");
    app->add_option("--timeout", timeout, "Stop after this many seconds (default: never)")
        ->check(CLI::NonNegativeNumber);
}
