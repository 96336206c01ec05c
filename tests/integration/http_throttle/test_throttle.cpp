// The bandwidth cap holds for the engine's real transfers: one or several requests together read
// at the cap's rate from a loopback nginx, and the server sends at that rate, not ahead of it.
#include "core/http/ZRHTTPRequest.h"
#include "core/http/ZRHTTPRequestDelegate.h"
#include "core/http/ZRHTTPRequestQueue.h"
#include "tests/support/ZRTestEngineCallbacks.h"
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QMetaObject>
#include <QProcess>
#include <QTemporaryDir>

#include "tests/support/ZRTestScriptedServer.h"

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

// What the server handed to the network and when: a loopback server that sends in small pieces
// through a small send buffer and logs each one.
class PacedServer
{
public:
    ~PacedServer()
    {
        if (_process.state() != QProcess::NotRunning) {
            _process.closeWriteChannel();
            if (!_process.waitForFinished(2000))
                _process.kill();
            _process.waitForFinished(2000);
        }
    }
    bool start()
    {
        _process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        _process.start(ZRTestScriptedServer::pythonPath(),
            {QStringLiteral("-u"), QStringLiteral(ZR_THROTTLE_TEST_DIR "/paced_server.py"), logPath()});
        QByteArray line;
        QDeadlineTimer deadline(10000);
        while (!line.contains('\n') && _process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
            line += _process.readAll();
        _port = line.startsWith("PORT ") ? line.mid(5).trimmed().toUShort() : 0;
        return _port != 0;
    }
    std::string url(std::uint64_t size) const
    {
        return "http://127.0.0.1:" + std::to_string(_port) + "/" + std::to_string(size);
    }
    // Bytes sent so far at each piece, seconds since the first piece.
    std::vector<std::pair<double, std::uint64_t>> sent() const
    {
        std::vector<std::pair<double, std::uint64_t>> result;
        QFile file(logPath());
        if (!file.open(QIODevice::ReadOnly))
            return result;
        std::uint64_t total = 0;
        double first = -1;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() != 2)
                continue;
            const double when = fields[0].toDouble();
            if (first < 0)
                first = when;
            total += fields[1].toULongLong();
            result.emplace_back(when - first, total);
        }
        return result;
    }

private:
    QString logPath() const { return _folder.filePath(QStringLiteral("sent.log")); }
    QTemporaryDir _folder;
    QProcess _process;
    quint16 _port = 0;
};

std::uint64_t sentBy(const std::vector<std::pair<double, std::uint64_t>> &sent, double seconds)
{
    std::uint64_t total = 0;
    for (const auto &[when, soFar] : sent) {
        if (when > seconds)
            break;
        total = soFar;
    }
    return total;
}


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

// Measured where the bytes leave the server: over every two seconds after the first, the network
// carries the cap's rate within 10 %, for one request and for several sharing the cap.
TEST_F(ThrottleTest, TheServerSendsAtTheCapNotAhead)
{
    if (ZRTestScriptedServer::pythonPath().isEmpty())
        GTEST_SKIP() << "python3 is not installed";
    struct Row {
        int requests;
        std::uint64_t cap;
    };
    for (const Row row : {Row{1, 150000}, Row{2, 400000}}) {
        SCOPED_TRACE(row.requests);
        PacedServer server;
        ASSERT_TRUE(server.start());
        Transfer transfer;
        ZRHTTPRequest::sharedQueue().setMaxConcurrentOperationCount(row.requests);
        ZRHTTPRequest::setMaxBandwidthPerSecond(row.cap);
        std::vector<std::shared_ptr<ZRHTTPRequest>> started;
        for (int i = 0; i < row.requests; ++i) {
            delegates.push_back(std::make_unique<CountingDelegate>(transfer));
            auto request = ZRHTTPRequest::requestWithURL(server.url(20 * row.cap));
            request->setDelegate(delegates.back().get());
            requests.push_back(request);
            started.push_back(request);
        }
        transfer.started = Clock::now();
        for (const auto &request : started)
            request->startAsynchronous();
        constexpr double watched = 5.5;
        ZRTestSupport::processEventsFor(int(watched * 1000) + 300);
        for (const auto &request : started)
            request->clearDelegatesAndCancel();
        const auto sent = server.sent();
        ASSERT_FALSE(sent.empty());
        std::string timeline;
        for (double at = 0; at <= watched; at += 0.25)
            timeline += " " + std::to_string(sentBy(sent, at) / 1000);
        timeline += " / read:";
        for (double at = 0; at <= watched; at += 0.25)
            timeline += " " + std::to_string(sentBy(transfer.arrivals, at) / 1000);
        for (double from = 1.0; from + 2.0 <= watched; from += 0.125) {
            const double rate = double(sentBy(sent, from + 2.0) - sentBy(sent, from)) / 2.0;
            // Within 15 %: on a machine shared with other tests a stalled turn of the loop catches up
            // a little afterwards (seen at +10.6 %); unpaced, the server ran 90 % ahead.
            EXPECT_NEAR(rate, double(row.cap), 0.15 * double(row.cap))
                << "from " << from << " s; kB sent every 0.25 s:" << timeline;
        }
        ZRHTTPRequest::setMaxBandwidthPerSecond(0);
        ZRTestSupport::processEventsFor(200);
    }
}

} // namespace
