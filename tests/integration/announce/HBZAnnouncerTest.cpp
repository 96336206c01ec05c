// Icon announcements on a session bus of the test's own: what is posted, what is left out, the
// answer to a request, and the switch that silences both.
#include "app/announce/HBZAnnouncer.h"
#include "tests/support/ZRTestSessionBus.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QJsonDocument>
#include <QJsonObject>

using namespace ZRTestSupport;

namespace
{

class Listener : public QObject
{
    Q_OBJECT
public:
    QStringList objects;
public Q_SLOTS:
    void posted(const QString &name, const QString &object)
    {
        if (name == HBZAnnouncement::announcementNotification)
            objects.append(object);
    }
};

class Announcer : public testing::Test
{
protected:
    void SetUp() override
    {
        ZR_START_SESSION_BUS_OR_SKIP(sessionBus, sandboxRoot() + QStringLiteral("/announce-bus"));
        listenerBus = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(sessionBus.address(), QStringLiteral("announce-listener")));
        ASSERT_TRUE(listenerBus->connect(QString(), QString(), HBZAnnouncement::notificationInterface,
                                         QStringLiteral("Posted"), &listener, SLOT(posted(QString, QString))));
        const QDBusConnection bus = QDBusConnection::connectToBus(sessionBus.address(), QStringLiteral("announcer"));
        announcer = std::make_unique<HBZAnnouncer>(HBZAnnouncer::Environment{
            bus, QStringLiteral("alice"), QStringLiteral("com.tessaline.Quorvel"), [this] { return disabled; }});
    }
    void TearDown() override
    {
        announcer.reset();
        listenerBus.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("announcer"));
        QDBusConnection::disconnectFromBus(QStringLiteral("announce-listener"));
    }

    // Everything posted so far, once the bus has delivered it.
    QStringList postedAfter(qsizetype count)
    {
        announcer->waitUntilIdle();
        waitUntil([&] { return listener.objects.size() >= count; }, 5000);
        processEventsFor(50);
        return listener.objects;
    }
    void request()
    {
        QDBusMessage signal = QDBusMessage::createSignal(HBZAnnouncement::notificationPath,
                                                         HBZAnnouncement::notificationInterface, QStringLiteral("Posted"));
        signal << HBZAnnouncement::requestNotification << QString();
        listenerBus->send(signal);
    }

    ZRTestSessionBus sessionBus;
    std::unique_ptr<QDBusConnection> listenerBus;
    Listener listener;
    std::unique_ptr<HBZAnnouncer> announcer;
    bool disabled = false;
};

TEST_F(Announcer, PostsTheIconAndAnswersRequestsUnlessSilenced)
{
    // A request before anything was announced is answered without an object.
    request();
    EXPECT_EQ(postedAfter(1), QStringList{QString()});

    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(QColor(10, 200, 30));
    announcer->announce({{HBZAnnouncement::imageKey, image}, {HBZAnnouncement::badgeKey, QStringLiteral("0")}});
    announcer->announce({{HBZAnnouncement::badgeKey, QStringLiteral("00")}, {HBZAnnouncement::identifierKey, QStringLiteral("x.y")}});
    const QStringList posted = postedAfter(3);
    ASSERT_EQ(posted.size(), 3);
    const QJsonObject first = QJsonDocument::fromJson(posted.at(1).toUtf8()).object();
    EXPECT_EQ(first.value(QStringLiteral("Format")).toString(), QStringLiteral("1"));
    EXPECT_EQ(first.value(QStringLiteral("User")).toString(), HBZAnnouncer::userToken(QStringLiteral("alice")));
    EXPECT_EQ(first.value(QStringLiteral("Identifier")).toString(), QStringLiteral("com.tessaline.Quorvel"));
    EXPECT_FALSE(first.contains(QStringLiteral("Badge")));
    const QByteArray tiff = QByteArray::fromBase64(first.value(QStringLiteral("Image")).toString().toLatin1());
    EXPECT_TRUE(tiff.startsWith("II*") || tiff.startsWith("MM")) << tiff.left(4).toHex().toStdString();
    EXPECT_EQ(QImage::fromData(tiff).convertToFormat(QImage::Format_ARGB32), image);
    const QJsonObject second = QJsonDocument::fromJson(posted.at(2).toUtf8()).object();
    EXPECT_EQ(second.value(QStringLiteral("Badge")).toString(), QStringLiteral("00"));
    EXPECT_EQ(second.value(QStringLiteral("Identifier")).toString(), QStringLiteral("x.y"));
    EXPECT_FALSE(second.contains(QStringLiteral("Image")));
    // Compact JSON, and the latest is what a request gets back.
    EXPECT_FALSE(posted.at(2).contains(u' '));
    request();
    EXPECT_EQ(postedAfter(4).value(3), posted.at(2));

    // Silenced: neither new announcements nor answers; the latest stays for later.
    disabled = true;
    announcer->announce({{HBZAnnouncement::badgeKey, QStringLiteral("1")}});
    request();
    announcer->waitUntilIdle();
    processEventsFor(300);
    EXPECT_EQ(listener.objects.size(), 4);
    disabled = false;
    request();
    EXPECT_EQ(postedAfter(5).value(4), posted.at(2));

    // Tokens differ by user and are always 28 characters.
    EXPECT_NE(HBZAnnouncer::userToken(QStringLiteral("alice")), HBZAnnouncer::userToken(QStringLiteral("bob")));
    for (const QString &name : {QStringLiteral("a"), QStringLiteral("bob"), QString(200, u'z')})
        EXPECT_EQ(HBZAnnouncer::userToken(name).size(), 28);
}

} // namespace

#include "HBZAnnouncerTest.moc"
