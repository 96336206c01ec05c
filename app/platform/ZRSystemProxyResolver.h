// The proxies the system settings name for an address, through libproxy: the environment
// (http_proxy, https_proxy, no_proxy...), the desktop's settings, and auto-configuration scripts
// where a script runner plug-in is installed.
#pragma once

#include "core/http/ZRHTTPRequest.h"

#include <mutex>

struct pxProxyFactory_;

// Thread-safe: the engine asks on its request thread.
class ZRSystemProxyResolver final : public ZRHTTPRequest::ProxyResolver {
public:
    ZRSystemProxyResolver();
    ~ZRSystemProxyResolver() override;
    ZRSystemProxyResolver(const ZRSystemProxyResolver &) = delete;
    ZRSystemProxyResolver &operator=(const ZRSystemProxyResolver &) = delete;

    std::optional<std::vector<ZRHTTPRequest::Proxy>> proxiesForURL(const std::string &url) override;

    // One entry of libproxy's answer ("direct://", "http://host:port", "socks5://user:pw@host:port",
    // "pac+http://host/proxy.pac"); none when it names nothing we can use.
    static std::optional<ZRHTTPRequest::Proxy> proxyFromString(const std::string &text);

private:
    std::mutex _mutex;
    // Made on the first question.
    pxProxyFactory_ *_factory = nullptr;
    bool _factoryFailed = false;
};
