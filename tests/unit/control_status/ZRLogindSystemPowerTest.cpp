// Suspend and power off through a stand-in logind on a private bus: the calls, their interactive
// flag, and a refusal reported as such.
#include "app/platform/ZRLogindSystemPower.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QProcess>

#include <optional>

using namespace ZRTestSupport;

namespace
{

class FakeLogin : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    QStringList calls;
    bool refuse = false;

public Q_SLOTS:
    void Suspend(bool interactive) { record(QStringLiteral("Suspend"), interactive); }
    void PowerOff(bool interactive) { record(QStringLiteral("PowerOff"), interactive); }

private:
    void record(const QString &method, bool interactive)
    {
        calls.append(method + (interactive ? QStringLiteral(" interactive") : QString()));
        if (refuse)
            sendErrorReply(QStringLiteral("org.freedesktop.login1.OperationInProgress"),
                           QStringLiteral("refused"));
    }
};

TEST(LogindSystemPower, AsksLogindAndReportsItsAnswer)
{
    QProcess bus;
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
               QStringLiteral("--address=unix:path=") + sandboxRoot() + QStringLiteral("/power-bus")});
    if (!bus.waitForStarted(5000))
        GTEST_SKIP() << "no dbus-daemon";
    ASSERT_TRUE(waitUntil([&] { return bus.canReadLine(); }, 5000));
    const QString address = QString::fromLatin1(bus.readLine().trimmed());

    {
        QDBusConnection logind = QDBusConnection::connectToBus(address, QStringLiteral("fake-logind"));
        QDBusConnection client = QDBusConnection::connectToBus(address, QStringLiteral("power-client"));
        ASSERT_TRUE(logind.isConnected() && client.isConnected());
        FakeLogin login;
        ASSERT_TRUE(logind.registerService(QStringLiteral("org.freedesktop.login1")));
        ASSERT_TRUE(logind.registerObject(QStringLiteral("/org/freedesktop/login1"), &login,
                                          QDBusConnection::ExportAllSlots));

        ZRLogindSystemPower power(client);
        std::optional<bool> answer;
        power.suspend([&](bool accepted) { answer = accepted; });
        ASSERT_TRUE(waitUntil([&] { return answer.has_value(); }));
        EXPECT_TRUE(*answer);

        login.refuse = true;
        answer.reset();
        power.powerOff([&](bool accepted) { answer = accepted; });
        ASSERT_TRUE(waitUntil([&] { return answer.has_value(); }));
        EXPECT_FALSE(*answer);
        EXPECT_EQ(login.calls, (QStringList{QStringLiteral("Suspend interactive"),
                                            QStringLiteral("PowerOff interactive")}));

        // Nobody answering on the bus is a refusal too, never a success.
        logind.unregisterService(QStringLiteral("org.freedesktop.login1"));
        answer.reset();
        power.suspend([&](bool accepted) { answer = accepted; });
        ASSERT_TRUE(waitUntil([&] { return answer.has_value(); }));
        EXPECT_FALSE(*answer);
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-logind"));
    QDBusConnection::disconnectFromBus(QStringLiteral("power-client"));

    // Without a bus at all the answer still comes, and is no.
    ZRLogindSystemPower unconnected(QDBusConnection(QStringLiteral("no such connection")));
    std::optional<bool> answer;
    unconnected.suspend([&](bool accepted) { answer = accepted; });
    EXPECT_FALSE(answer.has_value()) << "answers come on a later turn";
    ASSERT_TRUE(waitUntil([&] { return answer.has_value(); }));
    EXPECT_FALSE(*answer);

    bus.terminate();
    bus.waitForFinished(5000);
}

} // namespace

#include "ZRLogindSystemPowerTest.moc"
