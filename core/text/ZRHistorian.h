// The history of finished downloads: History.plist in the application-support folder, the History
// menu built from it as plain data (the window makes its menus from it, tests read it), and the
// actions of its items.
#pragma once

#include "core/foundation/ZRDelayedCall.h"
#include "core/text/ZRIcons.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantList>
#include <QVariantMap>

#include <memory>
#include <optional>

namespace ZRHistoryKeys
{

inline const QString FileName = QStringLiteral("History.plist");
// A history item.
inline const QString Name = QStringLiteral("Name");
inline const QString OriginalURL = QStringLiteral("Original URL");
inline const QString Path = QStringLiteral("Path");
inline const QString Alias = QStringLiteral("Alias");
inline const QString Date = QStringLiteral("Date");
// The preferences the history reads.
inline const QString PrivateDownloading = QStringLiteral("Private Downloading");
inline const QString HistoryOfCompleteDownloads = QStringLiteral("History Of Complete Downloads");
inline const QString NumberOfHistoryItems = QStringLiteral("Number Of History Items");
inline const QString NumberOfTopLevelHistoryItems = QStringLiteral("Number Of Top-Level History Items");
inline const QString HistoryArchivesDownloadsByDateCompleted =
    QStringLiteral("History Archives Downloads By Date Completed");
inline const QString HistorySearchCriterion = QStringLiteral("History Search Criterion");
inline const QString ClearHistoryOnQuit = QStringLiteral("Clear History On Quit");

} // namespace ZRHistoryKeys

// What the history's actions need of the program around it; the controller is it.
// Main thread.
class ZRHistorianDelegate
{
public:
    virtual ~ZRHistorianDelegate() = default;
    // Takes a finished download with that file out of the list (before the file goes to the trash).
    virtual void removeDownloadIfDoneWithPath(const QString &path) = 0;
    // New downloads of the addresses.
    virtual void openURLs(const QList<QUrl> &urls) = 0;
    virtual void copyToPasteboard(const QString &text, const QList<QUrl> &urls) = 0;
    virtual void beep() = 0;
};

struct ZRHistoryMenu;

// One entry of a history menu.
struct ZRHistoryMenuItem {
    enum class Action {
        None,
        Open,
        OpenWithApplication,
        Reveal,
        MoveToTrash,
        CopyPath,
        OpenOriginalURL,
        CopyOriginalURL,
        Download,
        Clear,
    };

    QString title;
    Action action = Action::None;
    // The file path or the address that the action works on.
    QString representedObject;
    // The desktop file of the application, for OpenWithApplication.
    QString applicationPath;
    ZRIcon icon;
    bool isSeparator = false;
    bool isEnabled = true;
    // Shown in small type (the path and address lines, "No Matches", "History is empty").
    bool isSmall = false;
    std::shared_ptr<ZRHistoryMenu> submenu;
    // Only the placeholder of a day submenu that has not been opened: that day's history items,
    // newest first.
    std::optional<QVariantList> dayItems;

    static ZRHistoryMenuItem separator();
};

struct ZRHistoryMenu {
    QString title;
    QList<ZRHistoryMenuItem> items;
};

// Main thread, every member.
class ZRHistorian
{
public:
    // The one instance, for the life of the process.
    static ZRHistorian *historian();
    ZRHistorian(const ZRHistorian &) = delete;
    ZRHistorian &operator=(const ZRHistorian &) = delete;

    // $XDG_DATA_HOME/Quorvel (created when missing), and History.plist in it.
    static QString applicationSupportPath();
    static QString historyArchivePath();
    // The items of a history file, oldest first; empty when it is missing or unreadable. Reads only:
    // another process may be keeping that history.
    static QVariantList historyWithContentsOfFile(const QString &path);
    // The item's date: a property-list date, or one archived as data; invalid when it has none that
    // this program can read.
    static QDateTime dateOfHistoryItem(const QVariantMap &item);

    // Not owned; without one the actions that need the program beep nowhere and do nothing.
    void setDelegate(ZRHistorianDelegate *delegate) { _delegate = delegate; }

    // Loaded from the file on first use.
    QVariantList &history();
    qsizetype numberOfItems() { return history().size(); }

    // What the history keeps of a download that ended.
    struct Download {
        QString name;
        QString originalURLString;
        QString path;
        QByteArray alias;
        QDateTime dateAdded;
        QDateTime dateCompleted;
        bool isComplete = false;
    };
    // Records it unless downloading privately, or when only complete downloads are kept and it is not.
    void add(const Download &download);
    // Drops items without a file bookmark (checkCompletion) and the oldest beyond "Number Of History
    // Items" (checkNumber); any change is saved 5 seconds later, once for a burst.
    void checkNumberOfItems(bool checkNumber, bool checkCompletion);
    // Writes the history now (atomically), or deletes the file when it is empty.
    void save();
    bool isSavePending() const { return _savePending; }
    void clear();
    // At quit: cleared with "Clear History On Quit", else saved when something is pending.
    void cleanUp();

    // --- The menu ---

    // Replaces the menu's items: the search result, or "No Matches" and the whole menu, or the newest
    // items, the day groups and "Clear History", or "History is empty".
    void populateMenu(ZRHistoryMenu &menu, const QStringList &searchStrings = {});
    // A day submenu that opens: its placeholder gives way to the day's items.
    void menuNeedsUpdate(ZRHistoryMenu &menu);
    // None without a name and an address, or when the search strings do not match the address
    // (checkURL) or the name.
    std::optional<ZRHistoryMenuItem>
    newMenuItemForHistoryItem(const QVariantMap &item, const QStringList &searchStrings, bool checkURL);

    // --- The actions; each beeps when it cannot act ---

    void perform(const ZRHistoryMenuItem &item);
    void open(const QString &path);
    void openWithApplication(const QString &path, const QString &applicationPath);
    void reveal(const QString &path);
    void moveToTrash(const QString &path);
    void copyPath(const QString &path);
    void openOriginalURL(const QString &address);
    void copyOriginalURL(const QString &address);
    void download(const QString &address);

    // Tests: forget the history in memory and any pending save, as if the program had just started.
    void resetForTesting();

private:
    ZRHistorian() = default;

    void beep();
    void scheduleSave();

    ZRHistorianDelegate *_delegate = nullptr;
    std::optional<QVariantList> _history;
    bool _savePending = false;
    QHash<QString, ZRIcon> _iconCache;
    ZRDelayedCall _saveCall;
};
