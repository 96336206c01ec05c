#include "app/platform/ZRSleepWakeWatcher.h"

#include "core/foundation/ZRLog.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>

namespace
{

const QString logindService = QStringLiteral("org.freedesktop.login1");
const QString logindPath = QStringLiteral("/org/freedesktop/login1");
const QString logindManager = QStringLiteral("org.freedesktop.login1.Manager");

bool absentBusLogged = false;

// Without an address of its own the system bus is the well-known socket; when that is not there,
// asking the bus library would only start its machinery (and a thread) to find out the same.
bool systemBusMayExist()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS"))
        return true;
    return QFileInfo::exists(QStringLiteral("/run/dbus/system_bus_socket"))
        || QFileInfo::exists(QStringLiteral("/var/run/dbus/system_bus_socket"));
}

} // namespace

ZRSleepWakeWatcher::ZRSleepWakeWatcher(QObject *parent) : QObject(parent) {}

ZRSleepWakeWatcher::~ZRSleepWakeWatcher() = default;

bool ZRSleepWakeWatcher::start()
{
    if (_watching)
        return true;
    if (!systemBusMayExist() || !QDBusConnection::systemBus().isConnected()) {
        if (!absentBusLogged) {
            absentBusLogged = true;
            ZRLog(QStringLiteral("cannot watch for sleep and wake: no system bus"));
        }
        return false;
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    _watching = bus.connect(logindService, logindPath, logindManager, QStringLiteral("PrepareForSleep"), this,
                            SLOT(prepareForSleep(bool)));
    if (!_watching) {
        if (!absentBusLogged) {
            absentBusLogged = true;
            ZRLog(QStringLiteral("cannot watch for sleep and wake: %1").arg(bus.lastError().message()));
        }
        return false;
    }
    takeDelayLock();
    return true;
}

void ZRSleepWakeWatcher::prepareForSleep(bool sleeping)
{
    if (sleeping) {
        if (_asleep)
            return;
        _asleep = true;
        Q_EMIT willSleep();
        // The downloads are paused: let the system go.
        releaseDelayLock();
    } else {
        _asleep = false;
        Q_EMIT didWake();
        if (_watching)
            takeDelayLock();
    }
}

void ZRSleepWakeWatcher::takeDelayLock()
{
    if (_delayLock.isValid())
        return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(logindService, logindPath, logindManager, QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("Quorvel")
         << QStringLiteral("pause downloads before sleep") << QStringLiteral("delay");
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *finished) {
        finished->deleteLater();
        QDBusPendingReply<QDBusUnixFileDescriptor> reply = *finished;
        if (reply.isError()) {
            ZRLogDebug(QStringLiteral("cannot take sleep delay lock: %1").arg(reply.error().message()));
            return;
        }
        // A lock that arrives while asleep would only hold up the next sleep for nothing.
        if (!_asleep)
            _delayLock = reply.value();
    });
}

void ZRSleepWakeWatcher::releaseDelayLock()
{
    // Closing our copy of the descriptor releases the lock.
    _delayLock = QDBusUnixFileDescriptor();
}
