#include "app/platform/ZRLogindSystemPower.h"

#include "core/foundation/ZRLog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace
{

const QString logindService = QStringLiteral("org.freedesktop.login1");
const QString logindPath = QStringLiteral("/org/freedesktop/login1");
const QString logindManager = QStringLiteral("org.freedesktop.login1.Manager");
// Long enough for the user to answer an authorisation prompt.
constexpr int callTimeoutMilliseconds = 120 * 1000;

} // namespace

ZRLogindSystemPower::ZRLogindSystemPower(QObject *parent)
    : ZRLogindSystemPower(QDBusConnection::systemBus(), parent)
{
}

ZRLogindSystemPower::ZRLogindSystemPower(const QDBusConnection &bus, QObject *parent) : QObject(parent), _bus(bus) {}

ZRLogindSystemPower::~ZRLogindSystemPower() = default;

void ZRLogindSystemPower::suspend(Completion completion)
{
    call(QStringLiteral("Suspend"), std::move(completion));
}

void ZRLogindSystemPower::powerOff(Completion completion)
{
    call(QStringLiteral("PowerOff"), std::move(completion));
}

void ZRLogindSystemPower::call(const QString &method, Completion completion)
{
    if (!_bus.isConnected()) {
        ZRLogDebug(QStringLiteral("cannot call logind %1: no system bus").arg(method));
        // Still asynchronous, like every other answer.
        QMetaObject::invokeMethod(this, [completion] { if (completion) completion(false); }, Qt::QueuedConnection);
        return;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(logindService, logindPath, logindManager, method);
    // Interactive: logind may ask the user to authorise instead of refusing.
    message << true;
    auto *watcher = new QDBusPendingCallWatcher(_bus.asyncCall(message, callTimeoutMilliseconds), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [method, completion](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                const QDBusPendingReply<> reply = *finished;
                if (reply.isError())
                    ZRLogDebug(QStringLiteral("cannot call logind %1: %2").arg(method, reply.error().message()));
                if (completion)
                    completion(!reply.isError());
            });
}
