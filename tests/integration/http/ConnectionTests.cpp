// Connections on the scripted server: keep-alive decisions and re-use, the one retry after a lost
// connection, the inactivity time-out and its retries.
#include "HTTPTestSupport.h"

#include "core/http/ZRHTTPConnectionPool.h"
#include "tests/support/ZRTestScriptedServer.h"

#include <QElapsedTimer>

namespace {

class ConnectionTest : public ScriptedServerTest {
protected:

    // Runs one request to its end and returns the server's connection number for it.
    std::string connectionOf(const std::string &path, std::shared_ptr<ZRHTTPRequest> *out = nullptr)
    {
        RecordingDelegate delegate;
        auto request = ZRHTTPRequest::requestWithURL(url(path));
        EXPECT_TRUE(runToEnd(request, delegate));
        EXPECT_TRUE(delegate.finished) << errorMessage(request);
        if (out)
            *out = request;
        const auto found = delegate.lastHeaders.find("X-Connection-ID");
        return found != delegate.lastHeaders.end() ? found->second : std::string("?");
    }

};

TEST_F(ConnectionTest, keepAliveHeadersDecideWhetherTheConnectionIsUsedAgain)
{
    struct Row {
        std::string path;
        bool reusable;
        double timeout;
    };
    const Row rows[] = {
        {"/keepalive?timeout=15&max=100", true, 15},
        {"/keepalive", true, 60},
        {"/keepalive?timeout=5&max=5", false, 60},
        {"/keepalive?close=1", false, 60},
        {"/keepalive?http10=1", false, 60},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        std::shared_ptr<ZRHTTPRequest> first;
        const std::string firstConnection = connectionOf(row.path, &first);
        EXPECT_EQ(first->connectionCanBeReused(), row.reusable);
        EXPECT_EQ(first->persistentConnectionTimeoutSeconds(), row.timeout);
        const std::string secondConnection = connectionOf("/bytes?size=10");
        EXPECT_EQ(firstConnection == secondConnection, row.reusable)
            << firstConnection << " then " << secondConnection;
        // Leave no idle connection behind for the next row.
        connectionOf("/keepalive?close=1");
    }
}

TEST_F(ConnectionTest, aRequestWithoutPersistenceUsesAFreshConnection)
{
    const std::string first = connectionOf("/bytes?size=10");
    RecordingDelegate delegate;
    auto request = ZRHTTPRequest::requestWithURL(url("/echo"));
    request->setRequestMethod("POST");
    request->appendPostData("x=1");
    EXPECT_FALSE(request->shouldAttemptPersistentConnection());
    ASSERT_TRUE(runToEnd(request, delegate));
    ASSERT_TRUE(delegate.finished) << errorMessage(request);
    EXPECT_NE(delegate.lastHeaders.at("X-Connection-ID"), first);
    EXPECT_NE(delegate.body.find("POST /echo"), std::string::npos);
    EXPECT_NE(delegate.body.find("x=1"), std::string::npos);
    EXPECT_EQ(request->connectionID(), 0);
}

TEST_F(ConnectionTest, aServerThatClosesAReusedConnectionCostsNothing)
{
    // Start from a fresh connection: the server drops only requests on re-used ones.
    connectionOf("/keepalive?close=1");
    const std::string first = connectionOf("/drop-reused?key=a");
    std::shared_ptr<ZRHTTPRequest> second;
    const std::string secondConnection = connectionOf("/drop-reused?key=a", &second);
    EXPECT_NE(first, secondConnection);
    EXPECT_EQ(second->responseStatusCode(), 200);
}

TEST_F(ConnectionTest, aLostConnectionIsRetriedOnceOnANewOne)
{
    HelperServer dropping(QStringLiteral("drop-first"));
    ZR_START_HELPER_OR_SKIP(dropping);
    RecordingDelegate delegate;
    auto request = ZRHTTPRequest::requestWithURL("http://127.0.0.1:" + std::to_string(dropping.port()) + "/x");
    ASSERT_TRUE(runToEnd(request, delegate));
    ASSERT_TRUE(delegate.finished) << errorMessage(request);
    EXPECT_EQ(delegate.body, "second try");
    EXPECT_EQ(request->retryCount(), 1);
    EXPECT_EQ(delegate.count("started"), 2u);
    EXPECT_EQ(dropping.logLines().size(), 2);

    // A second loss is reported.
    HelperServer alwaysDropping(QStringLiteral("drop-always"));
    ZR_START_HELPER_OR_SKIP(alwaysDropping);
    RecordingDelegate twice;
    auto failing = ZRHTTPRequest::requestWithURL("http://127.0.0.1:" + std::to_string(alwaysDropping.port()) + "/x");
    ASSERT_TRUE(runToEnd(failing, twice));
    EXPECT_TRUE(twice.failed);
    EXPECT_EQ(errorCode(failing), 1);
    EXPECT_EQ(errorMessage(failing), "A connection failure occurred");
    EXPECT_EQ(failing->retryCount(), 1);
    EXPECT_EQ(alwaysDropping.logLines().size(), 2);
}

TEST_F(ConnectionTest, aConnectionLostInTheBodyIsReportedAfterItsBytesNotRetried)
{
    // Sending the request again would hand the caller the start of the body a second time.
    HelperServer resetting(QStringLiteral("reset-body"));
    ZR_START_HELPER_OR_SKIP(resetting);
    RecordingDelegate delegate;
    auto request = ZRHTTPRequest::requestWithURL("http://127.0.0.1:" + std::to_string(resetting.port()) + "/x");
    ASSERT_TRUE(runToEnd(request, delegate));
    EXPECT_TRUE(delegate.failed);
    EXPECT_EQ(errorCode(request), 1);
    EXPECT_EQ(request->retryCount(), 0);
    EXPECT_EQ(resetting.logLines().size(), 1);
    EXPECT_EQ(delegate.body, std::string(400, 'a'));
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"started", "headers 200", "data", "failed"}));
}

TEST_F(ConnectionTest, aStallTimesOutAfterTheLimitAndRetriesWhenAllowed)
{
    RecordingDelegate delegate;
    auto request = ZRHTTPRequest::requestWithURL(url("/stall?size=1000&after=100&seconds=20"));
    request->setTimeOutSeconds(1.0);
    request->setDelegate(&delegate);
    QElapsedTimer sinceLastByte;
    delegate.onHeaders = [&](ZRHTTPRequest &) { sinceLastByte.start(); };
    request->startAsynchronous();
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return delegate.done(); }, 5000));
    const qint64 elapsed = sinceLastByte.elapsed();
    EXPECT_EQ(errorCode(request), 2);
    EXPECT_EQ(errorMessage(request), "The request timed out");
    EXPECT_EQ(delegate.body.size(), 100u);
    // The limit, plus at most one status check and the hand-off.
    EXPECT_GE(elapsed, 900);
    EXPECT_LE(elapsed, 1700);

    RecordingDelegate retried;
    auto retrying = ZRHTTPRequest::requestWithURL(url("/stall?size=1000&after=100&seconds=20"));
    retrying->setTimeOutSeconds(0.5);
    retrying->setNumberOfTimesToRetryOnTimeout(2);
    ASSERT_TRUE(runToEnd(retrying, retried, 6000));
    EXPECT_EQ(errorCode(retrying), 2);
    EXPECT_EQ(retrying->retryCount(), 2);
    EXPECT_EQ(retried.count("started"), 3u);
}

TEST_F(ConnectionTest, aSlowButSteadyBodyDoesNotTimeOut)
{
    // One compressed byte every 20 ms for well over the limit in total.
    RecordingDelegate delegate;
    auto request = ZRHTTPRequest::requestWithURL(url("/gzip?size=400&bytewise=1&delay=0.02"));
    request->setTimeOutSeconds(0.5);
    ASSERT_TRUE(runToEnd(request, delegate, 15000));
    EXPECT_TRUE(delegate.finished) << errorMessage(request);
}

} // namespace
