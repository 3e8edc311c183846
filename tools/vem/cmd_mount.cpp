// vem mount: the drive's movies as read-only files under a folder (Linux, FUSE).
#include <climits>
#include <cstdlib>

#include "mount.h"
#include "registry.h"

namespace {

struct MountArguments {
    std::string mountpoint;
    bool foreground = false;
    bool allowDelete = false;
    bool noViews = false;
};

int runMountCommand(const vemcli::Registry& registry, const MountArguments& args) {
    vemcli::MountOptions options;
    // The background process starts elsewhere and outlives this folder: pass it an absolute path.
    char resolved[PATH_MAX];
    if (realpath(args.mountpoint.c_str(), resolved) == nullptr) {
        throw vemcli::Failure("mount point " + args.mountpoint + " does not exist");
    }
    options.mountpoint = resolved;
    options.foreground = args.foreground;
    options.allowDelete = args.allowDelete;
    options.emulator = registry.global().emulator;
    options.views = !args.noViews;
    options.foregroundArgs = {"mount", options.mountpoint, "--foreground"};
    if (options.allowDelete) {
        options.foregroundArgs.push_back("--allow-delete");
    }
    if (!options.views) {
        options.foregroundArgs.push_back("--no-views");
    }
    if (options.emulator) {
        options.foregroundArgs.push_back("--emulator");
    }
    return vemcli::runMount(options);
}

}  // namespace

void registerCommand_mount(vemcli::Registry& registry) {
    static MountArguments args;
    CLI::App* app = registry.add("mount", "Show the movies as read-only files in a folder (FUSE)",
                                 [&registry] { return runMountCommand(registry, args); });
    app->footer(
        "Returns once mounted and serves in the background until `fusermount3 -u MOUNTPOINT`\n"
        "(or SIGTERM); with --foreground, until Ctrl+C. Each movie is a file of its frames;\n"
        "NAME:info opens its info stream; `getfattr -d` shows its properties. Beside each\n"
        "movie NAME: NAME.ome.tif (an OME-TIFF of its frames) and NAME.zarr/ (a Zarr array).");
    app->add_option("MOUNTPOINT", args.mountpoint, "An existing empty folder")->required();
    app->add_flag("--foreground,-f", args.foreground,
                  "Stay attached to the terminal; Ctrl+C or SIGTERM unmounts");
    app->add_flag("--allow-delete", args.allowDelete,
                  "Let rm delete movies from the drive (otherwise it is refused)");
    app->add_flag("--no-views", args.noViews,
                  "Show the movies only, without NAME.ome.tif and NAME.zarr/ beside them");
}
