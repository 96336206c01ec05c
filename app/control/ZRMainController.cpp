#include "app/control/ZRMainController.h"

#include "core/download/ZRHTTPAuthenticationManager.h"

#include "app/control/ZRPreferenceKeys.h"
#include "app/platform/ZRClockChangeWatcher.h"
#include "app/platform/ZRSleepWakeWatcher.h"
#include "core/http/ZRHTTPError.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRPathExtensions.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QTimer>

#include <algorithm>

#include <optional>
#include <vector>

namespace
{

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

QString quitAlertTitle()
{
    return QStringLiteral("Wait! You seem to have forgotten something on the stove...");
}

QString quitAlertMessage()
{
    return QStringLiteral(
        "Quorvel is not done downloading yet.\n\nIf you quit now, Quorvel will remember its "
        "downloads, but depending on the servers you were downloading from, downloads cannot "
        "always be resumed.\n\nDo you really want to quit now?");
}

QString parentFolder(const QString &path)
{
    if (path.isEmpty())
        return QString();
    const QString parent = QFileInfo(path).path();
    return parent == QLatin1String(".") ? QString() : parent;
}

// Whether path lies in folder (or is it). A bare string prefix would take "/a/Downloads 2/x" to be
// inside "/a/Downloads".
bool pathLiesInFolder(const QString &path, const QString &folder)
{
    if (folder.isEmpty())
        return false;
    QString base = QDir::cleanPath(folder);
    if (path == base)
        return true;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return path.startsWith(base);
}

} // namespace

ZRMainController *ZRMainController::mainController()
{
    // Never destroyed: downloads and timers may still refer to it while the program ends.
    static ZRMainController *const instance = new ZRMainController;
    return instance;
}

ZRMainController::ZRMainController() : _queueArchive(ZRDownload::queueArchivePath())
{
    ZRDownloadManager::setSharedManager(this);
    ZRHistorian::historian()->setDelegate(this);
    // Log-in questions of challenged downloads go to whichever front end is attached.
    ZRHTTPAuthenticationManager::defaultManager().setPrompter(
        [this](const ZRAuthenticationQuestion &question) -> std::optional<ZRAuthenticationAnswer> {
            if (!_userInterface)
                return std::nullopt;
            return _userInterface->runAuthenticationPanel(question);
        });
}

ZRMainController::~ZRMainController()
{
    if (ZRDownloadManager::sharedManager() == this)
        ZRDownloadManager::setSharedManager(nullptr);
    ZRHTTPAuthenticationManager::defaultManager().setPrompter(nullptr);
}

// --- Launch ---

void ZRMainController::registerDefaults()
{
    using namespace ZRPreferenceKey;
    defaults().registerDefaults({
        {MainWindowVisibleOnLaunch, true},
        {FullScreenModeBehavior, 1},
        {IntermediatesLocation, 1},
        {AutoStart, true},
        {UselessAnimations, true},
        {SwapDockCounters, true},
        {SuccessBounceMode, 2},
        {SuccessHeartbeatMode, 1},
        {SkipRedirectingServices, true},
        {InstantDuplicateCheck, true},
        {RememberSelection, true},
        {NumberOfHistoryItems, 100},
        {HistoryOfCompleteDownloads, true},
        {NumberOfTopLevelHistoryItems, 10},
        {AutoResumeAfterSleepDelay, 3},
        {HistorySearchCriterion, QStringLiteral("Name")},
        {StoreMetadataLocally, true},
    });
}

void ZRMainController::applicationWillFinishLaunching()
{
    registerDefaults();
    updateActivationPolicy(false);
}

bool ZRMainController::updateActivationPolicy(bool byUser)
{
    if (!_userInterface)
        return false;
    const bool trayOnly = defaults().integerForKey(ZRPreferenceKey::ApplicationMode) == 1;
    const ZRActivationPolicy wanted = trayOnly ? ZRActivationPolicy::Accessory : ZRActivationPolicy::Regular;
    if (_userInterface->activationPolicy() == wanted)
        return false;
    if (!_userInterface->setActivationPolicy(wanted)) {
        ZRLog(QStringLiteral("cannot set activation policy: %1").arg(static_cast<long>(wanted)));
        _userInterface->beep();
        return false;
    }
    // The window manager needs a moment to take the new state before the program comes to the front.
    const bool activate = wanted == ZRActivationPolicy::Accessory
                              ? byUser
                              : byUser || !defaults().boolForKey(ZRPreferenceKey::BackgroundLaunch);
    if (activate) {
        _activationCall.schedule(0.5, [this] {
            if (_userInterface)
                _userInterface->activate();
        });
    }
    return false;
}

void ZRMainController::applicationDidFinishLaunching()
{
    restoreQueueArchive();
    updateDownloadListAndStatus();
    if (defaults().boolForKey(ZRPreferenceKey::RememberSelection))
        selectOriginalURLStrings(defaults().stringArrayForKey(ZRPreferenceKey::SelectedURLs));

    const qint64 mode = defaults().integerForKey(ZRPreferenceKey::ApplicationMode);
    if (_userInterface && mode != 1 && defaults().boolForKey(ZRPreferenceKey::MainWindowVisibleOnLaunch)) {
        if (!defaults().boolForKey(ZRPreferenceKey::BackgroundLaunch))
            _userInterface->activate();
        _userInterface->showDownloadWindow();
    }

    startObservingWorkspaceNotifications();
    // Rules that cannot be used are reported at launch, not at the first download.
    downloadPageRules();
    startWatchingPreferencesFile();
    resetSchedule();
    _statusItemCall.schedule(0, [this] { updateStatusItem(); });
}

void ZRMainController::restoreQueueArchive()
{
    _downloads.clear();
    const QVariantList elements = _queueArchive.read();
    if (_queueArchive.foundDamagedFile()) {
        tellUserOfQueueDamage(_queueArchive.keptAsidePath().isEmpty()
                                  ? QStringLiteral("The queue could not be read; it stays untouched until there is a "
                                                   "new download.")
                                  : QStringLiteral("The queue could not be read; it is kept in \"%1\".")
                                        .arg(_queueArchive.keptAsidePath()));
    }
    _downloads.reserve(elements.size());
    // Elements that cannot be read as they were written are kept for a look or a repair, never
    // dropped unseen.
    QVariantList unrestored;
    QStringList reasons;
    for (qsizetype index = 0; index < elements.size(); ++index) {
        const QVariant &element = elements[index];
        QString reason;
        if (element.typeId() != QMetaType::QVariantMap) {
            reason = QStringLiteral("not a dictionary");
        } else {
            // An element without an address, or with one that makes no download, is passed over as
            // it always was; values of the wrong type are what an old or foreign writer left.
            QStringList droppedKeys;
            const bool restored = bool(addDownloadFromArchive(element.toMap(), QString(), &droppedKeys));
            if (!droppedKeys.isEmpty())
                reason = QStringLiteral("wrong type of \"%1\"%2")
                             .arg(droppedKeys.join(QStringLiteral("\", \"")),
                                  restored ? QStringLiteral(", restored without it") : QString());
            else if (!restored)
                ZRLogDebug(QStringLiteral("queue archive element skipped: no usable address"));
        }
        if (reason.isEmpty())
            continue;
        unrestored.append(element);
        // A few examples say what is wrong; the kept file has every one of them.
        if (reasons.size() < 3)
            reasons.append(QStringLiteral("entry %1: %2").arg(index + 1).arg(reason));
    }
    if (unrestored.isEmpty())
        return;
    const QString aside = _queueArchive.keepUnrestoredElements(unrestored);
    // Once they are safe aside, the archive holds what was restored, so that the next launch does
    // not keep them again.
    if (!aside.isEmpty())
        writeArchiveSoon(0);
    const QString summary = QStringLiteral("%1 of %2").arg(unrestored.size()).arg(elements.size());
    ZRLog(QStringLiteral("cannot restore %1 queue archive entries (%2%3)%4")
              .arg(summary, reasons.join(QStringLiteral("; ")),
                   unrestored.size() > reasons.size() ? QStringLiteral("; ...") : QString(),
                   aside.isEmpty() ? QString() : QStringLiteral(": kept aside as <%1>").arg(aside)));
    tellUserOfQueueDamage(aside.isEmpty()
                              ? QStringLiteral("%1 queue entries could not be restored.").arg(summary)
                              : QStringLiteral("%1 queue entries could not be restored (wholly or in part); they "
                                               "are kept in \"%2\".")
                                    .arg(summary, aside));
}

void ZRMainController::tellUserOfQueueDamage(const QString &message)
{
    if (_userInterface)
        _userInterface->postNotification(
            {QStringLiteral("com.tessaline.Quorvel: Queue Archive"), QStringLiteral("Queue Not Fully Restored"), message,
             {}});
}

void ZRMainController::startObservingWorkspaceNotifications()
{
    if (!_sleepWakeWatcher) {
        _sleepWakeWatcher = new ZRSleepWakeWatcher(this);
        connect(_sleepWakeWatcher, &ZRSleepWakeWatcher::willSleep, this,
                &ZRMainController::workspaceWillSleep);
        connect(_sleepWakeWatcher, &ZRSleepWakeWatcher::didWake, this, &ZRMainController::workspaceDidWake);
        _sleepWakeWatcher->start();
    }
    if (!_clockChangeWatcher) {
        _clockChangeWatcher = new ZRClockChangeWatcher(this);
        connect(_clockChangeWatcher, &ZRClockChangeWatcher::clockDidChange, this,
                &ZRMainController::timeDidChange);
        _clockChangeWatcher->start();
    }
}

void ZRMainController::stopObservingWorkspaceNotifications()
{
    delete _sleepWakeWatcher;
    _sleepWakeWatcher = nullptr;
    delete _clockChangeWatcher;
    _clockChangeWatcher = nullptr;
    // A wake that came just before quitting must not requeue what quitting paused.
    _resumeAfterSleepCall.cancel();
}

// --- The master list and status masks ---

bool ZRMainController::anyDownloadFromCollectionMatchesStatusMask(const ZRDownloadList &collection,
                                                                  quint64 mask)
{
    if (mask == 0)
        return !collection.isEmpty();
    for (const ZRDownloadPtr &download : collection) {
        if (download->matchesStatusMask(mask))
            return true;
    }
    return false;
}

ZRDownloadList ZRMainController::downloadsFromCollectionMatchingStatusMask(const ZRDownloadList &collection,
                                                                           quint64 mask)
{
    if (mask == 0)
        return collection;
    ZRDownloadList matching;
    for (const ZRDownloadPtr &download : collection) {
        if (download->matchesStatusMask(mask))
            matching.append(download);
    }
    return matching;
}

bool ZRMainController::anyDownloadMatchesStatusMask(quint64 mask) const
{
    return anyDownloadFromCollectionMatchesStatusMask(_downloads, mask);
}

ZRDownloadList ZRMainController::downloadsMatchingStatusMask(quint64 mask) const
{
    return downloadsFromCollectionMatchingStatusMask(_downloads, mask);
}

ZRDownloadList ZRMainController::contextDownloads() const
{
    if (_userInterface) {
        const ZRDownloadList selected = _userInterface->selectedDownloads();
        if (!selected.isEmpty())
            return selected;
    }
    return _sortedAndFilteredDownloads;
}

bool ZRMainController::anyContextDownloadMatchesStatusMask(quint64 mask) const
{
    return anyDownloadFromCollectionMatchesStatusMask(contextDownloads(), mask);
}

ZRDownloadList ZRMainController::contextDownloadsMatchingStatusMask(quint64 mask) const
{
    return downloadsFromCollectionMatchingStatusMask(contextDownloads(), mask);
}

void ZRMainController::appendDownload(const ZRDownloadPtr &download)
{
    if (!download)
        return;
    _downloads.append(download);
    _queueArchive.allowOverwritingDamagedFile();
}

// --- The queue archive ---

ZRDownloadPtr ZRMainController::addDownloadFromArchive(const QVariantMap &element,
                                                       const QString &externalContainerPath, QStringList *droppedKeys)
{
    // Values of a type the download cannot use are left out, so that none is misread.
    const QVariantMap archive = ZRDownload::restorableArchive(element, droppedKeys);
    const QString urlString = archive.value(ZRDownloadKeys::URL).toString();
    if (urlString.isEmpty())
        return nullptr;

    QVariantMap dictionary = archive;
    QString resumePath =
        ZRExtensions::stringByExpandingTildeInPath(archive.value(ZRDownloadKeys::ResumePath).toString());

    // A download bundle that was moved and opened again: follow it when its data file came along.
    if (!externalContainerPath.isEmpty() && !resumePath.isEmpty()) {
        const QString bundlePath = QDir::cleanPath(externalContainerPath);
        const QString movedPath = bundlePath + QLatin1Char('/') + QFileInfo(resumePath).fileName();
        if (!ZRExtensions::isEqualToPath(movedPath, resumePath) && QFileInfo::exists(movedPath)) {
            ZRLog(QStringLiteral("<%1>: updating primary intermediate download file\n\tfrom: %2\n\tto: %3")
                      .arg(urlString, resumePath, movedPath));
            dictionary.insert(ZRDownloadKeys::ResumePath,
                              ZRExtensions::stringByAbbreviatingWithTildeInPath(movedPath));
            const QString newParent = parentFolder(bundlePath);

            const QString downloadFolder = archive.value(ZRDownloadKeys::DownloadFolder).toString();
            if (!downloadFolder.isEmpty() && !newParent.isEmpty() &&
                pathLiesInFolder(resumePath, ZRExtensions::stringByExpandingTildeInPath(downloadFolder))) {
                const QString adapted = ZRExtensions::stringByAbbreviatingWithTildeInPath(newParent);
                dictionary.insert(ZRDownloadKeys::DownloadFolder, adapted);
                ZRLog(QStringLiteral("- adapted download folder: %1").arg(adapted));
            }

            const QString downloadFile = ZRExtensions::stringByExpandingTildeInPath(
                archive.value(ZRDownloadKeys::DownloadFile).toString());
            const QString fileName = QFileInfo(downloadFile).fileName();
            if (!fileName.isEmpty() && !newParent.isEmpty() &&
                pathLiesInFolder(resumePath, parentFolder(downloadFile))) {
                const QString adapted = ZRExtensions::stringByAbbreviatingWithTildeInPath(
                    newParent + QLatin1Char('/') + fileName);
                dictionary.insert(ZRDownloadKeys::DownloadFile, adapted);
                ZRLog(QStringLiteral("- adapted download file: %1").arg(adapted));
            }
            resumePath = movedPath;
        }
    }

    const bool paused = dictionary.value(ZRDownloadKeys::Paused).toBool();
    const bool addToQueue = !paused && defaults().boolForKey(ZRPreferenceKey::AutoStart);
    ZRDownloadPtr download = ZRDownload::downloadWithCheckedArchive(dictionary, addToQueue, resumePath);
    if (!download)
        return nullptr;
    // A bundle opened again brings its own data; a queue entry may be a moment behind its bundle.
    download->setLooksForDataLeftBehind(externalContainerPath.isEmpty());
    abortIfUnusable(*download);
    appendDownload(download);
    return download;
}

void ZRMainController::abortIfUnusable(ZRDownload &download)
{
    // Earlier versions took in addresses that can never be fetched; they would wait for ever.
    const QString refusal = refusalForURL(download.URL());
    if (refusal.isEmpty())
        return;
    // Said once, not again at every launch.
    if (download.lastError().value(ZRDownloadKeys::ErrorMessage).toString() != refusal)
        download.noteFailureWithError(ZRHTTPError::make(ZRHTTPUnableToCreateRequestErrorCode, refusal.toStdString()));
    download.setStatus(ZRDownloadStatusAborted);
}

int ZRMainController::runAlert(const ZRAlert &alert)
{
    if (!_userInterface)
        return ZRAlertFirstButton;
    return _userInterface->runModalAlert(alert);
}

bool ZRMainController::writeArchiveBeforeQuitting(bool quitting)
{
    bool ask = false;
    bool removeDuplicates = false;
    if (quitting) {
        ask = defaults().integerForKey(ZRPreferenceKey::QuitProcedure) <= 0;
        removeDuplicates = defaults().boolForKey(ZRPreferenceKey::RemoveInactiveDuplicatesOnQuit);
    }
    const bool writeMetadataLocally = defaults().boolForKey(ZRPreferenceKey::StoreMetadataLocally);

    // Elements stay in list order; a dropped duplicate leaves a hole that is skipped when writing.
    std::vector<std::optional<QVariantMap>> elements;
    QHash<QString, std::size_t> inactiveElementByComparisonURL;

    // The alert runs a modal loop in which the list may change; walk what was there when we began.
    const ZRDownloadList snapshot = _downloads;
    for (const ZRDownloadPtr &download : snapshot) {
        const ZRDownloadStatus status = download->status();
        if (status == ZRDownloadStatusComplete || download->isVanishing())
            continue;
        if (download->URLString().isEmpty())
            continue;
        // The normal form (a parse of the address) only where duplicates are looked for.
        const QString comparisonURLString = removeDuplicates ? download->comparisonURLString() : QString();

        if (removeDuplicates) {
            const auto found = inactiveElementByComparisonURL.constFind(comparisonURLString);
            if (found != inactiveElementByComparisonURL.constEnd()) {
                elements[*found].reset();
                inactiveElementByComparisonURL.erase(found);
                ZRLogDebug(QStringLiteral("removing inactive duplicate: %1").arg(comparisonURLString));
            }
        }

        bool pausedStatus = true;
        if (status & ZRDownloadStatusMaskActive) {
            if (ask) {
                _isShowingQuitWhileDownloadingAlert = true;
                const int choice = runAlert({quitAlertTitle(),
                                             quitAlertMessage(),
                                             {QStringLiteral("Quit"), QStringLiteral("Cancel")},
                                             ZRAlert::Style::Warning});
                _isShowingQuitWhileDownloadingAlert = false;
                if (choice != ZRAlertFirstButton)
                    return false;
                if (download->status() == ZRDownloadStatusComplete || download->isVanishing()) {
                    ask = false;
                    continue;
                }
            }
            if (quitting)
                download->pause();
            ask = false;
            // Active downloads come back to the queue at the next launch.
            pausedStatus = false;
        }

        const QVariantMap element =
            download->userSettingsArchiveWithPausedStatus(pausedStatus, writeMetadataLocally);
        if (element.isEmpty())
            continue;
        elements.emplace_back(element);
        const bool hasResponse = download->userSettings().contains(ZRDownloadKeys::ResponseURL);
        const bool waitsWithoutResponse =
            (status & (ZRDownloadStatusPaused | ZRDownloadStatusMaskActive)) && !hasResponse;
        const bool inactive = status == ZRDownloadStatusAborted || waitsWithoutResponse;
        if (removeDuplicates && inactive)
            inactiveElementByComparisonURL.insert(comparisonURLString, elements.size() - 1);
    }

    QVariantList archive;
    for (const std::optional<QVariantMap> &element : elements) {
        if (element)
            archive.append(*element);
    }

    // This write covers whatever a pending one would have written.
    _archiveWriteCall.cancel();
    if (quitting && archive.isEmpty()) {
        if (_queueArchive.foundDamagedFile()) {
            // The intermediate files may belong to the downloads of the damaged archive.
            ZRLog(QStringLiteral("intermediate files kept: the queue archive read at launch was damaged"));
            _queueArchive.remove();
        } else {
            ZRDownload::removeIntermediateFiles();
        }
    } else {
        _queueArchive.write(archive);
    }
    // A failed write is logged and does not hold up quitting.
    return true;
}

// --- Quitting and the window ---

bool ZRMainController::shouldQuit()
{
    // Already asking: that quit decides.
    if (_isShowingQuitWhileDownloadingAlert)
        return false;
    if (!writeArchiveBeforeQuitting(true))
        return false;
    disableSchedule();
    stopObservingWorkspaceNotifications();
    ZRHistorian::historian()->cleanUp();
    if (_userInterface && _userInterface->isDownloadWindowVisible() &&
        defaults().boolForKey(ZRPreferenceKey::UselessAnimations))
        _userInterface->collapseDownloadWindowAndRestoreFrame();
    return true;
}

bool ZRMainController::applicationShouldHandleReopen(bool hasVisibleWindows)
{
    (void)hasVisibleWindows;
    if (_userInterface && _userInterface->isDownloadWindowVisible())
        return true;
    if (_userInterface) {
        _userInterface->showDownloadWindow();
        _userInterface->activate();
    }
    return false;
}

bool ZRMainController::windowShouldClose()
{
    if (!defaults().boolForKey(ZRPreferenceKey::QuitOnClose))
        return true;
    if (defaults().boolForKey(ZRPreferenceKey::QuitOnCloseCleanSlateOnly) &&
        anyDownloadMatchesStatusMask(ZRDownloadStatusMaskActive))
        return true;
    if (!shouldQuit())
        return false;
    if (_userInterface)
        _userInterface->terminate();
    return true;
}

// --- Sleep, wake and the clock ---

void ZRMainController::workspaceWillSleep()
{
    disableSchedule();
    const qint64 delay = defaults().integerForKey(ZRPreferenceKey::AutoResumeAfterSleepDelay);
    const ZRDownloadList active = downloadsMatchingStatusMask(ZRDownloadStatusMaskActive);
    for (const ZRDownloadPtr &download : active) {
        download->pause();
        if (delay >= 0)
            download->setAutoResumeAfterSleep(true);
    }
    ZRLogDebug(QStringLiteral("will sleep: %1 downloads paused").arg(active.size()));
}

void ZRMainController::workspaceDidWake()
{
    resetSchedule();
    _resumeAfterSleepCall.cancel();
    const qint64 delay = defaults().integerForKey(ZRPreferenceKey::AutoResumeAfterSleepDelay);
    if (delay >= 0)
        _resumeAfterSleepCall.schedule(double(delay), [this] { resumeAfterSleep(); });
}

void ZRMainController::resumeAfterSleep()
{
    const ZRDownloadList snapshot = _downloads;
    for (const ZRDownloadPtr &download : snapshot) {
        if (!download->autoResumeAfterSleep())
            continue;
        download->addToQueue();
        download->setAutoResumeAfterSleep(false);
    }
}

void ZRMainController::timeDidChange()
{
    resetSchedule();
}

// --- The list on screen ---

void ZRMainController::updateDownloadListAndStatus()
{
    const ZRDownloadList selection = _userInterface ? _userInterface->selectedDownloads() : ZRDownloadList();
    sortAndFilterDownloads();
    updateSortedDownloadListAndStatusWithSelectedDownloads(selection);
}

void ZRMainController::selectionDidChange()
{
    if (!_userInterface)
        return;
    defaults().setObject(ZRExtensions::originalURLStrings(_userInterface->selectedDownloads()),
                         ZRPreferenceKey::SelectedURLs);
}

void ZRMainController::selectOriginalURLStrings(const QStringList &originalURLStrings)
{
    if (!_userInterface || originalURLStrings.isEmpty())
        return;
    const QSet<QString> wanted(originalURLStrings.begin(), originalURLStrings.end());
    ZRDownloadList selection;
    for (const ZRDownloadPtr &download : std::as_const(_sortedAndFilteredDownloads)) {
        if (wanted.contains(download->originalURLString()))
            selection.append(download);
    }
    _userInterface->selectDownloads(selection);
}

void ZRMainController::updateStatusItem()
{
    if (_userInterface)
        _userInterface->setStatusItemVisible(defaults().integerForKey(ZRPreferenceKey::ApplicationMode) > 0);
}

// --- Notices from the model ---

void ZRMainController::invalidateLongTermNumberOfQueuedOrDownloadingDownloads()
{
    _longTermNumberOfQueuedOrDownloadingDownloads = 0;
}

void ZRMainController::decrementLongTermNumberOfQueuedOrDownloadingDownloads()
{
    if (_longTermNumberOfQueuedOrDownloadingDownloads > 0)
        --_longTermNumberOfQueuedOrDownloadingDownloads;
}

void ZRMainController::updateDownload(ZRDownload *download)
{
    updateDownload(download, false);
}

void ZRMainController::writeArchiveSoon(double seconds)
{
    if (_archiveWriteCall.isScheduled())
        return;
    _archiveWriteCall.schedule(seconds, [this] { writeArchiveBeforeQuitting(false); });
}

void ZRMainController::downloadResumeDataDidChange(ZRDownload *download)
{
    (void)download;
    writeArchiveSoon(1.0);
}

void ZRMainController::updateDownloadListDisplay()
{
    if (!_userInterface)
        return;
    for (const ZRDownloadPtr &download : _downloads)
        _userInterface->redrawDownload(download.get());
}

void ZRMainController::removeDownload(ZRDownload *download)
{
    const auto found = std::find_if(_downloads.begin(), _downloads.end(),
                                    [download](const ZRDownloadPtr &each) { return each.get() == download; });
    if (found == _downloads.end())
        return;
    // The download may be asking from one of its own functions: let it live until this turn ends.
    ZRDownloadPtr keptAlive = *found;
    _downloads.erase(found);
    QTimer::singleShot(0, this, [keptAlive] {});
    updateDownloadListAndStatus();
}

void ZRMainController::beep()
{
    if (_userInterface)
        _userInterface->beep();
}

void ZRMainController::runModalAlert(const QString &title, const QString &message)
{
    if (!_userInterface)
        return;
    // No scheduling pass starts downloads while the user has not answered.
    ++_modalAlertDepth;
    _userInterface->runModalAlert(ZRAlert{title, message, {QStringLiteral("OK")}, ZRAlert::Style::Warning});
    --_modalAlertDepth;
}

void ZRMainController::copyToPasteboard(const QString &text, const QList<QUrl> &urls)
{
    if (_userInterface)
        _userInterface->setPasteboardContents(text, urls);
}

// --- Tests ---

void ZRMainController::resetForTesting()
{
    stopObservingWorkspaceNotifications();
    disableSchedule();
    ZRHistorian::historian()->resetForTesting();
    ZRHistorian::historian()->setDelegate(this);
    _activationCall.cancel();
    _statusItemCall.cancel();
    _archiveWriteCall.cancel();
    _userInterface = nullptr;
    _downloads.clear();
    _sortedDownloads.clear();
    _sortedAndFilteredDownloads.clear();
    _longTermNumberOfQueuedOrDownloadingDownloads = 0;
    _isShowingQuitWhileDownloadingAlert = false;
    _queueArchive = ZRQueueArchive(ZRDownload::queueArchivePath());
    resetStatusForTesting();
    resetRulesForTesting();
    resetListForTesting();
    ZRDownloadManager::setSharedManager(this);
}
