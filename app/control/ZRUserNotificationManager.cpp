#include "app/control/ZRUserNotificationManager.h"

#include "app/control/ZRMainController.h"
#include "app/control/ZRPreferenceKeys.h"
#include "core/foundation/ZRUserDefaults.h"

ZRUserNotificationManager &ZRUserNotificationManager::defaultManager()
{
    static ZRUserNotificationManager manager;
    return manager;
}

// The identifier that the D-Bus service and the desktop file carry.
ZRUserNotificationManager::ZRUserNotificationManager() : _identifierPrefix(QStringLiteral("com.tessaline.Quorvel")) {}

QStringList *ZRUserNotificationManager::coalescedInformativeTextsForNotification(const QString &identifier)
{
    if (identifier.isEmpty())
        return nullptr;
    return &_coalescedNotificationInformativeTextsByIdentifier[identifier];
}

bool ZRUserNotificationManager::sendNotification(const QString &name, const QString &title,
                                                 const QString &informativeText, bool asAppendix,
                                                 const QString &filePath)
{
    if (!canSendStandardNotifications())
        return false;
    ZRUserInterface *userInterface = ZRMainController::mainController()->userInterface();
    if (!userInterface)
        return false;

    const ZRUserDefaults &defaults = ZRUserDefaults::standardUserDefaults();
    ZRUserNotification notification;
    notification.title = title;
    notification.message = informativeText;
    if (!filePath.isEmpty())
        notification.filePaths.append(filePath);
    if (!name.isEmpty()) {
        const QString identifier = QStringLiteral("%1: %2").arg(_identifierPrefix, name);
        if (canReplaceNotifications() && !informativeText.isEmpty() &&
            defaults.boolForKey(ZRPreferenceKey::CoalesceUserNotifications)) {
            QStringList &lines = *coalescedInformativeTextsForNotification(identifier);
            if (lines.isEmpty())
                lines.append(informativeText);
            else if (!asAppendix && defaults.boolForKey(ZRPreferenceKey::InvertUserNotifications))
                lines.prepend(informativeText);
            else if (asAppendix)
                lines.append(QLatin1Char('\n') + informativeText);
            else
                lines.append(informativeText);
            notification.message = lines.join(QLatin1Char('\n'));
            notification.identifier = identifier;
            QStringList &paths = _coalescedFilePathsByIdentifier[identifier];
            paths += notification.filePaths;
            notification.filePaths = paths;
        }
    }
    userInterface->postNotification(notification);
    return true;
}

void ZRUserNotificationManager::userNotificationCenterDidActivateNotification(const QString &identifier)
{
    if (QStringList *lines = coalescedInformativeTextsForNotification(identifier))
        lines->clear();
    _coalescedFilePathsByIdentifier.remove(identifier);
}
