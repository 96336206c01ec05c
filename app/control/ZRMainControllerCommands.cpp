// The commands that act on many downloads at once (queue, pause, cancel, clear, retry), and the same
// commands as other processes ask for them: downloads named by position, name or address, and
// what the command has to say back.
#include "app/control/ZRMainController.h"

#include "app/control/ZRPreferenceKeys.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRAddressExtensions.h"
#include "core/text/ZRExtendedAttributes.h"
#include "core/text/ZRNumberFormatting.h"
#include "core/text/ZRStringExtensions.h"

#include <QFileInfo>

#include <algorithm>
#include <functional>

namespace
{

const QHash<QString, ZRQueueCommand> &commandsByName()
{
    static const QHash<QString, ZRQueueCommand> names = {
        {QStringLiteral("list"), ZRQueueCommand::List},     {QStringLiteral("resume"), ZRQueueCommand::Resume},
        {QStringLiteral("pause"), ZRQueueCommand::Pause},   {QStringLiteral("retry"), ZRQueueCommand::Retry},
        {QStringLiteral("remove"), ZRQueueCommand::Remove}, {QStringLiteral("clear"), ZRQueueCommand::Clear},
    };
    return names;
}

ZRDownloadList matching(const ZRDownloadList &downloads, const std::function<bool(ZRDownload &)> &test)
{
    ZRDownloadList result;
    for (const ZRDownloadPtr &download : downloads) {
        if (test(*download))
            result.append(download);
    }
    return result;
}

bool hasFailure(ZRDownload &download)
{
    return !download.lastError().isEmpty();
}

// "25% (512 KB of 2 MB)": what is on disk of how much, as far as it is known.
QString progressDescription(ZRDownload &download)
{
    qint64 bytes = 0;
    qint64 total = 0;
    if (download.status() == ZRDownloadStatusComplete) {
        bytes = total = QFileInfo(download.path()).size();
    } else if (download.hasDownloadWorkers()) {
        qint64 received = 0;
        qint64 offset = 0;
        download.getOverallCappedDownloadedBytes(&received, &offset, &total, nullptr, nullptr);
        bytes = received + offset;
    } else if (!download.matchesStatusMask(ZRDownloadStatusAborted)) {
        const QString path = download.intermediateDownloadTargetPath();
        if (!path.isEmpty() && QFileInfo::exists(path))
            bytes = qint64(download.combinedFileSizeFromIntermediateDownloadTargetPath(path, QString(), nullptr));
        total = download.userSettings().value(ZRDownloadKeys::ResumeTotalLength).toLongLong();
    }
    if (download.status() == ZRDownloadStatusComplete)
        return total > 0 ? QStringLiteral("100% (%1)").arg(ZRFileSize::fileSizeDescriptionWithBytesCount(quint64(total)))
                         : QStringLiteral("100%");
    if (total > 0) {
        bytes = std::min(bytes, total);
        return QStringLiteral("%1% (%2 of %3)")
            .arg(QString::number(bytes * 100 / total),
                 ZRFileSize::partialFileSizeDescriptionWithBytesCount(quint64(bytes), quint64(total)),
                 ZRFileSize::fileSizeDescriptionWithBytesCount(quint64(total)));
    }
    if (bytes > 0)
        return ZRFileSize::fileSizeDescriptionWithBytesCount(quint64(bytes));
    return QStringLiteral("0%");
}

// Every download that one of the specifiers names, each once, in list order.
ZRDownloadList downloadsForSpecifiers(const ZRDownloadList &downloads, const QStringList &specifiers,
                                      ZRQueueCommandResult &result)
{
    if (specifiers.isEmpty())
        return downloads;
    QSet<const ZRDownload *> named;
    for (const QString &specifier : specifiers) {
        const ZRDownloadList found = ZRMainController::downloadsForSpecifier(downloads, specifier);
        if (found.isEmpty()) {
            result.errors.append(QStringLiteral("no download in the queue is \"%1\" (--list shows their positions, "
                                                "names and addresses)")
                                     .arg(specifier));
            result.exitStatus = 1;
        }
        for (const ZRDownloadPtr &download : found)
            named.insert(download.get());
    }
    return matching(downloads, [&](ZRDownload &download) { return named.contains(&download); });
}

} // namespace

std::optional<ZRQueueCommand> ZRQueueCommandFromName(const QString &name)
{
    const auto found = commandsByName().constFind(name);
    if (found == commandsByName().constEnd())
        return std::nullopt;
    return *found;
}

QString ZRQueueCommandName(ZRQueueCommand command)
{
    return commandsByName().key(command);
}

// --- The window's commands ---

void ZRMainController::queuePaused()
{
    queuePaused(contextDownloads());
}

void ZRMainController::queuePaused(const ZRDownloadList &downloads)
{
    for (const ZRDownloadPtr &download : downloads)
        download->addToQueue();
    updateDownloadListDisplay();
}

void ZRMainController::pauseQueued()
{
    pauseQueued(contextDownloads());
}

void ZRMainController::pauseQueued(const ZRDownloadList &downloads)
{
    pauseDownloads(downloadsFromCollectionMatchingStatusMask(downloads, ZRDownloadStatusQueued));
}

void ZRMainController::pauseAll()
{
    pauseAll(contextDownloads());
}

void ZRMainController::pauseAll(const ZRDownloadList &downloads)
{
    pauseDownloads(downloadsFromCollectionMatchingStatusMask(downloads, ZRDownloadStatusMaskActive));
}

void ZRMainController::pauseDownloads(const ZRDownloadList &downloads)
{
    // Pausing one may start or change another: act on the downloads as they were asked for.
    const ZRDownloadList snapshot = downloads;
    for (const ZRDownloadPtr &download : snapshot)
        download->pause();
    updateDownloadListDisplay();
}

void ZRMainController::cancelAll(std::optional<qint64> senderTag)
{
    const ZRDownloadList downloads = contextDownloads();
    if (downloads.isEmpty())
        return;
    if (!senderTag || *senderTag > 0) {
        const int choice = runAlert({QStringLiteral("Cancel downloads?"),
                                     QStringLiteral("Are you sure you want to cancel your downloads? All temporary "
                                                    "files will be deleted."),
                                     {QStringLiteral("Cancel downloads"), QStringLiteral("Keep downloading")},
                                     ZRAlert::Style::Warning});
        if (choice != ZRAlertFirstButton)
            return;
    }
    cancelDownloads(downloads);
}

void ZRMainController::cancelDownloads(const ZRDownloadList &downloads)
{
    const ZRDownloadList snapshot = downloads;
    for (const ZRDownloadPtr &download : snapshot) {
        if (_downloads.contains(download))
            download->removeAndMoveToTrashIfDone(false);
    }
}

void ZRMainController::clear()
{
    vanishDownloads(downloadsMatchingStatusMask(ZRDownloadStatusMaskFinished));
}

void ZRMainController::continueDownloads(const ZRDownloadList &downloads)
{
    queuePaused(downloadsFromCollectionMatchingStatusMask(downloads, ZRDownloadStatusPaused));
    const ZRDownloadList aborted = downloadsFromCollectionMatchingStatusMask(downloads, ZRDownloadStatusAborted);
    if (!aborted.isEmpty())
        retryFromMenuItem(aborted);
}

// --- The commands as other processes ask for them ---

ZRDownloadList ZRMainController::downloadsForSpecifier(const ZRDownloadList &downloads, const QString &specifier)
{
    const QString text = ZRExtensions::trimmedString(specifier);
    if (text.isEmpty())
        return {};
    bool isNumber = false;
    const qint64 position = text.toLongLong(&isNumber);
    if (isNumber && position >= 1 && position <= downloads.size())
        return {downloads.at(position - 1)};
    // An address, in any of its spellings.
    const QString comparison = ZRExtensions::comparisonURLString(text);
    ZRDownloadList found = matching(downloads, [&](ZRDownload &download) {
        return download.comparisonURLString() == comparison ||
               ZRExtensions::comparisonURLString(download.originalURLString()) == comparison;
    });
    if (!found.isEmpty())
        return found;
    // A name: as it stands, else in any case.
    found = matching(downloads, [&](ZRDownload &download) {
        return download.displayName() == text || download.name() == text;
    });
    if (!found.isEmpty())
        return found;
    return matching(downloads, [&](ZRDownload &download) {
        return download.displayName().compare(text, Qt::CaseInsensitive) == 0 ||
               download.name().compare(text, Qt::CaseInsensitive) == 0;
    });
}

QStringList ZRMainController::queueListing(const ZRDownloadList &downloads)
{
    QStringList lines;
    const QString dash = ZRExtensions::spacedDashString();
    for (qsizetype index = 0; index < downloads.size(); ++index) {
        ZRDownload &download = *downloads[index];
        const QString line = QString::number(index + 1) + QStringLiteral(". ") + download.displayName() + dash +
                             download.statusDescriptionWithFailureReason(false) + dash +
                             progressDescription(download) + dash +
                             ZRExtensions::stringByRemovingURLCredentials(download.originalURLString());
        // Names, reasons and addresses come from servers: one line each, nothing that acts on a terminal.
        lines.append(ZRExtensions::stringByEscapingControlCharacters(line));
    }
    return lines;
}

ZRQueueCommandResult ZRMainController::listDownloads(const ZRDownloadList &downloads, const QStringList &specifiers)
{
    ZRQueueCommandResult result;
    const ZRDownloadList named = downloadsForSpecifiers(downloads, specifiers, result);
    const QStringList all = queueListing(downloads);
    for (const ZRDownloadPtr &download : named)
        result.output.append(all.at(downloads.indexOf(download)));
    if (downloads.isEmpty())
        result.output.append(QStringLiteral("no downloads"));
    return result;
}

std::optional<ZRDownloadList> ZRMainController::downloadsFromQueueArchiveFile(const QString &path, QString *error)
{
    const QFileInfo info(path);
    if (!info.exists())
        return ZRDownloadList();
    const std::optional<QVariant> root = ZRPropertyList::propertyListWithContentsOfFile(path, error);
    if (!root)
        return std::nullopt;
    if (root->typeId() != QMetaType::QVariantList) {
        if (error)
            *error = QStringLiteral("its root is not an array");
        return std::nullopt;
    }
    const bool autoStart = ZRUserDefaults::standardUserDefaults().boolForKey(ZRPreferenceKey::AutoStart);
    ZRDownloadList downloads;
    for (const QVariant &element : root->toList()) {
        if (element.typeId() != QMetaType::QVariantMap)
            continue;
        const QVariantMap archive = element.toMap();
        // Waiting entries show as waiting; nothing runs, since nothing turns the event loop.
        const bool queued = !archive.value(ZRDownloadKeys::Paused).toBool() && autoStart;
        ZRDownloadPtr download = ZRDownload::downloadWithArchive(archive, queued);
        if (!download)
            continue;
        abortIfUnusable(*download);
        downloads.append(download);
    }
    return downloads;
}

ZRQueueCommandResult ZRMainController::performQueueCommand(ZRQueueCommand command, const QStringList &specifiers)
{
    ZRQueueCommandResult result;
    const ZRDownloadList named = downloadsForSpecifiers(_downloads, specifiers, result);
    const auto say = [&](const QString &verb, const ZRDownloadList &downloads) {
        for (const ZRDownloadPtr &download : downloads)
            result.output.append(
                ZRExtensions::stringByEscapingControlCharacters(verb + QStringLiteral(": ") + download->displayName()));
    };
    // What was named but is not for this command, so that the caller learns why nothing happened.
    const auto passedOver = [&](const ZRDownloadList &acted, const QString &what) {
        if (specifiers.isEmpty()) {
            if (acted.isEmpty() && !named.isEmpty())
                result.errors.append(QStringLiteral("nothing to %1").arg(what));
            return;
        }
        for (const ZRDownloadPtr &download : named) {
            if (!acted.contains(download))
                result.errors.append(ZRExtensions::stringByEscapingControlCharacters(
                    QStringLiteral("%1 is %2: nothing to %3")
                        .arg(download->displayName(), download->statusDescriptionWithLiveDetails(false), what)));
        }
    };

    ZRDownloadList acted;
    switch (command) {
    case ZRQueueCommand::List:
        return listDownloads(_downloads, specifiers);
    case ZRQueueCommand::Resume:
        acted = downloadsFromCollectionMatchingStatusMask(named, ZRDownloadStatusPaused);
        queuePaused(acted);
        say(QStringLiteral("resumed"), acted);
        passedOver(acted, QStringLiteral("resume"));
        break;
    case ZRQueueCommand::Pause:
        acted = downloadsFromCollectionMatchingStatusMask(named, ZRDownloadStatusMaskActive);
        pauseDownloads(acted);
        say(QStringLiteral("paused"), acted);
        passedOver(acted, QStringLiteral("pause"));
        break;
    case ZRQueueCommand::Retry: {
        // Whatever failed: an aborted download starts over, a paused one that failed goes on from
        // what it kept. One paused by the user stays paused.
        const ZRDownloadList aborted = matching(named, [](ZRDownload &download) {
            return download.status() == ZRDownloadStatusAborted && refusalForURL(download.URL()).isEmpty();
        });
        const ZRDownloadList failed = matching(named, [](ZRDownload &download) {
            return download.status() == ZRDownloadStatusPaused && hasFailure(download);
        });
        if (!aborted.isEmpty())
            retryFromMenuItem(aborted);
        queuePaused(failed);
        acted = aborted + failed;
        say(QStringLiteral("retrying"), acted);
        passedOver(acted, QStringLiteral("retry"));
        break;
    }
    case ZRQueueCommand::Remove:
        acted = named;
        say(QStringLiteral("removed"), acted);
        cancelDownloads(acted);
        break;
    case ZRQueueCommand::Clear:
        acted = downloadsFromCollectionMatchingStatusMask(named, ZRDownloadStatusMaskFinished);
        say(QStringLiteral("cleared"), acted);
        vanishDownloads(acted);
        passedOver(acted, QStringLiteral("clear"));
        break;
    }
    if (!acted.isEmpty()) {
        result.changedQueue = true;
        updateDownloadListAndStatus();
        writeArchiveBeforeQuitting(false);
    }
    return result;
}
