// The bandwidth cap holds for the engine's real transfers: one or several requests together read
// at the cap's rate from a loopback nginx.
#include "core/http/ZRHTTPRequest.h"
#include "core/http/ZRHTTPRequestDelegate.h"
#include "core/http/ZRHTTPRequestQueue.h"
#include "tests/support/ZRTestEngineCallbacks.h"
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMetaObject>

#include <chrono>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Counts the bytes of all requests together, with the time each chunk arrived.
struct Transfer
{
    Clock::time_point started;
    std::vector<std::pair<double, std::uint64_t>> arrivals; // seconds since start, bytes so far
    std::uint64_t total = 0;
    int failures = 0;
    int finished = 0;

    void add(std::size_t bytes)
    {
        total += bytes;
        arrivals.emplace_back(std::chrono::duration<double>(Clock::now() - started).count(), total);
    }

    // When the running total first reached `bytes`, in seconds since the start; negative if never.
    double timeWhenReached(std::uint64_t bytes) const
    {
        for (const auto &[seconds, soFar] : arrivals)
            if (soFar >= bytes)
                return seconds;
        return -1;
    }
};

class CountingDelegate final : public ZRHTTPRequestDelegate
{
public:
    explicit CountingDelegate(Transfer &transfer)
        : _transfer(transfer)
    {
    }
    bool respondsToDidReceiveData() const override { return true; }
    void requestDidReceiveData(ZRHTTPRequest &, const std::string &bytes) override { _transfer.add(bytes.size()); }
    void requestFinished(ZRHTTPRequest &) override { ++_transfer.finished; }
    void requestFailed(ZRHTTPRequest &request) override
    {
        ++_transfer.failures;
        ADD_FAILURE() << "request failed: " << (request.error() ? request.error()->localizedDescription : "");
    }

private:
    Transfer &_transfer;
};

class ThrottleTest : public ::testing::Test
{
protected:
    static constexpr std::uint64_t cap = 1000000;
    static constexpr std::uint64_t fileSize = 8 * 1000 * 1000;

    void SetUp() override
    {
        ZRTestSupport::queueEngineCallbacksOnMainLoop();
    }

    void TearDown() override
    {
        for (const auto &request : requests)
            request->clearDelegatesAndCancel();
        ZRHTTPRequest::setMaxBandwidthPerSecond(0);
        ZRTestSupport::processEventsFor(100);
    }

    // Starts `count` downloads of the big file at once under the cap and waits until together
    // they have read `bytesWanted`.
    void expectRateAtTheCap(int requests);

    Transfer run(ZRTestNginx &server, int count, std::uint64_t bytesWanted)
    {
        Transfer transfer;
        ZRHTTPRequest::sharedQueue().setMaxConcurrentOperationCount(count);
        ZRHTTPRequest::setMaxBandwidthPerSecond(cap);
        for (int i = 0; i < count; ++i) {
            delegates.push_back(std::make_unique<CountingDelegate>(transfer));
            auto request = ZRHTTPRequest::requestWithURL(server.httpURLString("/big.bin"));
            request->setDelegate(delegates.back().get());
            request->setAllowCompressedResponse(false);
            requests.push_back(request);
        }
        transfer.started = Clock::now();
        for (const auto &request : requests)
            request->startAsynchronous();
        EXPECT_TRUE(ZRTestSupport::waitUntil([&] { return transfer.total >= bytesWanted || transfer.failures; }, 12000))
            << "only " << transfer.total << " bytes arrived";
        for (const auto &request : requests)
            request->clearDelegatesAndCancel();
        return transfer;
    }

    // The rate between two points of the same phase of the one-second windows: reads come in a
    // burst at each window's start, so the times when the total passes the middle of the first
    // and of the fifth window's share are four window lengths apart.
    static double measuredRate(const Transfer &transfer)
    {
        const double first = transfer.timeWhenReached(cap / 2);
        const double fifth = transfer.timeWhenReached(4 * cap + cap / 2);
        if (first < 0 || fifth <= first)
            return 0;
        return double(4 * cap) / (fifth - first);
    }

    // At most the current window's share ahead, plus the reads that come before the first
    // measurement opens a window (at most a quarter of the cap each).
    static void expectNeverFarAheadOfTheCap(const Transfer &transfer)
    {
        for (const auto &[seconds, soFar] : transfer.arrivals)
            ASSERT_LE(double(soFar), (seconds + 1.35) * double(cap)) << "at " << seconds << " s";
    }

    std::vector<std::unique_ptr<CountingDelegate>> delegates;
    std::vector<std::shared_ptr<ZRHTTPRequest>> requests;
};

// The measured rate of the given number of concurrent requests stays within 10 % of the cap.
void ThrottleTest::expectRateAtTheCap(int requests)
{
    ZRTestNginx server;
    ZR_START_NGINX_OR_SKIP(server);
    ASSERT_TRUE(server.addPatternFile(QStringLiteral("big.bin"), fileSize));

    const Transfer transfer = run(server, requests, 5 * cap);
    EXPECT_EQ(transfer.failures, 0);
    const double rate = measuredRate(transfer);
    EXPECT_NEAR(rate, double(cap), 0.1 * double(cap)) << "measured " << rate << " B/s over " << transfer.arrivals.back().first << " s";
    expectNeverFarAheadOfTheCap(transfer);
}

TEST_F(ThrottleTest, OneRequestReadsAtTheCap)
{
    expectRateAtTheCap(1);
}

TEST_F(ThrottleTest, FourConcurrentRequestsShareTheCap)
{
    expectRateAtTheCap(4);
}

TEST_F(ThrottleTest, LiftingTheCapReleasesParkedRequests)
{
    ZRTestNginx server;
    ZR_START_NGINX_OR_SKIP(server);
    ASSERT_TRUE(server.addPatternFile(QStringLiteral("big.bin"), fileSize));

    Transfer transfer;
    ZRHTTPRequest::sharedQueue().setMaxConcurrentOperationCount(2);
    // A tiny cap parks the streams for many seconds after their first reads.
    ZRHTTPRequest::setMaxBandwidthPerSecond(20000);
    for (int i = 0; i < 2; ++i) {
        delegates.push_back(std::make_unique<CountingDelegate>(transfer));
        auto request = ZRHTTPRequest::requestWithURL(server.httpURLString("/big.bin"));
        request->setDelegate(delegates.back().get());
        request->setAllowCompressedResponse(false);
        requests.push_back(request);
    }
    transfer.started = Clock::now();
    for (const auto &request : requests)
        request->startAsynchronous();
    ZRTestSupport::processEventsFor(1500);
    EXPECT_LT(transfer.total, 100000u) << "the cap holds the transfers back";

    ZRHTTPRequest::setMaxBandwidthPerSecond(0);
    EXPECT_TRUE(ZRTestSupport::waitUntil([&] { return transfer.finished == 2 || transfer.failures; }, 8000));
    EXPECT_EQ(transfer.total, 2 * fileSize);
    EXPECT_EQ(transfer.failures, 0);
}

} // namespace
