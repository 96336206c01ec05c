// One download: its address, status, persistent user settings, the values derived from them for
// display and sorting, and (while it transfers) its workers.
#pragma once

#include "core/download/ZRDownloadKeys.h"
#include "core/download/ZRDownloadManager.h"
#include "core/download/ZRDownloadWorkerPrototype.h"
#include "core/foundation/ZRDelayedCall.h"
#include "core/text/ZRIcons.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

class ZRDownloadVanishView;
class ZRPopUpMenu;

// Each status is one bit so that a set of statuses is a mask: `status & mask` non-zero matches,
// and mask 0 means any status.
enum ZRDownloadStatus : quint64 {
    ZRDownloadStatusPaused = 1, // shown as "Paused", "Interrupted" or "Pending"
    ZRDownloadStatusQueued = 2, // "Waiting"
    ZRDownloadStatusDownloading = 4,
    ZRDownloadStatusComplete = 8,
    ZRDownloadStatusAborted = 16,
};

inline constexpr quint64 ZRDownloadStatusMaskAny = 0;
inline constexpr quint64 ZRDownloadStatusMaskActive = ZRDownloadStatusQueued | ZRDownloadStatusDownloading; // 6
inline constexpr quint64 ZRDownloadStatusMaskFinished = ZRDownloadStatusComplete | ZRDownloadStatusAborted; // 24

// The sort criteria of the download list and of rearranging the queue.
enum ZRDownloadSortCriterion : qint64 {
    ZRDownloadSortCriterionDate = 0,
    ZRDownloadSortCriterionName = 1,
    ZRDownloadSortCriterionProgress = 2,
    ZRDownloadSortCriterionHost = 3,
    ZRDownloadSortCriterionAddress = 4,
};

// Main thread only. Downloads are shared (ZRDownloadPtr) and compared by identity.
class ZRDownload : public std::enable_shared_from_this<ZRDownload>, public ZRDownloadWorkerDelegate {
    struct ConstructionKey {
        explicit ConstructionKey() = default;
    };

public:
    // --- Creation ---

    // None for an empty or invalid address. A download added to the queue is waiting (2) at once and
    // asks for a scheduling pass; otherwise it is paused (1) and shows "Pending".
    static ZRDownloadPtr downloadWithURL(const QUrl &url, bool addToQueue);
    static ZRDownloadPtr downloadWithURLString(const QString &urlString, bool addToQueue);
    // From an element of the queue archive or a bundle's metadata file: its "URL", its archived user
    // settings and its "Resume Path" as the intermediate file. None without a usable "URL". Whether
    // it goes back to the queue ("Paused", "Auto-Start") is the caller's decision.
    static ZRDownloadPtr downloadWithArchive(const QVariantMap &archive, bool addToQueue);
    // The same for a dictionary that restorableArchive() gave, with the intermediate file (tilde
    // expanded, empty for none) that the caller settled on.
    static ZRDownloadPtr downloadWithCheckedArchive(const QVariantMap &archive, bool addToQueue,
                                                    const QString &intermediatePath);

    // Use the creation functions above; the key keeps construction with them.
    explicit ZRDownload(ConstructionKey);
    ~ZRDownload() override;
    ZRDownload(const ZRDownload &) = delete;
    ZRDownload &operator=(const ZRDownload &) = delete;

    // --- Status and flags (plain accessors, no side effects) ---

    ZRDownloadStatus status() const { return _status; }
    // A change drops the scheduler's cached lists, so that no pass sees a stale status.
    void setStatus(ZRDownloadStatus status)
    {
        if (_status != status)
            invalidateQueuedAndDownloadingDownloads();
        _status = status;
        if (!matchesStatusMask(ZRDownloadStatusMaskFinished))
            noteUnfinishedDownload(this);
    }
    // mask 0 matches any status.
    bool matchesStatusMask(quint64 mask) const { return mask == 0 || (quint64(_status) & mask) != 0; }
    bool isInterrupted() const { return _isInterrupted; }
    void setInterrupted(bool interrupted) { _isInterrupted = interrupted; }
    // Whether an automatic resume after a failure is pending.
    bool isAutoResumeScheduled() const { return _autoResumeCall && _autoResumeCall->isScheduled(); }
    bool autoResumeAfterSleep() const { return _autoResumeAfterSleep; }
    void setAutoResumeAfterSleep(bool autoResume) { _autoResumeAfterSleep = autoResume; }
    bool isBeingRemoved() const { return _isBeingRemoved; }
    void setBeingRemoved(bool beingRemoved) { _isBeingRemoved = beingRemoved; }
    // Whether the front end has told the user of this download's end (or found it ended already):
    // the end is told once, and again only after the download ran anew.
    bool isFinishReported() const { return _isFinishReported; }
    void setFinishReported(bool reported) { _isFinishReported = reported; }
    quint64 highlightedActionButtonIndex() const { return _highlightedActionButtonIndex; }
    void setHighlightedActionButtonIndex(quint64 index) { _highlightedActionButtonIndex = index; }

    // --- User settings and the archive dictionary ---

    // Every value that must survive a restart, under the keys of ZRDownloadKeys.
    QVariantMap &userSettings() { return _userSettings; }
    const QVariantMap &userSettings() const { return _userSettings; }

    // The element of the queue archive: "URL", "Paused", the archived user settings, "Resume Path"
    // (only once a server answered) and "Status Code". With write true and an intermediate file
    // inside a download bundle, the bundle's metadata file is rewritten too.
    QVariantMap userSettingsArchiveWithPausedStatus(bool paused, bool writeMetadataToDownloadBundle);
    // Takes the archived user settings from an archive dictionary (keys present there only; "URL",
    // "Paused" and "Resume Path" are the caller's) and returns the user settings.
    const QVariantMap &userSettingsFromArchive(const QVariantMap &archive);
    // The user-settings keys that the archive carries, in archive order ("Status Code" not included).
    static const QStringList &archivedUserSettingsKeys();
    // The archive dictionary without the values whose type the download cannot use (their keys in
    // droppedKeys); one such value among those that continue the data on disk drops them all. Empty
    // when the address or the request is unusable: such an element is not this download any more.
    static QVariantMap restorableArchive(const QVariantMap &archive, QStringList *droppedKeys = nullptr);

    // --- Data that an earlier run left behind ---

    // A download restored from the queue archive looks, before its first start, for data that the
    // earlier run left after the archive was last written: without resume data in the archive, in
    // the bundle it would make (or a numbered one) whose metadata file names this download and
    // whose files fit what it says; with resume data, in its own bundle's metadata file for the
    // values the archive lacks. Data of its own that cannot be continued is deleted, so that the
    // new transfer re-uses the bundle's name instead of leaving it beside the finished file.
    void adoptDataLeftBehind();
    bool looksForDataLeftBehind() const { return _looksForDataLeftBehind; }
    void setLooksForDataLeftBehind(bool looks)
    {
        _looksForDataLeftBehind = looks;
        _mayHaveFragments = _mayHaveFragments || looks;
    }

    // --- Address values ---

    QUrl URL() const { return _url; }
    // Drops every value derived from the address.
    void setURL(const QUrl &url);
    QString URLString() const;
    // "Original URL" when stored, else URLString().
    QString originalURLString() const;
    // The normalised address for duplicate checks. Cached.
    QString comparisonURLString();
    // Lower-case host, cut to its last two labels when it has more and is not a numeric address;
    // empty without a host. Cached.
    QString queueRelevantHost();
    // The file path with "~", or the address without "http://", "www." and any user name and
    // password. Cached.
    QString locationKey();

    // --- Names and icon ---

    // An empty name removes "Name".
    void setName(const QString &name);
    QString name();
    QString displayName();
    QString sortName();
    // The icon of the file's type; a null icon while private downloading hides extensions.
    ZRIcon icon();
    void invalidateIconAndNameCache();

    // --- Dates ---

    // Date added ("Date"), created on first use.
    QDateTime date() { return invalidateDate(false); }
    QDateTime invalidateDate(bool force);
    // When the current transfer started.
    QDateTime downloadDate() { return invalidateDownloadDate(false); }
    QDateTime invalidateDownloadDate(bool force);
    // Completion date ("Done"), created on first use.
    QDateTime doneDate();

    // --- Files ---

    // The file path of a finished download (empty for a web address). Follows the file bookmark
    // "Alias" when the file was moved; with check, only a path that exists is returned.
    QString path() { return pathByCheckingExistence(false); }
    QString pathByCheckingExistence(bool check);
    bool fileExists() { return !pathByCheckingExistence(true).isEmpty(); }
    // The intermediate bundle while unfinished, else the file; empty when neither exists.
    QString pathToReveal();

    // --- Other ---

    // "<ZRDownload: locationKey 0x...>".
    QString description();
    bool isMatchForSearchStrings(const QStringList &searchStrings, bool checkURL);
    // 1 when complete, the progress while downloading, else 0.
    double downloadCompletionFraction() const;
    // The highest progress fraction (0..1) seen in this transfer.
    double downloadFraction() const { return _downloadFraction; }
    void setDownloadFraction(double fraction) { _downloadFraction = fraction; }
    // The short status text of the list.
    QString statusDescriptionWithLiveDetails(bool live);

    // --- Why it stopped ---

    // The error of the last failure ("Last Error": domain, code, message and the error under it),
    // kept from the moment the download pauses or aborts until it starts again; empty when none.
    QVariantMap lastError() const;
    // Keeps the error as "Last Error" and logs "cannot download <address>: reason".
    void noteFailureWithError(const ZRHTTPErrorPtr &error);
    // What a reader can act on: the transport's message when there is one ("SSL certificate
    // problem: self-signed certificate"), else the error's own, with the remedy in brackets where
    // the cause has one obvious remedy (trust, name resolution, disk space, credentials). Empty
    // without a failure. For the terminal, window tooltips and status queries.
    QString failureReasonDescription() const;
    // The status text with the reason beside it while the download is paused or aborted
    // ("Pending — Could not resolve host: files.invalid (check the host name in the address)").
    QString statusDescriptionWithFailureReason(bool live);

    // Row actions: 1 is pause/resume/show, 2 is remove. The front end passes whether the alternate
    // modifier keys are held (then a paused or waiting download starts at once).
    bool canPerformActionWithIndex(quint64 index);
    void performActionWithIndex(quint64 index, bool alternateModifiersHeld = false);

    // Commands; each beeps when it cannot act.
    void open();
    void reveal();
    void copyPath();
    void copyOriginalURL();
    void openOriginalURL();

    // --- Transfer control ---

    void startDownload() { startDownloadWithURL(QUrl(), false); }
    void startDownloadWithURL(const QUrl &url, bool extractedFromDownloadPage);
    // Waiting or downloading to paused.
    void pause();
    // Paused to waiting; anything else pauses.
    void togglePause();
    // Only from paused: waiting, interrupted flag cleared, a scheduling pass requested.
    void addToQueue();
    void remove();
    void removeAndMoveToTrash() { removeAndMoveToTrashIfDone(true); }
    void removeAndMoveToTrashIfDone(bool trash);
    // The progress text while downloading.
    QString downloadProgressDescription();
    bool hasDownloadWorkers() const { return !_downloadWorkers.empty(); }
    bool isGettingDownloadPageSource() const { return _isGettingDownloadPageSource; }
    // Download-page rules: the name pattern and the page test of this download's address (the test
    // is kept until the rules change or the address does).
    std::optional<QString> preservedNamePattern() const;
    QString filenameWithPreservedNamePattern(const QString &pattern, const QString &downloadPageTitle) const;
    bool isDownloadPageURL() const;
    void reevaluateDownloadPageURLStatus() { _isDownloadPageURLStatus.reset(); }

    // Removal animation: a download that is vanishing is leaving the list.
    bool isVanishing() const { return _isVanishing; }
    double vanishFraction() const;
    double vanishRowHeightFraction() const;

    // --- Transfer lifecycle ---

    // Starts the removal animation in the list view after the delay; without a view, or with
    // "Useless Animations" off, the manager removes the download at once.
    void vanishInView(ZRDownloadVanishView *view, double delay);
    void performVanishStep();

    // Worker delegate: the download's side of each worker's transfer.
    QString targetPathForDownloadWorker(ZRDownloadWorkerPrototype &worker) override;
    QString targetPathForWholeBodyOfDownloadWorker(ZRDownloadWorkerPrototype &worker) override;
    void resetProgressForDownloadWorker(ZRDownloadWorkerPrototype &worker) override;
    void downloadWorkerDidReceiveResponseHeaders(ZRDownloadWorkerPrototype &worker, const ZRHTTPHeaders &headers,
                                                 const QUrl &url, qint64 statusCode,
                                                 const QString &suggestedFilename) override;
    void downloadWorkerDidReceiveBytes(ZRDownloadWorkerPrototype &worker, qint64 count) override;
    void downloadWorkerDidFailWithError(ZRDownloadWorkerPrototype &worker, const ZRHTTPErrorPtr &error) override;
    void downloadWorkerDidFinish(ZRDownloadWorkerPrototype &worker) override;

    // Over all workers: bytes received by the running transfers (kept below the expected total, so
    // that progress never shows complete before the finish), bytes that were on disk before them,
    // the whole file's expected length, and where the first worker must stop because the second
    // fraction begins there (0 when it need not; only asked for the first worker). Outputs may be null.
    void getOverallCappedDownloadedBytes(qint64 *bytes, qint64 *offset, qint64 *expectedBytesIncludingOffset,
                                         qint64 *truncationOffset, const ZRDownloadWorkerPrototype *worker) const;
    const std::vector<ZRDownloadWorkerPtr> &downloadWorkers() const { return _downloadWorkers; }

    // Tests: forget when the last automatic resume was decided, for every download.
    static void resetAutoResumeDecisionForTesting();

    // --- Queue ---

    // Every status change drops the cached lists of waiting and downloading downloads.
    static void invalidateQueuedAndDownloadingDownloads();
    // Any number of requests in one turn of the event loop give one scheduling pass.
    void startEligibleQueuedDownloadsWithTimer();
    // The pass at once (a pending one then finds nothing more to do).
    static void startEligibleQueuedDownloadsAndResetTimer();
    static bool isSchedulingPassPending();
    // Position among the waiting downloads ("3", "2 @ host"), empty when unknown.
    QString queueIndexDescription();
    // " @ host" while downloads of other hosts are paused, empty otherwise.
    QString pausedHostDescription();

    // --- Queue scheduler ---

    // "Not found" of the scheduler's indexes.
    static constexpr quint64 NotFound = quint64(std::numeric_limits<qint64>::max());
    // Downloads per host, in the order they were entered.
    using HostTable = QMap<QString, ZRDownloadList>;

    // The total limit: a stored 1..9 as it is, any other stored value 0 (no limit); 4 when unset.
    static qint64 numberOfConcurrentDownloads();
    // Stores the total, brings the per-host selector (when given) in line and asks for a pass.
    static void setNumberOfConcurrentDownloads(qint64 number, ZRPopUpMenu *perHostSelector = nullptr);
    // The per-host limit as stored, 2 when unset; 0 or less means none.
    static qint64 numberOfConcurrentDownloadsPerHost();
    static void setNumberOfConcurrentDownloadsPerHost(qint64 number);
    // Enables the per-host values up to the total and selects the current one.
    static void updateNumberOfConcurrentDownloadsPerHostSelector(ZRPopUpMenu *selector);
    static void populateQueuedAndDownloadingDownloads();
    // Waiting and downloading downloads in queue order, rebuilt when dropped.
    static ZRDownloadList queuedDownloads();
    static ZRDownloadList downloadingDownloads();
    // Free places under the total limit; negative while more run than allowed.
    static qint64 numberOfOpenDownloadSlots();
    // Enters the download under the host (its own for a null host) and returns its index there;
    // NotFound, and nothing entered, for an empty host.
    static quint64 addDownload(const ZRDownloadPtr &download, const QString &host, HostTable &hosts);
    // The walk over the waiting downloads. Returns the download's position among them (NotFound
    // when it is not waiting). With start, downloads start in queue order while slots are free,
    // skipping those whose host is at its limit. Without start, the outputs (when asked for) give
    // the download's host (null when all waiting downloads share one host) and its index among that
    // host's waiting downloads.
    static quint64 indexOfQueuedDownload(ZRDownload *download, QString *host, quint64 *hostSpecificIndex,
                                         bool startEligibleQueuedDownloads);
    // Tests: called instead of starting a download that a pass picked; empty restores the start.
    static void setQueuedDownloadStarterForTesting(std::function<void(ZRDownload &)> starter);
    // --- Acceleration ---

    // The switch for all hosts, and the hosts that are exceptions to it ("?" stands for downloads
    // without a host). Storing an empty list removes it.
    static bool accelerationEnabled();
    static void setAccelerates(bool accelerates);
    static QStringList accelerationHostWhitelist();
    static void setAccelerationHostWhitelist(const QStringList &hosts);
    static QStringList accelerationHostBlacklist();
    static void setAccelerationHostBlacklist(const QStringList &hosts);
    // Connections per accelerated download: a stored value below 2 reads as 4, above 9 as 9.
    static qint64 accelerationFactor();
    static void setAccelerationFactor(qint64 factor);
    // The smallest fraction worth its own connection: below 1 reads as 100000 bytes.
    static qint64 acceleratorFractionMinimumSize();
    // Whether this download's host uses several connections.
    bool accelerates();
    // Flips acceleration for this download's host, and so for every download of that host.
    void toggleAcceleration();

    // --- Intermediate files ---

    // The queue archive file.
    static QString queueArchivePath();
    // Deletes the default intermediate folder and the queue archive.
    static void removeIntermediateFiles();
    // Where the unfinished data lies; empty when not known (and not made).
    QString intermediateDownloadTargetPathWithSuggestedFileName(const QString &suggestedFileName,
                                                                bool createIfNecessary, bool confirmAccess);
    QString intermediateDownloadTargetPath();
    // For a body that is complete before its first byte is written: a file beside the final place
    // (name plus ".quorvel-part") instead of a bundle that would be removed a moment later; the
    // bundle path when that place cannot be had, or a path is known already.
    QString intermediateDownloadTargetPathForWholeBody();
    void setIntermediateDownloadTargetPath(const QString &path) { _intermediateDownloadTargetPath = path; }
    // The bundle folder holding the intermediate file, empty when it is not in one.
    QString downloadContainerPath() const;
    // Deletes the intermediate file (the known one when path is empty), its fragments and an empty bundle.
    // `fileMovedAway`: the file itself went to its final place already; only fragments and the
    // bundle are left.
    void removeIntermediateFileAndContainer(const QString &path, bool fileMovedAway = false);
    void removeIntermediateDataWithoutBytes();
    // The resume and acceleration fragments beside an intermediate file.
    QStringList fragmentPathsForIntermediateDownloadTargetPath(const QString &path) const;

    // --- Target paths and intermediate files ---

    // "Downloads" in the application-support folder, created if necessary; else the temporary folder.
    static QString intermediateDownloadBasePath();
    // The folder the download goes to: the requested file's folder or the requested folder, else a
    // matching folder rule's, else the default folder (both with their dated subfolders).
    QString downloadBasePath();
    // The first matching folder rule's folder that exists or can be made, with its subfolder.
    QString specialCaseDownloadBasePath();
    // The path when given, not the default folder, and a folder that exists or can be made.
    static QString checkRelevantDownloadBasePath(const QString &path, const QString &defaultPath);
    // The folder inside `folder` named by the date format stored under the key, made if necessary;
    // `folder` itself without a format or when that folder cannot be had.
    QString downloadPath(const QString &folder, const QString &subfolderAccordingToSubdivisionKey);
    // Folder rules: "Hosts" match whole trailing labels, "Extensions" the name's extension.
    bool matchesSpecialCase(const QVariantMap &rule);
    bool hasHostFromArray(const QStringList &hosts);
    bool hasExtensionFromArray(const QStringList &extensions);
    // The entry's labels are the host's last labels.
    static bool hostComponents(const QStringList &entryComponents, const QStringList &matchComponents);
    // With appendToPath: appends the fragments in order to that file and deletes them; the file's
    // length, and *joined false (0 returned, the failed fragment and later ones kept, the file cut
    // back) when a fragment cannot be read or written. Without: the length of the intermediate file
    // and its fragments together, and per file (a resume fragment counted with the file it
    // continues) in the size table when given.
    quint64 combinedFileSizeFromIntermediateDownloadTargetPath(const QString &path, const QString &appendToPath,
                                                               QHash<QString, quint64> *accelerationFragmentSizes,
                                                               bool *joined = nullptr);
    // Where the finished file goes; empty without write access there.
    QString finalDownloadTargetPath();
    // Gives up folder access obtained for downloads once none waits or runs (only ever held when sandboxed).
    static void endFileAccess();

private:
    // The scheduler looks for waiting and downloading downloads among the unfinished ones only.
    static void noteUnfinishedDownload(ZRDownload *download);
    static void forgetUnfinishedDownload(ZRDownload *download);
    void initWithURL(const QUrl &url, bool addToQueue);
    void beep();
    void dropDownloadWorkers();
    QString anonymizedName();
    bool describesThisDownload(const QVariantMap &metadata) const;
    void takeMissingValuesFromBundleMetadata(const QVariantMap &metadata);
    bool bundleDataIsConsistent(const QString &bundle, const QString &intermediatePath, const QVariantMap &metadata);
    bool bundleHoldsOnlyDataNamed(const QString &bundle, const QString &cleanName) const;
    // "just now", "5 minutes ago", ... for the completion date; empty when there is no such text.
    QString fuzzyDoneDateDescription();

    // Field order follows the record's description; caches are empty until first use.
    QUrl _url;
    mutable QString _urlString;
    QString _comparisonURLString;
    QString _locationKey;
    std::optional<QString> _queueRelevantHost;
    std::optional<ZRIcon> _icon;
    QVariantMap _userSettings;
    QString _cachedName;
    QString _anonymizedName;
    bool _anonymizedNamePreservesExtension = false;
    std::optional<QString> _sortName;
    std::vector<ZRDownloadWorkerPtr> _downloadWorkers;
    bool _hasJustAddedAccelerationWorkers = false;
    bool _hasFailedToAddAccelerationWorkers = false;
    bool _isGettingDownloadPageSource = false;
    mutable std::optional<bool> _isDownloadPageURLStatus;
    QString _intermediateDownloadTargetPath;
    double _downloadFraction = 0;
    quint16 _downloadSixth = 0;
    QDateTime _lastModifiedOnServerDate;
    QDateTime _date;
    QDateTime _downloadDate;
    QDateTime _ongoingDownloadQuantumDate;
    qint64 _ongoingDownloadQuantumBytes = 0;
    QDateTime _previousDownloadQuantumDate;
    qint64 _previousDownloadQuantumBytes = 0;
    QDateTime _lastDownloadUpdateDate;
    QDateTime _doneDate;
    QString _lastDownloadFractionString;
    // The finished file while its completion is handled: there, since it was moved there just now.
    QString _justFinishedPath;
    bool _canSetDownloadFractionAttribute = false;
    bool _shouldWriteMetadataToDownloadBundle = true;
    // What the bundle's metadata file holds since this download last wrote it.
    QVariantMap _writtenBundleMetadata;
    QString _writtenBundleMetadataPath;
    bool _looksForDataLeftBehind = false;
    // Whether files beside an intermediate file outside a bundle may be this download's fragments:
    // only once it was split or resumed, or when it comes from an earlier run. A new download that
    // was neither never lists the user's folder for them (a downloads folder of thousands of files
    // was read once a download, and another download's left-overs of the same name would have been
    // joined on).
    bool _mayHaveFragments = false;
    void noteWorkerPlacement(const ZRDownloadWorkerPrototype &worker)
    {
        _mayHaveFragments = _mayHaveFragments || worker.fractionStartByte() > 0 || worker.resumeByteOffset() > 0;
    }
    // The scheduler's bookkeeping: the place in its list of unfinished downloads (-1: not there),
    // and where the download stood in the master list when last looked up (checked before use).
    qsizetype _unfinishedSlot = -1;
    qsizetype _listPositionHint = -1;
    bool _isVanishing = false; // stands for the list view held during the removal animation
    qint64 _vanishCountdown = 0;
    bool _isInterrupted = false;
    bool _autoResumeAfterSleep = false;
    bool _isBeingRemoved = false;
    bool _isFinishReported = false;
    ZRDownloadStatus _status = ZRDownloadStatusPaused;
    quint64 _highlightedActionButtonIndex = 0;

    // --- Transfer lifecycle ---
    // Why a transfer that ended brought nothing: the answer's status ("Not Found"), or no data.
    static ZRHTTPErrorPtr finishedWithoutDataError(qint64 statusCode);
    void abortStart();
    bool configureResumeOfAccelerationWorkers(const ZRDownloadWorkerPtr &firstWorker,
                                              const QHash<QString, quint64> &fragmentSizes);
    void startDownloadPageFetch(const QUrl &pageURL);
    void downloadPageFetchDidFinish(const QList<QUrl> &urls, const QString &title);
    void addAccelerationWorkersForResponse(ZRDownloadWorkerPrototype &worker, const ZRHTTPHeaders &headers,
                                           const QUrl &url);
    // An extra connection could not be had while the first still runs over the whole file: it goes
    // on alone, and the fractions laid out so far are forgotten.
    bool giveUpAccelerationIfStillPossible(ZRDownloadWorkerPrototype &worker, const ZRHTTPErrorPtr &error);
    void failAcceleration();
    // A first fraction that ran past its end before it was cut loses the excess.
    bool trimFirstFractionFiles(const QString &intermediatePath, qint64 length);
    // Whether the stored fractions and the files on disk (the size table) fit together; a first
    // fraction that ran past the second one's start is cut back to it.
    bool acceleratedResumeIsPossible(const QString &intermediatePath, QHash<QString, quint64> &fragmentSizes);
    bool isFirstDownloadWorker(const ZRDownloadWorkerPrototype &worker) const;
    void startOverAtFirstByte(ZRDownloadWorkerPrototype &worker);
    void dropAccelerationWorkers();
    void forgetResumeValidators();
    void updateDownloadFractionAttribute(double fraction);
    void completeWithFinishedWorkers(bool combine);
    // The file's whole length (0 when unknown), a worker's share of it (-1 when unknown), a worker
    // that ended short of its share or on an error answer, and the fractions on disk before a join.
    qint64 knownTotalLength() const;
    qint64 fractionLengthOfWorker(size_t index) const;
    bool finishedWorkerHoldsItsFraction(size_t index);
    bool fetchRestOfFraction(size_t index);
    bool fractionsOnDiskMakeTheWholeFile(const QString &intermediatePath, bool combine);
    bool moveFinishedFileToFinalPath(const QString &intermediatePath, QString &finalPath);
    void writeFinishedFileMetadata(const QString &finalPath);
    void openWithMatchingFolderRule(const QString &finalPath);
    void recordInHistory();
    void updateDownload();
    ZRDownloadVanishView *_vanishView = nullptr;
    // Made on first use.
    std::unique_ptr<ZRDelayedCall> _autoResumeCall;
    std::unique_ptr<ZRDelayedCall> _metadataWriteCall;
    std::unique_ptr<ZRDelayedCall> _vanishStepCall;
};

// Orders two downloads by a sort criterion: -1 when a comes first, 1 when b does, 0 when they are the
// same. decidedByFallback (when given) tells whether the tie-break by name and address decided
// rather than the criterion itself. Criteria 1 and above 4 sort by name.
int ZRCompareDownloads(ZRDownload &a, ZRDownload &b, qint64 criterion, bool *decidedByFallback = nullptr);

namespace ZRExtensions {

// Each download's originalURLString(), in order, without empty ones.
QStringList originalURLStrings(const ZRDownloadList &downloads);

// Whether the list is already in the criterion's order. False for a negative criterion or fewer
// than two downloads, and when some neighbours are out of order; otherwise true when some pair was
// ordered by the criterion itself, or when must is false.
bool containsDownloadsEffectivelySortedByCriterion(const ZRDownloadList &downloads, qint64 criterion,
                                                   bool mustUseCriterionSpecificSorting);

} // namespace ZRExtensions
