#include "app/platform/ZRClockChangeWatcher.h"

#include "core/foundation/ZRLog.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <sys/timerfd.h>
#include <unistd.h>

ZRClockChangeWatcher::ZRClockChangeWatcher(QObject *parent) : QObject(parent) {}

ZRClockChangeWatcher::~ZRClockChangeWatcher()
{
    delete _notifier;
    if (_fd >= 0)
        ::close(_fd);
}

bool ZRClockChangeWatcher::start()
{
    if (_fd >= 0)
        return true;
    _fd = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (_fd < 0) {
        ZRLog(QStringLiteral("cannot watch for clock changes: %1")
                  .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    if (!arm()) {
        ::close(_fd);
        _fd = -1;
        return false;
    }
    _notifier = new QSocketNotifier(_fd, QSocketNotifier::Read, this);
    connect(_notifier, &QSocketNotifier::activated, this, &ZRClockChangeWatcher::readTimer);
    return true;
}

bool ZRClockChangeWatcher::arm()
{
    // An absolute expiry that never comes; the timer only exists to be cancelled when the clock is set.
    itimerspec spec{};
    spec.it_value.tv_sec = std::time(nullptr) + 10 * 365 * 24 * 3600;
    if (::timerfd_settime(_fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr) != 0) {
        ZRLog(QStringLiteral("cannot watch for clock changes: %1")
                  .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    return true;
}

void ZRClockChangeWatcher::readTimer()
{
    std::uint64_t expirations = 0;
    const ssize_t count = ::read(_fd, &expirations, sizeof expirations);
    const bool changed = count < 0 && errno == ECANCELED;
    if (count < 0 && errno == EAGAIN)
        return;
    // Cancelled or expired, the timer must be armed again to see the next change.
    arm();
    if (changed)
        Q_EMIT clockDidChange();
}
