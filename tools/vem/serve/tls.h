// TLS for the server, where the build has OpenSSL (tls_openssl.cpp; tls_none.cpp elsewhere).
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <memory>
#include <string>

namespace vemserve {

struct ServerCore;
class TlsContext;

// Loads a PEM certificate chain and private key; throws std::runtime_error naming what failed.
std::shared_ptr<TlsContext> loadTls(const std::string& certFile, const std::string& keyFile);

// Starts a connection that first completes a TLS handshake, then serves HTTP over it.
void startTlsSession(ServerCore& core, const std::shared_ptr<TlsContext>& tls,
                     boost::asio::ip::tcp::socket socket, std::string client);

}  // namespace vemserve
