// An nginx fixture on 127.0.0.1 for the engine's tests: a document root the test fills, served
// over HTTP, HTTPS (a self-signed certificate made at start) and a third port whose connections are
// rate-limited, all with keep-alive and byte ranges; "/private/" asks for Basic credentials
// (user "user", password "secret", realm "quorvel-private"). Every path lives in a temporary folder; the
// server runs in the foreground as a child and is stopped by its PID.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <string>

class QProcess;
class QTemporaryDir;

class ZRTestNginx
{
public:
    struct Options
    {
        // Bytes per second per connection on the limited port and under "/limited/" of the HTTP port;
        // "/no-ranges/" of the HTTP port is limited too and serves no byte ranges.
        qint64 limitRateBytesPerSecond = 20 * 1024 * 1024;
        bool https = true;
    };

    ZRTestNginx();
    explicit ZRTestNginx(Options options);
    ~ZRTestNginx();
    ZRTestNginx(const ZRTestNginx &) = delete;
    ZRTestNginx &operator=(const ZRTestNginx &) = delete;

    static QString nginxPath(); // "/usr/sbin/nginx"
    static bool isAvailable();

    // Writes the configuration, picks free ports (retrying when one is taken meanwhile) and waits
    // until the server answers; false with errorString() on failure.
    bool start();
    // Stops the server and starts it again on the same ports (a server that went away and came back).
    bool restart();
    void stop();
    bool isRunning() const;
    qint64 pid() const;
    QString errorString() const { return _errorString; }

    // The folder served at "/"; files may be added before or after start.
    QString documentRoot() const;
    bool addFile(const QString &relativePath, const QByteArray &bytes);
    // A file of `size` pattern bytes (byte i is i % 251), written in blocks.
    bool addPatternFile(const QString &relativePath, qint64 size);

    quint16 httpPort() const { return _httpPort; }
    quint16 httpsPort() const { return _httpsPort; }   // 0 when HTTPS is off
    quint16 limitedPort() const { return _limitedPort; }

    // Base + path; path starts with "/".
    QString httpURL(const QString &path) const;
    QString httpsURL(const QString &path) const;
    QString limitedURL(const QString &path) const;
    std::string httpURLString(const std::string &path) const;
    std::string httpsURLString(const std::string &path) const;
    std::string limitedURLString(const std::string &path) const;

    QString certificatePath() const;
    QString errorLog() const;
    QString accessLog() const; // one line per request: "$remote_port $request $status $bytes_sent"
    QString rangeLog() const;  // one line per request: "$uri $http_range $status $bytes_sent" ("-" without Range)

private:
    bool makeCertificate();
    bool writeConfiguration(const QString &token);
    bool waitUntilServing(const QString &token);
    bool launch();

    Options _options;
    std::unique_ptr<QTemporaryDir> _folder;
    std::unique_ptr<QProcess> _process;
    quint16 _httpPort = 0;
    quint16 _httpsPort = 0;
    quint16 _limitedPort = 0;
    QString _errorString;
};

// Starts the fixture, or skips the test when nginx is not installed.
#define ZR_START_NGINX_OR_SKIP(server)                                                             \
    do {                                                                                           \
        if (!ZRTestNginx::isAvailable())                                                           \
            GTEST_SKIP() << "nginx is not installed at /usr/sbin/nginx (apt-get install nginx-light)"; \
        ASSERT_TRUE((server).start()) << (server).errorString().toStdString();                     \
    } while (0)
