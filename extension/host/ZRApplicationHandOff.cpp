#include "extension/host/ZRApplicationHandOff.h"

#include "core/foundation/ZRLog.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace
{

// A running Quorvel answers at once; an activated one first has to start.
constexpr int runningCallTimeout = 10 * 1000;
constexpr int activationCallTimeout = 30 * 1000;

bool callGetURL(QDBusConnection &bus, const QString &url, bool activate, int timeout)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(ZRApplicationHandOff::ServiceName, ZRApplicationHandOff::ObjectPath,
                                       ZRApplicationHandOff::InterfaceName, QStringLiteral("GetURL"));
    call << url;
    call.setAutoStartService(activate);
    const QDBusMessage reply = bus.call(call, QDBus::Block, timeout);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    // The call went to the owner of the name; a Quorvel busy asking the user is still a Quorvel
    // that has the address.
    if (reply.errorName() == QStringLiteral("org.freedesktop.DBus.Error.NoReply")) {
        ZRLog(QStringLiteral("Quorvel did not answer in time; the address was delivered"));
        return true;
    }
    ZRLog(QStringLiteral("cannot hand the address to Quorvel over D-Bus: %1 %2")
              .arg(reply.errorName(), reply.errorMessage()));
    return false;
}

bool startQuorvel(const QString &url)
{
    const QString program = ZRApplicationHandOff::quorvelExecutablePath();
    if (program.isEmpty()) {
        ZRLog(
            QStringLiteral("cannot start Quorvel: no quorvel program beside the extension host or on PATH"));
        return false;
    }
    QProcess process;
    process.setProgram(program);
    process.setArguments({url});
    // The browser's pipe stays ours: the program reads nothing from it and writes nothing to it.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    qint64 processID = 0;
    if (!process.startDetached(&processID)) {
        ZRLog(QStringLiteral("cannot start <%1>: %2").arg(program, process.errorString()));
        return false;
    }
    ZRLog(QStringLiteral("started <%1> (process %2) with the address").arg(program).arg(processID));
    return true;
}

} // namespace

namespace ZRApplicationHandOff
{

QString quorvelExecutablePath()
{
    const QFileInfo beside(QCoreApplication::applicationDirPath() + QStringLiteral("/quorvel"));
    if (beside.isFile() && beside.isExecutable())
        return beside.absoluteFilePath();
    return QStandardPaths::findExecutable(QStringLiteral("quorvel"));
}

bool openURL(const QString &url)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusConnectionInterface *names = bus.interface();
        if (names && names->isServiceRegistered(ServiceName).value())
            return callGetURL(bus, url, false, runningCallTimeout);
        const QDBusMessage activatable = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ListActivatableNames"));
        const QDBusMessage reply = bus.call(activatable);
        if (reply.type() == QDBusMessage::ReplyMessage &&
            reply.arguments().value(0).toStringList().contains(ServiceName) &&
            callGetURL(bus, url, true, activationCallTimeout))
            return true;
    } else {
        ZRLog(QStringLiteral("no session bus: %1").arg(bus.lastError().message()));
    }
    return startQuorvel(url);
}

} // namespace ZRApplicationHandOff
