// Sleep and wake through a private bus that stands in for the system bus, with a stand-in logind
// that hands out delay locks.
#include "app/platform/ZRSleepWakeWatcher.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QProcess>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace ZRTestSupport;

namespace
{

class FakeLogin : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    int lockReadEnd = -1;
    QStringList inhibitArguments;

public Q_SLOTS:
    QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who, const QString &why,
                                    const QString &mode)
    {
        inhibitArguments = {what, who, why, mode};
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return {};
        if (lockReadEnd >= 0)
            ::close(lockReadEnd);
        lockReadEnd = fds[0];
        QDBusUnixFileDescriptor lock(fds[1]);
        ::close(fds[1]);
        return lock;
    }
};

// Whether every holder of the lock has let it go.
bool lockReleased(int readEnd)
{
    pollfd entry{readEnd, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & (POLLHUP | POLLIN));
}

TEST(SleepWakeWatcher, FollowsPrepareForSleepAndHoldsSleepBackUntilPaused)
{
    QProcess bus;
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
               QStringLiteral("--address=unix:path=") + sandboxRoot() + QStringLiteral("/system-bus")});
    if (!bus.waitForStarted(5000))
        GTEST_SKIP() << "no dbus-daemon";
    ASSERT_TRUE(waitUntil([&] { return bus.canReadLine(); }, 5000));
    const QByteArray address = bus.readLine().trimmed();
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);

    QDBusConnection logind =
        QDBusConnection::connectToBus(QString::fromLatin1(address), QStringLiteral("fake-logind"));
    ASSERT_TRUE(logind.isConnected());
    FakeLogin login;
    ASSERT_TRUE(logind.registerService(QStringLiteral("org.freedesktop.login1")));
    ASSERT_TRUE(logind.registerObject(QStringLiteral("/org/freedesktop/login1"), &login,
                                      QDBusConnection::ExportAllSlots));

    {
        ZRSleepWakeWatcher watcher;
        QStringList events;
        QObject::connect(&watcher, &ZRSleepWakeWatcher::willSleep, &watcher, [&] {
            // The system must still be waiting for us while the downloads pause.
            events.append(lockReleased(login.lockReadEnd) ? QStringLiteral("sleep, lock gone")
                                                          : QStringLiteral("sleep"));
        });
        QObject::connect(&watcher, &ZRSleepWakeWatcher::didWake, &watcher,
                         [&] { events.append(QStringLiteral("wake")); });
        ASSERT_TRUE(watcher.start());
        ASSERT_TRUE(waitUntil([&] { return login.lockReadEnd >= 0; }));
        EXPECT_EQ(login.inhibitArguments.value(0), QStringLiteral("sleep"));
        EXPECT_EQ(login.inhibitArguments.value(3), QStringLiteral("delay"));
        processEventsFor(50);
        EXPECT_FALSE(lockReleased(login.lockReadEnd));

        const auto announce = [&](bool sleeping) {
            QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                                             QStringLiteral("org.freedesktop.login1.Manager"),
                                                             QStringLiteral("PrepareForSleep"));
            signal << sleeping;
            logind.send(signal);
        };
        announce(true);
        ASSERT_TRUE(waitUntil([&] { return !events.isEmpty(); }));
        EXPECT_EQ(events, QStringList{QStringLiteral("sleep")});
        EXPECT_TRUE(waitUntil([&] { return lockReleased(login.lockReadEnd); }))
            << "sleep may go on once paused";

        announce(false);
        ASSERT_TRUE(waitUntil([&] { return events.size() == 2; }));
        EXPECT_EQ(events.last(), QStringLiteral("wake"));
        // A new lock for the next sleep.
        EXPECT_TRUE(waitUntil([&] { return !lockReleased(login.lockReadEnd); }));
    }
    ::close(login.lockReadEnd);
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-logind"));
    bus.terminate();
    bus.waitForFinished(5000);
}

} // namespace

#include "ZRSleepWakeWatcherTest.moc"
