// Flow of body bytes under pressure: a caller's thread slower than the network, and streams parked
// by the bandwidth cap.
#include "HTTPTestSupport.h"

#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestScriptedServer.h"

#include <QElapsedTimer>
#include <QThread>

namespace {

class FlowControlTest : public HTTPEngineTest {
protected:
    static void SetUpTestSuite()
    {
        if (!ZRTestNginx::isAvailable())
            return;
        nginx = new ZRTestNginx;
        if (!nginx->start() || !nginx->addPatternFile(QStringLiteral("eight.bin"), 8 * 1024 * 1024)
            || !nginx->addPatternFile(QStringLiteral("small.bin"), 400000)) {
            delete nginx;
            nginx = nullptr;
        }
    }
    static void TearDownTestSuite()
    {
        delete nginx;
        nginx = nullptr;
    }
    void SetUp() override
    {
        HTTPEngineTest::SetUp();
        if (!nginx)
            GTEST_SKIP() << "nginx cannot run here";
    }
    void TearDown() override
    {
        ZRHTTPRequest::setMaxBandwidthPerSecond(0);
        HTTPEngineTest::TearDown();
    }
    static std::string pattern(std::size_t size)
    {
        const QByteArray bytes = ZRTestScriptedServer::patternBytes(0, static_cast<qint64>(size));
        return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
    static ZRTestNginx *nginx;
};

ZRTestNginx *FlowControlTest::nginx = nullptr;

class SlowDelegate : public RecordingDelegate {
public:
    void requestDidReceiveData(ZRHTTPRequest &request, const std::string &data) override
    {
        RecordingDelegate::requestDidReceiveData(request, data);
        QThread::msleep(60);
    }
};

TEST_F(FlowControlTest, aSlowCallerGetsEveryByteInOrderAndWaitingForItIsNotInactivity)
{
    SlowDelegate delegate;
    auto request = ZRHTTPRequest::requestWithURL(nginx->httpURLString("/eight.bin"));
    // Far less than the whole delivery takes: only a silent server may time out.
    request->setTimeOutSeconds(0.3);
    ASSERT_TRUE(runToEnd(request, delegate, 20000));
    ASSERT_TRUE(delegate.finished) << errorMessage(request);
    EXPECT_TRUE(delegate.body == pattern(8 * 1024 * 1024));
}

TEST_F(FlowControlTest, fastBodiesArriveWholeWhileCurlIsPausedAndResumedOverAndOver)
{
    // Curl outruns the reads of 256 KiB here, so every stream is paused and resumed many times;
    // a resume that hands over as many bytes as were read must not be taken for a stalled reader.
    constexpr int count = 4;
    RecordingDelegate delegates[count];
    std::shared_ptr<ZRHTTPRequest> requests[count];
    for (int i = 0; i < count; ++i) {
        requests[i] = ZRHTTPRequest::requestWithURL(nginx->httpURLString("/eight.bin"));
        requests[i]->setTimeOutSeconds(2);
        requests[i]->setDelegate(&delegates[i]);
        requests[i]->startAsynchronous();
    }
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] {
        return std::all_of(std::begin(delegates), std::end(delegates), [](const auto &d) { return d.done(); });
    }, 20000));
    const std::string expected = pattern(8 * 1024 * 1024);
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(delegates[i].finished) << errorMessage(requests[i]);
        EXPECT_TRUE(delegates[i].body == expected);
        EXPECT_LE(delegates[i].largestChunk, 262144u);
        // Whole blocks of the read size, not a trickle of small pieces.
        EXPECT_LT(delegates[i].chunkCount, 8u * 1024 * 1024 / 16384);
    }
    // Let this window's bytes age out, or a cap set by a later test would make them up first.
    ZRTestSupport::processEventsFor(1100);
    ZRHTTPRequest::measureBandwidthUsage();
}

TEST_F(FlowControlTest, parkedStreamsWaitWithoutTimingOutAndAreReleasedWhenTheCapGoes)
{
    ZRHTTPRequest::setMaxBandwidthPerSecond(100000);
    RecordingDelegate delegate;
    auto request = ZRHTTPRequest::requestWithURL(nginx->httpURLString("/small.bin"));
    request->setTimeOutSeconds(0.5);
    request->setDelegate(&delegate);
    QElapsedTimer elapsed;
    elapsed.start();
    request->startAsynchronous();
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return delegate.body.size() >= 150000; }, 5000));
    EXPECT_GE(elapsed.elapsed(), 800) << "the cap held the first window";
    EXPECT_FALSE(delegate.done());
    // Throttled reads are never more than a quarter of the window's allowance.
    EXPECT_LE(delegate.largestChunk, 25000u);

    ZRHTTPRequest::setMaxBandwidthPerSecond(0);
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return delegate.done(); }, 1500));
    EXPECT_TRUE(delegate.finished) << errorMessage(request);
    EXPECT_TRUE(delegate.body == pattern(400000));
}

} // namespace
