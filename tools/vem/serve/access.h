// Who may use the server: the token, how a request presents it, and how it is compared.
#pragma once

#include <string>
#include <string_view>

namespace vemserve {

// 32 random bytes from the system's generator as 64 hex digits. Throws std::runtime_error when
// the system gives none (a token that could be guessed is worse than no start).
std::string makeToken();

// Compares in time that depends on the lengths only, never on where the texts differ.
bool sameSecret(std::string_view a, std::string_view b);

// The cookie that carries the token once a browser presented it in the query. Its name holds
// the port: cookies ignore ports, and two servers on one host must not see each other's.
std::string cookieName(unsigned short port);

// The value of cookie `name` in a Cookie header ("a=1; b=2"); empty when absent.
std::string cookieValue(std::string_view header, std::string_view name);

// The value of query parameter `name` (percent-decoded); `found` says whether it was there.
std::string queryValue(std::string_view query, std::string_view name, bool& found);

// The query without parameter `name`, for logs and for links that must not carry the token.
std::string queryWithout(std::string_view query, std::string_view name);

// Percent-encodes every byte but the unreserved ones (A-Z a-z 0-9 - . _ ~), as
// encodeURIComponent does for UTF-8 text.
std::string percentEncode(std::string_view text);

// Percent-decodes once; false for a malformed escape ("%4", "%zz").
bool percentDecode(std::string_view text, std::string& out);

}  // namespace vemserve
