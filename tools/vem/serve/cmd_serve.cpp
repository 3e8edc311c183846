// vem serve: the command line of the HTTP server (the server itself is in serve.h).
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "frames.h"
#include "registry.h"
#include "serve.h"

namespace {

struct Options {
    vemserve::ServeOptions serve;
    std::string token;
    std::string tokenFile;
    bool noViews = false;
};

std::string readTokenFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw vemcli::Failure("cannot read the token file " + path);
    }
    std::string token;
    std::getline(in, token);
    while (!token.empty() &&
           (token.back() == '\r' || token.back() == ' ' || token.back() == '\t')) {
        token.pop_back();
    }
    return token;
}

int runServe(Options& o) {
    vemserve::ServeOptions& s = o.serve;
    if (!o.token.empty() && !o.tokenFile.empty()) {
        std::fprintf(stderr, "vem: give --token or --token-file, not both\n");
        return vemcli::kExitUsage;
    }
    const char* fromEnvironment = std::getenv("ZELVEM_SERVE_TOKEN");
    if (!o.tokenFile.empty()) {
        s.token = readTokenFile(o.tokenFile);
    } else if (!o.token.empty()) {
        s.token = o.token;
    } else if (fromEnvironment != nullptr && fromEnvironment[0] != '\0') {
        s.token = fromEnvironment;
    }
    s.tokenGiven = !s.token.empty() || !o.tokenFile.empty();
    // A short token can be guessed over the network in reasonable time.
    if (s.tokenGiven && s.token.size() < 16) {
        std::fprintf(stderr, "vem: the token must have at least 16 characters\n");
        return vemcli::kExitUsage;
    }
    for (char c : s.token) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f || c == ';' || c == ',') {
            std::fprintf(stderr,
                         "vem: the token may hold no spaces, control characters, ';' or ','\n");
            return vemcli::kExitUsage;
        }
    }
    s.views = !o.noViews;
    // The export API reads its frames= exactly as `vem export --frames` does.
    s.frameRange = [](const std::string& text, uint64_t frameCount) {
        const vemcli::FrameRange range = vemcli::parseFrameRange(text, frameCount);
        return zel::vem::FrameSelection{range.first, range.step, range.count()};
    };
    // A server outlives restarts of the service, as a mount does.
    vemcli::setDefaultSwitch("ZELVEM_RECONNECT", "1");
    return vemserve::serve(s);
}

}  // namespace

void registerCommand_serve(vemcli::Registry& registry) {
    static Options o;
    CLI::App* app = registry.add("serve", "Serve the drive over HTTP (files, JSON API, events)",
                                 [] { return runServe(o); });
    app->add_option("--listen", o.serve.listen, "HOST:PORT to listen on (default 127.0.0.1:8765)");
    app->add_option("--token", o.token,
                    "The access token (visible in the process list: prefer --token-file)");
    app->add_option("--token-file", o.tokenFile,
                    "Read the access token from the file's first line");
    app->add_option("--tls-cert", o.serve.tlsCert, "PEM certificate chain: serve HTTPS");
    app->add_option("--tls-key", o.serve.tlsKey, "PEM private key of --tls-cert");
    app->add_flag("--allow-delete", o.serve.allowDelete, "Let DELETE /files/NAME delete movies");
    app->add_flag("--no-views", o.noViews,
                  "Serve the movies only, without NAME.ome.tif and NAME.zarr/ beside them");
    app->add_option("--log", o.serve.logFile, "Append the request log to FILE (default stderr)");
    app->add_option("--max-connections", o.serve.maxConnections,
                    "Connections at once; beyond it the longest idle one is closed (default 256)")
        ->check(CLI::Range(1, 100000));
    app->footer(
        "Every request needs the token: 'Authorization: Bearer TOKEN', or ?token=TOKEN once in a "
        "browser (it then keeps a cookie). Without --token, --token-file or ZELVEM_SERVE_TOKEN a "
        "random token is made and the URL to open is printed. An address other than loopback "
        "needs an explicit token. See docs/serve.md.");
}
