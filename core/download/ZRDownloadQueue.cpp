// The queue side of a download: the total and per-host limits, the walk that starts waiting
// downloads within them, the coalesced request for that walk, position texts and the per-host
// acceleration choice.
#include "core/download/ZRDownload.h"

#include "core/download/ZRPopUpMenu.h"
#include "core/foundation/ZRMainLoopCallbacks.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRStringExtensions.h"

#include <QCoreApplication>
#include <QHash>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace {

const QString NumberOfConcurrentDownloadsKey = QStringLiteral("Number Of Concurrent Downloads");
const QString NumberOfConcurrentDownloadsPerHostKey = QStringLiteral("Number Of Concurrent Downloads Per Host");

constexpr qint64 DefaultNumberOfConcurrentDownloads = 4;
constexpr qint64 DefaultNumberOfConcurrentDownloadsPerHost = 2;
// The largest total that the preferences offer; anything else stored means no limit.
constexpr qint64 MaximumNumberOfConcurrentDownloads = 9;
constexpr qint64 UnlimitedDownloadSlots = 2147483647;

// Waiting and downloading downloads in queue order, rebuilt when dropped.
std::optional<ZRDownloadList> gQueuedDownloads;
std::optional<ZRDownloadList> gDownloadingDownloads;
bool gSchedulingPassPending = false;
std::function<void(ZRDownload &)> gQueuedDownloadStarter;
// Every download that is not complete or aborted, in no order. A finished download never runs
// again (only setting its status by hand brings it back), so the rebuild of the lists above looks
// at these alone and does not grow with the finished rows of a long list. Never destroyed: downloads
// held by other static objects may go after it at exit.
std::vector<ZRDownload *> &unfinishedDownloads()
{
    static auto *const downloads = new std::vector<ZRDownload *>;
    return *downloads;
}

// Where each waiting download stands, overall and among those of its host, for the position texts:
// taken once for the cached lists above and the per-host limit, and dropped with them.
struct QueuePosition {
    quint64 index = 0;
    quint64 hostIndex = 0;
    QString host;
};
struct QueuePositions {
    qint64 perHost = 0;
    qsizetype hostCount = 0;
    QHash<const ZRDownload *, QueuePosition> positions;
};
std::optional<QueuePositions> gQueuePositions;

// While a modal window is open no download starts; look again after this long.
constexpr int ModalRetryMilliseconds = 1000;

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

QString localized(const char *key)
{
    return QCoreApplication::translate("ZRDownload", key);
}

// The host as the position texts show it: hidden behind its initial while private downloading.
QString displayedHost(const QString &host)
{
    if (defaults().boolForKey(ZRDownloadDefaultsKeys::PrivateDownloading))
        return ZRExtensions::anonymizedStringPreservingExtension(host, true, false);
    return host;
}

// The first waiting download asks for the pass, as a status change would.
void requestPassAfterLimitChange()
{
    const ZRDownloadList queued = ZRDownload::queuedDownloads();
    if (!queued.isEmpty())
        queued.first()->startEligibleQueuedDownloadsWithTimer();
}

void runSchedulingPass()
{
    ZRDownload::indexOfQueuedDownload(nullptr, nullptr, nullptr, true);
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

// --- Limits ---

qint64 ZRDownload::numberOfConcurrentDownloads()
{
    if (!defaults().objectForKey(NumberOfConcurrentDownloadsKey).isValid())
        return DefaultNumberOfConcurrentDownloads;
    const qint64 stored = defaults().integerForKey(NumberOfConcurrentDownloadsKey);
    return stored >= 1 && stored <= MaximumNumberOfConcurrentDownloads ? stored : 0;
}

void ZRDownload::setNumberOfConcurrentDownloads(qint64 number, ZRPopUpMenu *perHostSelector)
{
    defaults().setInteger(number, NumberOfConcurrentDownloadsKey);
    updateNumberOfConcurrentDownloadsPerHostSelector(perHostSelector);
    requestPassAfterLimitChange();
}

qint64 ZRDownload::numberOfConcurrentDownloadsPerHost()
{
    if (!defaults().objectForKey(NumberOfConcurrentDownloadsPerHostKey).isValid())
        return DefaultNumberOfConcurrentDownloadsPerHost;
    return defaults().integerForKey(NumberOfConcurrentDownloadsPerHostKey);
}

void ZRDownload::setNumberOfConcurrentDownloadsPerHost(qint64 number)
{
    defaults().setInteger(number, NumberOfConcurrentDownloadsPerHostKey);
    requestPassAfterLimitChange();
}

void ZRDownload::updateNumberOfConcurrentDownloadsPerHostSelector(ZRPopUpMenu *selector)
{
    if (!selector)
        return;
    selector->setAutoenablesItems(false);
    const qint64 total = numberOfConcurrentDownloads();
    for (int index = 0; index < selector->numberOfItems(); ++index) {
        if (selector->isSeparatorItemAtIndex(index))
            continue;
        const qint64 tag = selector->tagOfItemAtIndex(index);
        selector->setEnabledItemAtIndex(index, total < 1 || (tag >= 1 && tag <= total));
    }
    const qint64 perHost = numberOfConcurrentDownloadsPerHost();
    // A per-host value at or above the total limit shows as the total: that is what it amounts to.
    selector->selectItemWithTag(total >= 1 && perHost >= total ? total : perHost);
}

// --- Cached lists ---

void ZRDownload::invalidateQueuedAndDownloadingDownloads()
{
    gQueuePositions.reset();
    gQueuedDownloads.reset();
    gDownloadingDownloads.reset();
}

void ZRDownload::noteUnfinishedDownload(ZRDownload *download)
{
    if (download->_unfinishedSlot >= 0)
        return;
    std::vector<ZRDownload *> &unfinished = unfinishedDownloads();
    download->_unfinishedSlot = qsizetype(unfinished.size());
    unfinished.push_back(download);
}

void ZRDownload::forgetUnfinishedDownload(ZRDownload *download)
{
    const qsizetype slot = download->_unfinishedSlot;
    if (slot < 0)
        return;
    std::vector<ZRDownload *> &unfinished = unfinishedDownloads();
    ZRDownload *last = unfinished.back();
    unfinished[size_t(slot)] = last;
    last->_unfinishedSlot = slot;
    unfinished.pop_back();
    download->_unfinishedSlot = -1;
}

void ZRDownload::populateQueuedAndDownloadingDownloads()
{
    ZRDownloadList queued;
    ZRDownloadList downloading;
    ZRDownloadManager *manager = ZRDownloadManager::sharedManager();
    std::vector<ZRDownload *> active;
    const std::vector<ZRDownload *> &unfinished = unfinishedDownloads();
    active.reserve(unfinished.size());
    for (size_t i = 0; i < unfinished.size();) {
        ZRDownload *download = unfinished[i];
        if (download->matchesStatusMask(ZRDownloadStatusMaskFinished)) {
            forgetUnfinishedDownload(download);
            continue;
        }
        if (download->matchesStatusMask(ZRDownloadStatusMaskActive))
            active.push_back(download);
        ++i;
    }
    if (manager && !active.empty()) {
        // In queue order: where each one stands in the master list. A place that no longer holds the
        // download means the list changed since the places were taken: they are all taken again.
        const ZRDownloadList list = manager->downloadsMatchingStatusMask(ZRDownloadStatusMaskAny);
        const auto standsAtItsPlace = [&list](const ZRDownload *download) {
            const qsizetype place = download->_listPositionHint;
            return place >= 0 && place < list.size() && list[place].get() == download;
        };
        if (!std::all_of(active.cbegin(), active.cend(), standsAtItsPlace)) {
            for (ZRDownload *download : active)
                download->_listPositionHint = -1;
            for (qsizetype place = 0; place < list.size(); ++place) {
                if (list[place])
                    list[place]->_listPositionHint = place;
            }
        }
        // Those that are not in the list are not in the queue either.
        active.erase(std::remove_if(active.begin(), active.end(), [&](const ZRDownload *download) {
                         return !standsAtItsPlace(download);
                     }),
                     active.end());
        std::sort(active.begin(), active.end(), [](const ZRDownload *a, const ZRDownload *b) {
            return a->_listPositionHint < b->_listPositionHint;
        });
        queued.reserve(qsizetype(active.size()));
        for (const ZRDownload *download : active) {
            const ZRDownloadPtr &entry = list[download->_listPositionHint];
            if (download->status() == ZRDownloadStatusQueued)
                queued.append(entry);
            else
                downloading.append(entry);
        }
    }
    gQueuedDownloads = std::move(queued);
    gDownloadingDownloads = std::move(downloading);
}

ZRDownloadList ZRDownload::queuedDownloads()
{
    if (!gQueuedDownloads || !gDownloadingDownloads)
        populateQueuedAndDownloadingDownloads();
    return *gQueuedDownloads;
}

ZRDownloadList ZRDownload::downloadingDownloads()
{
    if (!gQueuedDownloads || !gDownloadingDownloads)
        populateQueuedAndDownloadingDownloads();
    return *gDownloadingDownloads;
}

qint64 ZRDownload::numberOfOpenDownloadSlots()
{
    const qint64 total = numberOfConcurrentDownloads();
    if (total < 1)
        return UnlimitedDownloadSlots;
    return total - qint64(downloadingDownloads().size());
}

// --- The walk ---

quint64 ZRDownload::addDownload(const ZRDownloadPtr &download, const QString &host, HostTable &hosts)
{
    const QString key = host.isNull() ? download->queueRelevantHost() : host;
    // Downloads without a host (file addresses) are never held back per host.
    if (key.isEmpty())
        return NotFound;
    ZRDownloadList &list = hosts[key];
    list.append(download);
    return quint64(list.size() - 1);
}

quint64 ZRDownload::indexOfQueuedDownload(ZRDownload *download, QString *host, quint64 *hostSpecificIndex,
                                          bool startEligibleQueuedDownloads)
{
    auto giveNoHost = [&] {
        if (host)
            *host = QString();
        if (hostSpecificIndex)
            *hostSpecificIndex = NotFound;
    };

    const qint64 perHost = numberOfConcurrentDownloadsPerHost();
    if (!startEligibleQueuedDownloads) {
        // Status texts ask this for every waiting row at every change: answer from positions kept
        // until the lists change, never by walking the list.
        if (!download) {
            giveNoHost();
            return NotFound;
        }
        if (!gQueuePositions || gQueuePositions->perHost != perHost) {
            const ZRDownloadList waiting = queuedDownloads();
            QueuePositions positions;
            positions.perHost = perHost;
            positions.positions.reserve(waiting.size());
            QHash<QString, quint64> counts;
            for (qsizetype i = 0; i < waiting.size(); ++i) {
                QueuePosition position;
                position.index = quint64(i);
                position.hostIndex = NotFound;
                if (perHost >= 1) {
                    position.host = waiting[i]->queueRelevantHost();
                    if (!position.host.isEmpty())
                        position.hostIndex = counts[position.host]++;
                }
                positions.positions.insert(waiting[i].get(), position);
            }
            positions.hostCount = counts.size();
            gQueuePositions = std::move(positions);
        }
        const auto found = gQueuePositions->positions.constFind(download);
        if (found == gQueuePositions->positions.cend()) {
            giveNoHost();
            return NotFound;
        }
        if (perHost < 1) {
            giveNoHost();
            return found->index;
        }
        if (host)
            *host = gQueuePositions->hostCount == 1 || found->hostIndex == NotFound ? QString() : found->host;
        if (hostSpecificIndex)
            *hostSpecificIndex = found->hostIndex;
        return found->index;
    }

    const ZRDownloadList waiting = queuedDownloads();
    if (waiting.isEmpty()) {
        giveNoHost();
        return NotFound;
    }

    // Our own reference: starting a download drops the cached lists under our feet.
    const ZRDownloadList list = waiting;
    quint64 index = NotFound;
    if (download) {
        for (qsizetype i = 0; i < list.size(); ++i) {
            if (list[i].get() == download) {
                index = quint64(i);
                break;
            }
        }
    }
    quint64 foundHostIndex = NotFound;
    QString foundHost;
    std::optional<HostTable> hosts;
    if (perHost >= 1)
        hosts.emplace();

    // Running downloads count against their hosts' limits.
    if (hosts) {
        for (const ZRDownloadPtr &running : downloadingDownloads())
            addDownload(running, QString(), *hosts);
    }

    qint64 openSlots = numberOfOpenDownloadSlots();
    qsizetype i = 0;
    while (i < list.size()) {
        if (openSlots <= 0)
            break;
        const ZRDownloadPtr candidate = list[i];
        if (hosts) {
            const QString candidateHost = candidate->queueRelevantHost();
            if (!candidateHost.isEmpty()) {
                const auto running = hosts->constFind(candidateHost);
                if (running != hosts->cend() && running->size() >= perHost) {
                    // Keeps its place; later downloads of other hosts may go first.
                    ++i;
                    continue;
                }
                const quint64 hostIndex = addDownload(candidate, candidateHost, *hosts);
                if (candidate.get() == download) {
                    foundHostIndex = hostIndex;
                    foundHost = candidateHost;
                }
            }
        }
        if (gQueuedDownloadStarter) {
            gQueuedDownloadStarter(*candidate);
        } else {
            candidate->adoptDataLeftBehind();
            candidate->startDownloadWithURL(QUrl(), false);
        }
        ++i;
        invalidateQueuedAndDownloadingDownloads();
        --openSlots;
    }

    if (host)
        *host = hosts && hosts->size() == 1 ? QString() : foundHost;
    if (hostSpecificIndex)
        *hostSpecificIndex = foundHostIndex;
    return index;
}

void ZRDownload::setQueuedDownloadStarterForTesting(std::function<void(ZRDownload &)> starter)
{
    gQueuedDownloadStarter = std::move(starter);
}

// --- The coalesced pass ---

void ZRDownload::startEligibleQueuedDownloadsWithTimer()
{
    // A finished download's successor goes out before the engine's next callback is handled.
    ZRMainLoopCallbacks::runQueuedWorkFirst();
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

// --- Texts ---

QString ZRDownload::queueIndexDescription()
{
    QString host;
    quint64 hostIndex = NotFound;
    const quint64 index = indexOfQueuedDownload(this, &host, &hostIndex, false);
    if (index == NotFound)
        return QString();
    if (host.isEmpty() || hostIndex == NotFound)
        return QString::number(index + 1);
    return localized("%1 @ %2").arg(QString::number(hostIndex + 1), displayedHost(host));
}

QString ZRDownload::pausedHostDescription()
{
    if (numberOfConcurrentDownloadsPerHost() <= 0)
        return QString();
    const QString host = queueRelevantHost();
    if (host.isEmpty())
        return QString();
    ZRDownloadManager *manager = ZRDownloadManager::sharedManager();
    if (!manager)
        return QString();
    for (const ZRDownloadPtr &other : manager->downloadsMatchingStatusMask(ZRDownloadStatusPaused)) {
        if (other && other.get() != this && other->queueRelevantHost() != host)
            return localized(" @ %1").arg(displayedHost(host));
    }
    return QString();
}

