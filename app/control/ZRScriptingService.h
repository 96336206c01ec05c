// The scripting interface on the session bus: "com.tessaline.Quorvel" at "/com/tessaline/Quorvel".
// Scripts and other programs hand over addresses (Download, GetURL), files (OpenFiles) and a second
// quorvel its command line (OpenArguments); they read the queue (Downloads, and the signals
// DownloadAdded and DownloadEnded) and steer it (QueueCommand). The same object answers
// org.freedesktop.Application, which desktops use to activate and open.
//
// Calls are taken only from processes of this user.
#pragma once

#include "app/control/ZRQueueCommand.h"
#include "core/download/ZRDownload.h"

#include <QDBusConnection>
#include <QDBusAbstractAdaptor>
#include <QDBusContext>
#include <QDBusError>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <functional>

class ZRMainController;

namespace ZRScripting
{

inline const QString serviceName = QStringLiteral("com.tessaline.Quorvel");
inline const QString objectPath = QStringLiteral("/com/tessaline/Quorvel");
inline const QString interfaceName = QStringLiteral("com.tessaline.Quorvel");

// The session bus when it may exist and answers; a disconnected one otherwise.
QDBusConnection sessionBus();

// One download as scripts see it: "Position" (1-based, queue order), "Name", "Address", "Status"
// ("Paused", "Waiting", "Downloading", "Complete", "Aborted"), "StatusText" (with the failure
// reason), "Progress" (0...1), "Path" (the file, when it is known).
QVariantMap descriptionOfDownload(ZRDownload &download, qsizetype position);

// What a second quorvel's command line came to: its lines for stderr, and its exit status.
struct ArgumentsResult {
    int exitStatus = 0;
    QStringList messages;
};
using ArgumentsHandler =
    std::function<ArgumentsResult(const QStringList &arguments, const QString &workingFolder,
                                  const QVariantMap &scriptArguments)>;

} // namespace ZRScripting

// Main thread. The object behind both interfaces (each an adaptor below); it keeps the caller
// check, which needs the call's context.
class ZRScriptingService : public QObject, protected QDBusContext
{
    Q_OBJECT
public:
    explicit ZRScriptingService(ZRMainController &controller, QObject *parent = nullptr);
    ~ZRScriptingService() override;

    // Exports the object and takes the name. False (the reason in *error) when the bus is not
    // there or the name has another owner.
    bool registerOnBus(const QDBusConnection &bus, QString *error = nullptr);
    void unregisterFromBus();

    // The command lines that a second quorvel hands over go here (the terminal or the window run
    // them as if typed to this one).
    void setArgumentsHandler(ZRScripting::ArgumentsHandler handler) { _argumentsHandler = std::move(handler); }

    // com.tessaline.Quorvel
    void download(const QStringList &addresses, const QVariantMap &arguments);
    void getURL(const QString &url);
    void openFiles(const QStringList &paths);
    void activate();
    QList<QVariantMap> downloads();
    int queueCommand(const QString &command, const QStringList &what, QStringList &output, QStringList &errors);
    int openArguments(const QStringList &arguments, const QString &workingFolder, const QVariantMap &scriptArguments,
                      QStringList &messages);
    // org.freedesktop.Application
    void open(const QStringList &uris);
    void activateAction(const QString &name);

Q_SIGNALS:
    void DownloadAdded(const QVariantMap &download);
    void DownloadEnded(const QVariantMap &download);

private:
    // False (with an error reply sent) for a caller of another user.
    bool isCallerAllowed();
    // Sends the error back when called over the bus; a log line otherwise.
    void refuse(QDBusError::ErrorType type, const QString &message);
    void queueDidChange();
    void reportChanges();

    ZRMainController &_controller;
    QDBusConnection _bus;
    bool _isRegistered = false;
    ZRScripting::ArgumentsHandler _argumentsHandler;
    struct Seen {
        ZRDownloadPtr download;
        ZRDownloadStatus status;
    };
    // The queue at the last report (held, so that no new download takes the address of one gone).
    QHash<const ZRDownload *, Seen> _seen;
    bool _isReportPending = false;
};

class ZRScriptingAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tessaline.Quorvel")
public:
    explicit ZRScriptingAdaptor(ZRScriptingService *service);

public Q_SLOTS:
    void Download(const QStringList &addresses, const QVariantMap &arguments) { _service->download(addresses, arguments); }
    void GetURL(const QString &url) { _service->getURL(url); }
    void OpenFiles(const QStringList &paths) { _service->openFiles(paths); }
    void Activate() { _service->activate(); }
    QList<QVariantMap> Downloads() { return _service->downloads(); }
    int QueueCommand(const QString &command, const QStringList &what, QStringList &output, QStringList &errors)
    {
        return _service->queueCommand(command, what, output, errors);
    }
    int OpenArguments(const QStringList &arguments, const QString &workingFolder, const QVariantMap &scriptArguments,
                      QStringList &messages)
    {
        return _service->openArguments(arguments, workingFolder, scriptArguments, messages);
    }

Q_SIGNALS:
    void DownloadAdded(const QVariantMap &download);
    void DownloadEnded(const QVariantMap &download);

private:
    ZRScriptingService *_service;
};

class ZRApplicationAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    explicit ZRApplicationAdaptor(ZRScriptingService *service);

public Q_SLOTS:
    void Activate(const QVariantMap &platformData)
    {
        (void)platformData;
        _service->activate();
    }
    // Web addresses are downloaded, the program's own URLs handled as by GetURL, local files opened.
    void Open(const QStringList &uris, const QVariantMap &platformData)
    {
        (void)platformData;
        _service->open(uris);
    }
    void ActivateAction(const QString &name, const QVariantList &parameter, const QVariantMap &platformData)
    {
        (void)parameter, (void)platformData;
        _service->activateAction(name);
    }

private:
    ZRScriptingService *_service;
};
