#include "app/control/ZRScriptingClient.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDeadlineTimer>
#include <QThread>

namespace
{

// An intake may ask its user (a large batch, several linked files) before it answers.
constexpr int answerTimeout = 60 * 60 * 1000;

QDBusMessage call(const QDBusConnection &bus, const QString &method, const QList<QVariant> &arguments,
                  QString *error, int timeout = answerTimeout)
{
    QDBusMessage message = QDBusMessage::createMethodCall(ZRScripting::serviceName, ZRScripting::objectPath,
                                                          ZRScripting::interfaceName, method);
    message.setArguments(arguments);
    // A second quorvel must not start a first one through the bus's activation.
    message.setAutoStartService(false);
    const QDBusMessage reply = QDBusConnection(bus).call(message, QDBus::Block, timeout);
    if (reply.type() == QDBusMessage::ErrorMessage && error)
        *error = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
    return reply;
}

bool hasArguments(const QDBusMessage &reply, qsizetype count)
{
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() >= count;
}

} // namespace

namespace ZRScriptingClient
{

bool isRunning(const QDBusConnection &bus, qint64 *processID)
{
    if (!bus.isConnected() || !bus.interface())
        return false;
    const QDBusReply<bool> registered = bus.interface()->isServiceRegistered(ZRScripting::serviceName);
    if (!registered.isValid() || !registered.value())
        return false;
    if (processID) {
        const QDBusReply<uint> pid = bus.interface()->servicePid(ZRScripting::serviceName);
        *processID = pid.isValid() ? qint64(pid.value()) : 0;
    }
    return true;
}

bool waitUntilRunning(const QDBusConnection &bus, int milliseconds, qint64 *processID)
{
    QDeadlineTimer deadline(milliseconds);
    while (!isRunning(bus, processID)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    return true;
}

std::optional<ZRQueueCommandResult> performQueueCommand(const QDBusConnection &bus, ZRQueueCommand command,
                                                        const QStringList &what, QString *error)
{
    const QDBusMessage reply = call(bus, QStringLiteral("QueueCommand"), {ZRQueueCommandName(command), what}, error);
    if (!hasArguments(reply, 3)) {
        if (error && error->isEmpty())
            *error = QStringLiteral("unexpected answer");
        return std::nullopt;
    }
    ZRQueueCommandResult result;
    result.exitStatus = reply.arguments().at(0).toInt();
    result.output = reply.arguments().at(1).toStringList();
    result.errors = reply.arguments().at(2).toStringList();
    return result;
}

std::optional<ZRScripting::ArgumentsResult> openArguments(const QDBusConnection &bus, const QStringList &arguments,
                                                          const QString &workingFolder,
                                                          const QVariantMap &scriptArguments, QString *error)
{
    const QDBusMessage reply =
        call(bus, QStringLiteral("OpenArguments"), {arguments, workingFolder, scriptArguments}, error);
    if (!hasArguments(reply, 2)) {
        if (error && error->isEmpty())
            *error = QStringLiteral("unexpected answer");
        return std::nullopt;
    }
    return ZRScripting::ArgumentsResult{reply.arguments().at(0).toInt(), reply.arguments().at(1).toStringList()};
}

bool activate(const QDBusConnection &bus, QString *error)
{
    return call(bus, QStringLiteral("Activate"), {}, error, 25000).type() == QDBusMessage::ReplyMessage;
}

std::optional<QList<QVariantMap>> downloads(const QDBusConnection &bus, QString *error)
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
    const QDBusMessage reply = call(bus, QStringLiteral("Downloads"), {}, error, 25000);
    if (!hasArguments(reply, 1)) {
        if (error && error->isEmpty())
            *error = QStringLiteral("unexpected answer");
        return std::nullopt;
    }
    const QVariant value = reply.arguments().at(0);
    if (value.canConvert<QDBusArgument>())
        return qdbus_cast<QList<QVariantMap>>(value.value<QDBusArgument>());
    return value.value<QList<QVariantMap>>();
}

} // namespace ZRScriptingClient
