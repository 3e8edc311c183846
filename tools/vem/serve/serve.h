// vem serve: the drive over HTTP. The command line fills ServeOptions; serve() runs the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "movies/ome_tiff.h"

namespace vemserve {

struct ServeOptions {
    std::string listen = "127.0.0.1:8765";
    std::string token;        // empty: made up and printed
    bool tokenGiven = false;  // by --token, --token-file or the environment
    std::string tlsCert;
    std::string tlsKey;
    bool allowDelete = false;
    bool views = true;  // NAME.ome.tif and NAME.zarr/ (RouterOptions::views)
    // The frames of an export (RouterOptions::frameRange); the command line reads them.
    std::function<zel::vem::FrameSelection(const std::string& text, uint64_t frameCount)>
        frameRange;
    std::string logFile;  // empty: standard error
    size_t maxConnections = 256;
    // vem view: the token is never shown; a one-time link (/open?code=...) is printed instead and,
    // when openBrowser is set, handed to it (false: no browser could be started). `movie` is the
    // movie the page shows first.
    bool oneTimeLink = false;
    std::function<bool(const std::string& url)> openBrowser;
    std::string movie;
};

// Whether this build can serve TLS (OpenSSL was found).
bool tlsAvailable();

// Runs until SIGINT or SIGTERM. Returns the exit code: 0 after a signal, 2 for options that
// are refused (the message is printed), 1 when the server cannot start.
int serve(const ServeOptions& options);

}  // namespace vemserve
