// The few URL operations the engine needs, done by libcurl's URL parser.
#pragma once

#include <optional>
#include <string>

struct ZRHTTPURLParts {
    std::string scheme; // lower case
    std::string host;   // as written, without brackets for IPv6
    int port = 0;       // the URL's own port, 0 when it names none
    std::string user;   // the user and password written into the URL, percent-decoded
    std::string password;
};

// Thread-safe.
namespace ZRHTTPURL {

// The parts of an absolute URL; none when it cannot be parsed. Scheme and host may be empty for
// URLs such as "file:///x".
std::optional<ZRHTTPURLParts> partsOfURL(const std::string &url);

// A "Location" value resolved against the URL it came with, as an absolute URL.
std::optional<std::string> resolvedURL(const std::string &base, const std::string &reference);

// Whether two URLs share scheme, host and port (a missing port counts as the scheme's default).
bool haveSameOrigin(const std::string &a, const std::string &b);

// The URL without the user and password written into it: what goes on the wire.
std::string urlWithoutCredentials(const std::string &url);

// Whether libcurl can send a request to the URL at all (http or https with a host).
bool isRequestableURL(const std::string &url);

} // namespace ZRHTTPURL
