// The server: options checked, the listening socket, admission of connections, the event feed,
// and an orderly stop on SIGINT/SIGTERM. One network thread; the drive is read on workers.
#include <boost/asio/signal_set.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "access.h"
#include "change_feed.h"
#include "http_session.h"
#include "router_parts.h"
#include "serve.h"
#include "tls.h"

namespace vemserve {

std::string logTime() {
    return isoTime(static_cast<int64_t>(std::time(nullptr)));
}

namespace {

// Threads that read the drive: readers of different movies run in parallel, a few more so a
// slow movie does not hold up listings.
constexpr int kWorkers = 8;

std::string endpointText(const tcp::endpoint& endpoint) {
    const auto address = endpoint.address();
    std::string host = address.to_string();
    if (address.is_v6()) {
        host = "[" + host + "]";
    }
    return host + ":" + std::to_string(endpoint.port());
}

bool parseListen(const std::string& text, std::string& host, std::string& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) {
        return false;
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return !host.empty() && port.find_first_not_of("0123456789") == std::string::npos &&
           port.size() <= 5 && std::stoul(port) <= 65535;
}

class Listener : public std::enable_shared_from_this<Listener> {
  public:
    Listener(ServerCore& core, tcp::acceptor& acceptor, std::shared_ptr<TlsContext> tls)
        : core_(core), acceptor_(acceptor), tls_(std::move(tls)), pause_(acceptor.get_executor()) {}

    void accept() {
        acceptor_.async_accept([self = shared_from_this()](beast::error_code ec, tcp::socket s) {
            self->onAccept(ec, std::move(s));
        });
    }

  private:
    void onAccept(beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !acceptor_.is_open()) {
            return;
        }
        if (ec) {
            // Out of descriptors, most likely: wait a little rather than spin on the error.
            core_.writeLog(logTime() + " - accept failed: " + ec.message());
            pause_.expires_after(std::chrono::milliseconds(100));
            pause_.async_wait([self = shared_from_this()](beast::error_code) { self->accept(); });
            return;
        }
        beast::error_code ignored;
        const std::string client = endpointText(socket.remote_endpoint(ignored));
        if (!core_.makeRoom()) {
            refuse(std::move(socket), client);
        } else if (tls_) {
            startTlsSession(core_, tls_, std::move(socket), client);
        } else {
            std::make_shared<Session<beast::tcp_stream>>(
                core_, beast::tcp_stream(std::move(socket)), client)
                ->start();
        }
        accept();
    }

    // Every connection is busy: a short answer, then the connection goes.
    void refuse(tcp::socket socket, const std::string& client) {
        core_.writeLog(logTime() + " " + client + " refused: every connection is busy");
        if (tls_) {
            return;  // the socket closes as it goes; a TLS client cannot read plain text
        }
        static const std::string kBusy =
            "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
            "Content-Length: 51\r\nRetry-After: 1\r\nConnection: close\r\n\r\n"
            "{\"error\":\"too many connections, try again later\"}\n";
        auto held = std::make_shared<tcp::socket>(std::move(socket));
        net::async_write(*held, net::buffer(kBusy), [held](beast::error_code, size_t) {
            beast::error_code ignored;
            held->shutdown(tcp::socket::shutdown_both, ignored);
        });
    }

    ServerCore& core_;
    tcp::acceptor& acceptor_;
    std::shared_ptr<TlsContext> tls_;
    net::steady_timer pause_;
};

int usage(const std::string& message) {
    std::fprintf(stderr, "vem: %s\n", message.c_str());
    return 2;
}

}  // namespace

int serve(const ServeOptions& options) {
    std::string host, port;
    if (!parseListen(options.listen, host, port)) {
        return usage("--listen '" + options.listen + "': write HOST:PORT (IPv6 as [ADDR]:PORT)");
    }
    if (options.tlsCert.empty() != options.tlsKey.empty()) {
        return usage("--tls-cert and --tls-key go together");
    }
    const bool tls = !options.tlsCert.empty();
    if (tls && !tlsAvailable()) {
        return usage(
            "this build of vem has no TLS (no OpenSSL for its platform); serve plain "
            "HTTP on loopback and reach it through an SSH tunnel");
    }

    // Declared in this order so that what a connection holds (a reader, the core) outlives the
    // io_context, whose destruction frees the connections still queued in it.
    std::optional<zel::vem::MovieCatalog> catalog;
    std::optional<Router> router;
    ServerCore core;
    net::io_context io(1);
    core.io = &io;
    core.maxConnections = options.maxConnections;

    tcp::endpoint endpoint;
    {
        beast::error_code ec;
        tcp::resolver resolver(io);
        auto results = resolver.resolve(host, port, tcp::resolver::passive, ec);
        if (ec || results.empty()) {
            return usage("--listen '" + options.listen +
                         "': " + (ec ? ec.message() : std::string("no such address")));
        }
        endpoint = results.begin()->endpoint();
    }
    const bool loopback = endpoint.address().is_loopback();
    if (!loopback && !options.tokenGiven) {
        return usage("--listen " + options.listen +
                     " reaches other machines: give the token with --token-file FILE "
                     "(or --token, or ZELVEM_SERVE_TOKEN), and TLS with --tls-cert/--tls-key");
    }

    std::shared_ptr<TlsContext> tlsContext;
    if (tls) {
        try {
            tlsContext = loadTls(options.tlsCert, options.tlsKey);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vem: %s\n", e.what());
            return 1;
        }
    }
    std::FILE* log = stderr;
    if (!options.logFile.empty()) {
        log = std::fopen(options.logFile.c_str(), "a");
        if (log == nullptr) {
            std::fprintf(stderr, "vem: cannot open the log %s: %s\n", options.logFile.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    core.log = log;

    tcp::acceptor acceptor(io);
    beast::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor.set_option(net::socket_base::reuse_address(true), ec);
        acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor.listen(net::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        std::fprintf(stderr, "vem: cannot listen on %s: %s\n", options.listen.c_str(),
                     ec.message().c_str());
        return 1;
    }
    const tcp::endpoint bound = acceptor.local_endpoint();

    RouterOptions routing;
    routing.token = options.tokenGiven ? options.token : makeToken();
    routing.port = bound.port();
    routing.tls = tls;
    routing.allowDelete = options.allowDelete;
    routing.views = options.views;
    routing.frameRange = options.frameRange;
    if (options.oneTimeLink) {
        routing.openCode = makeToken();
    }
    catalog.emplace();
    router.emplace(*catalog, routing);
    core.router = &*router;
    net::thread_pool workers(kWorkers);
    core.workers = &workers;
    ChangeFeed feed(*catalog, [&io, &core](std::string text) {
        net::post(io, [&core, text = std::move(text)] { core.publish(text); });
    });

    if (!loopback && !tls) {
        std::fprintf(stderr,
                     "vem: warning: serving %s without TLS: the token and every movie cross the "
                     "network readable by anyone on the path. Prefer --tls-cert/--tls-key, or "
                     "keep the default loopback address and reach it through an SSH tunnel "
                     "(ssh -L 8765:127.0.0.1:8765 HOST).\n",
                     endpointText(bound).c_str());
    }
    const std::string base =
        std::string(tls ? "https" : "http") + "://" + endpointText(bound) + "/";
    if (options.oneTimeLink) {
        const std::string link =
            base + "open?code=" + routing.openCode +
            (options.movie.empty() ? "" : "&movie=" + percentEncode(options.movie));
        std::printf("vem view: serving %s until Ctrl+C\n", base.c_str());
        std::printf("vem view: open %s (valid once)\n", link.c_str());
        std::fflush(stdout);
        if (options.openBrowser && !options.openBrowser(link)) {
            std::fprintf(stderr, "vem: no browser could be started here: open the link above\n");
        }
    } else {
        std::printf("vem serve: serving %s\n", base.c_str());
        if (!options.tokenGiven) {
            std::printf("vem serve: open %s?token=%s\n", base.c_str(), routing.token.c_str());
        }
    }
    std::fflush(stdout);

    net::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](beast::error_code, int) {
        beast::error_code ignored;
        acceptor.close(ignored);
        core.closeAll();
        io.stop();
    });
    std::make_shared<Listener>(core, acceptor, tlsContext)->accept();
    io.run();
    workers.stop();
    workers.join();
    if (log != stderr) {
        std::fclose(log);
    }
    return 0;
}

}  // namespace vemserve
