// runMount: the session's life, from the folder's checks to the unmount.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "mount.h"
#include "mount/daemon.h"
#include "mount/fuse_ops.h"
#include "mount/mount_fs.h"
#include "mount/readahead_tuning.h"
#include "registry.h"

namespace vemcli {

namespace {

// Ends the process when a stop takes too long. A request that waits on a service that does not
// answer holds its worker, and the session loop joins every worker before it returns; the
// library's shut-down would wait on the same service. Past the grace period the mount is taken
// away and the process ends without that orderly shut-down (the service sees its connections
// close).
class StopWatchdog {
  public:
    explicit StopWatchdog(fuse_session* se) : se(se), thread([this] { watch(); }) {}
    void teardownStarted() { stopping = true; }
    // The teardown is over: the watchdog ends (within 100 ms) and no longer looks at the session.
    void finish() {
        finished = true;
        thread.join();
    }

  private:
    void watch() {
        while (!stopping && !fuse_session_exited(se)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!finished && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!finished) {
            std::fprintf(stderr, "vem: the drive service does not answer; stopping without it\n");
            fuse_session_unmount(se);
            _exit(1);
        }
    }

    fuse_session* se;
    std::atomic<bool> stopping{false};
    std::atomic<bool> finished{false};
    std::thread thread;
};

}  // namespace

int runMount(const MountOptions& options) {
    using mount::fail;
    // Refused before anything starts: stacking a mount, or hiding a folder's files under one.
    const std::string problem = mount::mountpointProblem(options.mountpoint);
    if (!problem.empty()) {
        return fail(problem);
    }
    if (!options.foreground && !mount::startedInBackground()) {
        return mount::runInBackground(options);
    }
    if (options.emulator) {
        setenv("ZELVEM_ENABLE_EMULATOR", "1", 1);
    }
    // A mount is shared by every program that touches it: one request the service never answers
    // must not hold reads for ever. Unless the user chose a bound, requests get 10 s, far more
    // than any frame takes, after which the read fails with EIO and the channel is renewed.
    vemcli::setDefaultSwitch("ZELVEM_TIMEOUT_MS", "10000");
    // A mount outlives restarts of the service: it finds the service again by itself instead of
    // staying empty until it is mounted anew.
    vemcli::setDefaultSwitch("ZELVEM_RECONNECT", "1");
    zel::vem::MovieCatalog catalog;
    if (!catalog.emulator() && !catalog.drivePresent()) {
        std::fprintf(stderr, "vem: warning: %s; the mount stays empty until one is\n",
                     catalog.noDriveMessage().c_str());
    }
    mount::MountFs fs(catalog, options);

    std::vector<std::string> argStrings{"vem", "-o", "fsname=vem,subtype=vem"};
    std::vector<char*> argv;
    for (auto& arg : argStrings) {
        argv.push_back(arg.data());
    }
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    fuse_session* se =
        fuse_session_new(&args, mount::fuseOperations(), sizeof(fuse_lowlevel_ops), &fs);
    // Parsing left an allocated copy of the arguments in `args`; the session keeps none of it.
    fuse_opt_free_args(&args);
    if (se == nullptr) {
        return fail("cannot set up the FUSE session");
    }
    if (fuse_set_signal_handlers(se) != 0) {
        fuse_session_destroy(se);
        return fail("cannot install the signal handlers");
    }
    fs.start();
    if (fuse_session_mount(se, options.mountpoint.c_str()) != 0) {
        fs.stop();
        fuse_remove_signal_handlers(se);
        fuse_session_destroy(se);
        return fail("cannot mount on " + options.mountpoint);
    }
    fs.startSession(se, mount::readAheadControl(options.mountpoint));
    mount::reportReady();

    StopWatchdog watchdog(se);
    fuse_loop_config* config = fuse_loop_cfg_create();
    // Reads waiting on a slow service each hold a worker; keep enough that lookups and listings,
    // which never wait on the service, still find one.
    fuse_loop_cfg_set_max_threads(config, 64);
    const int result = fuse_session_loop_mt(se, config);
    fuse_loop_cfg_destroy(config);

    watchdog.teardownStarted();
    fs.stopSession();
    fuse_session_unmount(se);
    fs.stop();
    watchdog.finish();
    fuse_remove_signal_handlers(se);
    fuse_session_destroy(se);
    // A positive result is the signal that ended the loop: a requested, clean stop.
    return result >= 0 ? 0 : fail("the mount ended with an error");
}

}  // namespace vemcli
