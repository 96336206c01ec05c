// Control of requests: the queue's limit, cancelling in every state, refusing unsafe header fields,
// cookies from the shared store, and explicit proxies.
#include "HTTPTestSupport.h"

#include "core/http/ZRHTTPCookieStore.h"
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestScriptedServer.h"

namespace {

class RequestControlTest : public ScriptedServerTest {
protected:
    // The request lines the server has seen, "<connection> <index> <method> <target>".
    std::string requestLog()
    {
        RecordingDelegate delegate;
        auto request = ZRHTTPRequest::requestWithURL(url("/requests"));
        runToEnd(request, delegate);
        return delegate.body;
    }

};

TEST_F(RequestControlTest, theQueueRunsAtMostItsLimitInOrder)
{
    ZRHTTPRequest::sharedQueue().setMaxConcurrentOperationCount(2);
    std::vector<std::unique_ptr<RecordingDelegate>> delegates;
    std::vector<std::shared_ptr<ZRHTTPRequest>> requests;
    std::size_t mostRunning = 0;
    for (int index = 0; index < 5; ++index) {
        delegates.push_back(std::make_unique<RecordingDelegate>());
        requests.push_back(ZRHTTPRequest::requestWithURL(url("/delay?seconds=0.2&i=" + std::to_string(index))));
        requests.back()->setDelegate(delegates.back().get());
        requests.back()->startAsynchronous();
    }
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] {
        mostRunning = std::max(mostRunning, ZRHTTPRequest::sharedQueue().runningOperationCount());
        return std::all_of(delegates.begin(), delegates.end(), [](const auto &d) { return d->finished; });
    }));
    EXPECT_EQ(mostRunning, 2u);
    // Admitted in the order added: each one's connection starts after its predecessor's.
    for (int index = 0; index < 5; ++index) {
        const auto &started = delegates[static_cast<std::size_t>(index)]->startedAt;
        ASSERT_EQ(started.size(), 1u);
        if (index > 0) {
            EXPECT_LE(delegates[static_cast<std::size_t>(index) - 1]->startedAt.front(), started.front());
        }
    }
}

TEST_F(RequestControlTest, cancellingAQueuedRequestFinishesItWithoutAConnection)
{
    ZRHTTPRequest::sharedQueue().setMaxConcurrentOperationCount(1);
    RecordingDelegate running;
    auto blocker = ZRHTTPRequest::requestWithURL(url("/delay?seconds=1"));
    blocker->setDelegate(&running);
    blocker->startAsynchronous();
    RecordingDelegate queued;
    auto waiting = ZRHTTPRequest::requestWithURL(url("/bytes?size=10&never=1"));
    waiting->setDelegate(&queued);
    waiting->startAsynchronous();
    waiting->cancel();
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return queued.failed; }, 500)) << "cancel waits for no slot";
    EXPECT_TRUE(waiting->isFinished());
    EXPECT_TRUE(waiting->isCancelled());
    EXPECT_EQ(errorCode(waiting), 4);
    EXPECT_EQ(queued.events, std::vector<std::string>{"failed"});
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return running.finished; }));
    EXPECT_EQ(requestLog().find("never=1"), std::string::npos);
    // Cancelling what has ended changes nothing.
    blocker->cancel();
    ZRTestSupport::processEventsFor(100);
    EXPECT_FALSE(blocker->error());
}

TEST_F(RequestControlTest, afterClearDelegatesAndCancelNoCallbackArrives)
{
    for (const char *path : {"/stall?size=1000&after=100&seconds=10", "/bytes?size=300000", "/delay?seconds=0.3"}) {
        SCOPED_TRACE(path);
        RecordingDelegate delegate;
        auto request = ZRHTTPRequest::requestWithURL(url(path));
        request->setDelegate(&delegate);
        request->startAsynchronous();
        // Callbacks may already be queued; they must find the delegate gone.
        request->clearDelegatesAndCancel();
        ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return request->isFinished(); }));
        ZRTestSupport::processEventsFor(150);
        EXPECT_TRUE(delegate.events.empty()) << delegate.events.front();
        EXPECT_EQ(errorCode(request), 4);
    }
}

TEST_F(RequestControlTest, unsafeHeaderFieldsFailTheRequestBeforeAnythingIsSent)
{
    struct Row {
        std::string name;
        std::string value;
    };
    const Row rows[] = {
        {"Referer", "http://a.example/\r\nX-Injected: 1"},
        {"User-Agent", std::string("Agent\0Hidden", 12)},
        {"X-Bad\nName", "v"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        RecordingDelegate delegate;
        auto request = ZRHTTPRequest::requestWithURL(url("/echo?unsafe=1"));
        request->addRequestHeader(row.name, row.value);
        ASSERT_TRUE(runToEnd(request, delegate));
        EXPECT_EQ(delegate.events, std::vector<std::string>{"failed"});
        EXPECT_EQ(errorCode(request), 5);
        EXPECT_EQ(errorMessage(request), "Unable to create request (invalid header field '" + row.name + "')");
    }
    // So does a user agent set on the request.
    RecordingDelegate delegate;
    auto request = ZRHTTPRequest::requestWithURL(url("/echo?unsafe=1"));
    request->setUserAgentString("Agent\r\nX-Injected: 1");
    ASSERT_TRUE(runToEnd(request, delegate));
    EXPECT_EQ(errorMessage(request), "Unable to create request (invalid header field 'User-Agent')");
    EXPECT_EQ(requestLog().find("unsafe=1"), std::string::npos);

    RecordingDelegate badURL;
    auto unusable = ZRHTTPRequest::requestWithURL("");
    ASSERT_TRUE(runToEnd(unusable, badURL));
    EXPECT_EQ(errorCode(unusable), 5);
    EXPECT_EQ(errorMessage(unusable), "Unable to create request (bad url?)");
}

TEST_F(RequestControlTest, cookiesComeFromTheOneSharedStore)
{
    ZRHTTPCookieStore::sharedStore().removeAllCookies();
    RecordingDelegate setter;
    auto setting = ZRHTTPRequest::requestWithURL(url("/set-cookie?name=flavour&value=oat"));
    ASSERT_TRUE(runToEnd(setting, setter));
    ASSERT_TRUE(setter.finished);
    ASSERT_EQ(ZRHTTPCookieStore::sharedStore().allCookieLines().size(), 1u);

    struct Row {
        bool useCookiePersistence;
        const char *callerCookie;
        const char *expected; // nullptr: no Cookie field
    };
    for (const Row row : {Row{true, nullptr, "Cookie: flavour=oat"}, Row{true, "extra=1", "Cookie: flavour=oat; extra=1"},
             Row{false, nullptr, nullptr}, Row{false, "extra=1", "Cookie: extra=1"}}) {
        SCOPED_TRACE(row.useCookiePersistence);
        RecordingDelegate delegate;
        auto request = ZRHTTPRequest::requestWithURL(url("/echo"));
        request->setUseCookiePersistence(row.useCookiePersistence);
        if (row.callerCookie)
            request->addRequestHeader("Cookie", row.callerCookie);
        ASSERT_TRUE(runToEnd(request, delegate));
        if (row.expected) {
            EXPECT_NE(delegate.body.find(std::string(row.expected) + "\r\n"), std::string::npos) << delegate.body;
            // One field, never two.
            EXPECT_EQ(delegate.body.find("Cookie:"), delegate.body.rfind("Cookie:"));
        } else {
            EXPECT_EQ(delegate.body.find("Cookie:"), std::string::npos) << delegate.body;
        }
    }
    ZRHTTPCookieStore::sharedStore().removeAllCookies();
}

TEST_F(RequestControlTest, anExplicitProxyCarriesTheRequest)
{
    HelperServer proxy(QStringLiteral("proxy"));
    ZR_START_HELPER_OR_SKIP(proxy);
    HelperServer socks(QStringLiteral("socks"));
    ZR_START_HELPER_OR_SKIP(socks);

    // Plain HTTP through an HTTP proxy: the absolute form goes to the proxy.
    RecordingDelegate viaProxy;
    auto request = ZRHTTPRequest::requestWithURL(url("/bytes?size=64&via=http"));
    request->setProxyHost("127.0.0.1");
    request->setProxyPort(proxy.port());
    ASSERT_TRUE(runToEnd(request, viaProxy));
    ASSERT_TRUE(viaProxy.finished) << errorMessage(request);
    EXPECT_EQ(viaProxy.body, std::string(ZRTestScriptedServer::patternBytes(0, 64).constData(), 64));
    EXPECT_TRUE(proxy.logLines().contains(QStringLiteral("GET ") + QString::fromStdString(url("/bytes?size=64&via=http"))))
        << proxy.logLines().join(QLatin1Char('|')).toStdString();

    // SOCKS5.
    RecordingDelegate viaSocks;
    auto socksRequest = ZRHTTPRequest::requestWithURL(url("/bytes?size=64&via=socks"));
    socksRequest->setProxyHost("127.0.0.1");
    socksRequest->setProxyPort(socks.port());
    socksRequest->setProxyType(ZRHTTPRequest::ProxyType::socks);
    ASSERT_TRUE(runToEnd(socksRequest, viaSocks));
    ASSERT_TRUE(viaSocks.finished) << errorMessage(socksRequest);
    EXPECT_EQ(socks.logLines(), QStringList{QStringLiteral("SOCKS 127.0.0.1:%1").arg(server->port())});

    // HTTPS through the HTTP proxy: a CONNECT tunnel.
    ZRTestNginx nginx;
    ZR_START_NGINX_OR_SKIP(nginx);
    ASSERT_TRUE(nginx.addFile(QStringLiteral("secure.txt"), "over a tunnel"));
    RecordingDelegate tunnelled;
    auto secure = ZRHTTPRequest::requestWithURL(nginx.httpsURLString("/secure.txt"));
    secure->setValidatesSecureCertificate(false);
    secure->setProxyHost("127.0.0.1");
    secure->setProxyPort(proxy.port());
    ASSERT_TRUE(runToEnd(secure, tunnelled));
    ASSERT_TRUE(tunnelled.finished) << errorMessage(secure);
    EXPECT_EQ(tunnelled.body, "over a tunnel");
    EXPECT_EQ(secure->responseStatusCode(), 200);
    EXPECT_TRUE(proxy.logLines().contains(QStringLiteral("CONNECT 127.0.0.1:%1").arg(nginx.httpsPort())));

    // Without a port the proxy host alone means direct.
    RecordingDelegate direct;
    auto noPort = ZRHTTPRequest::requestWithURL(url("/bytes?size=8&via=none"));
    noPort->setProxyHost("127.0.0.1");
    ASSERT_TRUE(runToEnd(noPort, direct));
    EXPECT_TRUE(direct.finished);
    EXPECT_EQ(proxy.logLines().filter(QStringLiteral("via=none")).size(), 0);
}

} // namespace
