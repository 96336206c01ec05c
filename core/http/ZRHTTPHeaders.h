// Header maps and the rules the engine applies to header fields: lengths, keep-alive, field safety.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// Header names compare without regard to ASCII case, as HTTP requires.
struct ZRHTTPCaseInsensitiveLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

using ZRHTTPHeaders = std::map<std::string, std::string, ZRHTTPCaseInsensitiveLess>;

struct ZRHTTPKeepAliveDecision {
    bool canBeReused = false;
    // Set when the response named how long the connection may stay idle.
    std::optional<double> timeoutSeconds;
};

// Pure functions; thread-safe.
namespace ZRHTTPHeaderFields {

// A "Content-Length" value as a byte count: a plain decimal number ("010" is ten), surrounded by
// optional blanks; anything else, including a value beyond 64 bits, is unknown (0).
std::uint64_t contentLengthFromString(std::string_view text);

// The name of the first field whose name or value holds CR, LF or NUL, which would let the field
// end early and smuggle other fields onto the wire.
std::optional<std::string> unsafeHeaderFieldName(const ZRHTTPHeaders &headers);
bool isSafeHeaderText(std::string_view text);

// Whether the connection of a response may carry another request, from the response version and
// its "Connection" and "Keep-Alive" fields.
ZRHTTPKeepAliveDecision keepAliveDecision(bool responseIsHTTP10, const std::string *connection,
    const std::string *keepAlive);

// 301, 302, 303, 307 and 308.
bool isRedirectStatus(int statusCode);

// Whether a redirect with this status sends the same method and body again (307 and 308).
bool redirectKeepsMethod(int statusCode);

// The fields a request keeps when a redirect takes it to another origin: none of those that were
// meant for one site (Referer, Cookie, credentials, fields of the caller's own).
bool isFieldKeptAcrossOrigins(std::string_view name);

// The charset named by a "Content-Type" value ("text/html; charset=utf-8" gives "utf-8"), or empty.
std::string charsetFromContentType(std::string_view contentType);

std::string lowercased(std::string_view text);
std::string trimmed(std::string_view text);

} // namespace ZRHTTPHeaderFields
