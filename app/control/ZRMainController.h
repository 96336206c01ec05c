// The application's one controller: it owns the master list of downloads, starts up, restores and
// keeps the queue archive, quits, and follows sleep, wake and clock changes. It reaches the user
// only through a ZRUserInterface.
#pragma once

#include "app/control/ZRApplicationImage.h"
#include "app/control/ZRFolderMenu.h"
#include "app/control/ZRQueueArchive.h"
#include "app/control/ZRQueueCommand.h"
#include "app/control/ZRQueueMenu.h"
#include "app/control/ZRUserInterface.h"
#include "core/download/ZRDownload.h"
#include "core/download/ZRDownloadManager.h"
#include "core/foundation/ZRDelayedCall.h"
#include "core/text/ZRHistorian.h"
#include "core/text/ZRFolderRules.h"

#include <QDateTime>
#include <QList>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <optional>

class QFileSystemWatcher;
class ZRClockChangeWatcher;
class ZRPopUpMenu;
class ZRSleepWakeWatcher;
class ZRSystemPower;

// An item of an intake that gave nothing to download, and why.
struct ZRIntakeRefusal {
    QString item;
    QString reason;
    // The address is in the list already (waiting, running or complete): nothing is wrong with it.
    bool isListedAlready = false;
};

// Main thread, every member.
class ZRMainController : public QObject, public ZRDownloadManager, public ZRHistorianDelegate
{
    Q_OBJECT
public:
    // The one instance: created on first use, never destroyed. It is the model's download manager.
    static ZRMainController *mainController();
    ZRMainController(const ZRMainController &) = delete;
    ZRMainController &operator=(const ZRMainController &) = delete;

    // The front end; not owned. Without one, alerts take their default button and nothing is shown.
    void setUserInterface(ZRUserInterface *userInterface) { _userInterface = userInterface; }
    ZRUserInterface *userInterface() const { return _userInterface; }

    // --- Launch ---

    // The defaults that hold while the user has set nothing.
    static void registerDefaults();
    // Registers the defaults and applies the application mode.
    void applicationWillFinishLaunching();
    // Restores the queue, shows the list and starts following sleep, wake and the clock.
    void applicationDidFinishLaunching();
    // Makes the front end show the program as "Application Mode" wants (tray item only, or with its
    // window). Returns whether a relaunch is needed for the change, which never happens here.
    bool updateActivationPolicy(bool byUser);

    // --- The master list and status masks ---

    const ZRDownloadList &downloads() const { return _downloads; }
    const ZRDownloadList &sortedDownloads() const { return _sortedDownloads; }
    ZRDownloadList sortedAndFilteredDownloads() const override { return _sortedAndFilteredDownloads; }

    // Mask 0: any download (the collection is not empty / the collection itself).
    static bool anyDownloadFromCollectionMatchesStatusMask(const ZRDownloadList &collection, quint64 mask);
    static ZRDownloadList downloadsFromCollectionMatchingStatusMask(const ZRDownloadList &collection,
                                                                    quint64 mask);
    bool anyDownloadMatchesStatusMask(quint64 mask) const;
    ZRDownloadList downloadsMatchingStatusMask(quint64 mask) const override;
    // The context downloads are the selected rows, or all displayed rows when none is selected.
    ZRDownloadList contextDownloads() const;
    bool anyContextDownloadMatchesStatusMask(quint64 mask) const;
    ZRDownloadList contextDownloadsMatchingStatusMask(quint64 mask) const;

    // Appends a download to the master list (it may be new to the user: then a damaged queue archive
    // that could not be kept aside may be replaced by the next write).
    void appendDownload(const ZRDownloadPtr &download);

    // --- The queue archive ---

    // Recreates a download from its archive dictionary and appends it; none without "URL" or when
    // the address yields no download. With the folder of a download bundle that was moved, the
    // recorded paths follow the bundle when its data file is there.
    // Values whose type the download cannot use are left out (their keys in droppedKeys).
    ZRDownloadPtr addDownloadFromArchive(const QVariantMap &archive,
                                         const QString &externalContainerPath = QString(),
                                         QStringList *droppedKeys = nullptr);
    // Replaces the list by the downloads of the queue archive (launching does this first). Entries
    // holding values of the wrong type (restored without them, or not at all) are kept aside beside
    // the archive; the log and the front end say so.
    void restoreQueueArchive();
    // Writes every download that is not complete or leaving the list. When quitting, asks once before
    // pausing active downloads (unless "Quit Procedure" says not to) and may drop inactive duplicates;
    // with nothing to keep it removes the archive and the intermediate files instead. False only when
    // the user cancelled the quit: then nothing was written or paused.
    bool writeArchiveBeforeQuitting(bool quitting);
    // Writes the archive once after the given delay, however many changes ask for it meanwhile; any
    // write before then (quitting writes at once) makes the pending one unnecessary.
    void writeArchiveSoon(double seconds);
    bool isArchiveWritePending() const { return _archiveWriteCall.isScheduled(); }
    QString queueArchivePath() const { return _queueArchive.path(); }
    // Whether the archive read at launch was damaged (and kept aside).
    bool foundDamagedQueueArchive() const { return _queueArchive.foundDamagedFile(); }

    // --- Quitting and the window ---

    // Whether quitting may go on; on true the archive is written and the schedule stopped.
    bool shouldQuit();
    bool applicationShouldTerminate() { return shouldQuit(); }
    // True when the download window is visible; otherwise it is brought to the front.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    // Whether the download window may close; with "Quit On Close" a true answer has ended the program.
    bool windowShouldClose();
    bool isShowingQuitWhileDownloadingAlert() const { return _isShowingQuitWhileDownloadingAlert; }

    // --- Sleep, wake and the clock ---

    void workspaceWillSleep();
    void workspaceDidWake();
    void resumeAfterSleep();
    void timeDidChange();
    bool isResumeAfterSleepScheduled() const { return _resumeAfterSleepCall.isScheduled(); }

    // --- The list on screen ---

    // Sorts and filters the list, shows it and the status line.
    void updateDownloadListAndStatus();
    // The front end reports every selection change; the selection is remembered for the next launch.
    void selectionDidChange();
    void selectOriginalURLStrings(const QStringList &originalURLStrings);
    void updateStatusItem();

    // --- The schedule ---

    // Arms, or cancels, the daily queue and pause timers (at launch, wake, clock changes, after every
    // change and every firing; cancelled before sleep and at quit).
    void resetSchedule();
    void disableSchedule();
    // A time of day under "Schedule: Queue: Time" or "Schedule: Pause: Time" ("Hour", "Minute",
    // "Second"); the date is dropped.
    void setScheduleDate(const QDateTime &date, const QString &identifier);
    // The reference day (today when invalid) at the stored time, or at the default hour when none is.
    QDateTime scheduleDateWithIdentifier(const QString &identifier, int defaultHour, const QDateTime &referenceDate);
    // The timers' actions: every download is queued / waiting ones (and with "Schedule: Pause:
    // Radical" running ones) are paused; then both timers are armed for their next moment.
    void scheduledQueueAll();
    void scheduledPauseAll();
    // The user's switches, the time pickers and the toolbar's schedule button (segment 0 queuing,
    // 1 pausing).
    void toggleScheduleUserDefault(const QString &key, int segment);
    void toggleScheduledQueuing();
    void toggleScheduledPausing();
    void setScheduledPausingRadical(bool radical);
    void changeScheduledTime(const QDateTime &date, bool queuingPicker);
    void schedule(int segment);
    // Whether scheduled queuing or pausing is on.
    static bool isScheduleOn();
    bool isScheduledQueueArmed() const { return _scheduledQueueCall.isScheduled(); }
    bool isScheduledPauseArmed() const { return _scheduledPauseCall.isScheduled(); }

    // --- Status summary and all-done procedures ---

    // Recounts the list and shows the status line, the application image and the window's marks.
    // With nothing pending it runs the all-done procedures once per batch: the notification, and
    // quitting, sleeping or shutting down when chosen. Any call first cancels a pending auto-quit.
    void updateStatusAndForceUpdateApplicationImage(bool forceUpdate);
    // The status line as last shown ("2 of 5 downloads"); empty while nothing is pending.
    QString statusText() const { return _statusText; }
    const ZRApplicationImage &applicationImage() const { return _applicationImage; }
    // A download changed. The first report of its finish notifies, may bounce or play the heartbeat,
    // clears it after vanishInterval with "Auto-Clear ..." and writes the queue archive; forceVanish
    // (it is being removed) lets it vanish without a notification. Rows redraw within 0.2 s, or at
    // once with forceDisplay.
    void updateDownload(ZRDownload *download, bool forceDisplay);
    void updateDownload(ZRDownload *download, bool forceDisplay, bool forceVanish, double vanishInterval) override;
    // Takes every complete or aborted download at the path out of the list (its file went to the trash).
    void removeDownloadIfDoneWithPath(const QString &path) override;
    // Starts the removal now for each download still in the list.
    void vanishDownloads(const ZRDownloadList &downloads);
    // Removing the last pending download by hand is no reason for the all-done notification.
    void disableAllDoneNotificationForDownload(ZRDownload *download) override;
    // Sleep or shut down once all downloads are done: chosen per run, never stored, never both.
    // Turning shut-down on asks first.
    void toggleAutoSleep();
    void toggleAutoShutDown();
    bool mayTriggerSleepOnAllDone() const { return _mayTriggerSleepOnAllDone; }
    bool mayTriggerShutDownOnAllDone() const { return _mayTriggerShutDownOnAllDone; }
    // Asks the system to suspend now; beeps when it refuses.
    void sleep();
    // Quits as the user would (the queue is archived, running downloads paused), then asks the system
    // to power off; on refusal beeps and carries on.
    void shutDown();
    // False when not sent (private downloading, no front end).
    bool sendUserNotification(const QString &name, const QString &title, const QString &informativeText,
                              bool asAppendix, const QString &filePath = QString());
    // "Done", or "No active downloads remaining" when some download ended aborted (then given).
    void sendDoneUserNotification(ZRDownload *abortedDownload);
    void togglePrivateDownloading();
    // Where sleep and shut-down requests go; not owned. Without one, logind.
    void setSystemPower(ZRSystemPower *systemPower) { _systemPower = systemPower; }
    bool isTerminationScheduled() const { return _terminateCall.isScheduled(); }
    bool isSleepScheduled() const { return _sleepCall.isScheduled(); }
    // Tests: rows on screen as a filter would leave them.
    void setDisplayedDownloadsForTesting(const ZRDownloadList &rows) { _sortedAndFilteredDownloads = rows; }

    // --- Notices from the model ---

    using ZRDownloadManager::updateDownload;
    void invalidateLongTermNumberOfQueuedOrDownloadingDownloads() override;
    void decrementLongTermNumberOfQueuedOrDownloadingDownloads() override;
    qint64 longTermNumberOfQueuedOrDownloadingDownloads() const
    {
        return _longTermNumberOfQueuedOrDownloadingDownloads;
    }
    void updateDownload(ZRDownload *download) override;
    void removeDownload(ZRDownload *download) override;
    // Writes the queue archive within a second (`writeArchiveSoon`).
    void downloadResumeDataDidChange(ZRDownload *download) override;
    void updateDownloadListDisplay() override;
    bool isShowingModalWindow() const override { return _isShowingQuitWhileDownloadingAlert || _modalAlertDepth > 0; }
    void beep() override;
    // Alerts the downloads raise themselves (a missing disk), with one "OK" button.
    void runModalAlert(const QString &title, const QString &message) override;
    void copyToPasteboard(const QString &text, const QList<QUrl> &urls) override;

    // --- Address intake ---

    // Text to URLs through the address pipeline (trim, unescape and rewrite, find, expand brace
    // ranges). While "Instant Duplicate Check" is on, addresses already in the list are skipped,
    // except those of paused and aborted downloads: the intake continues those instead of adding
    // them again. Repeats among the new ones are kept. Addresses that cannot be downloaded are
    // left out: into refusals when given (the caller reports them; items without any address are
    // there too), else into the log.
    QList<QUrl> URLsFromCollection(const QStringList &collection, QList<ZRIntakeRefusal> *refusals = nullptr);
    // Splits at line breaks, then URLsFromCollection.
    QList<QUrl> URLsFromString(const QString &string);
    // Paths (natural order) to file URLs appended to fileURLs; folders that are not download bundles
    // are walked. From the 101st file on, asks before each further file; false when the user stopped.
    bool getFileURLs(QList<QUrl> &fileURLs, const QStringList &paths, const QString &basePath);
    // The intake: bundles, request files (".qbp"), address lists (".txt"), local files and addresses.
    // Arguments are the script keys ("toPosixPath", "byPostingData", "withReferrer",
    // "posingAsUserAgent", "usingCookies"); unsafe header values refuse the whole intake.
    // A URL of a paused or aborted download of the list (while "Instant Duplicate Check" is on)
    // continues that download instead of adding another. What cannot be downloaded goes into
    // refusals when given (the caller reports it), else into the log.
    void openURLs(const QList<QUrl> &urls, const QVariantMap &appleScriptArguments,
                  QList<ZRIntakeRefusal> *refusals = nullptr);
    void openURLs(const QList<QUrl> &urls) override { openURLs(urls, {}); }
    void openURLsFoundOnDownloadPage(const QList<QUrl> &urls, const ZRDownload &page) override;
    // {"URLs": list of QUrl, "Arguments": dictionary}.
    void openURLsWithArguments(const QVariantMap &urlsAndArguments);
    // The intake on the next turn of the event loop.
    void openURLsAfterDelay(const QList<QUrl> &urls, const QVariantMap &appleScriptArguments, bool giveFeedback);
    // Document opening. Delayed: whether there was at least one URL; immediate: whether the list grew.
    bool openFiles(const QStringList &paths, bool afterDelay, bool giveFeedback);
    // Replaces each download that is still in the list by a fresh one of its address, in its place,
    // with the target and request the user gave it.
    void retryFromMenuItem(const ZRDownloadList &downloads);
    // The "Request" dictionary for the script arguments (empty when they ask for nothing); none, with
    // the reason in *error and the argument's key in *refusedKey, when a header value holds a line break.
    static std::optional<QVariantMap> requestDictionaryFromAppleScriptArguments(const QVariantMap &arguments,
                                                                                QString *error = nullptr,
                                                                                QString *refusedKey = nullptr);
    // The refusal of a header value with a line break, naming the argument as its caller knows it.
    static QString lineBreakRefusalForArgument(const QString &argumentName);
    // Why the URL cannot be downloaded: a scheme other than http, https and file, a web address
    // without a host or with port 0, a file address of another host or of a file that is not
    // there. Empty when it can be.
    static QString refusalForURL(const QUrl &url);
    // Why the address text makes no URL at all (a port out of range, an unclosed "[", no scheme...).
    static QString refusalForURLString(const QString &string);

    // --- Queue commands ---

    // The window's commands act on the context downloads; each also takes the downloads to act on.
    // Queues the paused ones.
    void queuePaused();
    void queuePaused(const ZRDownloadList &downloads);
    // Pauses the waiting ones.
    void pauseQueued();
    void pauseQueued(const ZRDownloadList &downloads);
    // Pauses the waiting and running ones.
    void pauseAll();
    void pauseAll(const ZRDownloadList &downloads);
    void pauseDownloads(const ZRDownloadList &downloads);
    // Removes the context downloads (unfinished data deleted, finished files kept). Asks first
    // unless the command came from a control whose tag is 0 or less.
    void cancelAll(std::optional<qint64> senderTag);
    void cancelDownloads(const ZRDownloadList &downloads);
    // Every complete or aborted download leaves the list.
    void clear();
    // Paused downloads go back to the queue, aborted ones are retried.
    void continueDownloads(const ZRDownloadList &downloads);

    // A queue command on the downloads that the specifiers name (each a position in the list as
    // `--list` numbers it, a name or an address; none: every download), with what it has to say.
    ZRQueueCommandResult performQueueCommand(ZRQueueCommand command, const QStringList &specifiers);
    // The downloads that one specifier names, in list order; empty when none.
    static ZRDownloadList downloadsForSpecifier(const ZRDownloadList &downloads, const QString &specifier);
    // "1. name — status — reason — progress — address", one line per download, in list order.
    static QStringList queueListing(const ZRDownloadList &downloads);
    // The list command on any list of downloads (the controller's, or one read from a file).
    static ZRQueueCommandResult listDownloads(const ZRDownloadList &downloads, const QStringList &specifiers);
    // The downloads of a queue archive file as a launch would restore them, read without taking
    // anything aside or writing anything (another process may own the file). None, with the
    // reason, when the file cannot be read.
    static std::optional<ZRDownloadList> downloadsFromQueueArchiveFile(const QString &path, QString *error);

    // --- Sorting, filtering, reordering and the list's menus (ZRMainControllerList.cpp) ---

    // Rebuilds the sorted rows ("Sorting Criterion", "Invert Sorting") and the displayed ones (the
    // filter words, matched against names or, with "Toolbar Filter Criterion" "URL", addresses).
    void sortAndFilterDownloads();
    // Shows the rows again and reselects the given downloads, then the status.
    void updateSortedDownloadListAndStatusWithSelectedDownloads(const ZRDownloadList &selection);
    // Tag -1: ascending, -2: descending ("Invert Sorting"), 0...4: "Sorting Criterion".
    void changeSorting(qint64 tag);
    // Reorders the queue: -1 reversed, -2 shuffled, 0...4 by that criterion (0 by date).
    void rearrange(qint64 tag);
    // The filter field's text; typing refilters at once.
    void setFilterString(const QString &text);
    QString filterString() const { return _filterString; }
    QStringList filterWords() const;
    // "Name" or "URL".
    void setToolbarFilterCriterion(const QString &criterion);
    ZRDownloadPtr downloadAtSortedAndFilteredIndex(qsizetype index) const;

    // Rows dragged inside the list (display order). Dragging starts only in queue order without
    // filter words and without a vanishing row.
    bool canDragDownloads(const ZRDownloadList &downloads) const;
    bool beginDraggingDownloads(const ZRDownloadList &downloads);
    // The files of the dragged downloads when every one is complete with its file there, else empty.
    QStringList draggedFilePaths();
    void endDraggingDownloads();
    bool isDraggingDownloads() const { return !_draggedDownloads.isEmpty(); }
    // A drop between rows (row: the display index the rows go before); refused where it would
    // change nothing.
    bool validateDropAtRow(qsizetype row) const;
    // Moves the dragged downloads in the queue, rewrites the queue archive and shows the list.
    bool acceptDropAtRow(qsizetype row);

    // The context menu for a set of downloads (the selected rows, or the clicked one); none gives
    // only the general part.
    ZRMenu contextMenuForDownloads(const ZRDownloadList &downloads, double suffixSize);
    // "Open" and the applications that open the downloads' files, when every one is an existing file.
    void addOpenMenuItemsForDownloads(const ZRDownloadList &downloads, ZRMenu &menu, double suffixSize);
    ZRMenu sortMenu() const;
    ZRMenu rearrangeMenu() const;
    ZRMenu progressBarStyleMenu() const;
    // The tray item's menu.
    ZRMenu statusItemMenu() const;
    // The File menu's "Download to" part: the folder menu with the rules.
    ZRMenu downloadToMenu(double suffixSize);
    // Sets the item's enabled state and check mark from the list and the settings; its submenus too.
    void validateMenuItem(ZRMenuItem &item) const;
    void validateMenu(ZRMenu &menu) const;
    // Runs the item's command.
    void performMenuItem(const ZRMenuItem &item);
    // Tests: sees every command the menus and keys run (before it runs; true: do not run it).
    void setMenuCommandObserverForTesting(std::function<bool(const ZRMenuItem &)> observer)
    {
        _menuCommandObserver = std::move(observer);
    }

    // Copies the context downloads' source addresses.
    void copy();
    // Opens the addresses in the browser, one "URL Opening Interval" apart (0.1 s when unset).
    void openOriginalURLs(const ZRDownloadList &downloads);
    void copyOriginalURLs(const ZRDownloadList &downloads);
    void toggleLocationKeyDisplayNames();
    void toggleAutoStart();
    void toggleDebugLogging();
    void changeProgressBarStyle(qint64 style);
    // The toolbar's queue/pause control: segment 1 pauses the waiting ones, any other queues.
    void queueOrPause(int segment);
    // The toolbar's speed control: segment 1 throttling, any other acceleration; then the one-time
    // explanation of the "Speed" section.
    void accelerateOrThrottle(int segment);
    void toggleAcceleration();
    void toggleThrottle();

    // --- Intake from the window (ZRMainControllerList.cpp) ---

    // The clipboard's addresses straight into the queue when each is a whole address; otherwise the
    // address panel, filled with what the clipboard holds.
    void openURLFromPasteboard();
    // The address panel: OK takes the addresses of its text.
    void openURLPanelWithString(const QString &text);
    void openURL() { openURLPanelWithString(QString()); }
    // The "Open" panel: files and folders; beeps when nothing was added.
    void openFile();
    // Drops of addresses, text or files on the list or the tray item: taken on the next turn.
    bool dropURLs(const QList<QUrl> &urls, const QString &text);

    // --- Folder rules and the downloads folder (ZRMainControllerRules.cpp) ---

    // The rules, loaded from "Rules" on first use, always sorted (first host, then first extension).
    QVariantList specialCases() const override;
    // Sorts and stores the rules ("Rules" is removed when none is left).
    void setSpecialCases(const QVariantList &rules);
    void removeSpecialCase(const QVariantMap &rule);
    void removeAllSpecialCases();
    // The rule editor beneath its window. Beginning sets the working folder and application from the
    // rule (none for a new one); the fields' texts then give the rule that OK stores.
    enum class SpecialCaseEditorResponse { OK, Remove, Cancel };
    void beginEditingSpecialCase(const std::optional<QVariantMap> &rule);
    // Whether OK may be pressed: a host or an extension, and a folder or a chosen application.
    bool specialCaseEditorAcceptsHosts(const QStringList &hosts, const QStringList &extensions,
                                       bool applicationChosen) const;
    // OK or Remove takes the edited rule out; OK adds the rule of the fields. The working values
    // are cleared in every case. The new rule, when one was added.
    std::optional<QVariantMap> endEditingSpecialCase(SpecialCaseEditorResponse response, const QString &hostsField,
                                                     const QString &extensionsField,
                                                     const QString &chosenApplicationID);
    const std::optional<QVariantMap> &currentSpecialCase() const { return _currentSpecialCase; }
    const std::optional<QString> &currentSpecialCaseDownloadsFolder() const { return _currentSpecialCaseDownloadsFolder; }
    const std::optional<QString> &currentSpecialCaseApplicationID() const { return _currentSpecialCaseApplicationID; }
    void setCurrentSpecialCaseApplicationID(const std::optional<QString> &identifier)
    {
        _currentSpecialCaseApplicationID = identifier;
    }
    // The editor's fields as lists: one entry a line, trimmed of blanks and dots, empty lines dropped.
    static QStringList specialCaseHostsFromField(const QString &text);
    static QStringList specialCaseExtensionsFromField(const QString &text);
    // Desktop-file ID -> desktop-file path of the applications that open every extension.
    static QMap<QString, QString> applicationsForExtensions(const QStringList &extensions);
    // The editor's application pop-up: the candidates by display name, and the one to select
    // (the working application, else the first extension's default one, else the first); -1 and a
    // single "-" item when there is none.
    struct ApplicationMenuItem {
        QString title;
        QString iconName;
        QString bundleID;
    };
    QList<ApplicationMenuItem> specialCaseApplicationMenu(const QStringList &extensions, int *selectedIndex) const;

    // "Downloads Folder", else the XDG download folder; "~"-abbreviated.
    static QString downloadsFolder();
    // path: a folder; a null string (the "Default Downloads Folder" item): the rule's folder is the
    // downloads folder; none: the user chooses one (cancelling changes nothing).
    void setDownloadsFolder(const std::optional<QString> &path, bool forSpecialCase, bool updateDownloadsFolderSelector);
    void changeDownloadsFolderFromMenuItem(const ZRFolderMenuItem &item);
    // "~/Desktop" and the download folder.
    static QStringList defaultFolders();
    // "Recent Downloads Folders", or the default folders while it is missing or empty.
    static QStringList recentDownloadsFolders();
    // Leaves only the current downloads folder in the list.
    void clearRecentDownloadFolders();
    // Appends the items of a folder menu; the index of the item to select, or -1. setting: the
    // current folder (null for a rule without one).
    int populateFolderMenu(ZRFolderMenu &menu, const QString &setting, bool forSpecialCase, bool appendSpecialCases,
                           bool action, bool setStates, bool addExplanation, double suffixSize);
    // Tells the front end to refill the preferences' (or the editor's) folder pop-up.
    void updateDownloadsFolderSelector(bool forSpecialCase = false);
    // Folder and save panels; "~"-abbreviated paths, none when cancelled.
    std::optional<QString> chooseAbbreviatedDownloadsFolder();
    std::optional<QString> chooseAbbreviatedDownloadFileForURL(const QUrl &url);
    // A subfolder format field's text: kept as typed while it holds more than blanks.
    void setSubdivisionFormat(const QString &key, const QString &text);
    static bool showsSubdivisionDateSelector();
    const QList<ZRExtensions::ZRSubdivisionFormatSuggestion> &subdivisionFormatSuggestions();

    // --- Download-page rules (ZRMainControllerRules.cpp) ---

    // From "Download Page Rules" (or the built-in text while it holds none), decoded, validated and
    // in list form, made on first use; empty when the text is not a valid rule set (logged once).
    QVariantList downloadPageRules() const override;
    // The rules editor's validator: the object when it is an acceptable rule set.
    std::optional<QVariant> validateObjectValue(const QVariant &object, QString *failure = nullptr) const;
    // The editor's text changed: stored (an empty text removes the key), the rules rebuilt, every
    // download's page test dropped and the list redrawn soon.
    void didChangeDownloadPageRulesText(const QString &text);
    // Follows Preferences.plist: a change made by someone else is read back, and changed rules
    // take effect at once.
    void startWatchingPreferencesFile();
    void preferencesFileDidChange();

    // --- The preferences window's controls (ZRMainControllerPreferences.cpp) ---

    // A switch: stores the key and does what the switch implies (the auto-clear switches remove the
    // finished rows now, auto-quit never quits at once, the history switches make it check itself,
    // the window switches redraw).
    void toggleBooleanPreference(const QString &key, bool on);
    // "Basic download" is the opposite of "Throttle: Supported". Whether the engine in use differs
    // from the stored choice until the next launch (the window then explains so).
    bool setBasicDownloadMode(bool basic);
    // The three-state quit-on-close box: 0 off, 1 mixed (quit only with nothing active), 2 on.
    void setQuitOnCloseState(int state);
    static int quitOnCloseState();
    // A pop-up: the chosen item's tag is the value. The concurrent-downloads pop-up brings the
    // per-host one (when given) in line. False when the change was refused: the pop-up goes back.
    bool changeListPreference(const QString &key, qint64 tag, ZRPopUpMenu *perHostSelector = nullptr);
    // The throttle field's text once typing stopped: its localized number, at least 1, thousands of
    // bytes per second. Returns the text the field shows now.
    QString updateThrottleLimit(const QString &text);
    // The limit in thousands (1 for limits up to 1000), and the field's suggestions, localized.
    static QString throttleFieldText();
    static QStringList throttleFieldSuggestions();
    // Trimmed into "Custom User Agent"; an empty field removes the key.
    void setCustomUserAgent(const QString &text);
    // Stored unchanged in the shared defaults, usable or not.
    void setSafariExtensionFilter(const QString &text);
    static QString safariExtensionFilter();
    // Non-empty once trimmed and a valid case-insensitive pattern.
    static bool isUsableSafariExtensionFilter(const QString &text);
    // The key that suppresses the explanation of a toolbar button standing for the section.
    static QString toolbarButtonExplanationSuppressionKey(const QString &section);

    // Tests: forget the list, the front end, timers and watchers, as if the program had just started.
    void resetForTesting();

Q_SIGNALS:
    // The list or a download in it changed (added, removed, reordered, a status or progress): for
    // observers outside the front end, such as the scripting interface. Many in one turn are usual.
    void queueDidChange();

private:
    ZRMainController();
    ~ZRMainController() override;

    void tellUserOfQueueDamage(const QString &message);
    // A restored download whose address cannot be downloaded is aborted, with the reason.
    static void abortIfUnusable(ZRDownload &download);
    void startObservingWorkspaceNotifications();
    void stopObservingWorkspaceNotifications();
    int runAlert(const ZRAlert &alert);
    // Address intake: one pass over a list of URLs, nested for address lists.
    struct IntakeState;
    void openURLsInIntake(const QList<QUrl> &urls, IntakeState &state);
    void downloadURLInIntake(const QUrl &url, IntakeState &state, const QVariantMap *requestFile);
    void refuseInIntake(IntakeState &state, const QString &item, const QString &reason, const QString &logLine);
    bool getFileURLsWalking(QList<QUrl> &fileURLs, const QStringList &paths, const QString &basePath,
                            QSet<QString> &walkedFolders);

    ZRUserInterface *_userInterface = nullptr;
    ZRDownloadList _downloads;
    ZRDownloadList _sortedDownloads;
    ZRDownloadList _sortedAndFilteredDownloads;
    qint64 _longTermNumberOfQueuedOrDownloadingDownloads = 0;
    bool _isShowingQuitWhileDownloadingAlert = false;
    int _modalAlertDepth = 0;

    ZRQueueArchive _queueArchive;
    ZRSleepWakeWatcher *_sleepWakeWatcher = nullptr;
    ZRClockChangeWatcher *_clockChangeWatcher = nullptr;
    ZRDelayedCall _resumeAfterSleepCall;
    ZRDelayedCall _activationCall;
    ZRDelayedCall _statusItemCall;

    // --- Status summary and all-done procedures ---
    ZRSystemPower *systemPower();
    void redrawPendingDownloads();
    // Sorts and filters the rows again; true when they changed (then they were shown again).
    bool resortDisplayedDownloads();
    bool _resortPending = false;
    void resetStatusForTesting();
    bool _mayTriggerAllDoneNotification = false;
    bool _mayTriggerQuitOnAllDone = false;
    bool _mayTriggerSleepOnAllDone = false;
    bool _mayTriggerShutDownOnAllDone = false;
    QString _statusText;
    ZRApplicationImage _applicationImage;
    ZRSystemPower *_systemPower = nullptr;
    // Finished downloads whose end was already reported, so that later redraws do not report it again.
    QList<std::weak_ptr<ZRDownload>> _downloadsToRedraw;
    ZRDelayedCall _terminateCall;
    ZRDelayedCall _doneNotificationCall;
    ZRDelayedCall _sleepCall;
    ZRDelayedCall _redrawCall;
    ZRDelayedCall _archiveWriteCall;

    // --- The schedule ---
    ZRDelayedCall _scheduledQueueCall;
    ZRDelayedCall _scheduledPauseCall;
    // --- Sorting, filtering and dragging ---
    void resetListForTesting();
    QString _filterString;
    ZRDownloadList _draggedDownloads;
    bool _draggedDownloadsAreConsecutive = false;
    std::function<bool(const ZRMenuItem &)> _menuCommandObserver;
    // --- Folder rules and download-page rules ---
    void resetRulesForTesting();
    void rulesPreferencesDidChange(const QStringList &keys);
    bool addFolderCandidate(ZRFolderMenu &menu, bool separator, const QString &abbreviatedPath,
                            const QString &displayName, bool action, double suffixSize, const QString &currentPath,
                            bool *isMatch);
    mutable std::optional<QVariantList> _specialCases;
    std::optional<QVariantMap> _currentSpecialCase;
    std::optional<QString> _currentSpecialCaseDownloadsFolder;
    std::optional<QString> _currentSpecialCaseApplicationID;
    bool _removeCurrentSpecialCase = false;
    mutable std::optional<QVariantList> _downloadPageRules;
    std::optional<QList<ZRExtensions::ZRSubdivisionFormatSuggestion>> _subdivisionFormatSuggestions;
    QFileSystemWatcher *_preferencesWatcher = nullptr;
    ZRDelayedCall _preferencesReloadCall;
    ZRDelayedCall _downloadPageRulesRedrawCall;
};
