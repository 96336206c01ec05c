// The loopback servers that the engine's integration tests stand on, checked with plain libcurl.
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestScriptedServer.h"

#include <gtest/gtest.h>

#include <curl/curl.h>

#include <chrono>
#include <string>

namespace {

struct Fetched
{
    long status = 0;
    std::string headers;
    std::string body;
    long connects = 0;
    double seconds = 0;
};

size_t appendTo(char *data, size_t size, size_t count, void *target)
{
    static_cast<std::string *>(target)->append(data, size * count);
    return size * count;
}

// One or more GETs on one easy handle, so keep-alive can be observed through num_connects.
Fetched fetch(CURL *curl, const std::string &url, const char *range = nullptr)
{
    Fetched result;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendTo);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, appendTo);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &result.headers);
    curl_easy_setopt(curl, CURLOPT_RANGE, range);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    const auto started = std::chrono::steady_clock::now();
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
        curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &result.connects);
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return result;
}

std::string pattern(qint64 offset, qint64 length)
{
    return ZRTestScriptedServer::patternBytes(offset, length).toStdString();
}

} // namespace

TEST(TestServers, NginxServesFilesRangesKeepAliveTLSAndALimitedPort)
{
    ZRTestNginx::Options options;
    options.limitRateBytesPerSecond = 200000;
    ZRTestNginx server(options);
    ZR_START_NGINX_OR_SKIP(server);
    ASSERT_TRUE(server.addPatternFile(QStringLiteral("data.bin"), 300000));

    CURL *curl = curl_easy_init();
    const Fetched whole = fetch(curl, server.httpURLString("/data.bin"));
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, pattern(0, 300000));

    const Fetched part = fetch(curl, server.httpURLString("/data.bin"), "1000-1999");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, pattern(1000, 1000));
    EXPECT_EQ(part.connects, 0) << "the second request should re-use the kept-alive connection";

    const Fetched secure = fetch(curl, server.httpsURLString("/data.bin"));
    EXPECT_EQ(secure.status, 200);
    EXPECT_EQ(secure.body.size(), 300000u);

    // 300000 bytes at 200000 per second take about 1.5 s; unlimited ones a few milliseconds.
    const Fetched limited = fetch(curl, server.limitedURLString("/data.bin"));
    EXPECT_EQ(limited.body.size(), 300000u);
    EXPECT_GT(limited.seconds, 1.0);
    const Fetched limitedLocation = fetch(curl, server.httpURLString("/limited/data.bin"));
    EXPECT_EQ(limitedLocation.body.size(), 300000u);
    EXPECT_GT(limitedLocation.seconds, 1.0);
    curl_easy_cleanup(curl);

    const qint64 pid = server.pid();
    server.stop();
    EXPECT_FALSE(server.isRunning());
    EXPECT_NE(pid, 0);
}

TEST(TestServers, ScriptedServerPlaysItsScenarios)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    CURL *curl = curl_easy_init();

    const Fetched echo = fetch(curl, server.urlString("/echo"));
    EXPECT_EQ(echo.status, 200);
    EXPECT_EQ(echo.body.rfind("GET /echo HTTP/1.1\r\n", 0), 0u);

    const Fetched redirect = fetch(curl, server.urlString("/redirect/3"));
    EXPECT_EQ(redirect.status, 302);
    EXPECT_NE(redirect.headers.find("Location: /redirect/2\r\n"), std::string::npos);

    const Fetched range = fetch(curl, server.urlString("/ignore-range?size=500"), "100-");
    EXPECT_EQ(range.status, 200);
    EXPECT_EQ(range.body, pattern(0, 500));

    const Fetched chunked = fetch(curl, server.urlString("/chunked?size=1000&chunk=7"));
    EXPECT_EQ(chunked.body, pattern(0, 1000));
    EXPECT_NE(chunked.headers.find("Transfer-Encoding: chunked"), std::string::npos);

    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip");
    const Fetched gzipped = fetch(curl, server.urlString("/gzip?size=3000"));
    EXPECT_EQ(gzipped.body, ZRTestScriptedServer::gzipPlainText(3000).toStdString());
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, nullptr);

    const Fetched log = fetch(curl, server.urlString("/requests"));
    EXPECT_NE(log.body.find(" 1 GET /echo\n"), std::string::npos);
    EXPECT_NE(log.body.find(" 2 GET /redirect/3\n"), std::string::npos) << log.body;
    curl_easy_cleanup(curl);
}
