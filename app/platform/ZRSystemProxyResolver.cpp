// libproxy's answer, turned into the engine's proxies.
#include "app/platform/ZRSystemProxyResolver.h"

#include "core/http/ZRHTTPURL.h"

#include <proxy.h>

#include <cstdlib>

ZRSystemProxyResolver::ZRSystemProxyResolver() : _factory(px_proxy_factory_new()) {}

ZRSystemProxyResolver::~ZRSystemProxyResolver()
{
    if (_factory)
        px_proxy_factory_free(_factory);
}

std::optional<ZRHTTPRequest::Proxy> ZRSystemProxyResolver::proxyFromString(const std::string &text)
{
    using Type = ZRHTTPRequest::ProxyType;
    ZRHTTPRequest::Proxy proxy;
    if (text.rfind("direct://", 0) == 0)
        return proxy;
    if (text.rfind("pac+", 0) == 0) {
        proxy.autoConfigurationURL = text.substr(4);
        return proxy;
    }
    const std::size_t separator = text.find("://");
    if (separator == std::string::npos)
        return std::nullopt;
    const std::string scheme = text.substr(0, separator);
    struct Kind {
        const char *scheme;
        Type type;
        int defaultPort;
    };
    static constexpr Kind kinds[] = {{"http", Type::http, 80}, {"https", Type::https, 443},
        {"socks", Type::socks5h, 1080}, {"socks4", Type::socks4, 1080}, {"socks4a", Type::socks4a, 1080},
        {"socks5", Type::socks5, 1080}, {"socks5h", Type::socks5h, 1080}};
    const Kind *kind = nullptr;
    for (const Kind &each : kinds) {
        if (scheme == each.scheme)
            kind = &each;
    }
    if (!kind)
        return std::nullopt;
    // The URL parser takes any scheme; http stands in so that it accepts the rest as written.
    const auto parts = ZRHTTPURL::partsOfURL("http" + text.substr(separator));
    if (!parts || parts->host.empty())
        return std::nullopt;
    proxy.type = kind->type;
    proxy.host = parts->host;
    proxy.port = parts->port ? parts->port : kind->defaultPort;
    proxy.username = parts->user;
    proxy.password = parts->password;
    return proxy;
}

std::optional<std::vector<ZRHTTPRequest::Proxy>> ZRSystemProxyResolver::proxiesForURL(const std::string &url)
{
    std::lock_guard lock(_mutex);
    if (!_factory)
        return std::nullopt;
    char **list = px_proxy_factory_get_proxies(_factory, url.c_str());
    if (!list)
        return std::nullopt;
    std::vector<ZRHTTPRequest::Proxy> proxies;
    for (char **entry = list; *entry; ++entry) {
        if (auto proxy = proxyFromString(*entry))
            proxies.push_back(*proxy);
    }
    px_proxy_factory_free_proxies(list);
    return proxies;
}
