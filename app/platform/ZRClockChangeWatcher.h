// Tells when the wall clock was set (by the user, or stepped by time synchronisation), through a
// timerfd armed with TFD_TIMER_CANCEL_ON_SET.
#pragma once

#include <QObject>

class QSocketNotifier;

// Main thread.
class ZRClockChangeWatcher : public QObject
{
    Q_OBJECT
public:
    explicit ZRClockChangeWatcher(QObject *parent = nullptr);
    ~ZRClockChangeWatcher() override;

    // Returns whether clock changes are watched; failures are logged.
    bool start();
    bool isWatching() const { return _fd >= 0; }

Q_SIGNALS:
    void clockDidChange();

private:
    bool arm();
    void readTimer();

    int _fd = -1;
    QSocketNotifier *_notifier = nullptr;
};
