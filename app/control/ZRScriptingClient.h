// The other side of the scripting interface: what a second quorvel asks of the one that runs.
#pragma once

#include "app/control/ZRQueueCommand.h"
#include "app/control/ZRScriptingService.h"

#include <QDBusConnection>
#include <QList>
#include <QStringList>
#include <QVariantMap>

#include <optional>

// Main thread. Every call waits for the answer; failures leave the reason in *error.
namespace ZRScriptingClient
{

// Whether a Quorvel answers on this bus, and its process (0 when unknown).
bool isRunning(const QDBusConnection &bus, qint64 *processID = nullptr);
// Waits up to the time for one to take the name (one that is starting right now).
bool waitUntilRunning(const QDBusConnection &bus, int milliseconds, qint64 *processID = nullptr);

std::optional<ZRQueueCommandResult> performQueueCommand(const QDBusConnection &bus, ZRQueueCommand command,
                                                        const QStringList &what, QString *error);
std::optional<ZRScripting::ArgumentsResult> openArguments(const QDBusConnection &bus, const QStringList &arguments,
                                                          const QString &workingFolder,
                                                          const QVariantMap &scriptArguments, QString *error);
bool activate(const QDBusConnection &bus, QString *error);
std::optional<QList<QVariantMap>> downloads(const QDBusConnection &bus, QString *error);

} // namespace ZRScriptingClient
