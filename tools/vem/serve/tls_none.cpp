// A build without OpenSSL serves plain HTTP only; the command line refuses the TLS options.
#include <stdexcept>

#include "serve.h"
#include "tls.h"

namespace vemserve {

class TlsContext {};

bool tlsAvailable() {
    return false;
}

std::shared_ptr<TlsContext> loadTls(const std::string&, const std::string&) {
    throw std::runtime_error("this build of vem has no TLS (OpenSSL was not available)");
}

void startTlsSession(ServerCore&, const std::shared_ptr<TlsContext>&, boost::asio::ip::tcp::socket,
                     std::string) {
    throw std::logic_error("no TLS in this build");
}

}  // namespace vemserve
