#include "app/platform/ZRDesktopNotifications.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace
{

const QString notificationsService = QStringLiteral("org.freedesktop.Notifications");
const QString notificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString notificationsInterface = QStringLiteral("org.freedesktop.Notifications");
const QString defaultAction = QStringLiteral("default");

} // namespace

ZRDesktopNotifications::ZRDesktopNotifications(QObject *parent)
    : ZRDesktopNotifications(ZRSessionBusMayExist() ? QDBusConnection::sessionBus()
                                                    : QDBusConnection(QStringLiteral("quorvel-no-session-bus")),
                             parent)
{
}

ZRDesktopNotifications::ZRDesktopNotifications(const QDBusConnection &bus, QObject *parent)
    : QObject(parent), _bus(bus)
{
    if (!_bus.isConnected())
        return;
    _bus.connect(notificationsService, notificationsPath, notificationsInterface, QStringLiteral("ActionInvoked"),
                 this, SLOT(actionInvoked(uint, QString)));
    _bus.connect(notificationsService, notificationsPath, notificationsInterface,
                 QStringLiteral("NotificationClosed"), this, SLOT(notificationClosed(uint, uint)));
    // Until the server says otherwise, escape: a file name with "&" must not break the text.
    const QDBusMessage call = QDBusMessage::createMethodCall(notificationsService, notificationsPath,
                                                             notificationsInterface, QStringLiteral("GetCapabilities"));
    auto *watcher = new QDBusPendingCallWatcher(_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *finished) {
        finished->deleteLater();
        const QDBusPendingReply<QStringList> reply = *finished;
        if (!reply.isError())
            _bodyMarkup = reply.value().contains(QStringLiteral("body-markup"));
    });
}

ZRDesktopNotifications::~ZRDesktopNotifications() = default;

void ZRDesktopNotifications::post(const QString &identifier, const QString &title, const QString &message)
{
    if (!_bus.isConnected()) {
        ZRLogDebug(QStringLiteral("cannot show notification: no session bus"));
        return;
    }
    // The server's id arrives with the answer: a second notification of that kind waits for it,
    // so that it replaces the first instead of standing beside it.
    if (!identifier.isEmpty() && _inFlight.contains(identifier)) {
        _inFlight[identifier] = Pending{title, message};
        return;
    }
    send(identifier, title, message);
}

void ZRDesktopNotifications::send(const QString &identifier, const QString &title, const QString &message)
{
    QDBusMessage call = QDBusMessage::createMethodCall(notificationsService, notificationsPath,
                                                       notificationsInterface, QStringLiteral("Notify"));
    const uint replacesId = identifier.isEmpty() ? 0 : _idsByIdentifier.value(identifier, 0);
    call << QStringLiteral("Quorvel") << replacesId << QStringLiteral("quorvel") << title
         << (_bodyMarkup ? message.toHtmlEscaped() : message)
         // The default action is the click on the notification, not a button.
         << QStringList{defaultAction, QString()} << QVariantMap() << qint32(-1);
    if (!identifier.isEmpty())
        _inFlight.insert(identifier, std::nullopt);
    auto *watcher = new QDBusPendingCallWatcher(_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, identifier](QDBusPendingCallWatcher *finished) {
        finished->deleteLater();
        const QDBusPendingReply<uint> reply = *finished;
        std::optional<Pending> next;
        if (!identifier.isEmpty())
            next = _inFlight.take(identifier);
        if (reply.isError()) {
            ZRLogDebug(QStringLiteral("cannot show notification: %1").arg(reply.error().message()));
        } else if (!identifier.isEmpty()) {
            const uint id = reply.value();
            const uint previous = _idsByIdentifier.value(identifier, 0);
            if (previous != 0 && previous != id)
                _identifiersById.remove(previous);
            _idsByIdentifier.insert(identifier, id);
            _identifiersById.insert(id, identifier);
        }
        if (next)
            send(identifier, next->title, next->message);
    });
}

void ZRDesktopNotifications::actionInvoked(uint id, const QString &actionKey)
{
    if (actionKey != defaultAction)
        return;
    const QString identifier = _identifiersById.value(id);
    if (!identifier.isEmpty())
        Q_EMIT activated(identifier);
}

void ZRDesktopNotifications::notificationClosed(uint id, uint reason)
{
    (void)reason;
    const QString identifier = _identifiersById.take(id);
    // Gone from the screen: the next one of its kind is a new notification.
    if (!identifier.isEmpty() && _idsByIdentifier.value(identifier) == id)
        _idsByIdentifier.remove(identifier);
}
