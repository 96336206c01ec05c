#include "app/platform/ZRLauncherEntry.h"

#include <QDBusMessage>
#include <QVariantMap>

#include <cmath>

ZRLauncherEntry::ZRLauncherEntry(const QString &desktopFileID, const QDBusConnection &bus)
    : _appURI(QStringLiteral("application://") + desktopFileID), _bus(bus)
{
}

void ZRLauncherEntry::update(qint64 count, double progress, bool urgent)
{
    if (_hasSent && count == _count && std::abs(progress - _progress) < 0.001 && urgent == _urgent)
        return;
    if (!_bus.isConnected())
        return;
    _hasSent = true;
    _count = count;
    _progress = progress;
    _urgent = urgent;
    QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/com/tessaline/Quorvel/LauncherEntry"),
                                                     QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                                     QStringLiteral("Update"));
    const QVariantMap properties{
        {QStringLiteral("count"), qint64(count < 0 ? 0 : count)},
        {QStringLiteral("count-visible"), count >= 0},
        {QStringLiteral("progress"), progress < 0 ? 0.0 : progress},
        {QStringLiteral("progress-visible"), progress >= 0},
        {QStringLiteral("urgent"), urgent},
    };
    signal << _appURI << properties;
    _bus.send(signal);
}
