// Redirects on the scripted server: chains and their limit, relative targets, what a redirected
// request carries, and the delegate's hand-over.
#include "HTTPTestSupport.h"

#include "tests/support/ZRTestScriptedServer.h"

#include <QUrl>

#include <mutex>

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
        {"/status/301?body=gone", true, 301},              // no Location
        {"/redirect-to?url=/echo&status=302", false, 302}, // redirects switched off
        {"/status/304", true, 304},
        {"/status/308?body=moved", true, 308},             // no Location either
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

// What the second server receives after each kind of redirect: 301, 302 and 303 ask again with a
// GET that keeps only User-Agent and Accept; 307 and 308 send the same method and body; fields meant
// for one site (credentials, cookies, Referer, the caller's own) never reach another origin.
TEST_F(RedirectTest, eachRedirectSendsTheMethodBodyAndFieldsItShould)
{
    ZRTestScriptedServer other;
    ASSERT_TRUE(other.start()) << other.errorString().toStdString();
    const std::string siteFields[] = {"Referer: http://referrer.example/", "Cookie: session=secret",
        "X-Custom: kept", "Authorization: Basic dXNlcjpwYXNz"};
    for (int status : {301, 302, 303, 307, 308}) {
        for (const std::string method : {"GET", "POST"}) {
            for (const bool sameOrigin : {true, false}) {
                SCOPED_TRACE(std::to_string(status) + " " + method + (sameOrigin ? " same origin" : " other origin"));
                const std::string target = sameOrigin ? url("/echo") : other.urlString("/echo");
                RecordingDelegate delegate;
                auto request = ZRHTTPRequest::requestWithURL(
                    url("/redirect-to?status=" + std::to_string(status) + "&url=" + encoded(target)));
                request->setUseCookiePersistence(false);
                request->setRequestMethod(method);
                if (method == "POST") {
                    request->appendPostData("a=1&b=2");
                    request->addRequestHeader("Content-Type", "application/x-www-form-urlencoded");
                }
                request->addRequestHeader("User-Agent", "TestAgent/1");
                for (const std::string &field : siteFields)
                    request->addRequestHeader(field.substr(0, field.find(':')), field.substr(field.find(':') + 2));
                ASSERT_TRUE(runToEnd(request, delegate));
                ASSERT_TRUE(delegate.finished) << errorMessage(request);
                EXPECT_EQ(request->url(), target);
                EXPECT_EQ(request->redirectCount(), 1);

                const bool keepsMethod = status == 307 || status == 308;
                const std::string &sent = delegate.body;
                const std::string expectedMethod = keepsMethod ? method : "GET";
                EXPECT_EQ(sent.rfind(expectedMethod + " /echo HTTP/1.1\r\n", 0), 0u) << sent;
                EXPECT_NE(sent.find("User-Agent: TestAgent/1"), std::string::npos) << sent;
                const bool bodyKept = keepsMethod && method == "POST";
                EXPECT_EQ(sent.find("Content-Length: 7\r\n") != std::string::npos, bodyKept) << sent;
                EXPECT_EQ(sent.find("\r\n\r\na=1&b=2") != std::string::npos, bodyKept) << sent;
                EXPECT_EQ(sent.find("Content-Type: application/x-www-form-urlencoded") != std::string::npos, bodyKept);
                for (const std::string &field : siteFields)
                    EXPECT_EQ(sent.find(field) != std::string::npos, keepsMethod && sameOrigin) << field << "\n" << sent;
            }
        }
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

// An HTTPS page that redirects to plain HTTP: the next request carries no Referer (not even to the
// same host), and the log says that the download left TLS.
TEST_F(RedirectTest, leavingTLSSendsNoRefererAndIsLogged)
{
    HelperServer secure(QStringLiteral("tls-redirect"));
    ZR_START_HELPER_OR_SKIP(secure);
    std::mutex linesLock;
    std::vector<std::string> lines;
    ZRHTTPRequest::setLogFunction([&](const std::string &line) {
        std::lock_guard lock(linesLock);
        lines.push_back(line);
    });
    for (int status : {302, 307}) {
        SCOPED_TRACE(status);
        const std::string start = "https://127.0.0.1:" + std::to_string(secure.port()) + "/?status="
            + std::to_string(status) + "&to=" + encoded(url("/echo"));
        RecordingDelegate delegate;
        auto request = ZRHTTPRequest::requestWithURL(start);
        request->setValidatesSecureCertificate(false);
        request->addRequestHeader("Referer", "https://referrer.example/page");
        ASSERT_TRUE(runToEnd(request, delegate));
        ASSERT_TRUE(delegate.finished) << errorMessage(request);
        EXPECT_EQ(request->url(), url("/echo"));
        EXPECT_EQ(delegate.body.find("Referer:"), std::string::npos) << delegate.body;
        EXPECT_NE(secure.logLines().join(QLatin1Char('\n')).indexOf(QLatin1String("Referer: https://referrer.example/page")), -1)
            << "the HTTPS request itself carried it";
        std::lock_guard lock(linesLock);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "redirect from <" + start + "> to <" + url("/echo")
            + "> leaves TLS: the download goes on unencrypted, without Referer");
        lines.clear();
    }
    ZRHTTPRequest::setLogFunction(nullptr);
}

} // namespace
