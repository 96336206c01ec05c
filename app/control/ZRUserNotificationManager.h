// User notifications: delivered through the front end (desktop notifications, or lines in the
// terminal), with notifications of one kind merged into one that grows line by line.
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

// Main thread.
class ZRUserNotificationManager
{
public:
    // The one instance, created on first use.
    static ZRUserNotificationManager &defaultManager();
    // Every Linux desktop front end can show notifications (the terminal prints them).
    static bool canSendStandardNotifications() { return true; }
    // Notifications with the same identifier replace each other (replaces_id).
    static bool canReplaceNotifications() { return true; }

    // The application's reverse-domain identifier, the first part of every notification identifier.
    QString identifierPrefix() const { return _identifierPrefix; }

    // Sends a notification through the controller's front end. With a name and "Coalesce User
    // Notifications" on, the text joins the lines of the earlier ones of that name (newest first
    // with "Invert User Notifications"; an appendix after a blank line) and replaces them on screen.
    // False when there is no front end to show it.
    // filePath: the finished file it tells of, if any.
    bool sendNotification(const QString &name, const QString &title, const QString &informativeText,
                          bool asAppendix, const QString &filePath = QString());
    // The lines merged so far under a full identifier, created empty on first use; none for an
    // empty identifier.
    QStringList *coalescedInformativeTextsForNotification(const QString &identifier);
    // The user clicked the notification: the next one of its kind starts afresh.
    void userNotificationCenterDidActivateNotification(const QString &identifier);

    // Tests: forget every merged line.
    void resetForTesting()
    {
        _coalescedNotificationInformativeTextsByIdentifier.clear();
        _coalescedFilePathsByIdentifier.clear();
    }

private:
    ZRUserNotificationManager();

    QString _identifierPrefix;
    QHash<QString, QStringList> _coalescedNotificationInformativeTextsByIdentifier;
    QHash<QString, QStringList> _coalescedFilePathsByIdentifier;
};
