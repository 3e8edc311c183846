// vem view: the drive's viewer in this desktop's browser, served on loopback for this user only.
#include "movie.h"
#include "platform.h"
#include "registry.h"
#include "serve/serve.h"

namespace {

struct Options {
    std::string path;
    bool noBrowser = false;
};

int runView(const Options& o) {
    vemserve::ServeOptions s;
    // A free port each time: several views (and a `vem serve`) run side by side.
    s.listen = "127.0.0.1:0";
    s.oneTimeLink = true;
    if (!o.noBrowser) {
        s.openBrowser = vemcli::openInBrowser;
    }
    if (!o.path.empty()) {
        const vemcli::DrivePath path = vemcli::parseDrivePath(o.path);
        if (path.info) {
            throw vemcli::Failure(path.display() + ": the viewer shows movies; name the movie " +
                                  "without :info");
        }
        if (!path.name.empty()) {
            // The same message as every other command for a movie that is not there, before
            // anything is started.
            vemcli::lookupMovie(path);
            s.movie = path.name;
        }
    }
    // The page outlives restarts of the service, as a mount does.
    vemcli::setDefaultSwitch("ZELVEM_RECONNECT", "1");
    return vemserve::serve(s);
}

}  // namespace

void registerCommand_view(vemcli::Registry& registry) {
    static Options o;
    CLI::App* app =
        registry.add("view", "Open the drive's viewer in the browser", [] { return runView(o); });
    app->add_option("path", o.path, "A movie to show first (vem:///NAME, /NAME or NAME)");
    app->add_flag("--no-browser", o.noBrowser, "Only print the link; start no browser");
    app->footer(
        "Serves the viewer on 127.0.0.1 at a free port until Ctrl+C. The browser gets a link "
        "with a one-time code, never the access token: the first visit trades the code for a "
        "cookie and the link is spent. See docs/viewer.md.");
}
