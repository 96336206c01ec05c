// The launcher entry's counter, progress bar and urgency (docks and task bars that follow the
// com.canonical.Unity.LauncherEntry signal: Plank, Dash to Dock, KDE's task manager...).
#pragma once

#include <QDBusConnection>
#include <QString>

// Main thread.
class ZRLauncherEntry
{
public:
    // The application's desktop file ID, as the launcher knows it ("quorvel.desktop").
    explicit ZRLauncherEntry(const QString &desktopFileID, const QDBusConnection &bus = QDBusConnection::sessionBus());

    // count < 0 hides the counter, progress < 0 the bar. Nothing is sent when nothing changed.
    void update(qint64 count, double progress, bool urgent);

private:
    QString _appURI;
    QDBusConnection _bus;
    bool _hasSent = false;
    qint64 _count = -1;
    double _progress = -1;
    bool _urgent = false;
};
