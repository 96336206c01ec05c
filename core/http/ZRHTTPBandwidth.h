// The engine's class-wide bandwidth state: one cap for all requests together, bytes counted in
// one-second windows, the time until which throttled streams stay parked, and the read sizes that
// keep concurrent requests within a window.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

class ZRHTTPBandwidth
{
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using ClockFunction = std::function<TimePoint()>;

    // Most recent windows kept for the average.
    static constexpr std::size_t maximumSampleCount = 6;

    // Thread-safe. The process-wide state that ZRHTTPRequest's class operations forward to.
    static ZRHTTPBandwidth &shared();

    // Thread-safe. Own instances are for tests; the clock defaults to the steady clock.
    ZRHTTPBandwidth();
    explicit ZRHTTPBandwidth(ClockFunction clock);
    ZRHTTPBandwidth(const ZRHTTPBandwidth &) = delete;
    ZRHTTPBandwidth &operator=(const ZRHTTPBandwidth &) = delete;

    // Replaces the time source (tests); an empty function restores the steady clock.
    void setClock(ClockFunction clock);
    TimePoint now() const;

    // Thread-safe. Bytes per second for all requests together; 0 = not throttled.
    std::uint64_t maxBandwidthPerSecond() const;
    void setMaxBandwidthPerSecond(std::uint64_t bytesPerSecond);
    bool isBandwidthThrottled() const;

    // Thread-safe. Counts body bytes read (before inflation) and request bytes sent.
    void incrementBandwidthUsedInLastSecond(std::uint64_t bytes);

    // Thread-safe. Integer mean of the recent windows' byte counts.
    std::uint64_t averageBandwidthUsedPerSecond() const;

    // Thread-safe. Closes a window that has ended (keeping its count as a sample) and, when the
    // current window has gone over the cap, moves the resume time past its end so that the
    // overshoot is paid back at the cap's rate.
    void measureBandwidthUsage();

    // Thread-safe. How many bytes one response read may take, given the buffer the reader would use:
    // a quarter of what is left of the window, no more than the window's pace allows by now (its
    // share spread evenly over the window, plus a short lead), at least 1 byte, never more than the
    // buffer. Reading evenly keeps what the network carries at the cap over any stretch of time,
    // not only over whole windows.
    std::size_t readLengthForBufferSize(std::size_t bufferSize) const;
    // How far reading may run ahead of the pace, in seconds; a stream that has caught up with the
    // pace is parked until the pace has moved on by that much.
    static constexpr double paceLeadSeconds = 1.0 / 16.0;

    // Thread-safe. How many body bytes a stream may hold unread, and the socket receive buffer it
    // should use, under the current cap: a fraction of one window's share, so that the network
    // is not far ahead of what the cap lets through. 0 when not throttled.
    std::size_t throttledReceiveBufferSize() const;

    // Thread-safe. How many bytes one request-body read may send now (0 when none); when nothing may
    // be sent in the current window, the resume time becomes the window's end.
    std::uint64_t maxUploadReadLength();

    // Thread-safe. The time until which throttled streams stay parked; none until first set, never cleared.
    std::optional<TimePoint> throttleResumeTime() const;
    // Thread-safe. Whether a resume time is set and still in the future (a new stream stays unscheduled).
    bool isThrottleResumeTimeInFuture() const;

    // Thread-safe, called on the request thread for one request's stream. Measures, then decides
    // while bandwidthLock is held whether the stream must be parked (scheduled and the resume time
    // in the future) or released (not scheduled and either not throttled or the resume time has
    // passed), and calls `change(true)` to schedule or `change(false)` to unschedule it with
    // the lock still held. `change` may take the connection-pool lock but never bandwidthLock.
    void throttleStream(bool streamIsScheduled, const std::function<void(bool schedule)> &change);

    // Thread-safe. Everything back to the start-up state, the clock included (tests).
    void reset();

    // Bytes counted in the current window and the kept samples (tests and diagnostics).
    std::uint64_t bytesInCurrentWindow() const;
    std::deque<std::uint64_t> bandwidthSamples() const;
    std::optional<TimePoint> measurementWindowEnd() const;

private:
    // Callers hold _bandwidthLock.
    void closeWindowIfEndedLocked(TimePoint now);
    void measureLocked(TimePoint now);
    // Bytes the current window's pace allows by now, counted ones included; the cap when there is
    // no window.
    std::uint64_t pacedAllowanceLocked(TimePoint now) const;

    // Non-recursive: nothing that holds it calls an operation that takes it again.
    mutable std::mutex _bandwidthLock;
    ClockFunction _clock;
    std::uint64_t _maxBandwidthPerSecond = 0;
    std::uint64_t _bytesInCurrentWindow = 0;
    std::optional<TimePoint> _measurementWindowEnd;
    std::optional<TimePoint> _throttleResumeTime;
    std::deque<std::uint64_t> _bandwidthSamples;
    std::uint64_t _averageBandwidthUsedPerSecond = 0;
};
