// Response bodies on real loopback servers: read sizes, chunked and compressed bodies, bodies of
// redirects and challenges, and the memory and file destinations.
#include "HTTPTestSupport.h"

#include "core/http/ZRDataDecompressor.h"
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestScriptedServer.h"

#include <QDir>
#include <QFile>

namespace {

class ResponseBodyTest : public ScriptedServerTest {
};


std::string toStd(const QByteArray &bytes)
{
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

TEST_F(ResponseBodyTest, readSizesFollowTheAnnouncedLength)
{
    struct Row {
        std::string path;
        std::size_t size;
        std::size_t largestAllowed;
    };
    const Row rows[] = {
        {"/bytes?size=100000", 100000, 65536},
        {"/bytes?size=300000", 300000, 262144},
        {"/chunked?size=100000&chunk=50000", 100000, 16384},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        RecordingDelegate delegate;
        auto request = ZRHTTPRequest::requestWithURL(url(row.path));
        ASSERT_TRUE(runToEnd(request, delegate));
        EXPECT_TRUE(delegate.finished);
        EXPECT_EQ(delegate.body, toStd(ZRTestScriptedServer::patternBytes(0, static_cast<qint64>(row.size))));
        EXPECT_LE(delegate.largestChunk, row.largestAllowed);
        EXPECT_EQ(request->totalBytesRead(), row.size);
        // Unknown until the end, then what was read.
        EXPECT_EQ(request->contentLength(), row.size);
    }
}

TEST_F(ResponseBodyTest, gzipBodyReachesTheDelegateByteForByteAndMemoryInflatesIt)
{
    RecordingDelegate delegate;
    auto request = ZRHTTPRequest::requestWithURL(url("/gzip?size=20000&bytewise=1"));
    ASSERT_TRUE(runToEnd(request, delegate));
    ASSERT_TRUE(delegate.finished) << errorMessage(request);
    EXPECT_TRUE(request->isResponseCompressed());
    EXPECT_EQ(request->requestHeaders().at("Accept-Encoding"), "gzip");
    // Still compressed, exactly as sent.
    const auto inflated = ZRDataDecompressor::uncompressData(delegate.body, nullptr);
    ASSERT_TRUE(inflated.has_value());
    EXPECT_EQ(*inflated, toStd(ZRTestScriptedServer::gzipPlainText(20000)));
    EXPECT_EQ(request->totalBytesRead(), delegate.body.size());

    // Without a delegate that takes the bytes they stay in memory and are inflated on demand,
    // or inflated as they come when asked to.
    for (bool waitToInflate : {true, false}) {
        SCOPED_TRACE(waitToInflate);
        RecordingDelegate silent;
        silent.takesData = false;
        auto inMemory = ZRHTTPRequest::requestWithURL(url("/gzip?size=20000&bytewise=0&chunked=1"));
        inMemory->setShouldWaitToInflateCompressedResponses(waitToInflate);
        ASSERT_TRUE(runToEnd(inMemory, silent));
        ASSERT_TRUE(silent.finished) << errorMessage(inMemory);
        EXPECT_EQ(inMemory->responseData(), toStd(ZRTestScriptedServer::gzipPlainText(20000)));
    }
}

TEST_F(ResponseBodyTest, redirectAndChallengeBodiesAreDeliveredLikeAnyBody)
{
    // A redirect decided by the delegate: the order of what it hears, body included.
    RecordingDelegate delegate;
    delegate.decidesRedirects = true;
    delegate.onWillRedirect = [](ZRHTTPRequest &request, const std::string &target) { request.redirectToURL(target); };
    auto request = ZRHTTPRequest::requestWithURL(url("/redirect-to?url=/bytes%3Fsize%3D10&status=302&body=moved"));
    ASSERT_TRUE(runToEnd(request, delegate));
    ASSERT_TRUE(delegate.finished) << errorMessage(request);
    const std::vector<std::string> expected = {"started", "redirected", "headers 302", "data", "will redirect",
        "started", "headers 200", "data", "finished"};
    EXPECT_EQ(delegate.events, expected);
    EXPECT_EQ(delegate.body, "moved" + toStd(ZRTestScriptedServer::patternBytes(0, 10)));
    EXPECT_EQ(delegate.redirectTargets, std::vector<std::string>{url("/bytes?size=10")});

    // A challenge without anyone to answer it: its body, then code 3.
    RecordingDelegate challenged;
    auto denied = ZRHTTPRequest::requestWithURL(url("/status/401?body=denied"));
    ASSERT_TRUE(runToEnd(denied, challenged));
    EXPECT_TRUE(challenged.failed);
    EXPECT_EQ(challenged.body, "denied");
    EXPECT_EQ(errorCode(denied), 3);
    EXPECT_EQ(errorMessage(denied), "Authentication needed");
    EXPECT_EQ(denied->authenticationNeeded(), 1);
}

TEST_F(ResponseBodyTest, aDelegateThatAnswersChallengesIsAskedAndMayGiveUp)
{
    RecordingDelegate delegate;
    delegate.answersAuthentication = true;
    delegate.onAuthentication = [](ZRHTTPRequest &request) { request.cancelAuthentication(); };
    auto request = ZRHTTPRequest::requestWithURL(url("/status/407?body=proxy"));
    ASSERT_TRUE(runToEnd(request, delegate));
    EXPECT_EQ(delegate.count("proxy authentication"), 1u);
    EXPECT_EQ(errorCode(request), 3);

    // Dropping a request that waits for credentials frees its slot in the queue.
    RecordingDelegate waiting;
    waiting.answersAuthentication = true;
    auto held = ZRHTTPRequest::requestWithURL(url("/status/401"));
    held->setDelegate(&waiting);
    held->startAsynchronous();
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return waiting.count("authentication") == 1; }));
    EXPECT_EQ(ZRHTTPRequest::sharedQueue().runningOperationCount(), 1u);
    held->clearDelegatesAndCancel();
    EXPECT_TRUE(ZRTestSupport::waitUntil([&] { return held->isFinished(); }));
    EXPECT_EQ(errorCode(held), 4);
}

TEST_F(ResponseBodyTest, truncatedBodyIsAFailureNotASuccess)
{
    RecordingDelegate delegate;
    auto request = ZRHTTPRequest::requestWithURL(url("/truncate?size=1000&send=500"));
    ASSERT_TRUE(runToEnd(request, delegate));
    EXPECT_TRUE(delegate.failed);
    EXPECT_EQ(errorCode(request), 1);
    EXPECT_EQ(errorMessage(request), "A connection failure occurred");
    ASSERT_TRUE(request->error()->underlyingError);
    EXPECT_EQ(request->error()->underlyingError->domain, ZRHTTPTransportErrorDomain);
    // What did arrive is delivered, header first, before the failure: a caller can keep it. "started"
    // is dropped when the failure is already set by the time it runs on the caller's thread.
    std::vector<std::string> events = delegate.events;
    if (!events.empty() && events.front() == "started")
        events.erase(events.begin());
    EXPECT_EQ(events, (std::vector<std::string>{"headers 200", "data", "failed"}));
    EXPECT_EQ(delegate.body, ZRTestScriptedServer::patternBytes(0, 500).toStdString());
}

class FileDestinationTest : public ScriptedServerTest {
protected:
    void SetUp() override
    {
        ScriptedServerTest::SetUp();
        folder = QDir(ZRTestSupport::sandboxRoot()).filePath(QStringLiteral("files"));
        QDir().mkpath(folder);
    }
    std::string path(const char *name) const { return QDir(folder).filePath(QString::fromLatin1(name)).toStdString(); }

    QString folder;
};

TEST_F(FileDestinationTest, resumesATemporaryFileOrStartsOverWhenRangeIsIgnored)
{
    const QByteArray whole = ZRTestScriptedServer::patternBytes(0, 50000);
    struct Row {
        const char *path;
        bool serverHonoursRange;
    };
    for (const Row &row : {Row{"/range?size=50000", true}, Row{"/ignore-range?size=50000", false}}) {
        SCOPED_TRACE(row.path);
        const std::string temporary = path("partial");
        const std::string destination = path("complete");
        ASSERT_TRUE(ZRTestSupport::writeFile(QString::fromStdString(temporary), whole.left(12345)));
        QFile::remove(QString::fromStdString(destination));

        RecordingDelegate delegate;
        delegate.takesData = false;
        auto request = ZRHTTPRequest::requestWithURL(server->urlString(row.path));
        request->setDownloadDestinationPath(destination);
        request->setTemporaryFileDownloadPath(temporary);
        request->setAllowResumeForFileDownloads(true);
        ASSERT_TRUE(runToEnd(request, delegate));
        ASSERT_TRUE(delegate.finished) << errorMessage(request);
        EXPECT_EQ(request->requestHeaders().at("Range"), "bytes=12345-");
        EXPECT_EQ(request->responseStatusCode(), row.serverHonoursRange ? 206 : 200);
        EXPECT_EQ(request->partialDownloadSize(), row.serverHonoursRange ? 12345u : 0u);
        EXPECT_EQ(ZRTestSupport::readFile(QString::fromStdString(destination)), whole);
        EXPECT_FALSE(QFile::exists(QString::fromStdString(temporary)));
    }
}

TEST_F(FileDestinationTest, compressedBodyIsInflatedIntoTheDestinationAndCancelKeepsOnlyResumableFiles)
{
    const std::string destination = path("text");
    RecordingDelegate delegate;
    delegate.takesData = false;
    auto request = ZRHTTPRequest::requestWithURL(server->urlString("/gzip?size=30000&bytewise=0"));
    request->setDownloadDestinationPath(destination);
    ASSERT_TRUE(runToEnd(request, delegate));
    ASSERT_TRUE(delegate.finished) << errorMessage(request);
    EXPECT_EQ(ZRTestSupport::readFile(QString::fromStdString(destination)), ZRTestScriptedServer::gzipPlainText(30000));

    for (bool resumable : {true, false}) {
        SCOPED_TRACE(resumable);
        const std::string temporary = path(resumable ? "kept" : "dropped");
        RecordingDelegate stalled;
        stalled.takesData = false;
        auto stalling = ZRHTTPRequest::requestWithURL(server->urlString("/stall?size=1000&after=300&seconds=30"));
        stalling->setDownloadDestinationPath(path("never"));
        stalling->setTemporaryFileDownloadPath(temporary);
        stalling->setAllowResumeForFileDownloads(resumable);
        stalling->setDelegate(&stalled);
        stalling->startAsynchronous();
        ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return stalling->totalBytesRead() == 300; }));
        stalling->cancel();
        ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return stalled.failed; }));
        EXPECT_EQ(errorCode(stalling), 4);
        EXPECT_EQ(QFile::exists(QString::fromStdString(temporary)), resumable);
        if (resumable) {
            EXPECT_EQ(ZRTestSupport::readFile(QString::fromStdString(temporary)), ZRTestScriptedServer::patternBytes(0, 300));
        }
    }
}

TEST_F(ResponseBodyTest, bodiesFromNginxOverHTTPAndHTTPS)
{
    ZRTestNginx nginx;
    ZR_START_NGINX_OR_SKIP(nginx);
    const QByteArray pattern = ZRTestScriptedServer::patternBytes(0, 1000000);
    ASSERT_TRUE(nginx.addFile(QStringLiteral("file.bin"), pattern));

    RecordingDelegate plain;
    auto request = ZRHTTPRequest::requestWithURL(nginx.httpURLString("/file.bin"));
    ASSERT_TRUE(runToEnd(request, plain));
    ASSERT_TRUE(plain.finished) << errorMessage(request);
    EXPECT_EQ(plain.body, toStd(pattern));
    EXPECT_EQ(request->contentLength(), 1000000u);

    // A self-signed certificate fails validation with the SSL message...
    RecordingDelegate refused;
    auto secure = ZRHTTPRequest::requestWithURL(nginx.httpsURLString("/file.bin"));
    ASSERT_TRUE(runToEnd(secure, refused));
    EXPECT_EQ(errorCode(secure), 1);
    EXPECT_EQ(errorMessage(secure),
        "A connection failure occurred: SSL problem (Possible causes may include a bad/expired/self-signed "
        "certificate, clock set to wrong date)");

    // ...and passes with validation off.
    RecordingDelegate accepted;
    auto unchecked = ZRHTTPRequest::requestWithURL(nginx.httpsURLString("/file.bin"));
    unchecked->setValidatesSecureCertificate(false);
    ASSERT_TRUE(runToEnd(unchecked, accepted));
    ASSERT_TRUE(accepted.finished) << errorMessage(unchecked);
    EXPECT_EQ(accepted.body, toStd(pattern));
}

// A response header beyond what the engine (or curl) takes ends the request as a failure with its
// reason, asked once: sending again would bring the same header.
TEST_F(ResponseBodyTest, aResponseHeaderTooLargeFailsWithItsReason)
{
    HelperServer server(QStringLiteral("big-header"));
    ZR_START_HELPER_OR_SKIP(server);
    struct Row {
        std::string path;
        bool fits;
    };
    for (const Row &row : {Row{"/100000", true}, Row{"/2000000", false}, Row{"/line-200000", false}}) {
        SCOPED_TRACE(row.path);
        RecordingDelegate delegate;
        auto request = ZRHTTPRequest::requestWithURL("http://127.0.0.1:" + std::to_string(server.port()) + row.path);
        ASSERT_TRUE(runToEnd(request, delegate));
        EXPECT_EQ(delegate.finished, row.fits) << errorMessage(request);
        EXPECT_EQ(delegate.body, row.fits ? "ok" : "");
        if (!row.fits) {
            EXPECT_EQ(errorMessage(request), "response header too large");
            EXPECT_EQ(delegate.count("headers 200"), 0u);
        }
    }
    EXPECT_EQ(server.logLines().size(), 3) << "each asked once";
}

} // namespace
