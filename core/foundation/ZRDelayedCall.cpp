#include "core/foundation/ZRDelayedCall.h"

#include <QTimer>
#include <cmath>

ZRDelayedCall::ZRDelayedCall() : _timer(std::make_unique<QTimer>())
{
    _timer->setSingleShot(true);
    _timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(_timer.get(), &QTimer::timeout, _timer.get(), [this] {
        // The call may re-arm or destroy this object: take it out first.
        auto call = std::move(_call);
        _call = nullptr;
        if (call)
            call();
    });
}

ZRDelayedCall::~ZRDelayedCall() = default;

void ZRDelayedCall::schedule(double seconds, std::function<void()> call)
{
    _call = std::move(call);
    const double milliseconds = std::isfinite(seconds) ? std::max(0.0, seconds * 1000.0) : 0.0;
    _timer->start(int(std::min(milliseconds, double(std::numeric_limits<int>::max()))));
}

void ZRDelayedCall::cancel()
{
    _timer->stop();
    _call = nullptr;
}

bool ZRDelayedCall::isScheduled() const
{
    return _timer->isActive();
}
