// Server challenges against the scripted server's Basic and Digest (qop=auth) scenarios: where the
// credentials come from, what goes on the wire, what is asked and what fails.
#include "HTTPTestSupport.h"

#include "core/http/ZRHTTPAuthentication.h"

#include <QStringList>

#include <cstring>

namespace {

class AuthenticationTest : public ScriptedServerTest {
protected:
    void SetUp() override
    {
        ScriptedServerTest::SetUp();
        if (!server)
            return;
        ZRHTTPCredentialStore::shared().removeAllForTesting();
        server->get(QStringLiteral("/reset"));
    }
    void TearDown() override
    {
        ZRHTTPCredentialStore::shared().removeAllForTesting();
        ScriptedServerTest::TearDown();
    }
    // "<target> <scheme sent or -> <status>" for each /auth request since the reset.
    std::vector<std::string> authLog() const
    {
        std::vector<std::string> lines;
        for (const QString &line : QString::fromUtf8(server->get(QStringLiteral("/auth-log"))).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            lines.push_back(line.toStdString());
        return lines;
    }
    void resetServerAndSession()
    {
        ZRHTTPCredentialStore::shared().removeAllForTesting();
        server->get(QStringLiteral("/reset"));
    }
    std::string withCredentials(const std::string &path, const std::string &userInfo) const
    {
        std::string address = url(path);
        return address.insert(std::string("http://").size(), userInfo + "@");
    }
    static std::string pattern(int size)
    {
        return ZRTestScriptedServer::patternBytes(0, size).toStdString();
    }
};

TEST_F(AuthenticationTest, credentialsInTheAddressAnswerTheChallengeWithoutAskingAnybody)
{
    struct Row {
        const char *scheme;
        const char *wireScheme;
    };
    for (const Row &row : {Row{"basic", "Basic"}, Row{"digest", "Digest"}}) {
        SCOPED_TRACE(row.scheme);
        resetServerAndSession();
        const std::string path = std::string("/auth/") + row.scheme + "?size=50";
        RecordingDelegate delegate;
        delegate.answersAuthentication = true;
        delegate.onAuthentication = [](ZRHTTPRequest &request) { request.cancelAuthentication(); };
        auto request = ZRHTTPRequest::requestWithURL(withCredentials(path, "user:secret"));
        ASSERT_TRUE(runToEnd(request, delegate));
        ASSERT_TRUE(delegate.finished) << errorMessage(request);
        EXPECT_EQ(delegate.count("authentication"), 0u);
        EXPECT_EQ(request->responseStatusCode(), 200);
        EXPECT_EQ(request->authenticationScheme(), row.wireScheme);
        EXPECT_EQ(request->authenticationRealm(), "quorvel-test");
        // Nothing before the challenge (the address's credentials are not sent by themselves), then
        // exactly one answer.
        EXPECT_EQ(authLog(), (std::vector<std::string>{path + " - 401", path + " " + row.wireScheme + " 200"}));
        EXPECT_EQ(delegate.body.substr(delegate.body.size() - 50), pattern(50));
    }
}

TEST_F(AuthenticationTest, theDelegateSuppliesCredentialsAndIsAskedAgainWhenTheyAreRefused)
{
    for (const char *scheme : {"basic", "digest"}) {
        SCOPED_TRACE(scheme);
        resetServerAndSession();
        RecordingDelegate delegate;
        delegate.answersAuthentication = true;
        int asked = 0;
        delegate.onAuthentication = [&](ZRHTTPRequest &request) {
            // First a wrong password, then the right one.
            request.setUsername("user");
            request.setPassword(++asked == 1 ? "wrong" : "secret");
            request.retryUsingSuppliedCredentials();
        };
        auto request = ZRHTTPRequest::requestWithURL(url(std::string("/auth/") + scheme + "?size=20"));
        ASSERT_TRUE(runToEnd(request, delegate));
        ASSERT_TRUE(delegate.finished) << errorMessage(request);
        EXPECT_EQ(asked, 2);
        EXPECT_EQ(request->responseStatusCode(), 200);
        const std::string path = std::string("/auth/") + scheme + "?size=20 ";
        const std::string wire = std::strcmp(scheme, "basic") == 0 ? "Basic" : "Digest";
        const auto log = authLog();
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ(log.front(), path + "- 401");
        EXPECT_EQ(log[1], path + wire + " 401");
        EXPECT_EQ(log.back(), path + wire + " 200");
        // libcurl needs a fresh nonce after a refusal: it may fetch one on its own, unseen by us.
        EXPECT_LE(log.size(), wire == "Basic" ? 3u : 4u);

        // The session remembers what worked: the next request to the site asks nobody (Basic goes
        // out at once; Digest answers the first challenge from the session).
        server->get(QStringLiteral("/reset"));
        RecordingDelegate later;
        later.answersAuthentication = true;
        later.onAuthentication = [](ZRHTTPRequest &request) { request.cancelAuthentication(); };
        auto again = ZRHTTPRequest::requestWithURL(url(std::string("/auth/") + scheme + "?size=10"));
        ASSERT_TRUE(runToEnd(again, later));
        ASSERT_TRUE(later.finished) << errorMessage(again);
        EXPECT_EQ(later.count("authentication"), 0u);
        EXPECT_EQ(authLog().size(), std::strcmp(scheme, "basic") == 0 ? 1u : 2u);
    }
}

// NTLM is computed by libcurl on the stream: the question names the scheme, the answer's domain and
// name reach the server in the type-3 message, and the handshake (type 1, challenge, type 3) runs
// on one connection.
TEST_F(AuthenticationTest, ntlmCredentialsWithADomainCompleteTheHandshake)
{
    resetServerAndSession();
    RecordingDelegate delegate;
    delegate.answersAuthentication = true;
    std::string askedScheme;
    delegate.onAuthentication = [&](ZRHTTPRequest &request) {
        askedScheme = request.authenticationScheme();
        request.setDomain("CORP");
        request.setUsername("user");
        request.setPassword("secret");
        request.retryUsingSuppliedCredentials();
    };
    const std::string path = "/auth/ntlm?size=30&domain=CORP";
    auto request = ZRHTTPRequest::requestWithURL(url(path));
    ASSERT_TRUE(runToEnd(request, delegate));
    ASSERT_TRUE(delegate.finished) << errorMessage(request);
    EXPECT_EQ(askedScheme, "NTLM");
    EXPECT_EQ(request->responseStatusCode(), 200);
    EXPECT_EQ(delegate.body.substr(delegate.body.size() - 30), pattern(30));
    EXPECT_EQ(authLog(), (std::vector<std::string>{path + " - 401", path + " NTLM 401", path + " NTLM 200"}));
}

TEST_F(AuthenticationTest, challengesThatCannotBeAnsweredFailWithTheirCodes)
{
    struct Row {
        const char *path;
        bool delegateAnswers;
        bool cancels;
        int code;
        const char *message;
    };
    const Row rows[] = {
        {"/auth/basic", false, false, 3, "Authentication needed"},
        {"/auth/digest", true, true, 3, "Authentication needed"},
        // A 401 that names no scheme we know.
        {"/redirect-to?status=401&url=/", true, false, 7, "Failed to get authentication object from response headers"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        RecordingDelegate delegate;
        delegate.answersAuthentication = row.delegateAnswers;
        if (row.cancels)
            delegate.onAuthentication = [](ZRHTTPRequest &request) { request.cancelAuthentication(); };
        auto request = ZRHTTPRequest::requestWithURL(url(row.path));
        ASSERT_TRUE(runToEnd(request, delegate));
        EXPECT_TRUE(delegate.failed);
        EXPECT_EQ(errorCode(request), row.code);
        EXPECT_EQ(errorMessage(request), row.message);
    }
}

TEST_F(AuthenticationTest, credentialsStayWithTheirSiteAcrossRedirects)
{
    // Accepted at 127.0.0.1, then sent on to "localhost" (another host, same server): the second
    // site gets neither the address's credentials nor those the session learnt.
    const std::string elsewhere = "http://localhost:" + std::to_string(server->port()) + "/auth/basic?size=5";
    RecordingDelegate delegate;
    auto request = ZRHTTPRequest::requestWithURL(
        withCredentials("/redirect-to?url=" + elsewhere, "user:secret"));
    RecordingDelegate first;
    auto site = ZRHTTPRequest::requestWithURL(withCredentials("/auth/basic?size=5", "user:secret"));
    ASSERT_TRUE(runToEnd(site, first));
    ASSERT_TRUE(first.finished) << errorMessage(site);
    server->get(QStringLiteral("/reset"));
    ASSERT_TRUE(runToEnd(request, delegate));
    EXPECT_TRUE(delegate.failed);
    EXPECT_EQ(errorCode(request), 3);
    EXPECT_EQ(authLog(), std::vector<std::string>{"/auth/basic?size=5 - 401"});
}

TEST(AuthenticationChallengeParsing, theStrongestSchemeOfferedIsChosenWithItsRealm)
{
    struct Row {
        const char *value;
        const char *scheme; // "" for none
        const char *realm;
    };
    const Row rows[] = {
        {"Basic realm=\"files\"", "Basic", "files"},
        {"Basic realm=\"a, b\", Digest realm=\"d\", qop=\"auth\", nonce=\"n\"", "Digest", "d"},
        {"Negotiate, Basic realm=\"x\"", "Basic", "x"},
        {"NTLM", "NTLM", ""},
        {"Bearer realm=\"api\"", "", ""},
        {"", "", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.value);
        const ZRHTTPHeaders headers{{"WWW-Authenticate", row.value}};
        const auto authentication = ZRHTTPAuthentication::authenticationFromResponseHeaders(headers, false);
        if (!*row.scheme) {
            EXPECT_FALSE(authentication);
            continue;
        }
        ASSERT_TRUE(authentication);
        EXPECT_EQ(authentication->scheme(), row.scheme);
        EXPECT_EQ(authentication->realm(), row.realm);
        EXPECT_FALSE(ZRHTTPAuthentication::authenticationFromResponseHeaders(headers, true));
    }
    EXPECT_EQ(ZRHTTPAuthentication::basicHeaderValue("Aladdin", "open sesame"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

} // namespace
