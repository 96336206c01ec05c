// The engine's pure rules: dates, lengths, field safety, keep-alive decisions, URL resolution.
#include "core/http/ZRHTTPDate.h"
#include "core/http/ZRHTTPHeaders.h"
#include "core/http/ZRHTTPRequest.h"
#include "core/http/ZRHTTPRequestThread.h"
#include "core/http/ZRHTTPURL.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using namespace std::chrono;

std::int64_t secondsSinceEpoch(const std::optional<system_clock::time_point> &date)
{
    return date ? duration_cast<seconds>(date->time_since_epoch()).count() : -1;
}

TEST(HTTPDate, parsesTheFormsServersSend)
{
    struct Row {
        const char *text;
        std::int64_t expected; // -1: no date
    };
    const Row rows[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
        {"06 Nov 1994 08:49 GMT", 784111740},
        {"Sun, 06 Nov 1994 08:49 GMT", 784111740},
        {"06 Nov 1994 08:49:37 GMT", 784111777},
        {"Sun, 06 Nov 1994 09:49:37 +0100", 784111777},
        {"Sun, 06 Nov 1994 00:49:37 PST", 784111777},
        {"Thu, 29 Feb 2024 23:59:59 UTC", 1709251199},
        {"Sun, 06 Nov 1994 08:49:37", -1},          // no zone
        {"Sun 06 Nov 1994 08:49:37 GMT", -1},       // seconds, but a weekday without comma
        {"Sun, 06 Foo 1994 08:49:37 GMT", -1},      // no such month
        {"Fri, 30 Feb 2024 10:00:00 GMT", -1},      // no such day
        {"Sun, 06 Nov 1994 25:49:37 GMT", -1},      // no such hour
        {"Sunday, 06-Nov-94 08:49:37 GMT", -1},     // RFC 850 is not this format
        {"", -1},
        {"Sun, 06 Nov 1994 08:49:37 GMT trailing", -1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(secondsSinceEpoch(ZRHTTPDate::dateFromRFC1123String(row.text)), row.expected);
    }
    EXPECT_EQ(secondsSinceEpoch(ZRHTTPRequest::dateFromRFC1123String("Sun, 06 Nov 1994 08:49:37 GMT")), 784111777);
}

TEST(HTTPHeaderFields, contentLengthIsAPlainDecimalOrUnknown)
{
    struct Row {
        const char *text;
        std::uint64_t expected;
    };
    const Row rows[] = {
        {"0", 0},
        {"1234", 1234},
        {"010", 10},          // decimal, not octal
        {"0x10", 0},          // not hexadecimal either
        {" 42 ", 42},
        {"-1", 0},
        {"+5", 0},
        {"12abc", 0},
        {"", 0},
        {"1 2", 0},
        {"18446744073709551616", 0},   // beyond 64 bits
        {"9223372036854775808", 0},    // beyond a file offset
        {"9223372036854775807", 9223372036854775807ULL},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(ZRHTTPHeaderFields::contentLengthFromString(row.text), row.expected);
    }
}

TEST(HTTPHeaderFields, unsafeFieldsAreNamed)
{
    ZRHTTPHeaders headers{{"Accept", "*/*"}, {"User-Agent", "Quorvel 1.0"}};
    EXPECT_FALSE(ZRHTTPHeaderFields::unsafeHeaderFieldName(headers));

    for (const std::string &value : {std::string("a\r\nX-Injected: 1"), std::string("a\nb"), std::string("a\rb"),
             std::string("a\0b", 3)}) {
        ZRHTTPHeaders bad = headers;
        bad["Referer"] = value;
        EXPECT_EQ(ZRHTTPHeaderFields::unsafeHeaderFieldName(bad), std::optional<std::string>("Referer"));
    }
    ZRHTTPHeaders badName = headers;
    badName["X-A\r\nB"] = "c";
    EXPECT_EQ(ZRHTTPHeaderFields::unsafeHeaderFieldName(badName), std::optional<std::string>("X-A\r\nB"));
}

TEST(HTTPHeaderFields, namesCompareWithoutCase)
{
    ZRHTTPHeaders headers;
    headers["content-length"] = "1";
    headers.insert_or_assign("Content-Length", "2");
    EXPECT_EQ(headers.size(), 1u);
    EXPECT_EQ(headers.at("CONTENT-LENGTH"), "2");
}

TEST(HTTPHeaderFields, keepAliveDecisions)
{
    struct Row {
        bool http10;
        const char *connection; // nullptr: absent
        const char *keepAlive;
        bool reusable;
        double timeout; // -1: unchanged
    };
    const Row rows[] = {
        {false, nullptr, nullptr, true, -1},
        {false, nullptr, "timeout=15, max=100", true, 15},
        {false, "keep-alive", "timeout=15,max=100", true, 15},
        {false, nullptr, "timeout=5, max=5", false, -1},
        {false, nullptr, "timeout=5, max=6", true, 5},
        {false, nullptr, "timeout=15", false, -1},
        {false, "close", nullptr, false, -1},
        {false, "Close", "timeout=15, max=100", false, -1},
        {true, nullptr, nullptr, false, -1},
        {true, "Keep-Alive", nullptr, true, -1},
        {true, "keep-alive", "timeout=3, max=50", true, 3},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.connection ? row.connection : "-") + " / " + (row.keepAlive ? row.keepAlive : "-"));
        const std::string connection = row.connection ? row.connection : "";
        const std::string keepAlive = row.keepAlive ? row.keepAlive : "";
        const auto decision = ZRHTTPHeaderFields::keepAliveDecision(
            row.http10, row.connection ? &connection : nullptr, row.keepAlive ? &keepAlive : nullptr);
        EXPECT_EQ(decision.canBeReused, row.reusable);
        EXPECT_EQ(decision.timeoutSeconds.value_or(-1), row.timeout);
    }
}

TEST(HTTPHeaderFields, charsetOfContentType)
{
    EXPECT_EQ(ZRHTTPHeaderFields::charsetFromContentType("text/html; charset=UTF-8"), "UTF-8");
    EXPECT_EQ(ZRHTTPHeaderFields::charsetFromContentType("text/html; Charset=\"koi8-r\"; x=y"), "koi8-r");
    EXPECT_EQ(ZRHTTPHeaderFields::charsetFromContentType("text/html"), "");
}

TEST(HTTPURL, resolvesLocationsAndComparesOrigins)
{
    EXPECT_EQ(ZRHTTPURL::resolvedURL("http://a.example/dir/page?q=1", "other"), "http://a.example/dir/other");
    EXPECT_EQ(ZRHTTPURL::resolvedURL("http://a.example/dir/page", "/root"), "http://a.example/root");
    EXPECT_EQ(ZRHTTPURL::resolvedURL("http://a.example/dir/page", "//b.example/x"), "http://b.example/x");
    EXPECT_EQ(ZRHTTPURL::resolvedURL("http://a.example/dir/page", "https://c.example:8443/y"), "https://c.example:8443/y");

    EXPECT_TRUE(ZRHTTPURL::haveSameOrigin("http://a.example/x", "HTTP://A.example:80/y"));
    EXPECT_FALSE(ZRHTTPURL::haveSameOrigin("http://a.example/x", "https://a.example/x"));
    EXPECT_FALSE(ZRHTTPURL::haveSameOrigin("http://a.example/x", "http://a.example:8080/x"));
    EXPECT_FALSE(ZRHTTPURL::haveSameOrigin("http://a.example/x", "http://b.example/x"));

    const auto parts = ZRHTTPURL::partsOfURL("https://[::1]:8443/x");
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->scheme, "https");
    EXPECT_EQ(parts->host, "::1");
    EXPECT_EQ(parts->port, 8443);
    EXPECT_EQ(ZRHTTPURL::partsOfURL("http://a.example/x")->port, 0);
    EXPECT_FALSE(ZRHTTPURL::partsOfURL("http://a.example/x\r\nHost: b"));
}

TEST(HTTPRequestThread, postedBurstsRunPromptlyAndInOrder)
{
    // Bursts of tasks, posted to an idle loop or to one still busy with the last burst, from one
    // thread or three: only the first task of a burst wakes the loop, and none may be left waiting
    // for the loop's idle timeout (a second).
    std::mutex mutex;
    std::condition_variable done;
    for (const auto &[posters, tasksEach, idleFirst] : {std::tuple{1, 1, true}, std::tuple{1, 2, true},
                                                        std::tuple{3, 1, true}, std::tuple{3, 200, false},
                                                        std::tuple{1, 1, false}}) {
        if (idleFirst)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::vector<std::vector<int>> ran(static_cast<size_t>(posters));
        int count = 0;
        std::vector<std::thread> threads;
        for (int poster = 0; poster < posters; ++poster) {
            threads.emplace_back([&, poster] {
                for (int i = 0; i < tasksEach; ++i) {
                    ZRHTTPRequestThread::shared().post([&, poster, i] {
                        const std::lock_guard lock(mutex);
                        ran[size_t(poster)].push_back(i);
                        if (++count == posters * tasksEach)
                            done.notify_all();
                    });
                }
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        std::unique_lock lock(mutex);
        ASSERT_TRUE(done.wait_for(lock, std::chrono::milliseconds(900), [&] { return count == posters * tasksEach; }))
            << count << " of " << posters * tasksEach << " tasks ran (" << posters << " posting)";
        for (const std::vector<int> &order : ran)
            EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    }
}

TEST(HTTPRequestClass, defaultUserAgentNamesLinux)
{
    EXPECT_FALSE(ZRHTTPRequest::defaultUserAgentString());
    setenv("LANG", "de_DE.UTF-8", 1);
    ZRHTTPRequest::setDefaultUserAgentApplication("Quorvel", "1.2", "345");
    const auto userAgent = ZRHTTPRequest::defaultUserAgentString();
    ASSERT_TRUE(userAgent);
    EXPECT_EQ(userAgent->rfind("Quorvel 1.2 rv:345 (X11; Linux ", 0), 0u) << *userAgent;
    EXPECT_EQ(userAgent->substr(userAgent->size() - 8), "; de_DE)");
    ZRHTTPRequest::setDefaultUserAgentApplication("Quorvel", "1.2", "1.2");
    EXPECT_EQ(ZRHTTPRequest::defaultUserAgentString()->rfind("Quorvel 1.2 (X11", 0), 0u);
    ZRHTTPRequest::setDefaultUserAgentApplication("", "", "");
    EXPECT_FALSE(ZRHTTPRequest::defaultUserAgentString());
}

} // namespace
