#include "app/headless/ZRCommandLine.h"

#include "app/control/ZRScriptCommands.h"

#include "core/download/ZRDownload.h"
#include "core/foundation/ZRLog.h"
#include "core/text/ZRAddressExtensions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace
{

void printLine(std::FILE *stream, const QString &line)
{
    const QByteArray bytes = (stream == stderr ? QStringLiteral("quorvel: ") + line : line).toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

QString quoted(const QString &item)
{
    return QLatin1Char('"') + ZRExtensions::stringByEscapingControlCharacters(item) + QLatin1Char('"');
}

// Why a file or folder given by path cannot be opened; empty when it can.
QString refusalForPath(const QFileInfo &info)
{
    if (!info.exists())
        return QStringLiteral("no such file (a link to nothing)");
    const int mode = info.isDir() ? R_OK | X_OK : R_OK;
    if (::access(QFile::encodeName(info.absoluteFilePath()).constData(), mode) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return {};
}

} // namespace

ZRCommandLine::ZRCommandLine(int argc, char **argv)
{
    for (int index = 1; index < argc; ++index) {
        const QByteArray raw(argv[index]);
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        // The decoder finds errors while it converts, that is, on the way to a string.
        [[maybe_unused]] const QString decoded = decoder.decode(raw);
        if (!decoder.hasError())
            continue;
        // Shown with the bytes that are not ASCII escaped, since some of them are not text.
        QString shown;
        for (const char byte : raw) {
            const auto value = static_cast<unsigned char>(byte);
            shown += value < 0x80 ? QString(QLatin1Char(byte))
                                  : QStringLiteral("\\x") + QString::number(value, 16).toUpper().rightJustified(2, u'0');
        }
        _invalidArguments.insert(QString::fromLocal8Bit(raw), shown);
    }
}

void ZRCommandLine::addOptions(QCommandLineParser &parser)
{
    const std::pair<const char *, std::pair<ZRQueueCommand, const char *>> options[] = {
        {"list",
         {ZRQueueCommand::List, "List the queue: position, name, status (with the reason a download stopped), "
                                "progress and address of each download (or of those named by WHAT)."}},
        {"resume",
         {ZRQueueCommand::Resume, "Put paused downloads back in the queue (those named by WHAT, or all) and run "
                                  "until they are done; interrupted ones go on from the data they kept."}},
        {"pause", {ZRQueueCommand::Pause, "Pause waiting and running downloads (those named by WHAT, or all)."}},
        {"retry",
         {ZRQueueCommand::Retry, "Try failed downloads again (those named by WHAT, or all) and run until they are "
                                 "done: aborted ones from the start, interrupted ones from where they stopped."}},
        {"remove",
         {ZRQueueCommand::Remove, "Take downloads out of the queue (those named by WHAT, or all) and delete their "
                                  "unfinished data; finished files stay."}},
        {"clear", {ZRQueueCommand::Clear, "Take complete and aborted downloads out of the list."}},
    };
    for (const auto &[name, command] : options) {
        QCommandLineOption option(QString::fromLatin1(name), QString::fromLatin1(command.second));
        parser.addOption(option);
        _commandOptions.append({option, command.first});
    }
    parser.addPositionalArgument(QStringLiteral("WHAT"),
                                 QStringLiteral("With a queue command: a download's position (as --list numbers "
                                                "them), name or address; several may be given."),
                                 QStringLiteral("[WHAT...]"));
}

std::optional<ZRQueueCommand> ZRCommandLine::queueCommand(const QCommandLineParser &parser,
                                                          const QStringList &requestOptionNames, QString *error) const
{
    std::optional<ZRQueueCommand> found;
    for (const auto &[option, command] : _commandOptions) {
        if (!parser.isSet(option))
            continue;
        if (found) {
            *error = QStringLiteral("--%1 and --%2 cannot be given together")
                         .arg(ZRQueueCommandName(*found), ZRQueueCommandName(command));
            return std::nullopt;
        }
        found = command;
    }
    if (!found)
        return std::nullopt;
    for (const QString &name : requestOptionNames) {
        if (parser.isSet(name)) {
            *error = QStringLiteral("--%1 is for addresses to download, not for --%2")
                         .arg(name, ZRQueueCommandName(*found));
            return std::nullopt;
        }
    }
    return found;
}

bool ZRCommandLine::isValidText(const QString &argument) const
{
    if (_invalidArguments.isEmpty() || !argument.contains(QChar(QChar::ReplacementCharacter)))
        return true;
    // An option's value is a part of its argument ("--to=...").
    for (auto it = _invalidArguments.constBegin(); it != _invalidArguments.constEnd(); ++it) {
        if (it.key().contains(argument))
            return false;
    }
    return true;
}

void ZRCommandLine::print(const ZRQueueCommandResult &result)
{
    for (const QString &line : result.output)
        printLine(stdout, line);
    std::fflush(stdout);
    for (const QString &line : result.errors)
        printLine(stderr, line);
}

int ZRCommandLine::listArchivedQueue(const QStringList &specifiers, qint64 holderProcessID)
{
    ZRMainController::registerDefaults();
    const QString path = ZRDownload::queueArchivePath();
    QString error;
    const std::optional<ZRDownloadList> downloads = ZRMainController::downloadsFromQueueArchiveFile(path, &error);
    if (!downloads) {
        printLine(stderr, QStringLiteral("cannot read the queue <%1>: %2").arg(path, error));
        return 1;
    }
    if (holderProcessID > 0)
        printLine(stderr, QStringLiteral("Quorvel is running (process %1): this is its queue as it last saved it")
                              .arg(holderProcessID));
    const ZRQueueCommandResult result = ZRMainController::listDownloads(*downloads, specifiers);
    print(result);
    return result.exitStatus;
}

int ZRCommandLine::refuseOnRunningInstance(ZRQueueCommand command, qint64 holderProcessID)
{
    const QString running = holderProcessID > 0
                                ? QStringLiteral("Quorvel is running (process %1)").arg(holderProcessID)
                                : QStringLiteral("Quorvel is running");
    printLine(stderr, QStringLiteral("%1 and works the queue, and cannot be reached over the session bus, so "
                                     "--%2 changed nothing")
                          .arg(running, ZRQueueCommandName(command)));
    return 1;
}

int ZRCommandLine::performOnArchivedQueue(ZRQueueCommand command, const QStringList &specifiers)
{
    ZRMainController *controller = ZRMainController::mainController();
    // No front end and no event loop: nothing starts, nothing is shown but what the command says.
    controller->applicationWillFinishLaunching();
    controller->restoreQueueArchive();
    const ZRQueueCommandResult result = controller->performQueueCommand(command, specifiers);
    print(result);
    return result.exitStatus;
}

QStringList ZRCommandLine::invalidTextRefusals(QStringList &arguments) const
{
    QStringList refusals;
    arguments.removeIf([&](const QString &argument) {
        if (isValidText(argument))
            return false;
        refusals.append(QStringLiteral("cannot download %1: not valid UTF-8 text")
                            .arg(quoted(_invalidArguments.value(argument, argument))));
        return true;
    });
    return refusals;
}

ZRCommandLine::Intake ZRCommandLine::openArguments(ZRMainController &controller, const QStringList &arguments,
                                                   const QVariantMap &scriptArguments,
                                                   const QString &workingFolder) const
{
    const QDir base(workingFolder.isEmpty() ? QDir::currentPath() : workingFolder);
    QList<QUrl> urls;
    QList<ZRIntakeRefusal> refusals;
    for (const QString &argument : arguments) {
        if (!isValidText(argument)) {
            refusals.append({_invalidArguments.value(argument, argument), QStringLiteral("not valid UTF-8 text")});
            continue;
        }
        if (ZRExtensions::trimmedString(argument).isEmpty()) {
            refusals.append({argument, QStringLiteral("the argument is empty")});
            continue;
        }
        // Existing files and folders are opened as documents; everything else is address text.
        const QFileInfo info(base, argument);
        if (!argument.contains(QLatin1String("://")) && (info.exists() || info.isSymLink())) {
            const QString refusal = refusalForPath(info);
            if (!refusal.isEmpty())
                refusals.append({argument, refusal});
            else
                controller.getFileURLs(urls, {info.absoluteFilePath()}, QString());
            continue;
        }
        if (!ZRURLHandlerCommand::isOwnSchemeURLText(argument)) {
            urls += controller.URLsFromCollection({argument}, &refusals);
            continue;
        }
        // The desktop hands over the program's own URLs (from web pages, the browser extension) as
        // arguments: they stand for web addresses only.
        QString refusal;
        const std::optional<QString> text = ZRURLHandlerCommand(controller, argument).addressTextForURLText(&refusal);
        if (!text) {
            if (!refusal.isEmpty())
                refusals.append({argument, refusal});
            continue;
        }
        const QList<QUrl> found = controller.URLsFromCollection(text->split(QLatin1Char('\n')), &refusals);
        for (const QUrl &url : found) {
            const QString reason = ZRURLHandlerCommand::refusalForAddressFromURLScheme(url);
            if (reason.isEmpty())
                urls.append(url);
            else
                refusals.append({url.toString(), reason});
        }
    }

    const ZRDownloadList before = controller.downloads();
    QHash<const ZRDownload *, ZRDownloadStatus> statusBefore;
    for (const ZRDownloadPtr &download : before)
        statusBefore.insert(download.get(), download->status());
    controller.openURLs(urls, scriptArguments, &refusals);

    Intake intake;
    bool listedAlready = false;
    for (const ZRIntakeRefusal &refusal : std::as_const(refusals)) {
        if (refusal.isListedAlready) {
            listedAlready = true;
            intake.messages.append(QStringLiteral("%1 is %2").arg(quoted(refusal.item), refusal.reason));
        } else {
            intake.refusedAny = true;
            intake.messages.append(QStringLiteral("cannot download %1: %2").arg(quoted(refusal.item), refusal.reason));
        }
    }
    bool tookSomething = listedAlready;
    intake.watched = controller.downloadsMatchingStatusMask(ZRDownloadStatusMaskActive);
    for (const ZRDownloadPtr &download : controller.downloads()) {
        const auto was = statusBefore.constFind(download.get());
        if (was == statusBefore.constEnd()) {
            intake.watched.append(download);
            tookSomething = true;
        } else if (*was != download->status()) {
            tookSomething = true;
        }
    }
    intake.tookNothing = !tookSomething;
    if (intake.tookNothing && !intake.refusedAny)
        intake.messages.append(QStringLiteral("nothing new to add: no address found"));
    return intake;
}

int ZRCommandLine::Intake::exitStatus() const
{
    if (tookNothing && refusedAny)
        return 2;
    return refusedAny ? 1 : 0;
}

void ZRCommandLine::printErrors(const QStringList &lines)
{
    for (const QString &line : lines)
        printLine(stderr, line);
}
