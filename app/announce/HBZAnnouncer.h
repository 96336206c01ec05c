// Icon announcements: each time the application icon is drawn anew, the finished image goes to
// other programs of the same user as a short JSON text, and listeners that start later ask for the
// latest one again. The transport is the session bus signal
// com.tessaline.DistributedNotifications.Posted(name, object) at /com/tessaline/DistributedNotifications.
#pragma once

#include "app/announce/HBZSerialQueueOwner.h"

#include <QDBusConnection>
#include <QImage>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

namespace HBZAnnouncement
{
inline const QString announcementNotification = QStringLiteral("com.tessaline.HBZAnnouncementNotification");
inline const QString requestNotification = QStringLiteral("com.tessaline.HBZRequestNotification");
inline const QString disableAnnouncingKey = QStringLiteral("com.tessaline.HBZDisableAnnouncing");
inline const QString notificationInterface = QStringLiteral("com.tessaline.DistributedNotifications");
inline const QString notificationPath = QStringLiteral("/com/tessaline/DistributedNotifications");
// The keys of an announcement: "Image" (a QImage), "Badge" (text), "Identifier" (text).
inline const QString imageKey = QStringLiteral("Image");
inline const QString badgeKey = QStringLiteral("Badge");
inline const QString identifierKey = QStringLiteral("Identifier");
} // namespace HBZAnnouncement

// announce and reannounce from the main thread; the building and posting run on the announcer's
// own serial queue, in the order of the calls.
class HBZAnnouncer : public QObject, public HBZSerialQueueOwner
{
    Q_OBJECT
public:
    // The shared announcer, on the session bus; made on first use.
    static HBZAnnouncer &defaultAnnouncer();

    struct Environment {
        QDBusConnection bus;
        // The login name, the default identifier, and whether announcing is off (read at each call).
        QString userName;
        QString bundleIdentifier;
        std::function<bool()> isDisabled;
    };
    explicit HBZAnnouncer(Environment environment);
    ~HBZAnnouncer() override;

    // Asynchronous: returns at once.
    void announce(const QVariantMap &announcement);
    void reannounce();

    // The JSON text of the last announcement (empty before the first); waits for queued work.
    QString latestTransportString();

    // The user token: Base64 of the SHA-1 of the UTF-8 login name (always 28 characters).
    static QString userToken(const QString &userName);

private Q_SLOTS:
    void notificationPosted(const QString &name, const QString &object);

private:
    void post(const QString &object);

    Environment _environment;
    QString _latestTransportString;
};

// The application icon, as drawn, to the shared announcer (an empty announcement without one).
void HBZAnnounceImage(const QImage *image);
