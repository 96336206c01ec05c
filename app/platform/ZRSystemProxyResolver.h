// The proxies the system settings name for an address: a proxy script that the environment
// ("pac+" values), GNOME or KDE names is fetched by the engine and evaluated by quorvel-pac-runner
// in a process of its own; everything else comes from libproxy (the environment's http_proxy,
// https_proxy, no_proxy..., the desktop's settings).
#pragma once

#include "core/http/ZRHTTPRequest.h"

#include <chrono>
#include <mutex>
#include <string>

struct pxProxyFactory_;

// Thread-safe: the engine asks on its request thread.
class ZRSystemProxyResolver final : public ZRHTTPRequest::ProxyResolver {
public:
    // The script runner: the given program, or quorvel-pac-runner beside this program.
    explicit ZRSystemProxyResolver(std::string scriptRunner = {});
    ~ZRSystemProxyResolver() override;
    ZRSystemProxyResolver(const ZRSystemProxyResolver &) = delete;
    ZRSystemProxyResolver &operator=(const ZRSystemProxyResolver &) = delete;

    std::optional<std::vector<ZRHTTPRequest::Proxy>> proxiesForURL(const std::string &url) override;
    // Runs the script in quorvel-pac-runner, killed after the time limit; none when it fails, names
    // nothing usable or takes too long.
    std::optional<std::vector<ZRHTTPRequest::Proxy>> proxiesFromScript(const std::string &script,
                                                                       const std::string &url) override;
    void setScriptTimeLimit(std::chrono::milliseconds limit) { _scriptTimeLimit = limit; }

    // The script that the settings name for an address, when they name one: the environment's
    // "pac+URL" (unless no_proxy exempts the host), GNOME's automatic mode, KDE's script setting. An
    // empty text where they ask for automatic discovery (WPAD), which is not done here.
    static std::optional<std::string> scriptNamedBySettings(const std::string &url);
    // FindProxyForURL's answer ("PROXY a:3128; SOCKS5 b:1080; DIRECT"), in order; none when it
    // names nothing usable.
    static std::optional<std::vector<ZRHTTPRequest::Proxy>> proxiesFromScriptAnswer(const std::string &answer);

    // One entry of libproxy's answer ("direct://", "http://host:port", "socks5://user:pw@host:port",
    // "pac+http://host/proxy.pac"); none when it names nothing we can use.
    static std::optional<ZRHTTPRequest::Proxy> proxyFromString(const std::string &text);

private:
    std::mutex _mutex;
    // Made on the first question.
    pxProxyFactory_ *_factory = nullptr;
    bool _factoryFailed = false;
    const std::string _scriptRunner;
    std::chrono::milliseconds _scriptTimeLimit{5000};
    bool _discoveryLogged = false;
};
