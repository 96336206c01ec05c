// The queue side of a download: the coalesced request for a scheduling pass, position texts and
// the per-host acceleration choice.
#include "core/download/ZRDownload.h"

#include <QCoreApplication>
#include <QTimer>

namespace {

// Waiting and downloading downloads in queue order, rebuilt from the master list when dropped.
std::optional<ZRDownloadList> gQueuedDownloads;
std::optional<ZRDownloadList> gDownloadingDownloads;
bool gSchedulingPassPending = false;

// While a modal window is open no download starts; look again after this long.
constexpr int ModalRetryMilliseconds = 1000;

void runSchedulingPass()
{
    // Starting waiting downloads needs download workers, which do not exist yet: the pass has
    // nothing it can start.
}

void startEligibleQueuedDownloadsAndResetTimerNow()
{
    ZRDownloadManager *manager = ZRDownloadManager::sharedManager();
    if (manager && manager->isShowingModalWindow()) {
        if (QCoreApplication *application = QCoreApplication::instance())
            QTimer::singleShot(ModalRetryMilliseconds, application, &startEligibleQueuedDownloadsAndResetTimerNow);
        return;
    }
    gSchedulingPassPending = false;
    runSchedulingPass();
}

} // namespace

void ZRDownload::invalidateQueuedAndDownloadingDownloads()
{
    gQueuedDownloads.reset();
    gDownloadingDownloads.reset();
}

void ZRDownload::startEligibleQueuedDownloadsWithTimer()
{
    if (gSchedulingPassPending)
        return;
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return;
    gSchedulingPassPending = true;
    QMetaObject::invokeMethod(application, &startEligibleQueuedDownloadsAndResetTimerNow, Qt::QueuedConnection);
}

void ZRDownload::startEligibleQueuedDownloadsAndResetTimer()
{
    startEligibleQueuedDownloadsAndResetTimerNow();
}

bool ZRDownload::isSchedulingPassPending()
{
    return gSchedulingPassPending;
}

QString ZRDownload::queueIndexDescription()
{
    // No queue walk yet: the position is not known.
    return QString();
}

QString ZRDownload::pausedHostDescription()
{
    return QString();
}

bool ZRDownload::accelerates()
{
    // Splitting a transfer over several connections is not available yet.
    return false;
}
