#include "app/announce/HBZAnnouncer.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRUserDefaults.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDBusMessage>
#include <QImageWriter>
#include <QJsonDocument>
#include <QJsonObject>

#include <pwd.h>
#include <unistd.h>

namespace
{

QString loginUserName()
{
    if (const passwd *entry = ::getpwuid(::getuid()))
        return QString::fromLocal8Bit(entry->pw_name);
    return qEnvironmentVariable("USER");
}

// TIFF with LZW compression, the form companions read.
QByteArray compressedImage(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "tiff");
    writer.setCompression(1);
    if (!writer.write(image))
        return {};
    return bytes;
}

} // namespace

namespace
{

// Where no session bus can be, nobody could listen.
QDBusConnection sessionBusWhereItMayBe()
{
    if (!ZRSessionBusMayExist())
        return QDBusConnection(QStringLiteral("hbz-no-session-bus"));
    return QDBusConnection::sessionBus();
}

} // namespace

HBZAnnouncer &HBZAnnouncer::defaultAnnouncer()
{
    static HBZAnnouncer *announcer = new HBZAnnouncer(Environment{
        sessionBusWhereItMayBe(), loginUserName(), QStringLiteral("com.tessaline.Quorvel"),
        [] { return ZRUserDefaults::standardUserDefaults().boolForKey(HBZAnnouncement::disableAnnouncingKey); }});
    return *announcer;
}

HBZAnnouncer::HBZAnnouncer(Environment environment) : _environment(std::move(environment))
{
    if (_environment.bus.isConnected())
        _environment.bus.connect(QString(), QString(), HBZAnnouncement::notificationInterface,
                                 QStringLiteral("Posted"), this, SLOT(notificationPosted(QString, QString)));
}

HBZAnnouncer::~HBZAnnouncer()
{
    if (_environment.bus.isConnected())
        _environment.bus.disconnect(QString(), QString(), HBZAnnouncement::notificationInterface,
                                    QStringLiteral("Posted"), this, SLOT(notificationPosted(QString, QString)));
    waitUntilIdle();
}

QString HBZAnnouncer::userToken(const QString &userName)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(userName.toUtf8(), QCryptographicHash::Sha1).toBase64());
}

void HBZAnnouncer::announce(const QVariantMap &announcement)
{
    if (_environment.isDisabled && _environment.isDisabled())
        return;
    performAsync([this, announcement] {
        if (_environment.userName.isEmpty()) {
            ZRLog(QStringLiteral("[HBZ] cannot determine user name"));
            return;
        }
        QString identifier = announcement.value(HBZAnnouncement::identifierKey).toString();
        if (identifier.isEmpty())
            identifier = _environment.bundleIdentifier;
        if (identifier.isEmpty()) {
            ZRLog(QStringLiteral("[HBZ] cannot determine bundle identifier"));
            return;
        }
        QJsonObject record{{QStringLiteral("Format"), QStringLiteral("1")},
                           {QStringLiteral("User"), userToken(_environment.userName)},
                           {QStringLiteral("Identifier"), identifier}};
        if (announcement.contains(HBZAnnouncement::imageKey)) {
            const QByteArray image = compressedImage(announcement.value(HBZAnnouncement::imageKey).value<QImage>());
            if (image.isEmpty())
                ZRLog(QStringLiteral("[HBZ] cannot compress image"));
            else
                record.insert(QStringLiteral("Image"), QString::fromLatin1(image.toBase64()));
        }
        const QString badge = announcement.value(HBZAnnouncement::badgeKey).toString();
        if (announcement.contains(HBZAnnouncement::badgeKey) && badge != QLatin1String("0"))
            record.insert(QStringLiteral("Badge"), badge);
        _latestTransportString = QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact));
        post(_latestTransportString);
    });
}

void HBZAnnouncer::reannounce()
{
    if (_environment.isDisabled && _environment.isDisabled())
        return;
    performAsync([this] { post(_latestTransportString); });
}

QString HBZAnnouncer::latestTransportString()
{
    waitUntilIdle();
    return _latestTransportString;
}

void HBZAnnouncer::notificationPosted(const QString &name, const QString &object)
{
    (void)object;
    if (name == HBZAnnouncement::requestNotification)
        reannounce();
}

void HBZAnnouncer::post(const QString &object)
{
    if (!_environment.bus.isConnected())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(HBZAnnouncement::notificationPath,
                                                     HBZAnnouncement::notificationInterface, QStringLiteral("Posted"));
    signal << HBZAnnouncement::announcementNotification << object;
    _environment.bus.send(signal);
}

void HBZAnnounceImage(const QImage *image)
{
    QVariantMap announcement;
    if (image)
        announcement.insert(HBZAnnouncement::imageKey, *image);
    HBZAnnouncer::defaultAnnouncer().announce(announcement);
}
