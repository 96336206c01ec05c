// Desktop notifications through org.freedesktop.Notifications on the session bus. A notification
// posted under the identifier of one still on screen replaces it, and a click on one is reported
// with its identifier.
#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>

#include <optional>

// Main thread.
class ZRDesktopNotifications : public QObject
{
    Q_OBJECT
public:
    // The session bus, unless another connection stands in for it.
    explicit ZRDesktopNotifications(QObject *parent = nullptr);
    ZRDesktopNotifications(const QDBusConnection &bus, QObject *parent = nullptr);
    ~ZRDesktopNotifications() override;

    // Shows a notification; an empty identifier never replaces anything. The text is shown as it is
    // (markup characters are escaped where the server reads markup).
    void post(const QString &identifier, const QString &title, const QString &message);

Q_SIGNALS:
    // The user clicked the notification posted under this identifier.
    void activated(const QString &identifier);

private Q_SLOTS:
    void actionInvoked(uint id, const QString &actionKey);
    void notificationClosed(uint id, uint reason);

private:
    struct Pending {
        QString title;
        QString message;
    };
    void send(const QString &identifier, const QString &title, const QString &message);

    QDBusConnection _bus;
    bool _bodyMarkup = true;
    QHash<QString, uint> _idsByIdentifier;
    QHash<uint, QString> _identifiersById;
    // Identifiers whose Notify call has not been answered yet, with the latest text to show next.
    QHash<QString, std::optional<Pending>> _inFlight;
};
