// The class-wide bandwidth state under a fake clock: windows, samples, resume time, read sizes.
#include "core/http/ZRHTTPBandwidth.h"

#include <gtest/gtest.h>

#include <vector>

using namespace std::chrono_literals;

namespace {

class BandwidthTest : public ::testing::Test
{
protected:
    BandwidthTest()
        : bandwidth([this] { return now; })
    {
    }

    void advance(std::chrono::milliseconds step) { now += step; }

    // Runs the throttling step for one stream and returns its scheduled state afterwards.
    bool throttle(bool scheduled)
    {
        bandwidth.throttleStream(scheduled, [&scheduled](bool schedule) { scheduled = schedule; });
        return scheduled;
    }

    ZRHTTPBandwidth::TimePoint start = ZRHTTPBandwidth::TimePoint(1000s);
    ZRHTTPBandwidth::TimePoint now = start;
    ZRHTTPBandwidth bandwidth;
};

TEST_F(BandwidthTest, ResponseReadsShrinkToAQuarterOfWhatIsLeftAndKeepToTheWindowsPace)
{
    struct Row
    {
        std::uint64_t cap;
        int elapsedMilliseconds; // into the window
        std::uint64_t counted;
        std::size_t buffer;
        std::size_t expected;
    };
    const std::vector<Row> rows = {
        {100000, 0, 0, 65536, 6250},      // fresh window: only the pace's lead of 1/16 s
        {100000, 500, 0, 65536, 25000},   // half a window unused: a quarter of what is left
        {100000, 900, 80000, 65536, 5000},
        {100000, 500, 55000, 65536, 1250}, // close behind the pace
        {100000, 500, 60000, 65536, 1},   // ahead of the pace
        {100000, 999, 99999, 65536, 1},   // a quarter of 1 byte rounds to 0: still read 1
        {100000, 999, 100000, 65536, 1},  // at the cap
        {100000, 500, 150000, 65536, 1},  // above it
        {100000, 500, 0, 16384, 16384},   // the buffer is already smaller than the quarter
        {0, 0, 500000, 65536, 65536},     // not throttled: the full buffer
        {UINT64_MAX, 500, 10, 262144, 262144},
    };
    for (const Row &row : rows) {
        bandwidth.reset();
        now = start;
        bandwidth.setClock([this] { return now; });
        bandwidth.setMaxBandwidthPerSecond(row.cap);
        bandwidth.measureBandwidthUsage();
        advance(std::chrono::milliseconds(row.elapsedMilliseconds));
        bandwidth.incrementBandwidthUsedInLastSecond(row.counted);
        EXPECT_EQ(bandwidth.readLengthForBufferSize(row.buffer), row.expected)
            << "cap " << row.cap << ", at " << row.elapsedMilliseconds << " ms, counted " << row.counted;
    }
}

TEST_F(BandwidthTest, AStreamThatCaughtUpWithThePaceIsParkedForOneLead)
{
    bandwidth.setMaxBandwidthPerSecond(160000); // 10000 bytes per lead
    bandwidth.measureBandwidthUsage();
    advance(250ms);
    bandwidth.incrementBandwidthUsedInLastSecond(46000); // the pace allows 50000 by now
    EXPECT_FALSE(throttle(true));
    EXPECT_EQ(bandwidth.throttleResumeTime(), start + 287500us) << "where the pace reaches 46000 + a lead";
    advance(40ms);
    EXPECT_TRUE(throttle(false));
    EXPECT_EQ(bandwidth.readLengthForBufferSize(65536), 10400u);
    // Close to the window's end the pace no longer parks: the rest of the share is read at once.
    advance(690ms);
    bandwidth.incrementBandwidthUsedInLastSecond(110000);
    EXPECT_TRUE(throttle(true));
}

TEST_F(BandwidthTest, OvershootParksStreamsUntilTheWindowEndPlusItsPayback)
{
    bandwidth.setMaxBandwidthPerSecond(100000);
    EXPECT_TRUE(bandwidth.isBandwidthThrottled());
    bandwidth.measureBandwidthUsage(); // opens the window [start, start + 1 s)
    ASSERT_EQ(bandwidth.measurementWindowEnd(), start + 1s);
    EXPECT_TRUE(throttle(true)) << "nothing counted yet";

    advance(200ms);
    bandwidth.incrementBandwidthUsedInLastSecond(150000);
    EXPECT_FALSE(throttle(true)) << "over the cap: the stream is parked";
    ASSERT_TRUE(bandwidth.throttleResumeTime());
    EXPECT_EQ(*bandwidth.throttleResumeTime(), start + 1500ms);
    EXPECT_TRUE(bandwidth.isThrottleResumeTimeInFuture());
    EXPECT_FALSE(throttle(true)) << "a second stream is parked at its check too";

    // The window closes; the overshoot is still being paid back, so the stream stays parked.
    advance(1000ms);
    EXPECT_FALSE(throttle(false));
    EXPECT_EQ(bandwidth.bytesInCurrentWindow(), 0u);
    EXPECT_EQ(*bandwidth.throttleResumeTime(), start + 1500ms) << "the resume time is never cleared";

    advance(400ms);
    EXPECT_FALSE(bandwidth.isThrottleResumeTimeInFuture());
    EXPECT_TRUE(throttle(false)) << "released once the resume time has passed";
    EXPECT_TRUE(throttle(true)) << "a scheduled stream stays scheduled";
}

TEST_F(BandwidthTest, WithoutACapStreamsAreNeverParkedAndParkedOnesAreReleased)
{
    bandwidth.setMaxBandwidthPerSecond(100000);
    bandwidth.measureBandwidthUsage();
    bandwidth.incrementBandwidthUsedInLastSecond(400000);
    EXPECT_FALSE(throttle(true));

    bandwidth.setMaxBandwidthPerSecond(0);
    EXPECT_FALSE(bandwidth.isBandwidthThrottled());
    EXPECT_TRUE(throttle(false)) << "cap 0 releases a parked stream at its next check";
    bandwidth.incrementBandwidthUsedInLastSecond(10000000);
    EXPECT_TRUE(throttle(true));
    EXPECT_EQ(bandwidth.readLengthForBufferSize(262144), 262144u);
}

TEST_F(BandwidthTest, SamplesKeepTheRecentWindowsAndAnIdleWindowClearsThem)
{
    // Windows measured exactly at their end: samples pile up to six, oldest dropped first.
    bandwidth.measureBandwidthUsage();
    for (std::uint64_t bytes : {1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000}) {
        bandwidth.incrementBandwidthUsedInLastSecond(bytes);
        advance(1000ms);
        bandwidth.measureBandwidthUsage();
    }
    const std::deque<std::uint64_t> expected = {3000, 4000, 5000, 6000, 7000, 8000};
    EXPECT_EQ(bandwidth.bandwidthSamples(), expected);
    EXPECT_EQ(bandwidth.averageBandwidthUsedPerSecond(), 5500u);

    // Closing 2.5 s late drops one old sample per second past the window's end (rounded up).
    bandwidth.incrementBandwidthUsedInLastSecond(9000);
    advance(3500ms);
    bandwidth.measureBandwidthUsage();
    const std::deque<std::uint64_t> afterGap = {6000, 7000, 8000, 9000};
    EXPECT_EQ(bandwidth.bandwidthSamples(), afterGap);
    EXPECT_EQ(bandwidth.averageBandwidthUsedPerSecond(), 7500u);

    // Nothing transferred in a window: the average drops to 0 at once.
    advance(1000ms);
    bandwidth.measureBandwidthUsage();
    EXPECT_EQ(bandwidth.bandwidthSamples(), std::deque<std::uint64_t>({0}));
    EXPECT_EQ(bandwidth.averageBandwidthUsedPerSecond(), 0u);
}

TEST_F(BandwidthTest, UploadAllowanceIsAQuarterOfTheCapUntilTheWindowIsUsedUp)
{
    EXPECT_EQ(bandwidth.maxUploadReadLength(), 0u) << "no cap, no allowance";
    bandwidth.setMaxBandwidthPerSecond(100000);
    EXPECT_EQ(bandwidth.maxUploadReadLength(), 25000u);
    EXPECT_FALSE(bandwidth.throttleResumeTime()) << "no window yet, so no resume time";

    bandwidth.measureBandwidthUsage();
    EXPECT_EQ(bandwidth.maxUploadReadLength(), 25000u);
    bandwidth.incrementBandwidthUsedInLastSecond(90000);
    EXPECT_EQ(bandwidth.maxUploadReadLength(), 10000u);
    EXPECT_FALSE(bandwidth.throttleResumeTime());

    bandwidth.incrementBandwidthUsedInLastSecond(20000);
    EXPECT_EQ(bandwidth.maxUploadReadLength(), 0u);
    EXPECT_EQ(bandwidth.throttleResumeTime(), start + 1s) << "nothing fits: wait for the window's end";

    // An allowance left in a window that has already ended also waits for the next measurement.
    bandwidth.reset();
    bandwidth.setClock([this] { return now; });
    bandwidth.setMaxBandwidthPerSecond(100000);
    bandwidth.measureBandwidthUsage();
    advance(1200ms);
    EXPECT_EQ(bandwidth.maxUploadReadLength(), 25000u);
    EXPECT_EQ(bandwidth.throttleResumeTime(), start + 1s);
}

} // namespace
