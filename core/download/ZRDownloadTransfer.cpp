// Moving a download through its states: starting and resuming transfers, what its workers report,
// pausing, failing, finishing into the final file, removing, and the progress shown meanwhile.
#include "core/download/ZRDownload.h"

#include "core/download/ZRDownloadVanishView.h"
#include "core/download/ZRMissingVolumeAlertController.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/http/ZRHTTPRequest.h"
#include "core/text/ZRAddressExtensions.h"
#include "core/text/ZRApplications.h"
#include "core/text/ZRExtendedAttributes.h"
#include "core/text/ZRFileBookmark.h"
#include "core/text/ZRHistorian.h"
#include "core/text/ZRNumberFormatting.h"
#include "core/text/ZRPathExtensions.h"
#include "core/text/ZRStringExtensions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString localized(const char *key)
{
    return QCoreApplication::translate("ZRDownload", key);
}

ZRDownloadManager *manager()
{
    return ZRDownloadManager::sharedManager();
}

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

// Addresses in log lines never carry a user name or password.
QString loggable(const QUrl &url)
{
    return url.toString(QUrl::FullyEncoded | QUrl::RemoveUserInfo);
}

QString loggable(const QString &urlString)
{
    return ZRExtensions::stringByRemovingURLCredentials(urlString);
}

bool isSuccessStatus(qint64 statusCode)
{
    return statusCode >= 200 && statusCode <= 299;
}

double secondsSince(const QDateTime &date)
{
    return date.isValid() ? double(date.msecsTo(QDateTime::currentDateTimeUtc())) / 1000.0 : 0.0;
}

// When the last automatic resume was decided, for all downloads (seconds since the epoch).
double gLastAutoResumeDecision = 0;

// Steps of the removal animation: the row fades over the first eight and shrinks over the last eight.
constexpr qint64 VanishSteps = 16;
constexpr qint64 VanishShrinkSteps = 8;
constexpr qint64 VanishCountdownStart = 17;
constexpr double VanishStepSeconds = 0.015;

// A list row is redrawn at most this often while bytes arrive.
constexpr double DownloadUpdateIntervalSeconds = 0.1;
// How long the bundle's metadata file may lag behind the download.
constexpr double MetadataWriteDelaySeconds = 0.5;
// The speed is measured over periods of this length; the previous one smooths the current.
constexpr double SpeedPeriodSeconds = 30.0;

constexpr double DefaultAutoResumeIntervalThreshold = 5.0;
constexpr double DefaultAutoResumeDelay = 1.0;

// A setting that the application registers at launch, read with the same default before that.
bool boolForKeyWithFallback(const QString &key, bool fallback)
{
    const QVariant value = defaults().objectForKey(key);
    return value.isValid() ? defaults().boolForKey(key) : fallback;
}

double doubleForKeyWithFallback(const QString &key, double fallback)
{
    const QVariant value = defaults().objectForKey(key);
    return value.isValid() ? defaults().doubleForKey(key) : fallback;
}

// Moves a file without ever replacing what is at the target (a file, or a link planted there):
// false with errno EEXIST when the name is taken.
bool moveFileWithoutReplacing(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (errno == EINVAL || errno == ENOSYS) {
        // A file system without the flag: a hard link claims the name just as exclusively.
        if (link(source.constData(), target.constData()) == 0) {
            unlink(source.constData());
            return true;
        }
        if (errno == EEXIST)
            return false;
    }
    if (errno != EXDEV && errno != EPERM && errno != EINVAL && errno != ENOSYS)
        return false;
    // Another file system: copy into a new file that nothing else may hold, then drop the source.
    const int in = open(source.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0)
        return false;
    const int out = open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out < 0) {
        const int error = errno;
        close(in);
        errno = error;
        return false;
    }
    bool copied = true;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t count = read(in, buffer, sizeof buffer);
        if (count == 0)
            break;
        if (count < 0) {
            if (errno == EINTR)
                continue;
            copied = false;
            break;
        }
        for (ssize_t done = 0; done < count;) {
            const ssize_t written = write(out, buffer + done, size_t(count - done));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                copied = false;
                break;
            }
            done += written;
        }
        if (!copied)
            break;
    }
    const int error = errno;
    close(in);
    if (close(out) != 0)
        copied = false;
    if (!copied) {
        unlink(target.constData());
        errno = error ? error : EIO;
        return false;
    }
    unlink(source.constData());
    return true;
}

bool setModificationDate(const QString &path, const QDateTime &date)
{
    const qint64 milliseconds = date.toMSecsSinceEpoch();
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(milliseconds / 1000);
    times[1].tv_nsec = long(milliseconds % 1000) * 1000000L;
    return utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace

// --- Starting ---

void ZRDownload::startDownloadWithURL(const QUrl &url, bool extractedFromDownloadPage)
{
    _userSettings.remove(ZRDownloadKeys::LastError);
    if (extractedFromDownloadPage) {
        if (!_isGettingDownloadPageSource) {
            ZRLog(QStringLiteral("%1 is not interested in extracted download page URL: %2")
                      .arg(description(), loggable(url)));
            return;
        }
        _isGettingDownloadPageSource = false;
        if (url.isEmpty() && !ZRDebugLogEnabled())
            ZRLog(QStringLiteral("%1 cannot extract download page URL (enable debug logging for details)")
                      .arg(description()));
    }

    // Data from an earlier transfer is worth resuming only where it still lies.
    QString resumeCandidate;
    if (_userSettings.contains(ZRDownloadKeys::ResponseURL)) {
        const QString intermediatePath = intermediateDownloadTargetPathWithSuggestedFileName(QString(), true, true);
        QFileInfo intermediateFile(intermediatePath);
        if (!intermediatePath.isEmpty() && intermediateFile.isFile() && !intermediateFile.isSymLink()) {
            resumeCandidate = intermediatePath;
        } else {
            const QString volume = intermediatePath.isEmpty() ? QString() : ZRExtensions::volumePath(intermediatePath);
            if (!volume.isEmpty() && !ZRExtensions::volumeExists(volume)) {
                // The disk may come back: keep everything and tell the user.
                ZRMissingVolumeAlertController::defaultController().prepareAlertForDownload(shared_from_this());
                pause();
                return;
            }
            if (!volume.isEmpty())
                ZRLog(QStringLiteral("intermediate download file vanished: <%1>").arg(intermediatePath));
            else
                ZRLog(QStringLiteral("yikes, cannot determine volume for intermediate download file: <%1>")
                          .arg(intermediatePath));
            if (!intermediatePath.isEmpty())
                removeIntermediateFileAndContainer(intermediatePath);
            _intermediateDownloadTargetPath.clear();
            _userSettings.remove(ZRDownloadKeys::ResponseURL);
            _userSettings.remove(ZRDownloadKeys::AccelerationWorkers);
            forgetResumeValidators();
        }
    }

    if (!_downloadWorkers.empty()) {
        ZRLogDebug(QStringLiteral("%1 already has active workers: %2").arg(description()).arg(_downloadWorkers.size()));
        return;
    }

    _status = ZRDownloadStatusDownloading;
    invalidateQueuedAndDownloadingDownloads();
    // A new transfer measures its own speed.
    _ongoingDownloadQuantumDate = QDateTime();
    _previousDownloadQuantumDate = QDateTime();
    _ongoingDownloadQuantumBytes = 0;
    _previousDownloadQuantumBytes = 0;
    invalidateDownloadDate(true);

    QUrl address = url.isEmpty() ? _url : url;
    if (address.isEmpty() || !address.isValid()) {
        noteFailureWithError(ZRHTTPError::unableToCreateRequestError());
        abortStart();
        return;
    }
    if (!_userSettings.contains(ZRDownloadKeys::OriginalURL))
        _userSettings.insert(ZRDownloadKeys::OriginalURL, URLString());

    qint64 resumeSize = 0;
    bool acceleratedResume = false;
    QHash<QString, quint64> fragmentSizes;
    if (!resumeCandidate.isEmpty()) {
        resumeSize = qint64(combinedFileSizeFromIntermediateDownloadTargetPath(resumeCandidate, QString(), &fragmentSizes));
        if (resumeSize > 0) {
            const QString responseURLString = _userSettings.value(ZRDownloadKeys::ResponseURL).toString();
            const QUrl responseURL(responseURLString, QUrl::StrictMode);
            const bool responseURLIsValid = responseURL.isValid() && !responseURL.scheme().isEmpty();
            bool damaged = !responseURLIsValid;
            if (responseURLIsValid) {
                ZRLogDebug(QStringLiteral("%1 attempting resume from most recent response URL: %2")
                               .arg(description(), loggable(responseURL)));
                const qsizetype storedFractions = _userSettings.value(ZRDownloadKeys::AccelerationWorkers).toList().size();
                if (fragmentSizes.size() < 2) {
                    address = responseURL;
                } else if (fragmentSizes.size() == storedFractions + 1
                           && acceleratedResumeIsPossible(resumeCandidate, fragmentSizes)) {
                    acceleratedResume = true;
                    address = responseURL;
                } else {
                    damaged = true;
                }
            }
            if (damaged) {
                ZRLog(QStringLiteral("%1 damaged acceleration fractions or invalid most recent response URL: %2")
                          .arg(description(), loggable(responseURLString)));
                _userSettings.remove(ZRDownloadKeys::AccelerationWorkers);
                removeIntermediateFileAndContainer(resumeCandidate);
                _intermediateDownloadTargetPath.clear();
                forgetResumeValidators();
                resumeCandidate.clear();
                resumeSize = 0;
                acceleratedResume = false;
            }
        }
    }

    if (resumeSize <= 0 && !extractedFromDownloadPage && isDownloadPageURL()) {
        _isGettingDownloadPageSource = true;
        updateDownload();
        startDownloadPageFetch(address);
        return;
    }

    if (ZRIsSandboxed() && intermediateDownloadTargetPathWithSuggestedFileName(QString(), true, true).isEmpty()) {
        pause();
        return;
    }

    ZRDownloadWorkerPtr worker = ZRDownloadWorkerPrototype::downloadWorkerForURL(address);
    if (!worker) {
        noteFailureWithError(ZRHTTPError::unableToCreateRequestError());
        abortStart();
        return;
    }
    worker->setDelegate(this);
    if (resumeSize > 0) {
        worker->setTargetPath(resumeCandidate);
        // Only the same version of the file may be continued.
        worker->setRangeValidator(_userSettings.value(ZRDownloadKeys::ResumeValidator).toString());
        worker->setExpectedTotalBytes(_userSettings.value(ZRDownloadKeys::ResumeTotalLength).toLongLong());
        if (acceleratedResume) {
            const QVariantList fractions = _userSettings.value(ZRDownloadKeys::AccelerationWorkers).toList();
            const qint64 onDisk = qint64(fragmentSizes.value(resumeCandidate));
            const qint64 secondFractionStart =
                fractions.value(0).toMap().value(ZRDownloadKeys::AccelerationWorkerStart).toLongLong();
            if (onDisk < secondFractionStart) {
                worker->setResumeByteOffset(onDisk);
            } else {
                worker->setDownloadedBytes(secondFractionStart);
                worker->setStatus(ZRWorkerStatusFinished);
            }
            worker->setEndByte(secondFractionStart - 1);
        } else {
            if (!worker->resumesInSeparateFile()
                && !fragmentPathsForIntermediateDownloadTargetPath(resumeCandidate).isEmpty()) {
                // This worker appends to the file itself: the bytes that an earlier transfer left in
                // resume fragments must be in the file before it continues at their end.
                combinedFileSizeFromIntermediateDownloadTargetPath(resumeCandidate, resumeCandidate, nullptr);
                resumeSize = QFileInfo(resumeCandidate).size();
            }
            worker->setResumeByteOffset(resumeSize);
        }
    }

    const QVariantMap request = _userSettings.value(ZRDownloadKeys::Request).toMap();
    if (_userSettings.contains(ZRDownloadKeys::Request)) {
        ZRLogDebug(QStringLiteral("using request: %1").arg(QStringList(request.keys()).join(QLatin1String(", "))));
        worker->setRequestMethod(request.value(ZRDownloadKeys::RequestMethod).toString());
        if (request.contains(ZRDownloadKeys::RequestAllHeaderFields))
            worker->setRequestHeaders(request.value(ZRDownloadKeys::RequestAllHeaderFields).toMap());
        if (request.contains(ZRDownloadKeys::RequestPartialHeaderFields))
            worker->setAdditionalRequestHeaders(request.value(ZRDownloadKeys::RequestPartialHeaderFields).toMap());
        if (request.contains(ZRDownloadKeys::RequestBody))
            worker->setRequestBody(request.value(ZRDownloadKeys::RequestBody).toByteArray());
    } else {
        worker->setReferer(_userSettings.value(ZRDownloadKeys::Referer).toString());
    }

    // In the list before it starts: a transport may report as soon as it runs.
    noteWorkerPlacement(*worker);
    _downloadWorkers.push_back(worker);
    if (worker->status() != ZRWorkerStatusFinished && !worker->start()) {
        noteFailureWithError(ZRHTTPError::unableToCreateRequestError());
        dropDownloadWorkers();
        abortStart();
        return;
    }
    if (acceleratedResume && !configureResumeOfAccelerationWorkers(worker, fragmentSizes)) {
        dropDownloadWorkers();
        abortStart();
        return;
    }
    if (acceleratedResume) {
        bool everyFractionOnDisk = true;
        for (const ZRDownloadWorkerPtr &w : _downloadWorkers)
            everyFractionOnDisk = everyFractionOnDisk && w->status() == ZRWorkerStatusFinished;
        if (everyFractionOnDisk) {
            // Stopped after the last byte but before the join: nothing will report, so finish here,
            // on a later turn like any worker's report.
            std::weak_ptr<ZRDownload> weakSelf = weak_from_this();
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [weakSelf] {
                    const ZRDownloadPtr self = weakSelf.lock();
                    if (self && self->_status == ZRDownloadStatusDownloading && self->_downloadWorkers.size() > 1)
                        self->downloadWorkerDidFinish(*self->_downloadWorkers.back());
                },
                Qt::QueuedConnection);
        }
    }

    _downloadSixth = 0;
    updateDownload();
}

bool ZRDownload::configureResumeOfAccelerationWorkers(const ZRDownloadWorkerPtr &firstWorker,
                                                      const QHash<QString, quint64> &fragmentSizes)
{
    const QVariantList fractions = _userSettings.value(ZRDownloadKeys::AccelerationWorkers).toList();
    for (const QVariant &element : fractions) {
        const QVariantMap fraction = element.toMap();
        ZRDownloadWorkerPtr worker = ZRDownloadWorkerPrototype::downloadWorkerWithDownloadWorker(firstWorker.get());
        if (!worker) {
            ZRLog(QStringLiteral("%1 cannot create acceleration worker for resuming").arg(description()));
            return false;
        }
        const QString target = fraction.value(ZRDownloadKeys::AccelerationWorkerTarget).toString();
        const qint64 start = fraction.value(ZRDownloadKeys::AccelerationWorkerStart).toLongLong();
        const qint64 end = fraction.value(ZRDownloadKeys::AccelerationWorkerEnd).toLongLong();
        const qint64 onDisk = qint64(fragmentSizes.value(target));
        worker->setTargetPath(target);
        worker->setFractionStartByte(start);
        if (onDisk + start > end) {
            worker->setDownloadedBytes(end - start + 1);
            worker->setStatus(ZRWorkerStatusFinished);
        } else {
            worker->setResumeByteOffset(onDisk);
        }
        worker->setEndByte(end);
        noteWorkerPlacement(*worker);
        _downloadWorkers.push_back(worker);
        if (worker->status() != ZRWorkerStatusFinished && !worker->start()) {
            ZRLog(QStringLiteral("%1 cannot resume acceleration worker %2").arg(description(), worker->description()));
            return false;
        }
        ZRLogDebug(QStringLiteral("%1 resuming acceleration worker %2 at offset %3 + %4 = %5 (=> %6)")
                       .arg(description(), worker->description())
                       .arg(start)
                       .arg(onDisk)
                       .arg(start + onDisk)
                       .arg(end));
    }
    return true;
}

void ZRDownload::abortStart()
{
    _status = ZRDownloadStatusAborted;
    updateDownload();
    recordInHistory();
    invalidateQueuedAndDownloadingDownloads();
    startEligibleQueuedDownloadsWithTimer();
    endFileAccess();
}

// The page fetch and its answer are in ZRDownloadPageRules.cpp.

// --- Worker delegate ---

bool ZRDownload::isFirstDownloadWorker(const ZRDownloadWorkerPrototype &worker) const
{
    return !_downloadWorkers.empty() && _downloadWorkers.front().get() == &worker;
}

QString ZRDownload::targetPathForDownloadWorker(ZRDownloadWorkerPrototype &worker)
{
    (void)worker;
    return intermediateDownloadTargetPathWithSuggestedFileName(QString(), true, true);
}

QString ZRDownload::targetPathForWholeBodyOfDownloadWorker(ZRDownloadWorkerPrototype &worker)
{
    if (_downloadWorkers.size() != 1 || !isFirstDownloadWorker(worker))
        return targetPathForDownloadWorker(worker);
    return intermediateDownloadTargetPathForWholeBody();
}

void ZRDownload::resetProgressForDownloadWorker(ZRDownloadWorkerPrototype &worker)
{
    // A resumed transfer that is redirected goes on with the same range at the new place: the bytes
    // before it must stay on disk.
    const bool resuming = worker.fractionStartByte() + worker.resumeByteOffset() > 0;
    if (!resuming && !_intermediateDownloadTargetPath.isEmpty() && _downloadWorkers.size() == 1) {
        removeIntermediateFileAndContainer(_intermediateDownloadTargetPath);
        _intermediateDownloadTargetPath.clear();
    }
    _lastDownloadFractionString.clear();
    _downloadFraction = 0;
    _downloadSixth = 0;
    _shouldWriteMetadataToDownloadBundle = true;
}

void ZRDownload::forgetResumeValidators()
{
    _userSettings.remove(ZRDownloadKeys::ResumeValidator);
    _userSettings.remove(ZRDownloadKeys::ResumeTotalLength);
}

void ZRDownload::startOverAtFirstByte(ZRDownloadWorkerPrototype &worker)
{
    ZRLog(QStringLiteral("%1 cannot resume: the server sent the whole file again, starting over").arg(description()));
    // Acceleration fractions belonged to the old transfer.
    dropAccelerationWorkers();
    _userSettings.remove(ZRDownloadKeys::AccelerationWorkers);
    worker.setFractionStartByte(0);
    worker.setResumeByteOffset(0);
    worker.setEndByte(0);
    // The file and its fragments go; the bundle stays, the new body goes into it.
    const QString path = worker.targetPath().isEmpty() ? _intermediateDownloadTargetPath : worker.targetPath();
    if (!path.isEmpty()) {
        for (const QString &fragment : fragmentPathsForIntermediateDownloadTargetPath(path)) {
            if (!QFile::remove(fragment))
                ZRLog(QStringLiteral("cannot remove partial file: <%1>").arg(fragment));
        }
        if (QFileInfo(path).isFile() && !QFile::remove(path))
            ZRLog(QStringLiteral("cannot remove intermediate download file <%1>").arg(path));
    }
    _downloadFraction = 0;
    _lastDownloadFractionString.clear();
    _shouldWriteMetadataToDownloadBundle = true;
}

void ZRDownload::downloadWorkerDidReceiveResponseHeaders(ZRDownloadWorkerPrototype &worker,
                                                         const ZRHTTPHeaders &headers, const QUrl &url,
                                                         qint64 statusCode, const QString &suggestedFilename)
{
    ZRLogDebug(QStringLiteral("%1 got a %2 from <%3>, headers: %4 (worker: %5)")
                   .arg(description())
                   .arg(statusCode)
                   .arg(loggable(url), ZRDownloadWorkerHeaders::description(headers), worker.description()));
    const bool isFirst = isFirstDownloadWorker(worker);
    // The first connection's answer is the download's: an extra one refused with a 503 does not
    // make a file that completes on one connection "Aborted — 503".
    if (isFirst || _downloadWorkers.empty()) {
        _userSettings.insert(ZRDownloadKeys::StatusCode, statusCode);
        _userSettings.insert(ZRDownloadKeys::ResponseURL, url.toString(QUrl::FullyEncoded));
    }
    const qint64 from = worker.fractionStartByte() + worker.resumeByteOffset();
    if (from > 0 && isSuccessStatus(statusCode)) {
        if (worker.responseHonoursRequestedRange()) {
            if (isFirst) {
                invalidateDownloadDate(true);
                ZRLogDebug(QStringLiteral("%1 resuming from %2 (worker: %3)")
                               .arg(description(), ZRFileSize::fileSizeDescriptionWithBytesCount(quint64(from)),
                                    worker.description()));
            } else {
                _hasJustAddedAccelerationWorkers = true;
                ZRLogDebug(QStringLiteral("%1 starting acceleration worker %2 at offset %3")
                               .arg(description(), worker.description())
                               .arg(worker.fractionStartByte()));
            }
            return;
        }
        if (!isFirst || statusCode == 206) {
            // Other bytes than the ones asked for, or another version of the file: the worker
            // writes nothing and fails, and the download starts over from its first byte.
            return;
        }
        // The whole file came instead of its rest: take it from the start rather than splice it.
        startOverAtFirstByte(worker);
    }

    if (isFirst && isSuccessStatus(statusCode) && worker.fractionStartByte() + worker.resumeByteOffset() == 0) {
        // The version that any later resume must continue.
        const QString validator = worker.responseValidator();
        if (validator.isEmpty())
            _userSettings.remove(ZRDownloadKeys::ResumeValidator);
        else
            _userSettings.insert(ZRDownloadKeys::ResumeValidator, validator);
        if (worker.responseTotalBytes() > 0)
            _userSettings.insert(ZRDownloadKeys::ResumeTotalLength, worker.responseTotalBytes());
        else
            _userSettings.remove(ZRDownloadKeys::ResumeTotalLength);
        _shouldWriteMetadataToDownloadBundle = true;
    }

    // Redirects, challenges and error pages are not the file: their name and date are not its own.
    if (!isSuccessStatus(statusCode) && statusCode != -1)
        return;

    const QString lastModified = ZRDownloadWorkerHeaders::value(headers, "Last-Modified");
    if (!lastModified.isEmpty()) {
        if (const auto date = ZRHTTPRequest::dateFromRFC1123String(lastModified.toStdString())) {
            const qint64 milliseconds =
                std::chrono::duration_cast<std::chrono::milliseconds>(date->time_since_epoch()).count();
            _lastModifiedOnServerDate = QDateTime::fromMSecsSinceEpoch(milliseconds, Qt::UTC);
        }
    }
    invalidateDownloadDate(true);

    if (!suggestedFilename.isEmpty()) {
        const QString name = ZRExtensions::stringByReplacingPlusAndPercentEscapesIfNecessary(suggestedFilename);
        if (!ZRExtensions::isEqualToPath(name, this->name()))
            setName(name);
    }

    if (statusCode == 200)
        addAccelerationWorkersForResponse(worker, headers, url);
}

void ZRDownload::getOverallCappedDownloadedBytes(qint64 *bytes, qint64 *offset, qint64 *expectedBytesIncludingOffset,
                                                 qint64 *truncationOffset, const ZRDownloadWorkerPrototype *worker) const
{
    qint64 received = 0, onDisk = 0, expected = 0, truncation = 0;
    if (!_downloadWorkers.empty()) {
        const ZRDownloadWorkerPrototype &first = *_downloadWorkers.front();
        if (first.endByte() > 0) {
            // A resumed split download: every fraction is closed and they add up to the file.
            for (const ZRDownloadWorkerPtr &w : _downloadWorkers)
                expected += w->endByte() - w->fractionStartByte() + 1;
        } else {
            expected = first.expectedBytes() + first.resumeByteOffset();
        }
        for (const ZRDownloadWorkerPtr &w : _downloadWorkers) {
            received += w->downloadedBytes();
            onDisk += w->resumeByteOffset();
        }
        if (worker == &first && _downloadWorkers.size() >= 2
            && _userSettings.contains(ZRDownloadKeys::AccelerationWorkers)) {
            const qint64 secondStart = _downloadWorkers[1]->fractionStartByte();
            if (first.downloadedBytes() + first.resumeByteOffset() >= secondStart)
                truncation = secondStart;
        }
        // Progress shows complete only when the download is.
        if (received >= expected)
            received = std::max<qint64>(0, expected - 1);
    }
    if (bytes)
        *bytes = received;
    if (offset)
        *offset = onDisk;
    if (expectedBytesIncludingOffset)
        *expectedBytesIncludingOffset = expected;
    if (truncationOffset)
        *truncationOffset = truncation;
}

void ZRDownload::downloadWorkerDidReceiveBytes(ZRDownloadWorkerPrototype &worker, qint64 count)
{
    (void)count;
    if (_downloadWorkers.empty())
        return;
    if (_hasJustAddedAccelerationWorkers) {
        _hasJustAddedAccelerationWorkers = false;
        _shouldWriteMetadataToDownloadBundle = true;
    }
    if (_shouldWriteMetadataToDownloadBundle && !_intermediateDownloadTargetPath.isEmpty()) {
        if (_downloadWorkers.size() > 1) {
            QVariantList fractions;
            for (size_t i = 1; i < _downloadWorkers.size(); ++i) {
                const ZRDownloadWorkerPtr &w = _downloadWorkers[i];
                fractions.append(QVariantMap{
                    {ZRDownloadKeys::AccelerationWorkerTarget, w->targetPath()},
                    {ZRDownloadKeys::AccelerationWorkerStart, w->fractionStartByte()},
                    {ZRDownloadKeys::AccelerationWorkerEnd, w->endByte()},
                });
            }
            _userSettings.insert(ZRDownloadKeys::AccelerationWorkers, fractions);
        }
        if (boolForKeyWithFallback(ZRDownloadDefaultsKeys::StoreMetadataLocally, true)) {
            // A moment later: a download that is over by then never needs the file, and several
            // changes in a row give one write.
            if (!_metadataWriteCall)
                _metadataWriteCall = std::make_unique<ZRDelayedCall>();
            if (!_metadataWriteCall->isScheduled()) {
                _metadataWriteCall->schedule(MetadataWriteDelaySeconds, [this] {
                    if (_status == ZRDownloadStatusDownloading && !_intermediateDownloadTargetPath.isEmpty())
                        userSettingsArchiveWithPausedStatus(false, true);
                });
            }
        }
        _shouldWriteMetadataToDownloadBundle = false;
        // A restart after a crash finds the data through the queue archive.
        if (ZRDownloadManager *m = manager())
            m->downloadResumeDataDidChange(this);
    }

    qint64 bytes = 0, offset = 0, expected = 0, truncation = 0;
    getOverallCappedDownloadedBytes(&bytes, &offset, &expected, &truncation, &worker);
    if (expected < 1)
        return;

    const double fraction = double(bytes + offset) / double(expected);
    if (fraction > _downloadFraction) {
        _downloadFraction = fraction;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        if (!_lastDownloadUpdateDate.isValid() || secondsSince(_lastDownloadUpdateDate) > DownloadUpdateIntervalSeconds) {
            updateDownload();
            _lastDownloadUpdateDate = now;
        }
        updateDownloadFractionAttribute(fraction);
        if (!_ongoingDownloadQuantumDate.isValid()) {
            _ongoingDownloadQuantumDate = now;
            _ongoingDownloadQuantumBytes = bytes;
        } else if (secondsSince(_ongoingDownloadQuantumDate) > SpeedPeriodSeconds) {
            _previousDownloadQuantumDate = _ongoingDownloadQuantumDate;
            _previousDownloadQuantumBytes = _ongoingDownloadQuantumBytes;
            _ongoingDownloadQuantumDate = now;
            _ongoingDownloadQuantumBytes = bytes;
        }
    }

    if (truncation > 0) {
        // The first worker has reached the second fraction: the rest is another worker's.
        ZRDownloadWorkerPtr first = _downloadWorkers.front();
        ZRLogDebug(QStringLiteral("%1 truncated first worker at offset %2").arg(description()).arg(truncation));
        if (!first->truncateAtOffset(truncation)) {
            ZRLog(QStringLiteral("%1 cannot truncate first worker").arg(description()));
            if (!_downloadWorkers.empty() && _downloadWorkers.front() == first)
                dropAccelerationWorkers();
        }
    }
}

void ZRDownload::updateDownloadFractionAttribute(double fraction)
{
    const QString text = ZRExtensions::stringWithFloat(std::clamp(fraction, 0.0, 1.0), 2, false);
    if (text == _lastDownloadFractionString)
        return;
    const QString container = downloadContainerPath();
    if (!ZRExtensions::isFolderPath(container))
        return;
    if (_lastDownloadFractionString.isEmpty() && !_canSetDownloadFractionAttribute) {
        // File managers show a progress bar on a folder whose creation date is the marker date;
        // creation dates cannot be set here, so the folder takes the attribute alone.
        _canSetDownloadFractionAttribute = true;
    }
    if (_canSetDownloadFractionAttribute)
        ZRExtensions::setFractionCompleted(container, text);
    else
        ZRLog(QStringLiteral("cannot set fraction completed for download: %1").arg(description()));
    _lastDownloadFractionString = text;
}

void ZRDownload::downloadWorkerDidFailWithError(ZRDownloadWorkerPrototype &worker, const ZRHTTPErrorPtr &error)
{
    ZRLogDebug(QStringLiteral("%1 failed with error: %2 (worker: %3)")
                   .arg(description(), error ? QString::fromStdString(error->localizedDescription) : QString(),
                        worker.description()));
    if (giveUpAccelerationIfStillPossible(worker, error))
        return;
    noteFailureWithError(error);
    if (error && error->domain == ZRHTTPRequestErrorDomain && error->code == ZRHTTPResponseHeaderTooLargeErrorCode) {
        // Every attempt would end the same way: a failure with its reason, not an interruption to resume.
        dropDownloadWorkers();
        removeIntermediateDataWithoutBytes();
        abortStart();
        return;
    }
    const bool isWorkerError = error && error->domain == ZRDownloadWorkerErrorDomain;
    // Bytes of another version, or from elsewhere, cannot be joined to what is on disk.
    const bool otherVersion = isWorkerError && error->code == ZRDownloadWorkerRangeNotHonouredErrorCode;
    // A fraction that ended short or on an error answer: what it and the others hold is sound.
    const bool fractionIncomplete = isWorkerError && error->code == ZRDownloadWorkerIncompleteErrorCode;
    bool resuming = false;
    qint64 received = 0;
    QStringList fractionFiles;
    for (const ZRDownloadWorkerPtr &w : _downloadWorkers) {
        if (w->resumeByteOffset() > 0)
            resuming = true;
        received += w->downloadedBytes();
        if (w != _downloadWorkers.front())
            fractionFiles.append(w->targetPath());
    }
    dropDownloadWorkers();

    if (otherVersion || (resuming && received <= 0 && !fractionIncomplete)) {
        // The resume itself failed, or the file changed: what is on disk cannot be continued.
        _userSettings.remove(ZRDownloadKeys::ResponseURL);
        _userSettings.remove(ZRDownloadKeys::AccelerationWorkers);
        forgetResumeValidators();
        removeIntermediateFileAndContainer(QString());
        _intermediateDownloadTargetPath.clear();
        ZRLog(QStringLiteral("%1 cannot resume download -- will try a complete reload...").arg(description()));
        _status = ZRDownloadStatusQueued;
        if (ZRDownloadManager *m = manager())
            m->invalidateLongTermNumberOfQueuedOrDownloadingDownloads();
        updateDownload();
    } else {
        removeIntermediateDataWithoutBytes();
        if (!_intermediateDownloadTargetPath.isEmpty() &&
            _userSettings.contains(ZRDownloadKeys::AccelerationWorkers)) {
            // A fraction refused before its first byte has no file yet: an empty one keeps the
            // layout whole for the resume, which would otherwise take it for a lost fragment.
            for (const QString &file : fractionFiles) {
                const int fd = file.isEmpty()
                                   ? -1
                                   : ::open(QFile::encodeName(file).constData(),
                                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
                if (fd >= 0)
                    ::close(fd);
            }
        }
        _isInterrupted = true;
        pause();
        if (defaults().boolForKey(ZRDownloadDefaultsKeys::AutoResume)) {
            const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
            const double threshold = doubleForKeyWithFallback(ZRDownloadDefaultsKeys::AutoResumeIntervalThreshold,
                                                              DefaultAutoResumeIntervalThreshold);
            if (now - gLastAutoResumeDecision > threshold) {
                if (!_autoResumeCall)
                    _autoResumeCall = std::make_unique<ZRDelayedCall>();
                const double delay = doubleForKeyWithFallback(ZRDownloadDefaultsKeys::AutoResumeDelay,
                                                              DefaultAutoResumeDelay);
                // Only a download still waiting for it resumes: the user may have acted meanwhile.
                _autoResumeCall->schedule(delay, [this] {
                    if (_status == ZRDownloadStatusPaused && _isInterrupted && !_isBeingRemoved)
                        togglePause();
                });
                ZRLog(QStringLiteral("%1 queued for auto-resume").arg(description()));
            }
            gLastAutoResumeDecision = now;
        }
    }
    invalidateQueuedAndDownloadingDownloads();
    startEligibleQueuedDownloadsWithTimer();
}

void ZRDownload::removeIntermediateDataWithoutBytes()
{
    // Not a byte of the file came: nothing of it stays in the user's folder.
    if (!_intermediateDownloadTargetPath.isEmpty()
        && combinedFileSizeFromIntermediateDownloadTargetPath(_intermediateDownloadTargetPath, QString(), nullptr) == 0) {
        removeIntermediateFileAndContainer(_intermediateDownloadTargetPath);
        _intermediateDownloadTargetPath.clear();
    }
}

void ZRDownload::resetAutoResumeDecisionForTesting()
{
    gLastAutoResumeDecision = 0;
}

void ZRDownload::downloadWorkerDidFinish(ZRDownloadWorkerPrototype &worker)
{
    // The worker may be replaced or dropped below.
    const ZRDownloadWorkerPtr keepAlive = worker.weak_from_this().lock();
    const auto found = std::find_if(_downloadWorkers.begin(), _downloadWorkers.end(),
                                    [&worker](const ZRDownloadWorkerPtr &w) { return w.get() == &worker; });
    if (found == _downloadWorkers.end())
        return;
    if (worker.status() == ZRWorkerStatusFinished &&
        !finishedWorkerHoldsItsFraction(size_t(found - _downloadWorkers.begin())))
        return;

    bool combine = _downloadWorkers.size() > 1;
    bool firstFinishedAlone = false;
    // Only a first worker still open towards the end of the file can overtake the others; one that
    // resumed a closed first fraction has merely finished its share.
    if (_downloadWorkers.size() > 1 && worker.status() == ZRWorkerStatusFinished && isFirstDownloadWorker(worker)
        && worker.endByte() <= 0) {
        // It reached the end of the file before it was cut: the other fractions are not needed.
        ZRLog(QStringLiteral("%1 first worker finished already, ditching acceleration workers").arg(description()));
        combine = false;
        firstFinishedAlone = true;
    }
    if (!firstFinishedAlone) {
        for (const ZRDownloadWorkerPtr &w : _downloadWorkers) {
            if (w->status() != ZRWorkerStatusTruncated && w->status() != ZRWorkerStatusFinished)
                return;
            if (w->fractionStartByte() > 0 || (w->resumesInSeparateFile() && w->resumeByteOffset() > 0))
                combine = true;
        }
    }

    // A transfer that ended on an error page, or short of the announced length, did not bring the
    // file: it must not complete with whatever lies on disk.
    const qint64 statusCode = _userSettings.value(ZRDownloadKeys::StatusCode).toLongLong();
    const bool answeredWithFile = statusCode == -1 || isSuccessStatus(statusCode);
    bool incomplete = false;
    if (_downloadWorkers.size() == 1) {
        const ZRDownloadWorkerPrototype &only = *_downloadWorkers.front();
        incomplete = answeredWithFile && only.status() == ZRWorkerStatusFinished && only.expectedBytes() > 0
            && only.downloadedBytes() < only.expectedBytes();
    }
    bool resuming = false;
    for (const ZRDownloadWorkerPtr &w : _downloadWorkers)
        resuming = resuming || w->resumeByteOffset() > 0 || w->fractionStartByte() > 0;
    if (incomplete || (!answeredWithFile && resuming)) {
        ZRLog(QStringLiteral("%1 transfer ended without the whole file (status code: %2)")
                  .arg(description())
                  .arg(statusCode));
        downloadWorkerDidFailWithError(worker, ZRHTTPError::make(ZRHTTPConnectionFailureErrorCode,
                                                                 ZRHTTPErrorMessage::connectionFailure));
        return;
    }

    completeWithFinishedWorkers(combine);
}

qint64 ZRDownload::knownTotalLength() const
{
    const qint64 recorded = _userSettings.value(ZRDownloadKeys::ResumeTotalLength).toLongLong();
    if (recorded > 0)
        return recorded;
    if (_downloadWorkers.empty())
        return 0;
    if (_downloadWorkers.front()->responseTotalBytes() > 0)
        return _downloadWorkers.front()->responseTotalBytes();
    // Closed fractions end where the file does.
    const qint64 lastEnd = _downloadWorkers.back()->endByte();
    return lastEnd > 0 ? lastEnd + 1 : 0;
}

qint64 ZRDownload::fractionLengthOfWorker(size_t index) const
{
    const ZRDownloadWorkerPrototype &w = *_downloadWorkers[index];
    if (w.endByte() > 0)
        return w.endByte() - w.fractionStartByte() + 1;
    if (index == 0 && _downloadWorkers.size() > 1)
        return _downloadWorkers[1]->fractionStartByte();
    const qint64 total = knownTotalLength();
    return total > 0 ? total - w.fractionStartByte() : -1;
}

bool ZRDownload::finishedWorkerHoldsItsFraction(size_t index)
{
    const ZRDownloadWorkerPtr w = _downloadWorkers[index];
    const auto incomplete = [&](const QString &what) {
        ZRLog(QStringLiteral("%1 %2 (worker: %3)").arg(description(), what, w->description()));
        w->setStatus(ZRWorkerStatusFailed);
        const QString message = QStringLiteral("%1 %2").arg(w->description(), what);
        downloadWorkerDidFailWithError(*w, ZRHTTPError::make(ZRDownloadWorkerIncompleteErrorCode,
                                                             message.toStdString(), nullptr,
                                                             ZRDownloadWorkerErrorDomain));
        return false;
    };
    if (w->responseIsErrorAnswer()) {
        // The first connection's answer is judged with the download's (an error page, a file gone).
        if (index == 0)
            return true;
        return incomplete(QStringLiteral("got status %1 instead of its bytes").arg(w->responseStatusCode()));
    }
    const qint64 held = w->resumeByteOffset() + w->downloadedBytes();
    if (index == 0 && _downloadWorkers.size() > 1 && w->endByte() <= 0) {
        // A first connection still open towards the end either got there, and the others are not
        // needed, or covers at least its own share: what lies past the share is cut before the join.
        const qint64 total = knownTotalLength();
        const qint64 share = _downloadWorkers[1]->fractionStartByte();
        if (total <= 0 || held >= total)
            return true;
        if (held >= share) {
            w->setDownloadedBytes(share - w->resumeByteOffset());
            w->setStatus(ZRWorkerStatusTruncated);
            return true;
        }
    }
    const qint64 length = fractionLengthOfWorker(index);
    if (length <= 0 || held >= length)
        return true;
    if (fetchRestOfFraction(index))
        return false;
    return incomplete(QStringLiteral("ended with %1 of %2 bytes of its fraction").arg(held).arg(length));
}

bool ZRDownload::fetchRestOfFraction(size_t index)
{
    // A server may answer a range with less than was asked: as long as each answer brings bytes,
    // the rest is asked for again.
    constexpr int MaximumRestFetches = 32;
    const ZRDownloadWorkerPtr previous = _downloadWorkers[index];
    if (previous->downloadedBytes() <= 0 || previous->restFetches() >= MaximumRestFetches)
        return false;
    const ZRDownloadWorkerPtr rest =
        ZRDownloadWorkerPrototype::downloadWorkerWithDownloadWorker(previous.get());
    if (!rest)
        return false;
    if (index == 0) {
        // The place that answered: a redirect on the way could drop the range.
        const QUrl responseURL(_userSettings.value(ZRDownloadKeys::ResponseURL).toString(), QUrl::StrictMode);
        if (responseURL.isValid() && !responseURL.scheme().isEmpty())
            rest->setURL(responseURL);
    }
    rest->setFractionStartByte(previous->fractionStartByte());
    rest->setResumeByteOffset(previous->resumeByteOffset() + previous->downloadedBytes());
    qint64 end = previous->endByte();
    if (end <= 0 && index == 0 && _downloadWorkers.size() > 1)
        end = _downloadWorkers[1]->fractionStartByte() - 1;
    rest->setEndByte(end);
    const QString validator = _userSettings.value(ZRDownloadKeys::ResumeValidator).toString();
    if (!validator.isEmpty())
        rest->setRangeValidator(validator);
    if (knownTotalLength() > 0)
        rest->setExpectedTotalBytes(knownTotalLength());
    rest->setRestFetches(previous->restFetches() + 1);

    previous->setDelegate(nullptr);
    noteWorkerPlacement(*rest);
    _downloadWorkers[index] = rest;
    if (!rest->start()) {
        _downloadWorkers[index] = previous;
        previous->setDelegate(this);
        return false;
    }
    ZRLog(QStringLiteral("%1 fetching the rest of a fraction from byte %2 (worker: %3)")
              .arg(description())
              .arg(rest->fractionStartByte() + rest->resumeByteOffset())
              .arg(rest->description()));
    return true;
}

void ZRDownload::completeWithFinishedWorkers(bool combine)
{
    const QString intermediatePath = intermediateDownloadTargetPathWithSuggestedFileName(QString(), true, false);
    qint64 bytes = 0, offset = 0;
    for (const ZRDownloadWorkerPtr &w : _downloadWorkers) {
        bytes += w->downloadedBytes();
        offset += w->resumeByteOffset();
    }
    const qint64 total = knownTotalLength();
    const bool severalFractions = combine && _downloadWorkers.size() > 1;
    if (bytes + offset > 0 && !fractionsOnDiskMakeTheWholeFile(intermediatePath, combine)) {
        // Kept as they are: a resume measures them again and fetches what is missing.
        _isInterrupted = true;
        pause();
        return;
    }
    dropDownloadWorkers();

    if (bytes + offset <= 0) {
        ZRLogDebug(QStringLiteral("%1 finished with no data (status code: %2)")
                       .arg(description(), _userSettings.value(ZRDownloadKeys::StatusCode).toString()));
        if (!intermediatePath.isEmpty()) {
            removeIntermediateFileAndContainer(intermediatePath);
            _intermediateDownloadTargetPath.clear();
        }
        _isGettingDownloadPageSource = false;
        noteFailureWithError(
            finishedWithoutDataError(_userSettings.value(ZRDownloadKeys::StatusCode).toLongLong()));
        _status = ZRDownloadStatusAborted;
    } else {
        if (combine) {
            // Joined where the data lies, so that a fragment that cannot be appended leaves
            // everything in place for a later resume.
            bool joined = false;
            combinedFileSizeFromIntermediateDownloadTargetPath(intermediatePath, intermediatePath, nullptr, &joined);
            if (!joined) {
                ZRLog(QStringLiteral("%1 cannot join the partial files of <%2>").arg(description(), intermediatePath));
                _isInterrupted = true;
                pause();
                return;
            }
            const qint64 joinedLength = QFileInfo(intermediatePath).size();
            if (severalFractions && total > 0 && joinedLength != total) {
                ZRLog(QStringLiteral("%1 joined file <%2> holds %3 of %4 bytes")
                          .arg(description(), intermediatePath)
                          .arg(joinedLength)
                          .arg(total));
                // One file now: a resume continues it as such.
                _userSettings.remove(ZRDownloadKeys::AccelerationWorkers);
                _isInterrupted = true;
                pause();
                return;
            }
        }
        QString finalPath = finalDownloadTargetPath();
        if (!finalPath.isEmpty() && moveFinishedFileToFinalPath(intermediatePath, finalPath)) {
            removeIntermediateFileAndContainer(intermediatePath, true);
            // Put there just now: the texts and the history below need not look for it again.
            _justFinishedPath = finalPath;
        } else {
            ZRLog(QStringLiteral("cannot move downloaded %1 to <%2>").arg(description(), finalPath));
            beep();
            finalPath = intermediatePath;
        }
        _intermediateDownloadTargetPath.clear();
        _userSettings.remove(ZRDownloadKeys::AccelerationWorkers);
        writeFinishedFileMetadata(finalPath);
        setURL(QUrl::fromLocalFile(finalPath));
        const QByteArray alias = ZRFileBookmark::bookmarkDataWithPath(finalPath);
        if (!alias.isEmpty())
            _userSettings.insert(ZRDownloadKeys::Alias, alias);
        _status = ZRDownloadStatusComplete;
        doneDate();
        openWithMatchingFolderRule(finalPath);
    }

    updateDownload();
    recordInHistory();
    _justFinishedPath.clear();
    invalidateQueuedAndDownloadingDownloads();
    startEligibleQueuedDownloadsWithTimer();
    endFileAccess();
}

bool ZRDownload::moveFinishedFileToFinalPath(const QString &intermediatePath, QString &finalPath)
{
    if (intermediatePath.isEmpty())
        return false;
    const QString requested = ZRExtensions::stringByExpandingTildeInPath(
        _userSettings.value(ZRDownloadKeys::DownloadFile).toString());
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (moveFileWithoutReplacing(intermediatePath, finalPath))
            return true;
        // A file that appeared under the free name meanwhile is never replaced: take the next
        // free one, except for a file name the user asked for.
        if (errno != EEXIST || finalPath == requested)
            break;
        finalPath = ZRExtensions::availablePath(finalPath);
    }
    ZRLog(QStringLiteral("cannot move <%1> to <%2>: %3")
              .arg(intermediatePath, finalPath, QString::fromLocal8Bit(strerror(errno))));
    return false;
}

void ZRDownload::writeFinishedFileMetadata(const QString &finalPath)
{
    const qint64 adoption = defaults().integerForKey(ZRDownloadDefaultsKeys::LastModifiedHeaderAdoption);
    if (_lastModifiedOnServerDate.isValid() && adoption >= 0) {
        if (adoption > 0 && !setModificationDate(finalPath, _lastModifiedOnServerDate))
            ZRLog(QStringLiteral("cannot set modification date for <%1>").arg(finalPath));
        // Creation dates cannot be set on Linux file systems.
    }

    QStringList sources;
    const QString responseURL = _userSettings.value(ZRDownloadKeys::ResponseURL).toString();
    const QString originalURL = _userSettings.value(ZRDownloadKeys::OriginalURL).toString();
    if (!responseURL.isEmpty())
        sources.append(responseURL);
    if (!originalURL.isEmpty() && !ZRExtensions::isEqualToPath(originalURL, responseURL))
        sources.append(originalURL);
    ZRExtensions::setSourceURLStrings(finalPath, sources);
}

void ZRDownload::openWithMatchingFolderRule(const QString &finalPath)
{
    ZRDownloadManager *m = manager();
    if (!m)
        return;
    const QUrl fileURL = QUrl::fromLocalFile(finalPath);
    for (const QVariant &rule : m->specialCases()) {
        const QVariantMap specialCase = rule.toMap();
        const QString application = specialCase.value(QStringLiteral("Application")).toString();
        if (application.isEmpty() || !matchesSpecialCase(specialCase))
            continue;
        if (ZRExtensions::openWithApplicationBundleID(fileURL, application))
            break;
    }
}

void ZRDownload::recordInHistory()
{
    ZRHistorian::Download ended;
    ended.name = name();
    // The history is kept for good and shown to anyone: no password written into the address.
    ended.originalURLString = loggable(originalURLString());
    ended.path = path();
    ended.alias = _userSettings.value(ZRDownloadKeys::Alias).toByteArray();
    ended.dateAdded = date();
    ended.isComplete = _status == ZRDownloadStatusComplete;
    // Only a complete download has a done date; asking an aborted one would invent one.
    if (ended.isComplete)
        ended.dateCompleted = doneDate();
    ZRHistorian::historian()->add(ended);
}

void ZRDownload::updateDownload()
{
    if (ZRDownloadManager *m = manager())
        m->updateDownload(this);
}

// --- Pausing, queueing and removing ---

void ZRDownload::dropDownloadWorkers()
{
    // Releasing a worker cancels its transfer; the list is emptied before that happens, so that a
    // worker going away finds no half-cleared list.
    std::vector<ZRDownloadWorkerPtr> workers;
    workers.swap(_downloadWorkers);
    for (const ZRDownloadWorkerPtr &worker : workers)
        worker->setDelegate(nullptr);
}

void ZRDownload::dropAccelerationWorkers()
{
    while (_downloadWorkers.size() > 1) {
        _downloadWorkers.back()->setDelegate(nullptr);
        _downloadWorkers.pop_back();
    }
}

void ZRDownload::pause()
{
    if (_status != ZRDownloadStatusQueued && _status != ZRDownloadStatusDownloading)
        return;
    if (_status == ZRDownloadStatusDownloading && !_downloadWorkers.empty()) {
        qint64 held = 0;
        for (const ZRDownloadWorkerPtr &w : _downloadWorkers)
            held += w->fractionStartByte() + w->resumeByteOffset() + w->downloadedBytes();
        if (held <= 0 && _userSettings.contains(ZRDownloadKeys::ResponseURL) && !_intermediateDownloadTargetPath.isEmpty())
            held = qint64(combinedFileSizeFromIntermediateDownloadTargetPath(_intermediateDownloadTargetPath, QString(), nullptr));
        dropDownloadWorkers();
        if (held < 1) {
            // Nothing worth resuming.
            if (!_intermediateDownloadTargetPath.isEmpty())
                removeIntermediateFileAndContainer(_intermediateDownloadTargetPath);
            _intermediateDownloadTargetPath.clear();
        }
    }
    if (_metadataWriteCall && _metadataWriteCall->isScheduled()) {
        // The bundle keeps describing the data it holds.
        _metadataWriteCall->cancel();
        if (_status == ZRDownloadStatusDownloading && !_intermediateDownloadTargetPath.isEmpty())
            userSettingsArchiveWithPausedStatus(false, true);
    }

    _status = ZRDownloadStatusPaused;
    _isGettingDownloadPageSource = false;
    invalidateQueuedAndDownloadingDownloads();
    startEligibleQueuedDownloadsWithTimer();
    updateDownload();
    endFileAccess();
}

void ZRDownload::togglePause()
{
    if (_status == ZRDownloadStatusPaused) {
        addToQueue();
        return;
    }
    pause();
    if (ZRDownloadManager *m = manager())
        m->decrementLongTermNumberOfQueuedOrDownloadingDownloads();
}

void ZRDownload::addToQueue()
{
    if (_status != ZRDownloadStatusPaused)
        return;
    _status = ZRDownloadStatusQueued;
    _isInterrupted = false;
    if (ZRDownloadManager *m = manager())
        m->invalidateLongTermNumberOfQueuedOrDownloadingDownloads();
    invalidateQueuedAndDownloadingDownloads();
    startEligibleQueuedDownloadsWithTimer();
    updateDownload();
}

void ZRDownload::remove()
{
    if (_status == ZRDownloadStatusQueued || _status == ZRDownloadStatusDownloading) {
        if (ZRDownloadManager *m = manager())
            m->decrementLongTermNumberOfQueuedOrDownloadingDownloads();
    }
    removeAndMoveToTrashIfDone(false);
}

void ZRDownload::removeAndMoveToTrashIfDone(bool trash)
{
    // The manager may let go of this download while it is told about the removal.
    const ZRDownloadPtr keepAlive = weak_from_this().lock();
    _isBeingRemoved = true;
    if (_autoResumeCall)
        _autoResumeCall->cancel();
    if (_status != ZRDownloadStatusComplete && _status != ZRDownloadStatusAborted) {
        dropDownloadWorkers();
        if (!_intermediateDownloadTargetPath.isEmpty())
            removeIntermediateFileAndContainer(_intermediateDownloadTargetPath);
        _intermediateDownloadTargetPath.clear();
        invalidateQueuedAndDownloadingDownloads();
        startEligibleQueuedDownloadsWithTimer();
        _status = ZRDownloadStatusAborted;
        _isGettingDownloadPageSource = false;
    } else if (trash) {
        const QString filePath = path();
        if (!filePath.isEmpty() && !ZRExtensions::moveFileToTrash(filePath))
            ZRLog(QStringLiteral("cannot move <%1> to the trash").arg(filePath));
    }
    if (ZRDownloadManager *m = manager()) {
        m->disableAllDoneNotificationForDownload(this);
        m->updateDownload(this, false, true, 0.1);
    }
    endFileAccess();
}

// --- Progress text ---

QString ZRDownload::downloadProgressDescription()
{
    qint64 bytes = 0, offset = 0, expected = 0;
    getOverallCappedDownloadedBytes(&bytes, &offset, &expected, nullptr, nullptr);
    if (_downloadWorkers.empty() || expected <= 0)
        return localized("Connecting...");

    const QString part = ZRFileSize::partialFileSizeDescriptionWithBytesCount(quint64(bytes + offset), quint64(expected));
    const QString total = ZRFileSize::fileSizeDescriptionWithBytesCount(quint64(expected));

    double speedBytes = 0, speedSeconds = 0;
    if (bytes > 0) {
        bool measured = false;
        if (_previousDownloadQuantumDate.isValid() && _ongoingDownloadQuantumDate.isValid()) {
            const double delta = double(_ongoingDownloadQuantumBytes - _previousDownloadQuantumBytes);
            const double age = secondsSince(_ongoingDownloadQuantumDate);
            // The last 30 seconds: the current period as measured, the part before it at the
            // previous period's rate.
            const double window =
                double(bytes) - (double(_ongoingDownloadQuantumBytes) - (SpeedPeriodSeconds - age) * delta / SpeedPeriodSeconds);
            if (window > 0) {
                speedBytes = window;
                speedSeconds = SpeedPeriodSeconds;
                measured = true;
            }
        }
        if (!measured) {
            const double elapsed = secondsSince(downloadDate());
            if (elapsed > 1.0) {
                speedBytes = double(bytes);
                speedSeconds = elapsed;
            }
        }
    }

    QString text;
    if (speedBytes > 0 && speedSeconds > 0) {
        qint64 rate = qint64(speedBytes / speedSeconds);
        if (rate >= 1001 && rate <= 999999)
            rate = rate / 1000 * 1000;
        const double left = speedSeconds * double(expected - offset - bytes) / speedBytes;
        const QString rateText = ZRFileSize::fileSizeDescriptionWithBytesCount(quint64(rate));
        if (left > 0.999)
            text = localized("%1 of %2 at %3/s - %4 remaining").arg(part, total, rateText, ZRFormattedDuration(left, false));
        else
            text = localized("%1 of %2 at %3/s").arg(part, total, rateText);
    } else {
        text = localized("%1 of %2").arg(part, total);
    }

    if (_userSettings.value(ZRDownloadKeys::RangesDisabled).toBool())
        text += localized(" - Acceleration not supported");
    else if (_userSettings.value(ZRDownloadKeys::AccelerationFailed).toBool())
        text += localized(" - Acceleration failed");
    else if (_downloadWorkers.size() >= 2 && defaults().boolForKey(ZRDownloadDefaultsKeys::DisplayAccelerationConnections))
        text = localized("%1 - %2 connections").arg(text).arg(_downloadWorkers.size());
    return text;
}

// --- Removal animation ---

void ZRDownload::vanishInView(ZRDownloadVanishView *view, double delay)
{
    if (view && boolForKeyWithFallback(ZRDownloadDefaultsKeys::UselessAnimations, true)) {
        _vanishView = view;
        _isVanishing = true;
        _vanishCountdown = VanishCountdownStart;
        if (!_vanishStepCall)
            _vanishStepCall = std::make_unique<ZRDelayedCall>();
        _vanishStepCall->schedule(delay, [this] { performVanishStep(); });
        return;
    }
    if (ZRDownloadManager *m = manager())
        m->removeDownload(this);
}

void ZRDownload::performVanishStep()
{
    const qint64 before = _vanishCountdown--;
    ZRDownloadManager *m = manager();
    if (before < 3) {
        _vanishView = nullptr;
        if (m)
            m->removeDownload(this);
        return;
    }
    if (!m || !m->sortedAndFilteredDownloads().contains(weak_from_this().lock()))
        return;
    if (vanishRowHeightFraction() > 0 && _vanishView) {
        _vanishView->performVanishStepForDownload(this);
        return;
    }
    m->updateDownload(this);
    if (!_vanishStepCall)
        _vanishStepCall = std::make_unique<ZRDelayedCall>();
    _vanishStepCall->schedule(VanishStepSeconds, [this] { performVanishStep(); });
}

double ZRDownload::vanishFraction() const
{
    return _isVanishing ? double(VanishSteps - _vanishCountdown) / VanishShrinkSteps : -1;
}

double ZRDownload::vanishRowHeightFraction() const
{
    return _isVanishing && _vanishCountdown <= VanishShrinkSteps ? double(_vanishCountdown) / VanishShrinkSteps : -1;
}
