// Tells when the computer is about to sleep and when it woke, from logind's PrepareForSleep signal.
#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>

// Main thread.
class ZRSleepWakeWatcher : public QObject
{
    Q_OBJECT
public:
    explicit ZRSleepWakeWatcher(QObject *parent = nullptr);
    ~ZRSleepWakeWatcher() override;

    // Connects to logind on the system bus. Without a system bus (containers, tests) there are no
    // notifications; that is logged once per process. Returns whether the signal is watched.
    bool start();
    bool isWatching() const { return _watching; }

Q_SIGNALS:
    void willSleep();
    void didWake();

public Q_SLOTS:
    // logind's signal: true right before sleep, false after wake.
    void prepareForSleep(bool sleeping);

private:
    void takeDelayLock();
    void releaseDelayLock();

    bool _watching = false;
    bool _asleep = false;
    // While held, logind waits (up to its InhibitDelayMaxSec) so that downloads can pause before sleep.
    QDBusUnixFileDescriptor _delayLock;
};
