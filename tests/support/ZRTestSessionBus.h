// A session bus of the test's own: a dbus-daemon on a socket in the sandbox, stopped with the object.
#pragma once

#include <QProcess>
#include <QString>

class ZRTestSessionBus
{
public:
    ZRTestSessionBus() = default;
    ~ZRTestSessionBus();
    ZRTestSessionBus(const ZRTestSessionBus &) = delete;
    ZRTestSessionBus &operator=(const ZRTestSessionBus &) = delete;

    // False when dbus-daemon is missing or does not start.
    bool start(const QString &folder);
    // For DBUS_SESSION_BUS_ADDRESS and QDBusConnection::connectToBus.
    QString address() const { return _address; }

private:
    QProcess _daemon;
    QString _address;
};

#define ZR_START_SESSION_BUS_OR_SKIP(bus, folder)                                                           \
    do {                                                                                                     \
        if (!(bus).start(folder))                                                                            \
            GTEST_SKIP() << "no dbus-daemon to start a session bus with";                                    \
    } while (false)
