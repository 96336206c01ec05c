// One download over several connections: which hosts accelerate, laying out the fractions when a
// server answers with the whole file and serves ranges, and giving up on extra connections that
// cannot be had.
#include "core/download/ZRDownload.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRNaturalOrder.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

// The list entry that stands for downloads without a host.
const QString NoHostEntry = QStringLiteral("?");
const QString AccelerationFragmentInfix = QStringLiteral(".quorvel-xf-");
const QString ResumeFragmentInfix = QStringLiteral(".quorvel-rf-");

constexpr qint64 DefaultAccelerationFactor = 4;
constexpr qint64 LargestAccelerationFactor = 9;
constexpr qint64 DefaultFractionMinimumSize = 100000;

void storeHostList(const QStringList &hosts, const QString &key)
{
    if (hosts.isEmpty())
        defaults().removeObjectForKey(key);
    else
        defaults().setObject(hosts, key);
}

} // namespace

// --- Settings ---

bool ZRDownload::accelerationEnabled()
{
    return defaults().boolForKey(ZRDownloadDefaultsKeys::AccelerationEnabled);
}

void ZRDownload::setAccelerates(bool accelerates)
{
    defaults().setBool(accelerates, ZRDownloadDefaultsKeys::AccelerationEnabled);
}

QStringList ZRDownload::accelerationHostWhitelist()
{
    return defaults().stringArrayForKey(ZRDownloadDefaultsKeys::AccelerationHostWhitelist);
}

void ZRDownload::setAccelerationHostWhitelist(const QStringList &hosts)
{
    storeHostList(hosts, ZRDownloadDefaultsKeys::AccelerationHostWhitelist);
}

QStringList ZRDownload::accelerationHostBlacklist()
{
    return defaults().stringArrayForKey(ZRDownloadDefaultsKeys::AccelerationHostBlacklist);
}

void ZRDownload::setAccelerationHostBlacklist(const QStringList &hosts)
{
    storeHostList(hosts, ZRDownloadDefaultsKeys::AccelerationHostBlacklist);
}

qint64 ZRDownload::accelerationFactor()
{
    const qint64 stored = defaults().integerForKey(ZRDownloadDefaultsKeys::AccelerationChannels);
    if (stored < 2)
        return DefaultAccelerationFactor;
    return std::min(stored, LargestAccelerationFactor);
}

void ZRDownload::setAccelerationFactor(qint64 factor)
{
    defaults().setInteger(factor, ZRDownloadDefaultsKeys::AccelerationChannels);
}

qint64 ZRDownload::acceleratorFractionMinimumSize()
{
    const qint64 stored = defaults().integerForKey(ZRDownloadDefaultsKeys::AccelerationMinimumFractionSize);
    return stored < 1 ? DefaultFractionMinimumSize : stored;
}

bool ZRDownload::accelerates()
{
    QString host = queueRelevantHost();
    if (host.isEmpty())
        host = NoHostEntry;
    if (accelerationEnabled())
        return !accelerationHostBlacklist().contains(host);
    return accelerationHostWhitelist().contains(host);
}

void ZRDownload::toggleAcceleration()
{
    QString host = queueRelevantHost();
    if (host.isEmpty())
        host = NoHostEntry;
    const bool enabled = accelerationEnabled();
    QStringList whitelist = accelerationHostWhitelist();
    QStringList blacklist = accelerationHostBlacklist();
    if (accelerates()) {
        whitelist.removeAll(host);
        if (enabled)
            blacklist.append(host);
    } else {
        if (!enabled)
            whitelist.append(host);
        blacklist.removeAll(host);
    }
    setAccelerationHostWhitelist(whitelist);
    setAccelerationHostBlacklist(blacklist);
    if (ZRDownloadManager *manager = ZRDownloadManager::sharedManager())
        manager->updateDownloadListDisplay();
}

// --- Splitting ---

void ZRDownload::addAccelerationWorkersForResponse(ZRDownloadWorkerPrototype &worker, const ZRHTTPHeaders &headers,
                                                   const QUrl &url)
{
    if (_hasFailedToAddAccelerationWorkers || _downloadWorkers.size() != 1 || !accelerates())
        return;
    // A request with a body is sent once: a POST is never repeated for parts of its answer.
    const QString method = worker.requestMethod();
    if (!worker.requestBody().isNull() || (!method.isEmpty() && method != QLatin1String("GET")))
        return;
    if (ZRDownloadWorkerHeaders::value(headers, "Accept-Ranges").trimmed().toLower() != QLatin1String("bytes")) {
        _userSettings.insert(ZRDownloadKeys::RangesDisabled, true);
        return;
    }
    const qint64 length = worker.expectedBytes();
    if (length <= 0)
        return;
    const qint64 factor = accelerationFactor();
    if (factor < 2)
        return;
    const qint64 count = std::min(factor, length / acceleratorFractionMinimumSize());
    if (count < 2)
        return;
    const QString intermediatePath = intermediateDownloadTargetPathWithSuggestedFileName(QString(), true, true);
    if (intermediatePath.isEmpty())
        return;
    if (worker.targetPath().isEmpty())
        worker.setTargetPath(intermediatePath);

    // The first worker keeps its own share plus the remainder, so every later fraction is equal.
    const qint64 fractionSize = length / count;
    qint64 start = length - (count - 1) * fractionSize;
    const ZRDownloadWorkerPtr first = _downloadWorkers.front();
    for (qint64 i = 1; i < count; ++i) {
        ZRDownloadWorkerPtr extra = ZRDownloadWorkerPrototype::downloadWorkerWithDownloadWorker(first.get());
        if (!extra) {
            ZRLog(QStringLiteral("%1 cannot create acceleration worker").arg(description()));
            failAcceleration();
            return;
        }
        extra->setURL(url.isEmpty() ? worker.URL() : url);
        extra->setTargetPath(intermediatePath + AccelerationFragmentInfix + QString::number(i));
        extra->setFractionStartByte(start);
        extra->setResumeByteOffset(0);
        extra->setEndByte(start + fractionSize - 1);
        // Every fraction must come from the version the first worker is receiving.
        extra->setRangeValidator(worker.responseValidator());
        extra->setExpectedTotalBytes(length);
        // In the list before it starts: a transport may report as soon as it runs.
        noteWorkerPlacement(*extra);
        _downloadWorkers.push_back(extra);
        if (!extra->start()) {
            ZRLog(QStringLiteral("%1 cannot start acceleration worker %2").arg(description(), extra->description()));
            failAcceleration();
            return;
        }
        ZRLogDebug(QStringLiteral("%1 added acceleration worker %2 at offset %3")
                       .arg(description(), extra->description())
                       .arg(start));
        start += fractionSize;
    }
}

void ZRDownload::failAcceleration()
{
    _hasFailedToAddAccelerationWorkers = true;
    dropAccelerationWorkers();
    _userSettings.insert(ZRDownloadKeys::AccelerationFailed, true);
    _userSettings.remove(ZRDownloadKeys::AccelerationWorkers);

    // The first worker covers the whole file now: what the others left would only be joined onto it.
    QString path = _downloadWorkers.empty() ? QString() : _downloadWorkers.front()->targetPath();
    if (path.isEmpty())
        path = _intermediateDownloadTargetPath;
    if (!path.isEmpty()) {
        const QString prefix = QFileInfo(path).fileName() + AccelerationFragmentInfix;
        for (const QString &fragment : fragmentPathsForIntermediateDownloadTargetPath(path)) {
            if (QFileInfo(fragment).fileName().startsWith(prefix) && !QFile::remove(fragment))
                ZRLog(QStringLiteral("cannot remove partial file: <%1>").arg(fragment));
        }
    }
    _shouldWriteMetadataToDownloadBundle = true;
    updateDownload();
}

bool ZRDownload::giveUpAccelerationIfStillPossible(ZRDownloadWorkerPrototype &worker, const ZRHTTPErrorPtr &error)
{
    if (_downloadWorkers.size() < 2 || isFirstDownloadWorker(worker))
        return false;
    // Only while the first worker still runs towards the end of the file can it take over the rest.
    const ZRDownloadWorkerPrototype &first = *_downloadWorkers.front();
    if (first.endByte() > 0 || first.status() != ZRWorkerStatusRunning)
        return false;
    // A range answered with other bytes, or refused with an error status (503, 416): the server
    // will not serve this connection, however much the others already hold.
    const bool rangeRefused = (error && error->domain == ZRDownloadWorkerErrorDomain &&
                               error->code == ZRDownloadWorkerRangeNotHonouredErrorCode) ||
                              worker.responseIsErrorAnswer();
    qint64 fractionBytes = 0;
    for (size_t i = 1; i < _downloadWorkers.size(); ++i)
        fractionBytes += _downloadWorkers[i]->downloadedBytes() + _downloadWorkers[i]->resumeByteOffset();
    // A connection lost after the fractions received data is an interruption like any other: the
    // fractions are kept for the resume.
    if (!rangeRefused && fractionBytes > 0)
        return false;
    ZRLog(QStringLiteral("%1 cannot keep acceleration worker %2, going on with one connection: %3")
              .arg(description(), worker.description(),
                   error ? QString::fromStdString(error->localizedDescription) : QString()));
    failAcceleration();
    return true;
}

// --- Resuming ---

bool ZRDownload::trimFirstFractionFiles(const QString &intermediatePath, qint64 length)
{
    QStringList files{intermediatePath};
    const QString resumePrefix = QFileInfo(intermediatePath).fileName() + ResumeFragmentInfix;
    QStringList fragments = fragmentPathsForIntermediateDownloadTargetPath(intermediatePath);
    std::sort(fragments.begin(), fragments.end(), ZRNaturalLessThan);
    for (const QString &fragment : fragments) {
        if (QFileInfo(fragment).fileName().startsWith(resumePrefix))
            files.append(fragment);
    }
    qint64 kept = 0;
    for (const QString &file : files) {
        const qint64 size = QFileInfo(file).size();
        if (kept + size <= length) {
            kept += size;
            continue;
        }
        if (kept < length) {
            if (!QFile::resize(file, length - kept)) {
                ZRLog(QStringLiteral("cannot truncate <%1>: %2").arg(file, QString::fromLocal8Bit(strerror(errno))));
                return false;
            }
            kept = length;
        } else if (!QFile::remove(file)) {
            ZRLog(QStringLiteral("cannot remove partial file: <%1>").arg(file));
            return false;
        }
    }
    return true;
}

bool ZRDownload::acceleratedResumeIsPossible(const QString &intermediatePath, QHash<QString, quint64> &fragmentSizes)
{
    const QVariantList fractions = _userSettings.value(ZRDownloadKeys::AccelerationWorkers).toList();
    if (fractions.isEmpty() || !fragmentSizes.contains(intermediatePath))
        return false;
    // The fractions follow each other without gaps, and no file holds more than its fraction.
    qint64 expectedStart = -1;
    for (const QVariant &element : fractions) {
        const QVariantMap fraction = element.toMap();
        const QString target = fraction.value(ZRDownloadKeys::AccelerationWorkerTarget).toString();
        const qint64 start = fraction.value(ZRDownloadKeys::AccelerationWorkerStart).toLongLong();
        const qint64 end = fraction.value(ZRDownloadKeys::AccelerationWorkerEnd).toLongLong();
        if (target.isEmpty() || !fragmentSizes.contains(target) || start <= 0 || end < start
            || (expectedStart >= 0 && start != expectedStart) || qint64(fragmentSizes.value(target)) > end - start + 1)
            return false;
        expectedStart = end + 1;
    }
    const qint64 secondFractionStart =
        fractions.first().toMap().value(ZRDownloadKeys::AccelerationWorkerStart).toLongLong();
    if (qint64(fragmentSizes.value(intermediatePath)) > secondFractionStart) {
        // Stopped after the first worker passed the second fraction's start but before it was cut.
        if (!trimFirstFractionFiles(intermediatePath, secondFractionStart))
            return false;
        ZRLogDebug(QStringLiteral("%1 cut the first fraction back to %2 bytes").arg(description()).arg(secondFractionStart));
        fragmentSizes[intermediatePath] = quint64(secondFractionStart);
    }
    return true;
}

// --- Joining ---

bool ZRDownload::fractionsOnDiskMakeTheWholeFile(const QString &intermediatePath, bool combine)
{
    if (intermediatePath.isEmpty() || _downloadWorkers.empty())
        return true;
    // Without fragments to join only the file itself counts: no need to look for any.
    QHash<QString, quint64> sizes;
    if (combine)
        combinedFileSizeFromIntermediateDownloadTargetPath(intermediatePath, QString(), &sizes);
    const qint64 total = knownTotalLength();
    const auto missing = [&](const QString &file, qint64 held, qint64 length) {
        ZRLog(QStringLiteral("%1 cannot join: <%2> holds %3 of %4 bytes")
                  .arg(description(), file)
                  .arg(held)
                  .arg(length));
        return false;
    };
    if (!combine || _downloadWorkers.size() < 2) {
        // One connection: the file with its resume fragments. A body decoded on the way may be
        // longer than the length announced for it, never shorter.
        const qint64 held =
            combine ? qint64(sizes.value(intermediatePath)) : QFileInfo(intermediatePath).size();
        return total <= 0 || held >= total ? true : missing(intermediatePath, held, total);
    }
    // Each fraction exactly its length, one after the other, up to the end of the file.
    qint64 next = _downloadWorkers[1]->fractionStartByte();
    const qint64 first = qint64(sizes.value(intermediatePath));
    if (first > next && !trimFirstFractionFiles(intermediatePath, next))
        return false;
    if (first < next)
        return missing(intermediatePath, first, next);
    for (size_t i = 1; i < _downloadWorkers.size(); ++i) {
        const ZRDownloadWorkerPrototype &w = *_downloadWorkers[i];
        const qint64 length = w.endByte() - w.fractionStartByte() + 1;
        const qint64 held = qint64(sizes.value(w.targetPath()));
        if (w.fractionStartByte() != next || w.endByte() <= 0 || held != length)
            return missing(w.targetPath(), held, length);
        next = w.endByte() + 1;
    }
    if (total > 0 && next != total) {
        ZRLog(QStringLiteral("%1 cannot join: the fractions end at byte %2 of %3")
                  .arg(description())
                  .arg(next)
                  .arg(total));
        return false;
    }
    return true;
}
