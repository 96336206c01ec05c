// Redirects on the scripted server: chains and their limit, relative targets, what a redirected
// request carries, and the delegate's hand-over.
#include "HTTPTestSupport.h"

#include "tests/support/ZRTestScriptedServer.h"

#include <QUrl>

namespace {

class RedirectTest : public ScriptedServerTest {
protected:
    static std::string encoded(const std::string &text)
    {
        return QString::fromLatin1(QUrl::toPercentEncoding(QString::fromStdString(text))).toStdString();
    }

};

TEST_F(RedirectTest, fiveRedirectsAreFollowedAndTheSixthFails)
{
    RecordingDelegate five;
    auto followed = ZRHTTPRequest::requestWithURL(url("/redirect/5"));
    ASSERT_TRUE(runToEnd(followed, five));
    ASSERT_TRUE(five.finished) << errorMessage(followed);
    EXPECT_EQ(followed->redirectCount(), 5);
    EXPECT_EQ(followed->url(), url("/redirect/0"));
    EXPECT_EQ(followed->originalURL(), url("/redirect/5"));
    EXPECT_EQ(five.count("redirected"), 5u);
    EXPECT_EQ(five.count("started"), 6u);

    for (const char *path : {"/redirect/6", "/loop"}) {
        SCOPED_TRACE(path);
        RecordingDelegate tooMany;
        auto request = ZRHTTPRequest::requestWithURL(url(path));
        ASSERT_TRUE(runToEnd(request, tooMany));
        EXPECT_TRUE(tooMany.failed);
        EXPECT_EQ(errorCode(request), 9);
        EXPECT_EQ(errorMessage(request), "The request failed because it redirected too many times");
    }
}

TEST_F(RedirectTest, notEveryThreeHundredIsARedirect)
{
    struct Row {
        std::string path;
        bool shouldRedirect;
        int status;
    };
    const Row rows[] = {
        {"/status/301?body=gone", true, 301},            // no Location
        {"/redirect-to?url=/echo&status=302", false, 302}, // redirects switched off
        {"/status/304", true, 304},
        {"/redirect-to?url=/echo&status=308", true, 308},  // not one we follow
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        RecordingDelegate delegate;
        auto request = ZRHTTPRequest::requestWithURL(url(row.path));
        request->setShouldRedirect(row.shouldRedirect);
        ASSERT_TRUE(runToEnd(request, delegate));
        EXPECT_TRUE(delegate.finished) << errorMessage(request);
        EXPECT_EQ(request->responseStatusCode(), row.status);
        EXPECT_EQ(request->redirectCount(), 0);
        EXPECT_EQ(delegate.count("redirected"), 0u);
    }
}

TEST_F(RedirectTest, seeOtherKeepsOnlyUserAgentAndAcceptWhileTemporaryRedirectKeepsEverything)
{
    struct Row {
        int status;
        bool keepsMessage;
    };
    for (const Row row : {Row{302, false}, Row{303, false}, Row{301, false}, Row{307, true}}) {
        SCOPED_TRACE(row.status);
        RecordingDelegate delegate;
        auto request = ZRHTTPRequest::requestWithURL(
            url("/redirect-to?url=echo&status=" + std::to_string(row.status)));
        request->setRequestMethod("PUT");
        request->appendPostData("payload");
        request->addRequestHeader("User-Agent", "TestAgent/1");
        request->addRequestHeader("Accept", "text/plain");
        request->addRequestHeader("Referer", "http://referrer.example/");
        request->addRequestHeader("Range", "bytes=5-");
        ASSERT_TRUE(runToEnd(request, delegate));
        ASSERT_TRUE(delegate.finished) << errorMessage(request);
        // The relative "echo" was resolved against the request's URL.
        EXPECT_EQ(request->url(), url("/echo"));
        const std::string &echo = delegate.body;
        const std::size_t requestLine = echo.rfind(row.keepsMessage ? "PUT /echo" : "GET /echo");
        ASSERT_NE(requestLine, std::string::npos) << echo;
        const std::string sent = echo.substr(requestLine);
        EXPECT_NE(sent.find("User-Agent: TestAgent/1"), std::string::npos) << sent;
        EXPECT_NE(sent.find("Accept: text/plain"), std::string::npos) << sent;
        EXPECT_EQ(sent.find("Referer:") != std::string::npos, row.keepsMessage) << sent;
        EXPECT_EQ(sent.find("Range:") != std::string::npos, row.keepsMessage) << sent;
        EXPECT_EQ(sent.find("Content-Length: 7") != std::string::npos, row.keepsMessage) << sent;
    }
}

TEST_F(RedirectTest, credentialsAndCookiesNeverFollowARedirectToAnotherOrigin)
{
    ZRTestScriptedServer other;
    ASSERT_TRUE(other.start()) << other.errorString().toStdString();
    struct Row {
        std::string target;
        bool sameOrigin;
    };
    for (const Row &row : {Row{other.urlString("/echo"), false}, Row{url("/echo"), true}}) {
        SCOPED_TRACE(row.target);
        RecordingDelegate delegate;
        auto request = ZRHTTPRequest::requestWithURL(url("/redirect-to?status=307&url=" + encoded(row.target)));
        request->setUseCookiePersistence(false);
        request->addRequestHeader("Authorization", "Basic dXNlcjpwYXNz");
        request->addRequestHeader("Proxy-Authorization", "Basic cHJveHk6cGFzcw==");
        request->addRequestHeader("Cookie", "session=secret");
        request->addRequestHeader("X-Custom", "kept");
        ASSERT_TRUE(runToEnd(request, delegate));
        ASSERT_TRUE(delegate.finished) << errorMessage(request);
        const std::string sent = delegate.body;
        EXPECT_NE(sent.find("X-Custom: kept"), std::string::npos) << sent;
        EXPECT_EQ(sent.find("Authorization: Basic dXNlcjpwYXNz") != std::string::npos, row.sameOrigin) << sent;
        EXPECT_EQ(sent.find("Proxy-Authorization:") != std::string::npos, row.sameOrigin) << sent;
        EXPECT_EQ(sent.find("session=secret") != std::string::npos, row.sameOrigin) << sent;
    }
}

TEST_F(RedirectTest, theDelegateDecidesWhereToGoAndCancellingTheDecisionFreesTheSlot)
{
    // The delegate may send the request elsewhere; the origin check applies to where it really goes.
    ZRTestScriptedServer other;
    ASSERT_TRUE(other.start()) << other.errorString().toStdString();
    RecordingDelegate delegate;
    delegate.decidesRedirects = true;
    delegate.onWillRedirect = [&](ZRHTTPRequest &request, const std::string &) {
        request.redirectToURL(other.urlString("/echo"));
    };
    auto request = ZRHTTPRequest::requestWithURL(url("/redirect-to?status=307&url=/echo"));
    request->addRequestHeader("Authorization", "Basic dXNlcjpwYXNz");
    ASSERT_TRUE(runToEnd(request, delegate));
    ASSERT_TRUE(delegate.finished) << errorMessage(request);
    EXPECT_EQ(delegate.redirectTargets, std::vector<std::string>{url("/echo")});
    EXPECT_EQ(request->url(), other.urlString("/echo"));
    EXPECT_EQ(delegate.body.find("Authorization:"), std::string::npos);

    ZRHTTPRequest::sharedQueue().setMaxConcurrentOperationCount(1);
    RecordingDelegate undecided;
    undecided.decidesRedirects = true;
    auto waiting = ZRHTTPRequest::requestWithURL(url("/redirect/1"));
    waiting->setDelegate(&undecided);
    waiting->startAsynchronous();
    RecordingDelegate next;
    auto queued = ZRHTTPRequest::requestWithURL(url("/bytes?size=10"));
    queued->setDelegate(&next);
    queued->startAsynchronous();
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return undecided.count("will redirect") == 1; }));
    ZRTestSupport::processEventsFor(100);
    EXPECT_FALSE(next.done()) << "the queue's only slot is taken by the undecided request";
    waiting->cancel();
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return next.finished && undecided.failed; }));
    EXPECT_EQ(errorCode(waiting), 4);
    EXPECT_EQ(errorMessage(waiting), "The request was cancelled");
}

} // namespace
