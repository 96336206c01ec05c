// Desktop notifications against a stand-in notification server on a private bus: replacing by
// identifier, clicks, closed notifications and escaped text.
#include "app/platform/ZRDesktopNotifications.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QProcess>

using namespace ZRTestSupport;

namespace
{

class FakeNotificationServer : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Shown {
        uint replacesId;
        QString summary;
        QString body;
        QStringList actions;
    };
    QList<Shown> shown;
    uint lastId = 0;

public Q_SLOTS:
    QStringList GetCapabilities() { return {QStringLiteral("body"), QStringLiteral("body-markup")}; }
    uint Notify(const QString &, uint replacesId, const QString &, const QString &summary, const QString &body,
                const QStringList &actions, const QVariantMap &, int)
    {
        shown.append({replacesId, summary, body, actions});
        return replacesId != 0 ? replacesId : ++lastId;
    }
};

TEST(DesktopNotifications, ReplaceByIdentifierReportClicksAndEscapeText)
{
    QProcess bus;
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
               QStringLiteral("--address=unix:path=") + sandboxRoot() + QStringLiteral("/notification-bus")});
    if (!bus.waitForStarted(5000))
        GTEST_SKIP() << "no dbus-daemon";
    ASSERT_TRUE(waitUntil([&] { return bus.canReadLine(); }, 5000));
    const QString address = QString::fromLatin1(bus.readLine().trimmed());
    {
        QDBusConnection serverBus = QDBusConnection::connectToBus(address, QStringLiteral("fake-notifications"));
        QDBusConnection client = QDBusConnection::connectToBus(address, QStringLiteral("notifications-client"));
        ASSERT_TRUE(serverBus.isConnected() && client.isConnected());
        FakeNotificationServer server;
        ASSERT_TRUE(serverBus.registerService(QStringLiteral("org.freedesktop.Notifications")));
        ASSERT_TRUE(serverBus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                                             QDBusConnection::ExportAllSlots));

        ZRDesktopNotifications notifications(client);
        QStringList activated;
        QObject::connect(&notifications, &ZRDesktopNotifications::activated, &notifications,
                         [&](const QString &identifier) { activated.append(identifier); });
        const QString complete = QStringLiteral("q: Download Complete");

        // Two in a row, before the server answered the first: the second still replaces it.
        notifications.post(complete, QStringLiteral("Download Complete"), QStringLiteral("a&b <1>.zip"));
        notifications.post(complete, QStringLiteral("Download Complete"), QStringLiteral("a&b <1>.zip\nc.zip"));
        notifications.post(QString(), QStringLiteral("Added to Queue"), QStringLiteral("d"));
        ASSERT_TRUE(waitUntil([&] { return server.shown.size() == 3; }));
        processEventsFor(50);
        ASSERT_EQ(server.shown.size(), 3);
        EXPECT_EQ(server.shown[0].replacesId, 0u);
        EXPECT_EQ(server.shown[0].body, QStringLiteral("a&amp;b &lt;1&gt;.zip"));
        EXPECT_EQ(server.shown[0].actions.value(0), QStringLiteral("default"));
        EXPECT_EQ(server.shown[1].summary, QStringLiteral("Added to Queue"));
        EXPECT_EQ(server.shown[1].replacesId, 0u);
        EXPECT_EQ(server.shown[2].replacesId, 1u);
        EXPECT_EQ(server.shown[2].body, QStringLiteral("a&amp;b &lt;1&gt;.zip\nc.zip"));

        const auto emitSignal = [&](const QString &name, const QVariantList &arguments) {
            QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                                             QStringLiteral("org.freedesktop.Notifications"), name);
            signal.setArguments(arguments);
            serverBus.send(signal);
        };
        emitSignal(QStringLiteral("ActionInvoked"), {1u, QStringLiteral("default")});
        emitSignal(QStringLiteral("ActionInvoked"), {2u, QStringLiteral("default")});
        ASSERT_TRUE(waitUntil([&] { return !activated.isEmpty(); }));
        processEventsFor(50);
        EXPECT_EQ(activated, QStringList{complete}) << "only notifications with an identifier report clicks";

        // Closed on screen: the next one of that kind is a new notification.
        emitSignal(QStringLiteral("NotificationClosed"), {1u, 2u});
        processEventsFor(100);
        notifications.post(complete, QStringLiteral("Download Complete"), QStringLiteral("e"));
        ASSERT_TRUE(waitUntil([&] { return server.shown.size() == 4; }));
        EXPECT_EQ(server.shown[3].replacesId, 0u);
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-notifications"));
    QDBusConnection::disconnectFromBus(QStringLiteral("notifications-client"));
    bus.terminate();
    bus.waitForFinished(5000);
}

} // namespace

#include "ZRDesktopNotificationsTest.moc"
