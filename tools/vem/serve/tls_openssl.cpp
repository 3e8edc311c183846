// TLS sessions through OpenSSL: the HTTP session over an SSL stream, after a bounded handshake.
#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>

#include "http_session.h"
#include "serve.h"
#include "tls.h"

namespace vemserve {

namespace ssl = boost::asio::ssl;

class TlsContext {
  public:
    ssl::context context{ssl::context::tls_server};
};

bool tlsAvailable() {
    return true;
}

std::shared_ptr<TlsContext> loadTls(const std::string& certFile, const std::string& keyFile) {
    auto tls = std::make_shared<TlsContext>();
    // TLS 1.2 and later only.
    tls->context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                             ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                             ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    boost::system::error_code ec;
    tls->context.use_certificate_chain_file(certFile, ec);
    if (ec) {
        throw std::runtime_error("cannot load the TLS certificate " + certFile + ": " +
                                 ec.message());
    }
    tls->context.use_private_key_file(keyFile, ssl::context::pem, ec);
    if (ec) {
        throw std::runtime_error("cannot load the TLS key " + keyFile + ": " + ec.message());
    }
    return tls;
}

namespace {

constexpr std::chrono::seconds kHandshakeTimeout{10};

class TlsSession : public Session<beast::ssl_stream<beast::tcp_stream>> {
  public:
    using Base = Session<beast::ssl_stream<beast::tcp_stream>>;
    // The context outlives every session: the server holds it until it stops.
    TlsSession(ServerCore& core, ssl::context& context, tcp::socket socket, std::string client)
        : Base(core,
               beast::ssl_stream<beast::tcp_stream>(beast::tcp_stream(std::move(socket)), context),
               std::move(client)) {}

    void start() override {
        beast::get_lowest_layer(stream()).expires_after(kHandshakeTimeout);
        auto self = std::static_pointer_cast<TlsSession>(shared_from_this());
        stream().async_handshake(ssl::stream_base::server, [self](beast::error_code ec) {
            if (ec) {
                return self->end();
            }
            self->readRequest();
        });
    }
};

}  // namespace

void startTlsSession(ServerCore& core, const std::shared_ptr<TlsContext>& tls, tcp::socket socket,
                     std::string client) {
    std::make_shared<TlsSession>(core, tls->context, std::move(socket), std::move(client))->start();
}

}  // namespace vemserve
