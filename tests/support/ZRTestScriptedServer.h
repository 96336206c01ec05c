// Launches tests/support/scripted_server.py on 127.0.0.1 for fault scenarios that nginx cannot
// play on demand (redirect chains, dropped connections, stalls, byte-wise gzip...). The scenario
// table is documented at the top of the script.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class QProcess;

class ZRTestScriptedServer
{
public:
    ZRTestScriptedServer();
    ~ZRTestScriptedServer();
    ZRTestScriptedServer(const ZRTestScriptedServer &) = delete;
    ZRTestScriptedServer &operator=(const ZRTestScriptedServer &) = delete;

    // Starts the script and waits for the port it prints; false with errorString() on failure.
    bool start();
    void stop();
    bool isRunning() const;
    QString errorString() const { return _errorString; }

    // Main thread.
    quint16 port() const { return _port; }
    // "http://127.0.0.1:PORT" + path (path starts with "/").
    QString url(const QString &path) const;
    std::string urlString(const std::string &path) const;
    // The body of a blocking GET of the path (HTTP/1.0, read until the server closes); empty on
    // failure. For the scenarios' own logs, not for what a test examines of the engine.
    QByteArray get(const QString &path) const;

    // The pattern body of the "/bytes", "/range", "/chunked" ... scenarios: byte i is i % 251.
    static QByteArray patternBytes(qint64 offset, qint64 length);
    // The uncompressed text that "/gzip?size=N" sends compressed.
    static QByteArray gzipPlainText(qint64 size);

    // Whether a Python 3 interpreter exists; tests skip otherwise.
    static QString pythonPath();

private:
    std::unique_ptr<QProcess> _process;
    quint16 _port = 0;
    QString _errorString;
};

// Starts the server or skips the test when no Python 3 is installed.
#define ZR_START_SCRIPTED_SERVER_OR_SKIP(server)                                                   \
    do {                                                                                           \
        if (ZRTestScriptedServer::pythonPath().isEmpty())                                          \
            GTEST_SKIP() << "python3 is not installed; the scripted test server cannot run";      \
        ASSERT_TRUE((server).start()) << (server).errorString().toStdString();                     \
    } while (0)
