#include "tests/support/ZRTestSessionBus.h"

#include <QDir>
#include <QStandardPaths>

ZRTestSessionBus::~ZRTestSessionBus()
{
    if (_daemon.state() != QProcess::NotRunning) {
        _daemon.kill();
        _daemon.waitForFinished(5000);
    }
}

bool ZRTestSessionBus::start(const QString &folder)
{
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
        return false;
    QDir().mkpath(folder);
    _daemon.setProgram(QStringLiteral("dbus-daemon"));
    _daemon.setArguments({QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
                          QStringLiteral("--address=unix:path=") + folder + QStringLiteral("/bus")});
    _daemon.start();
    if (!_daemon.waitForReadyRead(10000))
        return false;
    _address = QString::fromUtf8(_daemon.readLine()).trimmed();
    return !_address.isEmpty();
}
