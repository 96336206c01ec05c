// The controller's status summary and all-done procedures: counts, the status line, the application
// image, what happens when a download ends, notifications, and quitting, sleeping or shutting down
// once everything is done.
#include "app/control/ZRMainController.h"

#include "app/control/ZRPreferenceKeys.h"
#include "app/control/ZRUserNotificationManager.h"
#include "app/platform/ZRLogindSystemPower.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRUserDefaults.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace
{

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

QString localized(const char *key)
{
    return QCoreApplication::translate("ZRMainController", key);
}

const QString downloadCompleteName = QStringLiteral("Download Complete");
const QString downloadFailedName = QStringLiteral("Download Failed");
const QString heartbeatSoundName = QStringLiteral("ZRHeartbeat");

constexpr double autoQuitDelay = 1.0;
constexpr double sleepDelay = 1.0;
constexpr double doneNotificationDelay = 0.1;
// Long enough to gather the downloads of a burst, short enough that a crash loses little.
constexpr double finishedArchiveDelay = 0.5;
constexpr double redrawDelay = 0.2;

bool containsDownload(const ZRDownloadList &list, const ZRDownload *download)
{
    return std::any_of(list.begin(), list.end(),
                       [download](const ZRDownloadPtr &each) { return each.get() == download; });
}

} // namespace

ZRSystemPower *ZRMainController::systemPower()
{
    if (_systemPower)
        return _systemPower;
    static ZRLogindSystemPower *const logind = new ZRLogindSystemPower;
    return logind;
}

// --- The summary ---

void ZRMainController::updateStatusAndForceUpdateApplicationImage(bool forceUpdate)
{
    // New work, or any other change, puts off quitting until everything is done again.
    _terminateCall.cancel();

    qint64 downloading = 0;
    double downloadingFractions = 0;
    qint64 waiting = 0;
    qint64 paused = 0;
    for (const ZRDownloadPtr &download : std::as_const(_downloads)) {
        switch (download->status()) {
        case ZRDownloadStatusDownloading:
            ++downloading;
            downloadingFractions += download->downloadCompletionFraction();
            break;
        case ZRDownloadStatusQueued:
            ++waiting;
            break;
        case ZRDownloadStatusPaused:
            ++paused;
            break;
        default:
            // Finished before we looked (restored from the archive): old news, never reported again.
            download->setFinishReported(true);
            break;
        }
        if (!(download->status() & ZRDownloadStatusMaskFinished))
            download->setFinishReported(false);
    }
    qint64 hidden = 0;
    if (_sortedAndFilteredDownloads.size() < _downloads.size()) {
        for (const ZRDownloadPtr &download : std::as_const(_downloads)) {
            if (!_sortedAndFilteredDownloads.contains(download))
                ++hidden;
        }
    }
    const qint64 active = waiting + downloading;
    const qint64 pending = active + paused;
    const int overlay = _mayTriggerSleepOnAllDone      ? ZRApplicationImage::OverlaySleep
                        : _mayTriggerShutDownOnAllDone ? ZRApplicationImage::OverlayShutDown
                                                       : ZRApplicationImage::OverlayNone;

    bool imageChanged = false;
    if (pending > 0) {
        _mayTriggerAllDoneNotification = true;
        _mayTriggerQuitOnAllDone = true;

        double fraction = -1;
        if (active > 0) {
            qint64 &longTerm = _longTermNumberOfQueuedOrDownloadingDownloads;
            if (longTerm < active)
                longTerm = active;
            else
                // Downloads of this batch that are no longer active count as finished.
                downloadingFractions += double(longTerm - active);
            fraction = downloadingFractions / double(longTerm);
        } else {
            _longTermNumberOfQueuedOrDownloadingDownloads = 0;
        }
        imageChanged = _applicationImage.updateWithTopCount(downloading, waiting + paused, overlay, fraction,
                                                            forceUpdate);

        // Numbers go in as text, in one pass: this runs at every change of every download.
        if (downloading > 0 && downloading < pending)
            _statusText =
                localized("%1 of %2 downloads").arg(QString::number(downloading), QString::number(pending));
        else if (pending == 1)
            _statusText = localized("1 download");
        else
            _statusText = localized("%1 downloads").arg(QString::number(pending));
        // The number of downloads that the filter hides, whatever their status.
        if (hidden > 0)
            _statusText += QStringLiteral(" \u2014 ") + localized("%1 filtered").arg(QString::number(hidden));
    } else {
        _longTermNumberOfQueuedOrDownloadingDownloads = 0;
        imageChanged = _applicationImage.updateWithTopCount(0, 0, overlay, -1, forceUpdate);
        _statusText.clear();

        if (_mayTriggerAllDoneNotification) {
            _mayTriggerAllDoneNotification = false;
            ZRDownloadPtr lastAborted;
            for (const ZRDownloadPtr &download : std::as_const(_downloads)) {
                if (download->status() == ZRDownloadStatusAborted)
                    lastAborted = download;
            }
            _doneNotificationCall.schedule(doneNotificationDelay,
                                           [this, lastAborted] { sendDoneUserNotification(lastAborted.get()); });
        }

        if (_isShowingQuitWhileDownloadingAlert) {
            // Nothing is left to ask about: the quit that asked goes ahead.
            if (_userInterface)
                _userInterface->abortModalAlert();
            // Not the cancellable auto-quit: later updates must not hold back a quit the user chose.
            QTimer::singleShot(0, this, [this] {
                if (shouldQuit() && _userInterface)
                    _userInterface->terminate();
            });
        } else if (_mayTriggerQuitOnAllDone) {
            if (_mayTriggerSleepOnAllDone) {
                _mayTriggerSleepOnAllDone = false;
                _mayTriggerQuitOnAllDone = false;
                _sleepCall.schedule(sleepDelay, [this] { sleep(); });
            } else if (_mayTriggerShutDownOnAllDone) {
                // One attempt per batch: a refused shut-down must not be retried by every later update.
                _mayTriggerQuitOnAllDone = false;
                shutDown();
            } else if (defaults().boolForKey(ZRPreferenceKey::AutoQuit)) {
                _terminateCall.schedule(autoQuitDelay, [this] {
                    if (shouldQuit() && _userInterface)
                        _userInterface->terminate();
                });
            }
        }
    }

    if (!_userInterface)
        return;
    if (imageChanged) {
        _userInterface->showApplicationImage(_applicationImage);
        _userInterface->setLauncherBadge(_applicationImage.upperBadgeCount() > 0 ? _applicationImage.upperBadgeCount()
                                                                                 : -1,
                                         _applicationImage.fraction(), false);
    }
    // Nothing finished is left to clear (also for an empty list).
    _userInterface->setClearButtonVisible(pending != _downloads.size());
    _userInterface->showStatusText(_statusText);
    _userInterface->setDocumentEdited(active > 0 && defaults().boolForKey(ZRPreferenceKey::QuitOnClose) &&
                                      !defaults().boolForKey(ZRPreferenceKey::QuitOnCloseCleanSlateOnly));
}

// --- One download changed ---

void ZRMainController::updateDownload(ZRDownload *download, bool forceDisplay)
{
    updateDownload(download, forceDisplay, false, 3.0);
}

void ZRMainController::updateDownload(ZRDownload *download, bool forceDisplay, bool forceVanish,
                                      double vanishInterval)
{
    if (!download)
        return;
    Q_EMIT queueDidChange();
    // Vanishing may take the download out of the list, and the list may hold its last reference.
    const ZRDownloadPtr keptAlive = download->weak_from_this().lock();
    const ZRDownloadStatus status = download->status();

    if (status & ZRDownloadStatusMaskFinished) {
        // A finished row is redrawn many times (its removal animation, renames): only the first
        // report of this finish notifies, bounces and clears.
        const bool firstReport = !download->isFinishReported();
        download->setFinishReported(true);

        if (firstReport || forceVanish) {
            QLatin1String autoClearKey = ZRPreferenceKey::AutoClearSuccesses;
            if (firstReport && status == ZRDownloadStatusComplete) {
                if (!download->isBeingRemoved())
                    sendUserNotification(downloadCompleteName, localized("Download Complete"),
                                         download->displayName(), false, download->path());
            } else if (firstReport) {
                autoClearKey = ZRPreferenceKey::AutoClearLemons;
                if (!forceVanish && !download->isBeingRemoved())
                    sendUserNotification(downloadFailedName, localized("Download Failed"),
                                         download->displayName(), false);
            }
            _mayTriggerQuitOnAllDone = true;

            ZRDownloadVanishView *view = _userInterface ? _userInterface->downloadVanishView() : nullptr;
            if (forceVanish) {
                download->vanishInView(view, vanishInterval);
            } else if (defaults().boolForKey(autoClearKey)) {
                if (view) {
                    download->vanishInView(view, vanishInterval);
                } else {
                    // Without a list to animate the row would go at once: keep it for the interval.
                    const std::weak_ptr<ZRDownload> weak = keptAlive;
                    QTimer::singleShot(int(vanishInterval * 1000), this, [this, weak] {
                        const ZRDownloadPtr clearing = weak.lock();
                        if (!clearing || !containsDownload(_downloads, clearing.get()) ||
                            !(clearing->status() & ZRDownloadStatusMaskFinished))
                            return;
                        clearing->vanishInView(nullptr, 0);
                        writeArchiveBeforeQuitting(false);
                    });
                }
            }
            // A burst of finishing downloads gives one rewrite of the archive (and of the metadata
            // files of the bundles still open), not one per download.
            writeArchiveSoon(finishedArchiveDelay);

            if (!forceVanish && _userInterface) {
                const bool anyActive = anyDownloadMatchesStatusMask(ZRDownloadStatusMaskActive);
                // Mode 1 signals every finished download, mode 2 only the last one.
                const qint64 bounceMode = defaults().integerForKey(ZRPreferenceKey::SuccessBounceMode);
                if (bounceMode > 0 && (bounceMode == 1 || !anyActive))
                    _userInterface->requestUserAttention();
                const qint64 heartbeatMode = defaults().integerForKey(ZRPreferenceKey::SuccessHeartbeatMode);
                if (heartbeatMode > 0 && (heartbeatMode == 1 || !anyActive))
                    _userInterface->playSound(heartbeatSoundName);
            }
        }
    } else {
        // Started again (retry, resume): its next finish is news.
        download->setFinishReported(false);
    }

    // A change may move the row (sorted by progress, name...) or take it out of a filter. The rows
    // are sorted again with the next redraw, not at every progress report.
    if ((defaults().integerForKey(ZRPreferenceKey::SortingCriterion) > 0 || !_filterString.isEmpty()) &&
        containsDownload(_sortedAndFilteredDownloads, download))
        _resortPending = true;

    updateStatusAndForceUpdateApplicationImage(false);

    if (!_userInterface || !containsDownload(_downloads, download))
        return;
    if (forceDisplay) {
        if (_resortPending)
            resortDisplayedDownloads();
        _userInterface->redrawDownload(download);
        return;
    }
    // Progress reports come many times a second: one redraw per row within the interval.
    // Compared by owner, which costs no atomic operation per waiting row as locking each would.
    const auto isThisOne = [&keptAlive](const std::weak_ptr<ZRDownload> &each) {
        return !each.owner_before(keptAlive) && !keptAlive.owner_before(each);
    };
    const bool alreadyPending = std::any_of(_downloadsToRedraw.begin(), _downloadsToRedraw.end(), isThisOne);
    if (!alreadyPending)
        _downloadsToRedraw.append(keptAlive);
    if (!_redrawCall.isScheduled())
        _redrawCall.schedule(redrawDelay, [this] { redrawPendingDownloads(); });
}

void ZRMainController::redrawPendingDownloads()
{
    const QList<std::weak_ptr<ZRDownload>> pending = std::exchange(_downloadsToRedraw, {});
    if (!_userInterface)
        return;
    if (_resortPending && resortDisplayedDownloads())
        return;
    for (const std::weak_ptr<ZRDownload> &weak : pending) {
        const ZRDownloadPtr download = weak.lock();
        if (download && containsDownload(_downloads, download.get()))
            _userInterface->redrawDownload(download.get());
    }
}

bool ZRMainController::resortDisplayedDownloads()
{
    _resortPending = false;
    const ZRDownloadList before = _sortedAndFilteredDownloads;
    const ZRDownloadList selection = _userInterface ? _userInterface->selectedDownloads() : ZRDownloadList();
    sortAndFilterDownloads();
    if (_sortedAndFilteredDownloads == before)
        return false;
    // Rebuilt with the selection kept: no further redraw needed.
    updateSortedDownloadListAndStatusWithSelectedDownloads(selection);
    return true;
}

void ZRMainController::removeDownloadIfDoneWithPath(const QString &path)
{
    if (path.isEmpty())
        return;
    const ZRDownloadList snapshot = _downloads;
    bool removed = false;
    for (const ZRDownloadPtr &download : snapshot) {
        if ((download->status() & ZRDownloadStatusMaskFinished) && download->path() == path) {
            _downloads.removeOne(download);
            removed = true;
        }
    }
    if (removed)
        updateDownloadListAndStatus();
}

void ZRMainController::vanishDownloads(const ZRDownloadList &downloads)
{
    ZRDownloadVanishView *view = _userInterface ? _userInterface->downloadVanishView() : nullptr;
    for (const ZRDownloadPtr &download : downloads) {
        if (download && containsDownload(_downloads, download.get()))
            download->vanishInView(view, 0);
    }
}

void ZRMainController::disableAllDoneNotificationForDownload(ZRDownload *download)
{
    // Removal marks the download aborted before it tells us, so it may already be missing from the
    // pending ones: what counts is that nothing else is pending.
    const ZRDownloadList pending =
        downloadsMatchingStatusMask(ZRDownloadStatusPaused | ZRDownloadStatusMaskActive);
    if (std::all_of(pending.begin(), pending.end(),
                    [download](const ZRDownloadPtr &each) { return each.get() == download; }))
        _mayTriggerAllDoneNotification = false;
}

// --- Sleep and shut down when done ---

void ZRMainController::toggleAutoSleep()
{
    _mayTriggerSleepOnAllDone = !_mayTriggerSleepOnAllDone;
    if (_mayTriggerSleepOnAllDone)
        _mayTriggerShutDownOnAllDone = false;
    updateStatusAndForceUpdateApplicationImage(true);
}

void ZRMainController::toggleAutoShutDown()
{
    if (_mayTriggerShutDownOnAllDone) {
        _mayTriggerShutDownOnAllDone = false;
    } else {
        const int choice = runAlert(
            {localized("Shut down when done?"),
             localized("Are you sure you want Quorvel to shut down your computer once all downloads are "
                       "done?\n\nPlease note that Quorvel will not remember this setting across restarts. "
                       "Also, Quorvel cannot guarantee your computer will actually shut down, as other "
                       "applications may refuse to quit without any user interaction."),
             {localized("Shut down when done"), localized("Cancel")},
             ZRAlert::Style::Warning});
        if (choice != ZRAlertFirstButton)
            return;
        _mayTriggerShutDownOnAllDone = true;
        _mayTriggerSleepOnAllDone = false;
    }
    updateStatusAndForceUpdateApplicationImage(true);
}

void ZRMainController::sleep()
{
    const QPointer<ZRMainController> self(this);
    systemPower()->suspend([self](bool accepted) {
        if (accepted || !self)
            return;
        self->beep();
        ZRLog(QStringLiteral("but I'm not tired yet!"));
    });
}

void ZRMainController::shutDown()
{
    if (!shouldQuit())
        return;
    const QPointer<ZRMainController> self(this);
    systemPower()->powerOff([self](bool accepted) {
        if (!self)
            return;
        if (accepted) {
            if (self->_userInterface)
                self->_userInterface->terminate();
            return;
        }
        self->beep();
        ZRLog(QStringLiteral("cannot shut down"));
        // The program carries on: what quitting stopped must run again.
        self->resetSchedule();
        self->startObservingWorkspaceNotifications();
    });
}

// --- Notifications ---

bool ZRMainController::sendUserNotification(const QString &name, const QString &title,
                                            const QString &informativeText, bool asAppendix, const QString &filePath)
{
    if (defaults().boolForKey(ZRPreferenceKey::PrivateDownloading) &&
        !defaults().boolForKey(ZRPreferenceKey::PrivateDownloadingSendsUserNotifications))
        return false;
    return ZRUserNotificationManager::defaultManager().sendNotification(name, title, informativeText, asAppendix,
                                                                        filePath);
}

void ZRMainController::sendDoneUserNotification(ZRDownload *abortedDownload)
{
    sendUserNotification(downloadCompleteName, localized("Download Complete"),
                         abortedDownload ? localized("No active downloads remaining") : localized("Done"), true);
}

void ZRMainController::togglePrivateDownloading()
{
    defaults().setBool(!defaults().boolForKey(ZRPreferenceKey::PrivateDownloading),
                       ZRPreferenceKey::PrivateDownloading);
    // Names change on every row.
    for (const ZRDownloadPtr &download : std::as_const(_downloads)) {
        download->invalidateIconAndNameCache();
        _downloadsToRedraw.append(download);
    }
    _redrawCall.schedule(0.1, [this] { redrawPendingDownloads(); });
}

// --- Tests ---

void ZRMainController::resetStatusForTesting()
{
    _terminateCall.cancel();
    _doneNotificationCall.cancel();
    _sleepCall.cancel();
    _redrawCall.cancel();
    _resortPending = false;
    _downloadsToRedraw.clear();
    for (const ZRDownloadPtr &download : std::as_const(_downloads))
        download->setFinishReported(false);
    _mayTriggerAllDoneNotification = false;
    _mayTriggerQuitOnAllDone = false;
    _mayTriggerSleepOnAllDone = false;
    _mayTriggerShutDownOnAllDone = false;
    _statusText.clear();
    _applicationImage.reset();
    _systemPower = nullptr;
    ZRUserNotificationManager::defaultManager().resetForTesting();
}
