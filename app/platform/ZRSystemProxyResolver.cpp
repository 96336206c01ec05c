// libproxy's answer, turned into the engine's proxies.
#include "app/platform/ZRSystemProxyResolver.h"

#include "core/http/ZRHTTPURL.h"

#include <proxy.h>

#include "core/foundation/ZRLog.h"

#include <QString>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <unistd.h>

extern char **environ;

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

std::string lowercase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string trimmed(const std::string &text)
{
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string environmentValue(std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        const char *value = std::getenv(name);
        if (value && *value)
            return value;
    }
    return {};
}

// no_proxy: names (a leading dot or "*." optional) that the host is or ends in, or "*" for all.
bool exemptByNoProxy(const std::string &host)
{
    const std::string list = environmentValue({"no_proxy", "NO_PROXY"});
    std::size_t at = 0;
    while (at <= list.size()) {
        const std::size_t end = std::min(list.find(',', at), list.size());
        std::string entry = lowercase(trimmed(list.substr(at, end - at)));
        at = end + 1;
        if (entry == "*")
            return true;
        if (entry.rfind("*.", 0) == 0)
            entry.erase(0, 1);
        if (!entry.empty() && entry.front() == '.')
            entry.erase(0, 1);
        if (const std::size_t colon = entry.rfind(':'); colon != std::string::npos && entry.find(':') == colon)
            entry.erase(colon);
        if (entry.empty())
            continue;
        if (host == entry || (host.size() > entry.size() && host.compare(host.size() - entry.size(), entry.size(), entry) == 0
                              && host[host.size() - entry.size() - 1] == '.'))
            return true;
    }
    return false;
}

bool desktopIs(std::initializer_list<const char *> names)
{
    const std::string desktop = lowercase(environmentValue({"XDG_CURRENT_DESKTOP"}));
    return std::any_of(names.begin(), names.end(),
                       [&](const char *name) { return desktop.find(lowercase(name)) != std::string::npos; });
}

// KDE keeps its proxy settings in kioslaverc: ProxyType 2 is a script, 3 automatic discovery.
std::optional<std::string> scriptNamedByKDE()
{
    std::string folder = environmentValue({"XDG_CONFIG_HOME"});
    if (folder.empty())
        folder = environmentValue({"HOME"}) + "/.config";
    std::ifstream file(folder + "/kioslaverc");
    std::string line, section, type, script;
    while (std::getline(file, line)) {
        line = trimmed(line);
        if (!line.empty() && line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            continue;
        }
        const std::size_t equals = line.find('=');
        if (section != "Proxy Settings" || equals == std::string::npos)
            continue;
        std::string key = trimmed(line.substr(0, equals));
        // Flags such as "[$e]" after a key.
        if (const std::size_t flags = key.find('['); flags != std::string::npos)
            key = trimmed(key.substr(0, flags));
        if (key == "ProxyType")
            type = trimmed(line.substr(equals + 1));
        else if (key == "Proxy Config Script")
            script = trimmed(line.substr(equals + 1));
    }
    if (type == "2" && !script.empty())
        return script;
    if (type == "3")
        return std::string();
    return std::nullopt;
}

// GNOME's settings through GIO, loaded on first use; a machine without the schema has none.
std::optional<std::string> scriptNamedByGNOME()
{
    struct Settings {
        void *settings = nullptr;
        char *(*getString)(void *, const char *) = nullptr;
        void (*free)(void *) = nullptr;
    };
    static const Settings gnome = [] {
        Settings made;
        void *library = ::dlopen("libgio-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!library)
            return made;
        const auto symbol = [library](const char *name) { return ::dlsym(library, name); };
        const auto schemaSourceDefault = reinterpret_cast<void *(*)()>(symbol("g_settings_schema_source_get_default"));
        const auto schemaLookup = reinterpret_cast<void *(*)(void *, const char *, int)>(symbol("g_settings_schema_source_lookup"));
        const auto schemaUnref = reinterpret_cast<void (*)(void *)>(symbol("g_settings_schema_unref"));
        const auto settingsNewFull = reinterpret_cast<void *(*)(void *, void *, const char *)>(symbol("g_settings_new_full"));
        made.getString = reinterpret_cast<char *(*)(void *, const char *)>(symbol("g_settings_get_string"));
        made.free = reinterpret_cast<void (*)(void *)>(symbol("g_free"));
        if (!schemaSourceDefault || !schemaLookup || !schemaUnref || !settingsNewFull || !made.getString || !made.free)
            return made;
        void *source = schemaSourceDefault();
        void *schema = source ? schemaLookup(source, "org.gnome.system.proxy", 1) : nullptr;
        if (!schema)
            return made;
        made.settings = settingsNewFull(schema, nullptr, nullptr);
        schemaUnref(schema);
        return made;
    }();
    if (!gnome.settings)
        return std::nullopt;
    const auto read = [](const char *key) {
        char *value = gnome.getString(gnome.settings, key);
        std::string text = value ? value : "";
        gnome.free(value);
        return text;
    };
    if (read("mode") != "auto")
        return std::nullopt;
    return trimmed(read("autoconfig-url"));
}

// Runs the script runner with the script on its input; its answer, or why there is none.
struct ScriptRun {
    bool succeeded = false;
    std::string output;
    std::string reason;
};

ScriptRun runScript(const std::string &runner, const std::string &script, const std::string &url,
                    const std::string &host, std::chrono::milliseconds limit)
{
    ScriptRun run;
    // The input is a socket so that a runner that stops reading early cannot raise SIGPIPE here.
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    int errors[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0 || ::pipe2(output, O_CLOEXEC) != 0
        || ::pipe2(errors, O_CLOEXEC) != 0) {
        for (const int fd : {input[0], input[1], output[0], output[1], errors[0], errors[1]})
            if (fd >= 0)
                ::close(fd);
        run.reason = std::string("no pipe for the script runner: ") + std::strerror(errno);
        return run;
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, input[1], STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
    std::string arguments[] = {runner, url, host};
    char *argv[] = {arguments[0].data(), arguments[1].data(), arguments[2].data(), nullptr};
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, runner.c_str(), &actions, nullptr, argv, environ);
    ::posix_spawn_file_actions_destroy(&actions);
    for (const int fd : {input[1], output[1], errors[1]})
        ::close(fd);
    if (spawned != 0) {
        for (const int fd : {input[0], output[0], errors[0]})
            ::close(fd);
        run.reason = "cannot start " + runner + ": " + std::strerror(spawned);
        return run;
    }
    for (const int fd : {input[0], output[0], errors[0]})
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

    constexpr std::size_t maximumOutput = 64 * 1024 + 2;
    constexpr std::size_t maximumErrors = 4096;
    std::string errorText;
    std::size_t written = 0;
    int writing = input[0];
    if (script.empty()) {
        ::shutdown(writing, SHUT_WR);
    }
    bool outputOpen = true, errorsOpen = true, timedOut = false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[16384];
    while (outputOpen || errorsOpen) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd fds[3] = {{outputOpen ? output[0] : -1, POLLIN, 0}, {errorsOpen ? errors[0] : -1, POLLIN, 0},
                         {written < script.size() ? writing : -1, POLLOUT, 0}};
        if (::poll(fds, 3, int(std::min<long long>(left.count(), 1000))) < 0 && errno != EINTR)
            break;
        if (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) {
            const ssize_t count = ::send(writing, script.data() + written, script.size() - written, MSG_NOSIGNAL);
            if (count > 0)
                written += std::size_t(count);
            if ((count < 0 && errno != EAGAIN && errno != EINTR) || written == script.size()) {
                written = script.size();
                ::shutdown(writing, SHUT_WR);
            }
        }
        for (int index = 0; index < 2; ++index) {
            if (!(fds[index].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t count = ::read(fds[index].fd, buffer, sizeof buffer);
            if (count < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            std::string &into = index == 0 ? run.output : errorText;
            if (count <= 0) {
                (index == 0 ? outputOpen : errorsOpen) = false;
                continue;
            }
            into.append(buffer, std::min(std::size_t(count), (index == 0 ? maximumOutput : maximumErrors) - std::min(into.size(), index == 0 ? maximumOutput : maximumErrors)));
        }
    }
    if (outputOpen || errorsOpen)
        ::kill(child, SIGKILL);
    for (const int fd : {input[0], output[0], errors[0]})
        ::close(fd);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    errorText = trimmed(errorText);
    if (timedOut)
        run.reason = "it ran longer than " + std::to_string(limit.count()) + " ms";
    else if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        run.succeeded = true;
    else if (WIFSIGNALED(status))
        run.reason = std::string("the script runner was stopped by ") + ::strsignal(WTERMSIG(status))
            + (WTERMSIG(status) == SIGXCPU ? " (it used too much processor time)" : "");
    else
        run.reason = errorText.empty() ? "the script runner failed" : errorText.substr(0, errorText.find('\n'));
    return run;
}

std::string defaultScriptRunner()
{
    char self[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path = length > 0 ? std::string(self, std::size_t(length)) : std::string();
    return path.substr(0, path.rfind('/') + 1) + "quorvel-pac-runner";
}

} // namespace

ZRSystemProxyResolver::ZRSystemProxyResolver(std::string scriptRunner)
    : _scriptRunner(scriptRunner.empty() ? defaultScriptRunner() : std::move(scriptRunner))
{
}

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
    if (const auto script = scriptNamedBySettings(url)) {
        ZRHTTPRequest::Proxy named;
        named.autoConfigurationURL = *script;
        if (script->empty() && !_discoveryLogged) {
            _discoveryLogged = true;
            ZRLog(QStringLiteral("the proxy settings ask for automatic proxy discovery (WPAD), which Quorvel does not do; going direct"));
        }
        return std::vector<ZRHTTPRequest::Proxy>{named};
    }
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

std::optional<std::string> ZRSystemProxyResolver::scriptNamedBySettings(const std::string &url)
{
    const auto parts = ZRHTTPURL::partsOfURL(url);
    if (!parts)
        return std::nullopt;
    const std::string value = parts->scheme == "https"
        ? environmentValue({"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        : environmentValue({"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"});
    // A proxy named in the environment wins over the desktop's settings; only its scripts are ours.
    if (!value.empty()) {
        if (exemptByNoProxy(lowercase(parts->host)))
            return std::nullopt;
        if (value.rfind("pac+", 0) == 0)
            return value.substr(4);
        if (value.rfind("wpad:", 0) == 0)
            return std::string();
        return std::nullopt;
    }
    if (desktopIs({"KDE"}) || environmentValue({"KDE_FULL_SESSION"}) == "true")
        return scriptNamedByKDE();
    if (desktopIs({"GNOME", "Unity", "Cinnamon", "MATE", "Budgie", "Pantheon"}) || !environmentValue({"GNOME_DESKTOP_SESSION_ID"}).empty())
        return scriptNamedByGNOME();
    return std::nullopt;
}

std::optional<std::vector<ZRHTTPRequest::Proxy>> ZRSystemProxyResolver::proxiesFromScriptAnswer(const std::string &answer)
{
    using Type = ZRHTTPRequest::ProxyType;
    struct Kind {
        const char *name;
        Type type;
        int defaultPort;
    };
    // SOCKS is version 5 as libproxy and Firefox read it; SOCKS5 lets the proxy resolve names.
    static constexpr Kind kinds[] = {{"proxy", Type::http, 80}, {"http", Type::http, 80}, {"https", Type::https, 443},
        {"socks", Type::socks5h, 1080}, {"socks4", Type::socks4, 1080}, {"socks5", Type::socks5h, 1080}};
    std::vector<ZRHTTPRequest::Proxy> proxies;
    std::size_t at = 0;
    while (at < answer.size()) {
        const std::size_t end = std::min(answer.find(';', at), answer.size());
        const std::string entry = trimmed(answer.substr(at, end - at));
        at = end + 1;
        const std::size_t space = entry.find_first_of(" \t");
        const std::string name = lowercase(entry.substr(0, space));
        if (name == "direct") {
            proxies.emplace_back();
            continue;
        }
        const auto kind = std::find_if(std::begin(kinds), std::end(kinds), [&](const Kind &each) { return name == each.name; });
        if (kind == std::end(kinds) || space == std::string::npos)
            continue;
        const std::string target = trimmed(entry.substr(space));
        std::string host = target;
        int port = kind->defaultPort;
        std::string portText;
        if (!target.empty() && target.front() == '[') {
            const std::size_t close = target.find(']');
            if (close == std::string::npos)
                continue;
            host = target.substr(1, close - 1);
            if (close + 1 < target.size() && target[close + 1] == ':')
                portText = target.substr(close + 2);
            else if (close + 1 != target.size())
                continue;
        } else if (const std::size_t colon = target.rfind(':'); colon != std::string::npos && target.find(':') == colon) {
            host = target.substr(0, colon);
            portText = target.substr(colon + 1);
        }
        if (!portText.empty()) {
            if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
                continue;
            port = std::stoi(portText);
        }
        if (host.empty() || host.find_first_of(" \t/@") != std::string::npos || port <= 0 || port > 65535)
            continue;
        ZRHTTPRequest::Proxy proxy;
        proxy.type = kind->type;
        proxy.host = host;
        proxy.port = port;
        proxies.push_back(proxy);
    }
    if (proxies.empty())
        return std::nullopt;
    return proxies;
}

std::optional<std::vector<ZRHTTPRequest::Proxy>> ZRSystemProxyResolver::proxiesFromScript(const std::string &script,
                                                                                          const std::string &url)
{
    const auto parts = ZRHTTPURL::partsOfURL(url);
    if (!parts || parts->host.empty())
        return std::nullopt;
    // The script learns only the origin of an https address, not its path and query.
    std::string shown = url;
    if (parts->scheme == "https") {
        const bool v6 = parts->host.find(':') != std::string::npos;
        shown = "https://" + (v6 ? "[" + parts->host + "]" : parts->host)
            + (parts->port ? ":" + std::to_string(parts->port) : std::string()) + "/";
    }
    const ScriptRun run = runScript(_scriptRunner, script, shown, parts->host, _scriptTimeLimit);
    const QString where = QString::fromStdString(ZRHTTPURL::urlWithoutCredentials(shown));
    if (!run.succeeded) {
        ZRLog(QStringLiteral("the proxy script gave no answer for %1: %2").arg(where, QString::fromStdString(run.reason)));
        return std::nullopt;
    }
    auto proxies = proxiesFromScriptAnswer(run.output);
    if (!proxies)
        ZRLog(QStringLiteral("the proxy script's answer for %1 names no usable proxy: %2")
                  .arg(where, QString::fromStdString(trimmed(run.output).substr(0, 200))));
    return proxies;
}
