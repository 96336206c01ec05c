// Real proxies on 127.0.0.1 for the engine's proxy tests: squid (HTTP, CONNECT, Basic proxy
// credentials "user" / "secret" with realm "quorvel-proxy") and dante (SOCKS 5, resolving through a
// hosts file of the test's own when a private mount namespace can be had). Each runs in the
// foreground as a child in a temporary folder, on a port picked free, and is stopped with it.
#pragma once

#include <QString>

#include <memory>

class QProcess;
class QTemporaryDir;

class ZRTestProxyDaemon {
public:
    enum class Kind { squid, dante };
    explicit ZRTestProxyDaemon(Kind kind);
    ~ZRTestProxyDaemon();
    ZRTestProxyDaemon(const ZRTestProxyDaemon &) = delete;
    ZRTestProxyDaemon &operator=(const ZRTestProxyDaemon &) = delete;

    // The program's path, or empty when it is not installed.
    static QString programPath(Kind kind);
    // Whether dante can get a hosts file of its own (root and unshare).
    static bool canIsolateNames();

    // squid: with requireCredentials, every request needs Basic proxy credentials. dante: the names
    // in extraHosts ("127.0.0.1 name" lines) resolve for the proxy alone.
    bool start(bool requireCredentials = true, const QString &extraHosts = QString());
    void stop();
    quint16 port() const { return _port; }
    QString errorString() const { return _errorString; }
    QString log() const;

private:
    bool waitUntilListening();

    Kind _kind;
    std::unique_ptr<QTemporaryDir> _folder;
    std::unique_ptr<QProcess> _process;
    quint16 _port = 0;
    QString _errorString;
};

#define ZR_START_PROXY_OR_SKIP(daemon, kind, ...)                                                                     \
    do {                                                                                                             \
        if (ZRTestProxyDaemon::programPath(kind).isEmpty())                                                          \
            GTEST_SKIP() << "the proxy daemon is not installed (scripts/deps.sh --test installs squid and dante-server)"; \
        ASSERT_TRUE((daemon).start(__VA_ARGS__)) << (daemon).errorString().toStdString();                            \
    } while (0)
