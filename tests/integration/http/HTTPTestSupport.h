// Shared pieces of the engine's integration tests: a delegate that records what it is told, the
// callback hand-off onto the Qt loop, and a launcher for the helper servers of this folder.
#pragma once

#include "core/http/ZRHTTPRequest.h"
#include "core/http/ZRHTTPRequestDelegate.h"
#include "core/http/ZRHTTPRequestQueue.h"
#include "tests/support/ZRTestScriptedServer.h"
#include "tests/support/ZRTestSupport.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class RecordingDelegate : public ZRHTTPRequestDelegate {
public:
    // Fixed before the request starts: the request thread asks these.
    bool takesData = true;
    bool decidesRedirects = false;
    bool answersAuthentication = false;

    std::vector<std::string> events;
    std::string body;
    std::size_t largestChunk = 0;
    std::size_t chunkCount = 0;
    ZRHTTPHeaders lastHeaders;
    std::vector<std::string> redirectTargets;
    bool finished = false;
    bool failed = false;
    std::function<void(ZRHTTPRequest &, const std::string &)> onWillRedirect;
    std::function<void(ZRHTTPRequest &)> onHeaders;
    std::function<void(ZRHTTPRequest &)> onAuthentication;

    bool done() const { return finished || failed; }
    std::size_t count(const std::string &event) const
    {
        return static_cast<std::size_t>(std::count(events.begin(), events.end(), event));
    }

    std::vector<std::uint64_t> startedAt; // sequence numbers shared by all delegates
    void requestStarted(ZRHTTPRequest &) override
    {
        static std::uint64_t sequence = 0;
        events.push_back("started");
        startedAt.push_back(++sequence);
    }
    void requestDidReceiveResponseHeaders(ZRHTTPRequest &request, const ZRHTTPHeaders &headers) override
    {
        events.push_back("headers " + std::to_string(request.responseStatusCode()));
        lastHeaders = headers;
        if (onHeaders)
            onHeaders(request);
    }
    void requestRedirected(ZRHTTPRequest &) override { events.push_back("redirected"); }
    void requestDidReceiveData(ZRHTTPRequest &, const std::string &data) override
    {
        if (events.empty() || events.back() != "data")
            events.push_back("data");
        body += data;
        largestChunk = std::max(largestChunk, data.size());
        ++chunkCount;
    }
    bool respondsToDidReceiveData() const override { return takesData; }
    void requestWillRedirectToURL(ZRHTTPRequest &request, const std::string &url) override
    {
        events.push_back("will redirect");
        redirectTargets.push_back(url);
        if (onWillRedirect)
            onWillRedirect(request, url);
    }
    bool respondsToWillRedirect() const override { return decidesRedirects; }
    void authenticationNeededForRequest(ZRHTTPRequest &request) override
    {
        events.push_back("authentication");
        if (onAuthentication)
            onAuthentication(request);
    }
    void proxyAuthenticationNeededForRequest(ZRHTTPRequest &request) override
    {
        events.push_back("proxy authentication");
        if (onAuthentication)
            onAuthentication(request);
    }
    bool respondsToAuthenticationNeeded() const override { return answersAuthentication; }
    void requestFinished(ZRHTTPRequest &) override
    {
        events.push_back("finished");
        finished = true;
    }
    void requestFailed(ZRHTTPRequest &) override
    {
        events.push_back("failed");
        failed = true;
    }
};

// One scripted server for the whole test program, started on first use and stopped after the
// last test; none when it cannot run here.
ZRTestScriptedServer *sharedScriptedServer();

// Callbacks reach the test's thread as queued calls on its Qt loop, as they do in the application.
void installQtCallbackExecutor();

// Common set-up: Qt hand-off, no cap, the default queue width; tear-down waits for the queue to drain.
class HTTPEngineTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the request and runs the Qt loop until the delegate heard the end (or the time-out).
    static bool runToEnd(const std::shared_ptr<ZRHTTPRequest> &request, RecordingDelegate &delegate,
        int timeoutMilliseconds = 10000);
    static std::string errorMessage(const std::shared_ptr<ZRHTTPRequest> &request);
    static int errorCode(const std::shared_ptr<ZRHTTPRequest> &request);
};

// Tests against the shared scripted server.
class ScriptedServerTest : public HTTPEngineTest {
protected:
    void SetUp() override;
    std::string url(const std::string &path) const { return server->urlString(path); }

    ZRTestScriptedServer *server = nullptr;
};

// One of helper_servers.py's modes on 127.0.0.1, with the log of what it saw.
class HelperServer {
public:
    explicit HelperServer(const QString &mode);
    ~HelperServer();
    bool start();
    quint16 port() const { return _port; }
    QStringList logLines() const;
    QString errorString() const { return _errorString; }

private:
    QString _mode;
    QTemporaryDir _folder;
    std::unique_ptr<QProcess> _process;
    quint16 _port = 0;
    QString _errorString;
};

#define ZR_START_HELPER_OR_SKIP(server)                                                                              \
    do {                                                                                                              \
        if (ZRTestScriptedServer::pythonPath().isEmpty())                                                             \
            GTEST_SKIP() << "python3 is not installed; the helper servers cannot run";                                \
        ASSERT_TRUE((server).start()) << (server).errorString().toStdString();                                        \
    } while (0)
