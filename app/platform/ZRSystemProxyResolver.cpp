// libproxy's answer, turned into the engine's proxies.
#include "app/platform/ZRSystemProxyResolver.h"

#include "core/http/ZRHTTPURL.h"

#include <proxy.h>

#include "core/foundation/ZRLog.h"

#include <QString>

#include <dlfcn.h>

#include <cstdlib>
#include <unistd.h>

namespace
{

// libproxy is loaded when the first request asks for its proxy: a run that never downloads
// (queue commands, listings) does not map it.
struct Proxy {
    decltype(&px_proxy_factory_new) factory_new = nullptr;
    decltype(&px_proxy_factory_get_proxies) factory_get_proxies = nullptr;
    decltype(&px_proxy_factory_free_proxies) factory_free_proxies = nullptr;
};

const Proxy *libproxy()
{
    static const Proxy *loaded = [] () -> const Proxy * {
        void *library = ::dlopen("libproxy.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            ZRLog(QStringLiteral("cannot load libproxy (%1): the system's proxy settings are not followed")
                      .arg(QString::fromLocal8Bit(::dlerror())));
            return nullptr;
        }
        static Proxy p;
        p.factory_new = reinterpret_cast<decltype(p.factory_new)>(::dlsym(library, "px_proxy_factory_new"));
        p.factory_get_proxies =
            reinterpret_cast<decltype(p.factory_get_proxies)>(::dlsym(library, "px_proxy_factory_get_proxies"));
        p.factory_free_proxies =
            reinterpret_cast<decltype(p.factory_free_proxies)>(::dlsym(library, "px_proxy_factory_free_proxies"));
        if (!p.factory_new || !p.factory_get_proxies || !p.factory_free_proxies) {
            ZRLog(QStringLiteral("cannot use libproxy: a function is missing; the system's proxy settings are not followed"));
            return nullptr;
        }
        return &p;
    }();
    return loaded;
}

// Where libproxy finds settings: the environment's variables, a desktop session's settings, the
// system-wide file some distributions keep. With none of them it can only answer "direct", and
// loading it (with the modules it loads) costs some 4 MB and a few milliseconds.
bool mayHaveProxySettings()
{
    for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                             "ftp_proxy", "FTP_PROXY", "no_proxy", "NO_PROXY", "XDG_CURRENT_DESKTOP",
                             "DESKTOP_SESSION", "GNOME_DESKTOP_SESSION_ID", "KDE_FULL_SESSION", "PX_CONFIG_ORDER"}) {
        const char *value = std::getenv(name);
        if (value && *value)
            return true;
    }
    static const bool systemFile = ::access("/etc/sysconfig/proxy", F_OK) == 0;
    return systemFile;
}

} // namespace

ZRSystemProxyResolver::ZRSystemProxyResolver() = default;

// The factory is never freed: freeing it unloads libproxy's modules, and the threads that its
// proxy-script runner started would then run their exit handlers in code that is gone.
ZRSystemProxyResolver::~ZRSystemProxyResolver() = default;

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
    if (!mayHaveProxySettings())
        return std::vector<ZRHTTPRequest::Proxy>{ZRHTTPRequest::Proxy()};
    if (!_factory && !_factoryFailed) {
        // One for the process, shared by every resolver, and kept to the end.
        static pxProxyFactory_ *const shared = libproxy() ? libproxy()->factory_new() : nullptr;
        _factory = shared;
        _factoryFailed = !_factory;
    }
    if (!_factory)
        return std::nullopt;
    char **list = libproxy()->factory_get_proxies(_factory, url.c_str());
    if (!list)
        return std::nullopt;
    std::vector<ZRHTTPRequest::Proxy> proxies;
    for (char **entry = list; *entry; ++entry) {
        if (auto proxy = proxyFromString(*entry))
            proxies.push_back(*proxy);
    }
    libproxy()->factory_free_proxies(list);
    return proxies;
}
