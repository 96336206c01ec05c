// Class-wide bandwidth measurement and throttling of the request engine.
#include "core/http/ZRHTTPBandwidth.h"

#include <algorithm>
#include <numeric>

namespace {

ZRHTTPBandwidth::TimePoint steadyNow()
{
    return ZRHTTPBandwidth::Clock::now();
}

ZRHTTPBandwidth::Clock::duration secondsToDuration(double seconds)
{
    return std::chrono::duration_cast<ZRHTTPBandwidth::Clock::duration>(std::chrono::duration<double>(seconds));
}

} // namespace

ZRHTTPBandwidth &ZRHTTPBandwidth::shared()
{
    static ZRHTTPBandwidth bandwidth;
    return bandwidth;
}

ZRHTTPBandwidth::ZRHTTPBandwidth()
    : _clock(steadyNow)
{
}

ZRHTTPBandwidth::ZRHTTPBandwidth(ClockFunction clock)
    : _clock(clock ? std::move(clock) : ClockFunction(steadyNow))
{
}

void ZRHTTPBandwidth::setClock(ClockFunction clock)
{
    std::lock_guard lock(_bandwidthLock);
    _clock = clock ? std::move(clock) : ClockFunction(steadyNow);
}

ZRHTTPBandwidth::TimePoint ZRHTTPBandwidth::now() const
{
    std::lock_guard lock(_bandwidthLock);
    return _clock();
}

std::uint64_t ZRHTTPBandwidth::maxBandwidthPerSecond() const
{
    std::lock_guard lock(_bandwidthLock);
    return _maxBandwidthPerSecond;
}

void ZRHTTPBandwidth::setMaxBandwidthPerSecond(std::uint64_t bytesPerSecond)
{
    std::lock_guard lock(_bandwidthLock);
    // A resume time worked out under another cap does not hold under this one, nor do the bytes
    // counted without a cap count against a new one: the next measurement starts a new window.
    if (bytesPerSecond != _maxBandwidthPerSecond) {
        _throttleResumeTime.reset();
        if (_measurementWindowEnd)
            _measurementWindowEnd = _clock();
    }
    _maxBandwidthPerSecond = bytesPerSecond;
}

bool ZRHTTPBandwidth::isBandwidthThrottled() const
{
    std::lock_guard lock(_bandwidthLock);
    return _maxBandwidthPerSecond != 0;
}

void ZRHTTPBandwidth::incrementBandwidthUsedInLastSecond(std::uint64_t bytes)
{
    std::lock_guard lock(_bandwidthLock);
    _bytesInCurrentWindow += bytes;
}

std::uint64_t ZRHTTPBandwidth::averageBandwidthUsedPerSecond() const
{
    std::lock_guard lock(_bandwidthLock);
    return _averageBandwidthUsedPerSecond;
}

void ZRHTTPBandwidth::closeWindowIfEndedLocked(TimePoint now)
{
    if (_measurementWindowEnd && *_measurementWindowEnd > now)
        return;
    if (_bytesInCurrentWindow == 0) {
        // An idle window: the history no longer describes the current rate.
        _bandwidthSamples.clear();
    } else {
        // Drop one old sample per second that has passed since the window ended, and keep room for the new one.
        double secondsLeft = 0;
        if (_measurementWindowEnd)
            secondsLeft = std::chrono::duration<double>(*_measurementWindowEnd - now).count();
        while (!_bandwidthSamples.empty() && (secondsLeft < 0 || _bandwidthSamples.size() >= maximumSampleCount)) {
            _bandwidthSamples.pop_front();
            secondsLeft += 1;
        }
    }
    _bandwidthSamples.push_back(_bytesInCurrentWindow);
    _measurementWindowEnd = now + std::chrono::seconds(1);
    _bytesInCurrentWindow = 0;
    const std::uint64_t sum = std::accumulate(_bandwidthSamples.begin(), _bandwidthSamples.end(), std::uint64_t(0));
    _averageBandwidthUsedPerSecond = sum / _bandwidthSamples.size();
}

std::uint64_t ZRHTTPBandwidth::pacedAllowanceLocked(TimePoint now) const
{
    if (!_measurementWindowEnd)
        return _maxBandwidthPerSecond;
    const double elapsed =
        std::chrono::duration<double>(now - (*_measurementWindowEnd - std::chrono::seconds(1))).count();
    const double share = double(_maxBandwidthPerSecond) * std::clamp(elapsed + paceLeadSeconds, 0.0, 1.0);
    return share >= double(_maxBandwidthPerSecond) ? _maxBandwidthPerSecond : std::uint64_t(share);
}

void ZRHTTPBandwidth::measureLocked(TimePoint now)
{
    closeWindowIfEndedLocked(now);
    if (_maxBandwidthPerSecond == 0)
        return;
    if (_bytesInCurrentWindow > _maxBandwidthPerSecond) {
        // Keep the overshoot for after the window: it is paid back at the cap's rate.
        const double overshootSeconds = double(_bytesInCurrentWindow - _maxBandwidthPerSecond)
                                        / double(_maxBandwidthPerSecond);
        _throttleResumeTime = *_measurementWindowEnd + secondsToDuration(overshootSeconds);
    } else {
        // Caught up with the pace: wait until it has gone one lead past what was read, so that
        // reads come in steps of a lead's worth rather than a few bytes at a time.
        const std::uint64_t allowed = pacedAllowanceLocked(now);
        const double step = double(_maxBandwidthPerSecond) * paceLeadSeconds;
        if (allowed < _maxBandwidthPerSecond && double(_bytesInCurrentWindow) + step / 2 > double(allowed)) {
            const double paceSeconds = double(_bytesInCurrentWindow) / double(_maxBandwidthPerSecond);
            const TimePoint windowStart = *_measurementWindowEnd - std::chrono::seconds(1);
            _throttleResumeTime = windowStart + secondsToDuration(paceSeconds);
        }
    }
}

void ZRHTTPBandwidth::measureBandwidthUsage()
{
    std::lock_guard lock(_bandwidthLock);
    measureLocked(_clock());
}

std::size_t ZRHTTPBandwidth::readLengthForBufferSize(std::size_t bufferSize) const
{
    std::lock_guard lock(_bandwidthLock);
    if (_maxBandwidthPerSecond == 0)
        return bufferSize;
    if (_bytesInCurrentWindow > _maxBandwidthPerSecond)
        return 1;
    // A quarter of what is left, so that several requests can each read within the window.
    std::uint64_t length = (_maxBandwidthPerSecond - _bytesInCurrentWindow) / 4;
    const std::uint64_t paced = pacedAllowanceLocked(_clock());
    length = std::min(length, paced > _bytesInCurrentWindow ? paced - _bytesInCurrentWindow : 0);
    if (length < bufferSize)
        return length == 0 ? 1 : std::size_t(length);
    return bufferSize;
}

std::size_t ZRHTTPBandwidth::throttledReceiveBufferSize() const
{
    std::lock_guard lock(_bandwidthLock);
    if (_maxBandwidthPerSecond == 0)
        return 0;
    // An eighth of a window: the network runs at most about that far ahead.
    return std::size_t(std::clamp<std::uint64_t>(_maxBandwidthPerSecond / 8, 16384, 262144));
}

std::uint64_t ZRHTTPBandwidth::maxUploadReadLength()
{
    std::lock_guard lock(_bandwidthLock);
    std::uint64_t allowance = 0;
    if (_maxBandwidthPerSecond != 0) {
        allowance = _maxBandwidthPerSecond / 4;
        if (_bytesInCurrentWindow > _maxBandwidthPerSecond - allowance)
            allowance = _bytesInCurrentWindow < _maxBandwidthPerSecond ? _maxBandwidthPerSecond - _bytesInCurrentWindow : 0;
    }
    if (allowance != 0 && _measurementWindowEnd && *_measurementWindowEnd > _clock())
        return allowance;
    // Nothing more fits into this window (or there is none yet): wait for its end.
    if (_measurementWindowEnd)
        _throttleResumeTime = _measurementWindowEnd;
    return allowance;
}

std::optional<ZRHTTPBandwidth::TimePoint> ZRHTTPBandwidth::throttleResumeTime() const
{
    std::lock_guard lock(_bandwidthLock);
    return _throttleResumeTime;
}

bool ZRHTTPBandwidth::isThrottleResumeTimeInFuture() const
{
    std::lock_guard lock(_bandwidthLock);
    return _throttleResumeTime && *_throttleResumeTime > _clock();
}

void ZRHTTPBandwidth::throttleStream(bool streamIsScheduled, const std::function<void(bool schedule)> &change)
{
    std::lock_guard lock(_bandwidthLock);
    const TimePoint now = _clock();
    measureLocked(now);
    if (_maxBandwidthPerSecond != 0) {
        if (!_throttleResumeTime)
            return;
        const bool parked = *_throttleResumeTime > now;
        if (parked && streamIsScheduled)
            change(false);
        else if (!parked && !streamIsScheduled)
            change(true);
    } else if (!streamIsScheduled) {
        change(true);
    }
}

void ZRHTTPBandwidth::reset()
{
    std::lock_guard lock(_bandwidthLock);
    _clock = steadyNow;
    _maxBandwidthPerSecond = 0;
    _bytesInCurrentWindow = 0;
    _measurementWindowEnd.reset();
    _throttleResumeTime.reset();
    _bandwidthSamples.clear();
    _averageBandwidthUsedPerSecond = 0;
}

std::uint64_t ZRHTTPBandwidth::bytesInCurrentWindow() const
{
    std::lock_guard lock(_bandwidthLock);
    return _bytesInCurrentWindow;
}

std::deque<std::uint64_t> ZRHTTPBandwidth::bandwidthSamples() const
{
    std::lock_guard lock(_bandwidthLock);
    return _bandwidthSamples;
}

std::optional<ZRHTTPBandwidth::TimePoint> ZRHTTPBandwidth::measurementWindowEnd() const
{
    std::lock_guard lock(_bandwidthLock);
    return _measurementWindowEnd;
}
