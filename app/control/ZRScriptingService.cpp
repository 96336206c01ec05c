#include "app/control/ZRScriptingService.h"

#include "app/control/ZRMainController.h"
#include "app/control/ZRScriptArgumentKeys.h"
#include "app/control/ZRScriptCommands.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"

#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QDir>
#include <QTimer>

#include <unistd.h>

namespace ZRScripting
{

QDBusConnection sessionBus()
{
    if (!ZRSessionBusMayExist())
        return QDBusConnection(QStringLiteral("quorvel-no-session-bus"));
    return QDBusConnection::sessionBus();
}

namespace
{

QString statusName(ZRDownloadStatus status)
{
    switch (status) {
    case ZRDownloadStatusPaused:
        return QStringLiteral("Paused");
    case ZRDownloadStatusQueued:
        return QStringLiteral("Waiting");
    case ZRDownloadStatusDownloading:
        return QStringLiteral("Downloading");
    case ZRDownloadStatusComplete:
        return QStringLiteral("Complete");
    case ZRDownloadStatusAborted:
        return QStringLiteral("Aborted");
    }
    return QString();
}

} // namespace

QVariantMap descriptionOfDownload(ZRDownload &download, qsizetype position)
{
    return {
        {QStringLiteral("Position"), int(position)},
        {QStringLiteral("Name"), download.displayName()},
        {QStringLiteral("Address"), download.originalURLString()},
        {QStringLiteral("Status"), statusName(download.status())},
        {QStringLiteral("StatusText"), download.statusDescriptionWithFailureReason(false)},
        {QStringLiteral("Progress"), download.downloadCompletionFraction()},
        {QStringLiteral("Path"), download.path()},
    };
}

} // namespace ZRScripting

namespace
{

// Scripts run in folders of their own: a path must say where it is.
bool isAbsoluteOrHomePath(const QString &path)
{
    return path.startsWith(QLatin1Char('/')) || path == QLatin1String("~") || path.startsWith(QLatin1String("~/"));
}

} // namespace

ZRScriptingService::ZRScriptingService(ZRMainController &controller, QObject *parent)
    : QObject(parent), _controller(controller), _bus(QStringLiteral("quorvel-no-session-bus"))
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
    new ZRScriptingAdaptor(this);
    new ZRApplicationAdaptor(this);
    connect(&_controller, &ZRMainController::queueDidChange, this, &ZRScriptingService::queueDidChange);
    for (const ZRDownloadPtr &download : _controller.downloads())
        _seen.insert(download.get(), Seen{download, download->status()});
}

ZRScriptingService::~ZRScriptingService()
{
    unregisterFromBus();
}

bool ZRScriptingService::registerOnBus(const QDBusConnection &bus, QString *error)
{
    const auto fail = [error](const QString &reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (!bus.isConnected())
        return fail(QStringLiteral("no session bus"));
    _bus = bus;
    if (!_bus.registerObject(ZRScripting::objectPath, this, QDBusConnection::ExportAdaptors))
        return fail(QStringLiteral("cannot export %1: %2").arg(ZRScripting::objectPath, _bus.lastError().message()));
    if (!_bus.registerService(ZRScripting::serviceName)) {
        _bus.unregisterObject(ZRScripting::objectPath);
        return fail(QStringLiteral("the name %1 has another owner").arg(ZRScripting::serviceName));
    }
    _isRegistered = true;
    return true;
}

void ZRScriptingService::unregisterFromBus()
{
    if (!_isRegistered)
        return;
    _isRegistered = false;
    _bus.unregisterService(ZRScripting::serviceName);
    _bus.unregisterObject(ZRScripting::objectPath);
}

bool ZRScriptingService::isCallerAllowed()
{
    if (!calledFromDBus())
        return true;
    const QDBusReply<uint> uid = connection().interface()->serviceUid(message().service());
    if (uid.isValid() && uid.value() == ::getuid())
        return true;
    sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Quorvel takes calls only from processes of its own user"));
    return false;
}

void ZRScriptingService::refuse(QDBusError::ErrorType type, const QString &message)
{
    if (calledFromDBus())
        sendErrorReply(type, message);
    else
        ZRLog(QStringLiteral("scripting: %1").arg(message));
}

void ZRScriptingService::download(const QStringList &addresses, const QVariantMap &arguments)
{
    if (!isCallerAllowed())
        return;
    using namespace ZRScriptArgumentKey;
    const QStringList known{ToPosixPath, ByPostingData, WithReferrer, PosingAsUserAgent, UsingCookies};
    for (auto it = arguments.constBegin(); it != arguments.constEnd(); ++it) {
        if (!known.contains(it.key()) || it.value().typeId() != QMetaType::QString) {
            refuse(QDBusError::InvalidArgs,
                           QStringLiteral("\"%1\" is not an argument of Download (known: %2, each a string)")
                               .arg(it.key(), known.join(QStringLiteral(", "))));
            return;
        }
    }
    const QString target = arguments.value(ToPosixPath).toString();
    if (!target.isEmpty() && !isAbsoluteOrHomePath(target)) {
        refuse(QDBusError::InvalidArgs,
                       QStringLiteral("toPosixPath must be an absolute path or start with \"~/\": %1").arg(target));
        return;
    }
    QString error;
    if (!ZRMainController::requestDictionaryFromAppleScriptArguments(arguments, &error)) {
        refuse(QDBusError::InvalidArgs, error);
        return;
    }
    ZRDownloadHandlerCommand(_controller, addresses, arguments).performDefaultImplementation();
}

void ZRScriptingService::getURL(const QString &url)
{
    if (!isCallerAllowed())
        return;
    // The answer goes back first: handling may ask the user, and the caller would time out waiting.
    QTimer::singleShot(0, &_controller, [controller = &_controller, url] {
        ZRURLHandlerCommand(*controller, url).performDefaultImplementation();
    });
}

void ZRScriptingService::openFiles(const QStringList &paths)
{
    if (!isCallerAllowed())
        return;
    for (const QString &path : paths) {
        if (!isAbsoluteOrHomePath(path)) {
            refuse(QDBusError::InvalidArgs, QStringLiteral("not an absolute path: %1").arg(path));
            return;
        }
    }
    QStringList expanded;
    for (const QString &path : paths)
        expanded.append(path.startsWith(QLatin1Char('~')) ? QDir::homePath() + path.mid(1) : path);
    // Reading folders and asking about many files waits for the next turn, after the answer.
    QTimer::singleShot(0, &_controller, [controller = &_controller, expanded] {
        controller->openFiles(expanded, false, true);
    });
}

void ZRScriptingService::activate()
{
    if (!isCallerAllowed())
        return;
    if (ZRUserInterface *userInterface = _controller.userInterface()) {
        userInterface->activate();
        if (!userInterface->isDownloadWindowVisible())
            userInterface->showDownloadWindow();
    }
}

QList<QVariantMap> ZRScriptingService::downloads()
{
    if (!isCallerAllowed())
        return {};
    QList<QVariantMap> downloads;
    qsizetype position = 0;
    for (const ZRDownloadPtr &download : _controller.downloads())
        downloads.append(ZRScripting::descriptionOfDownload(*download, ++position));
    return downloads;
}

int ZRScriptingService::queueCommand(const QString &command, const QStringList &what, QStringList &output,
                                     QStringList &errors)
{
    if (!isCallerAllowed())
        return 1;
    const std::optional<ZRQueueCommand> queueCommand = ZRQueueCommandFromName(command);
    if (!queueCommand) {
        refuse(QDBusError::InvalidArgs, QStringLiteral("no queue command is called \"%1\"").arg(command));
        return 2;
    }
    const ZRQueueCommandResult result = _controller.performQueueCommand(*queueCommand, what);
    output = result.output;
    errors = result.errors;
    return result.exitStatus;
}

int ZRScriptingService::openArguments(const QStringList &arguments, const QString &workingFolder,
                                      const QVariantMap &scriptArguments, QStringList &messages)
{
    if (!isCallerAllowed())
        return 1;
    if (!_argumentsHandler) {
        refuse(QDBusError::NotSupported, QStringLiteral("this Quorvel takes no command lines"));
        return 1;
    }
    if (!workingFolder.startsWith(QLatin1Char('/'))) {
        refuse(QDBusError::InvalidArgs,
                       QStringLiteral("the working folder must be an absolute path: %1").arg(workingFolder));
        return 2;
    }
    const ZRScripting::ArgumentsResult result = _argumentsHandler(arguments, workingFolder, scriptArguments);
    messages = result.messages;
    return result.exitStatus;
}

void ZRScriptingService::queueDidChange()
{
    if (_isReportPending || !_isRegistered)
        return;
    _isReportPending = true;
    QTimer::singleShot(0, this, &ZRScriptingService::reportChanges);
}

void ZRScriptingService::reportChanges()
{
    _isReportPending = false;
    QHash<const ZRDownload *, Seen> now;
    qsizetype position = 0;
    for (const ZRDownloadPtr &download : _controller.downloads()) {
        ++position;
        const ZRDownloadStatus status = download->status();
        now.insert(download.get(), Seen{download, status});
        const auto before = _seen.constFind(download.get());
        if (before == _seen.constEnd())
            Q_EMIT DownloadAdded(ZRScripting::descriptionOfDownload(*download, position));
        const bool wasFinished = before != _seen.constEnd() && (before->status & ZRDownloadStatusMaskFinished);
        if ((status & ZRDownloadStatusMaskFinished) && !wasFinished)
            Q_EMIT DownloadEnded(ZRScripting::descriptionOfDownload(*download, position));
    }
    _seen = std::move(now);
}

// --- org.freedesktop.Application ---

void ZRScriptingService::open(const QStringList &uris)
{
    if (!isCallerAllowed())
        return;
    QStringList addresses;
    QStringList files;
    for (const QString &uri : uris) {
        const QUrl url(uri);
        if (ZRURLHandlerCommand::isOwnSchemeURLText(uri))
            getURL(uri);
        else if (url.isLocalFile())
            files.append(url.toLocalFile());
        else
            addresses.append(uri);
    }
    if (!files.isEmpty())
        openFiles(files);
    if (!addresses.isEmpty())
        download(addresses, {});
}

void ZRScriptingService::activateAction(const QString &name)
{
    if (isCallerAllowed())
        refuse(QDBusError::InvalidArgs, QStringLiteral("Quorvel has no action \"%1\"").arg(name));
}

ZRScriptingAdaptor::ZRScriptingAdaptor(ZRScriptingService *service) : QDBusAbstractAdaptor(service), _service(service)
{
    setAutoRelaySignals(true);
}

ZRApplicationAdaptor::ZRApplicationAdaptor(ZRScriptingService *service)
    : QDBusAbstractAdaptor(service), _service(service)
{
}
