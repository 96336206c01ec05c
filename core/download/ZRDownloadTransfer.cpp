// Moving a download through its states: queueing, pausing, removing, and the texts and fractions
// shown while it transfers.
#include "core/download/ZRDownload.h"

#include "core/foundation/ZRLog.h"
#include "core/text/ZRPathExtensions.h"

#include <QCoreApplication>

namespace {

QString localized(const char *key)
{
    return QCoreApplication::translate("ZRDownload", key);
}

ZRDownloadManager *manager()
{
    return ZRDownloadManager::sharedManager();
}

// Steps of the removal animation: the row fades over the first eight and shrinks over the last eight.
constexpr qint64 VanishSteps = 16;
constexpr qint64 VanishShrinkSteps = 8;

} // namespace

void ZRDownload::startDownloadWithURL(const QUrl &url, bool extractedFromDownloadPage)
{
    (void)extractedFromDownloadPage;
    // No download worker class exists yet, so nothing can move bytes: leave the download as it is.
    const QUrl address = url.isEmpty() ? _url : url;
    ZRLog(QStringLiteral("cannot download <%1>: no download worker is available")
              .arg(address.toString(QUrl::FullyEncoded | QUrl::RemoveUserInfo)));
    beep();
}

void ZRDownload::dropDownloadWorkers()
{
    _downloadWorkers.clear();
}

void ZRDownload::pause()
{
    if (_status != ZRDownloadStatusQueued && _status != ZRDownloadStatusDownloading)
        return;
    if (_status == ZRDownloadStatusDownloading && !_downloadWorkers.empty())
        dropDownloadWorkers();

    _status = ZRDownloadStatusPaused;
    _isGettingDownloadPageSource = false;
    invalidateQueuedAndDownloadingDownloads();
    startEligibleQueuedDownloadsWithTimer();
    if (ZRDownloadManager *m = manager())
        m->updateDownload(this);
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
    _isBeingRemoved = true;
    if (_status != ZRDownloadStatusComplete && _status != ZRDownloadStatusAborted) {
        dropDownloadWorkers();
        removeIntermediateFileAndContainer(QString());
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
}

QString ZRDownload::downloadProgressDescription()
{
    // Without a worker nothing has answered yet.
    return localized("Connecting...");
}

double ZRDownload::vanishFraction() const
{
    return _isVanishing ? double(VanishSteps - _vanishCountdown) / VanishShrinkSteps : -1;
}

double ZRDownload::vanishRowHeightFraction() const
{
    return _isVanishing && _vanishCountdown <= VanishShrinkSteps ? double(_vanishCountdown) / VanishShrinkSteps : -1;
}
