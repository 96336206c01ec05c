// URL parsing and resolution through curl's URL API.
#include "core/http/ZRHTTPURL.h"

#include "core/http/ZRHTTPHeaders.h"

#include <curl/curl.h>

#include <memory>

namespace {

struct URLHandleDeleter {
    void operator()(CURLU *handle) const { curl_url_cleanup(handle); }
};
using URLHandle = std::unique_ptr<CURLU, URLHandleDeleter>;

std::optional<std::string> part(CURLU *handle, CURLUPart which, unsigned flags = 0)
{
    char *text = nullptr;
    if (curl_url_get(handle, which, &text, flags) != CURLUE_OK || !text)
        return std::nullopt;
    std::string value(text);
    curl_free(text);
    return value;
}

URLHandle parsedURL(const std::string &url)
{
    URLHandle handle(curl_url());
    if (!handle)
        return nullptr;
    if (curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return nullptr;
    return handle;
}

int defaultPort(const std::string &scheme)
{
    if (scheme == "https")
        return 443;
    if (scheme == "http")
        return 80;
    return 0;
}

std::optional<ZRHTTPURLParts> parsedPartsOfURL(const std::string &url)
{
    URLHandle handle = parsedURL(url);
    if (!handle)
        return std::nullopt;
    ZRHTTPURLParts parts;
    parts.scheme = ZRHTTPHeaderFields::lowercased(part(handle.get(), CURLUPART_SCHEME).value_or(std::string()));
    std::string host = part(handle.get(), CURLUPART_HOST).value_or(std::string());
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    parts.host = host;
    parts.user = part(handle.get(), CURLUPART_USER, CURLU_URLDECODE).value_or(std::string());
    parts.password = part(handle.get(), CURLUPART_PASSWORD, CURLU_URLDECODE).value_or(std::string());
    if (auto port = part(handle.get(), CURLUPART_PORT)) {
        try {
            parts.port = std::stoi(*port);
        } catch (...) {
            parts.port = 0;
        }
    }
    return parts;
}

} // namespace

namespace ZRHTTPURL {

std::optional<ZRHTTPURLParts> partsOfURL(const std::string &url)
{
    // A request asks for the parts of its address several times on its way out (connection,
    // credentials, proxies): the last answer of this thread serves the same address again.
    thread_local std::string lastURL;
    thread_local std::optional<ZRHTTPURLParts> lastParts;
    if (url == lastURL && !url.empty())
        return lastParts;
    lastParts = parsedPartsOfURL(url);
    lastURL = url;
    return lastParts;
}

std::optional<std::string> resolvedURL(const std::string &base, const std::string &reference)
{
    URLHandle handle = parsedURL(base);
    if (!handle)
        return std::nullopt;
    // A second URL set on a handle that holds one is resolved against it.
    if (curl_url_set(handle.get(), CURLUPART_URL, reference.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK
        && curl_url_set(handle.get(), CURLUPART_URL, reference.c_str(), CURLU_NON_SUPPORT_SCHEME | CURLU_URLENCODE)
            != CURLUE_OK)
        return std::nullopt;
    return part(handle.get(), CURLUPART_URL);
}

bool haveSameOrigin(const std::string &a, const std::string &b)
{
    const auto first = partsOfURL(a);
    const auto second = partsOfURL(b);
    if (!first || !second)
        return false;
    const int firstPort = first->port ? first->port : defaultPort(first->scheme);
    const int secondPort = second->port ? second->port : defaultPort(second->scheme);
    return first->scheme == second->scheme
        && ZRHTTPHeaderFields::lowercased(first->host) == ZRHTTPHeaderFields::lowercased(second->host)
        && firstPort == secondPort;
}

std::string urlWithoutCredentials(const std::string &url)
{
    URLHandle handle = parsedURL(url);
    if (!handle || (!part(handle.get(), CURLUPART_USER) && !part(handle.get(), CURLUPART_PASSWORD)))
        return url;
    curl_url_set(handle.get(), CURLUPART_USER, nullptr, 0);
    curl_url_set(handle.get(), CURLUPART_PASSWORD, nullptr, 0);
    curl_url_set(handle.get(), CURLUPART_OPTIONS, nullptr, 0);
    return part(handle.get(), CURLUPART_URL).value_or(url);
}

bool isRequestableURL(const std::string &url)
{
    const auto parts = partsOfURL(url);
    return parts && (parts->scheme == "http" || parts->scheme == "https") && !parts->host.empty();
}

} // namespace ZRHTTPURL
