// The download list as the controller keeps it: sorting and filtering the displayed rows,
// reordering the queue (the rearrange menu and dragging rows), the menus of the list as data with
// their validation, the commands they run, and the intake that only the window offers (the address
// panel, the clipboard, the open panel, drops).
#include "app/control/ZRMainController.h"

#include "app/control/ZRPreferenceKeys.h"
#include "core/download/ZRHTTPRequestDownloadWorker.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRApplications.h"
#include "core/text/ZRCollectionExtensions.h"
#include "core/text/ZRPathExtensions.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>
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

ZRMenuItem menuItem(const QString &title, ZRMenuCommand command, const ZRDownloadList &downloads = {},
                    qint64 tag = 0)
{
    ZRMenuItem item;
    item.title = title;
    item.command = command;
    item.downloads = downloads;
    item.tag = tag;
    return item;
}

ZRMenuItem plainLine(const QString &title)
{
    ZRMenuItem item;
    item.kind = ZRMenuItem::Kind::PlainLine;
    item.title = title;
    item.small = true;
    item.enabled = false;
    return item;
}

ZRMenuItem submenu(const QString &title, const ZRMenu &items)
{
    ZRMenuItem item;
    item.kind = ZRMenuItem::Kind::Submenu;
    item.title = title;
    item.submenu = items;
    return item;
}

ZRMenu menuFromFolderMenu(const ZRFolderMenu &folderMenu)
{
    ZRMenu menu;
    for (const ZRFolderMenuItem &folderItem : folderMenu) {
        if (folderItem.isSeparator()) {
            menu.append(ZRMenuItem::separator());
            continue;
        }
        if (folderItem.kind == ZRFolderMenuItem::Kind::Header || folderItem.kind == ZRFolderMenuItem::Kind::PlainLine) {
            ZRMenuItem line = plainLine(folderItem.title);
            line.small = folderItem.small;
            menu.append(line);
            continue;
        }
        ZRMenuItem item;
        item.title = folderItem.suffix.isEmpty() ? folderItem.title : folderItem.title + folderItem.suffix;
        item.iconName = folderItem.icon.name.isEmpty() ? folderItem.icon.fallbackName : folderItem.icon.name;
        if (!folderItem.submenu.isEmpty()) {
            item.kind = ZRMenuItem::Kind::Submenu;
            if (!folderItem.submenuTitle.isEmpty())
                item.title = folderItem.submenuTitle;
            item.submenu = menuFromFolderMenu(folderItem.submenu);
        } else {
            item.command = ZRMenuCommand::ChangeDownloadsFolder;
            item.folderItem = folderItem;
            item.checkable = folderItem.checked;
            item.checked = folderItem.checked;
        }
        menu.append(item);
    }
    return menu;
}

bool allOf(const ZRDownloadList &downloads, const std::function<bool(ZRDownload &)> &test)
{
    return std::all_of(downloads.begin(), downloads.end(), [&](const ZRDownloadPtr &download) { return test(*download); });
}

} // namespace

// --- Sorting and filtering ---

QStringList ZRMainController::filterWords() const
{
    // No filter is the common case: the expression is compiled only once there is one.
    if (_filterString.isEmpty())
        return {};
    static const QRegularExpression whitespace(QStringLiteral("\\s+"));
    return _filterString.split(whitespace, Qt::SkipEmptyParts);
}

void ZRMainController::sortAndFilterDownloads()
{
    _sortedDownloads = _downloads;
    const qint64 criterion = defaults().integerForKey(ZRPreferenceKey::SortingCriterion);
    if (criterion > 0) {
        std::stable_sort(_sortedDownloads.begin(), _sortedDownloads.end(),
                         [criterion](const ZRDownloadPtr &a, const ZRDownloadPtr &b) {
                             return ZRCompareDownloads(*a, *b, criterion) < 0;
                         });
    }
    if (defaults().boolForKey(ZRPreferenceKey::InvertSorting))
        ZRExtensions::invert(_sortedDownloads);

    const QStringList words = filterWords();
    if (words.isEmpty()) {
        _sortedAndFilteredDownloads = _sortedDownloads;
        return;
    }
    const bool checkURL = defaults().stringForKey(ZRPreferenceKey::ToolbarFilterCriterion) == QLatin1String("URL");
    _sortedAndFilteredDownloads.clear();
    for (const ZRDownloadPtr &download : std::as_const(_sortedDownloads)) {
        if (download->isMatchForSearchStrings(words, checkURL))
            _sortedAndFilteredDownloads.append(download);
    }
}

void ZRMainController::updateSortedDownloadListAndStatusWithSelectedDownloads(const ZRDownloadList &selection)
{
    if (_userInterface) {
        _userInterface->showDownloads(_sortedAndFilteredDownloads);
        if (!selection.isEmpty()) {
            ZRDownloadList shown;
            for (const ZRDownloadPtr &download : selection) {
                if (_sortedAndFilteredDownloads.contains(download))
                    shown.append(download);
            }
            _userInterface->selectDownloads(shown);
        }
    }
    updateStatusAndForceUpdateApplicationImage(false);
    Q_EMIT queueDidChange();
}

void ZRMainController::changeSorting(qint64 tag)
{
    if (tag == -1)
        defaults().setBool(false, ZRPreferenceKey::InvertSorting);
    else if (tag == -2)
        defaults().setBool(true, ZRPreferenceKey::InvertSorting);
    else if (tag >= 0 && tag <= ZRDownloadSortCriterionAddress)
        defaults().setInteger(tag, ZRPreferenceKey::SortingCriterion);
    else
        return;
    updateDownloadListAndStatus();
}

void ZRMainController::rearrange(qint64 tag)
{
    if (tag == -1) {
        ZRExtensions::invert(_downloads);
    } else if (tag == -2) {
        ZRExtensions::shuffle(_downloads);
    } else if (tag >= 0 && tag <= ZRDownloadSortCriterionAddress) {
        std::stable_sort(_downloads.begin(), _downloads.end(), [tag](const ZRDownloadPtr &a, const ZRDownloadPtr &b) {
            return ZRCompareDownloads(*a, *b, tag) < 0;
        });
    } else {
        return;
    }
    // The scheduler starts waiting downloads in the new order.
    ZRDownload::invalidateQueuedAndDownloadingDownloads();
    updateDownloadListAndStatus();
    writeArchiveBeforeQuitting(false);
}

void ZRMainController::setFilterString(const QString &text)
{
    if (text == _filterString)
        return;
    _filterString = text;
    updateDownloadListAndStatus();
}

void ZRMainController::setToolbarFilterCriterion(const QString &criterion)
{
    defaults().setObject(criterion, ZRPreferenceKey::ToolbarFilterCriterion);
    updateDownloadListAndStatus();
}

ZRDownloadPtr ZRMainController::downloadAtSortedAndFilteredIndex(qsizetype index) const
{
    if (index < 0 || index >= _sortedAndFilteredDownloads.size())
        return nullptr;
    return _sortedAndFilteredDownloads.at(index);
}

// --- Dragging rows ---

bool ZRMainController::canDragDownloads(const ZRDownloadList &downloads) const
{
    if (downloads.isEmpty() || defaults().integerForKey(ZRPreferenceKey::SortingCriterion) != 0 ||
        !filterWords().isEmpty())
        return false;
    return allOf(downloads, [](ZRDownload &download) { return !download.isVanishing(); });
}

bool ZRMainController::beginDraggingDownloads(const ZRDownloadList &downloads)
{
    endDraggingDownloads();
    if (!canDragDownloads(downloads))
        return false;
    QList<qsizetype> indexes;
    for (const ZRDownloadPtr &download : downloads) {
        const qsizetype index = _sortedAndFilteredDownloads.indexOf(download);
        if (index < 0)
            return false;
        if (!indexes.contains(index))
            indexes.append(index);
    }
    std::sort(indexes.begin(), indexes.end());
    for (const qsizetype index : indexes)
        _draggedDownloads.append(_sortedAndFilteredDownloads.at(index));
    _draggedDownloadsAreConsecutive = indexes.last() - indexes.first() < indexes.size();
    return true;
}

QStringList ZRMainController::draggedFilePaths()
{
    QStringList paths;
    for (const ZRDownloadPtr &download : std::as_const(_draggedDownloads)) {
        if (download->status() != ZRDownloadStatusComplete || !download->fileExists())
            return {};
        paths.append(download->path());
    }
    return paths;
}

void ZRMainController::endDraggingDownloads()
{
    _draggedDownloads.clear();
    _draggedDownloadsAreConsecutive = false;
}

bool ZRMainController::validateDropAtRow(qsizetype row) const
{
    if (_draggedDownloads.isEmpty() || row < 0 || row > _sortedAndFilteredDownloads.size() ||
        defaults().integerForKey(ZRPreferenceKey::SortingCriterion) != 0 ||
        _sortedAndFilteredDownloads.size() != _downloads.size())
        return false;
    const qsizetype first = _sortedAndFilteredDownloads.indexOf(_draggedDownloads.first());
    const qsizetype last = _sortedAndFilteredDownloads.indexOf(_draggedDownloads.last());
    if (first < 0 || last < 0)
        return false;
    if (_draggedDownloads.size() == 1)
        return row != first && row != first + 1;
    if (_draggedDownloadsAreConsecutive)
        return row < first || row > last + 1;
    return true;
}

bool ZRMainController::acceptDropAtRow(qsizetype row)
{
    if (!validateDropAtRow(row)) {
        endDraggingDownloads();
        return false;
    }
    const bool inverted = defaults().boolForKey(ZRPreferenceKey::InvertSorting);
    qsizetype target = inverted ? _downloads.size() - row : row;
    const ZRDownloadList dragged = std::exchange(_draggedDownloads, {});
    _draggedDownloadsAreConsecutive = false;
    for (const ZRDownloadPtr &download : dragged) {
        const qsizetype index = _downloads.indexOf(download);
        if (index < 0)
            continue;
        if (index < target)
            --target;
        _downloads.removeAt(index);
    }
    target = std::clamp<qsizetype>(target, 0, _downloads.size());
    ZRDownloadList inserted = dragged;
    if (inverted)
        ZRExtensions::invert(inserted);
    for (qsizetype offset = 0; offset < inserted.size(); ++offset)
        _downloads.insert(target + offset, inserted.at(offset));
    ZRDownload::invalidateQueuedAndDownloadingDownloads();
    updateDownloadListAndStatus();
    if (_userInterface)
        _userInterface->selectDownloads(dragged);
    writeArchiveBeforeQuitting(false);
    return true;
}

// --- The menus ---

ZRMenu ZRMainController::sortMenu() const
{
    ZRMenu menu{
        menuItem(localized("Date Added"), ZRMenuCommand::ChangeSorting, {}, ZRDownloadSortCriterionDate),
        menuItem(localized("Name"), ZRMenuCommand::ChangeSorting, {}, ZRDownloadSortCriterionName),
        menuItem(localized("Progress"), ZRMenuCommand::ChangeSorting, {}, ZRDownloadSortCriterionProgress),
        menuItem(localized("Host"), ZRMenuCommand::ChangeSorting, {}, ZRDownloadSortCriterionHost),
        menuItem(localized("Address"), ZRMenuCommand::ChangeSorting, {}, ZRDownloadSortCriterionAddress),
        ZRMenuItem::separator(),
        menuItem(localized("Ascending"), ZRMenuCommand::ChangeSorting, {}, -1),
        menuItem(localized("Descending"), ZRMenuCommand::ChangeSorting, {}, -2),
    };
    validateMenu(menu);
    return menu;
}

ZRMenu ZRMainController::rearrangeMenu() const
{
    ZRMenu menu{
        menuItem(localized("Date Added"), ZRMenuCommand::Rearrange, {}, ZRDownloadSortCriterionDate),
        menuItem(localized("Name"), ZRMenuCommand::Rearrange, {}, ZRDownloadSortCriterionName),
        menuItem(localized("Progress"), ZRMenuCommand::Rearrange, {}, ZRDownloadSortCriterionProgress),
        menuItem(localized("Host"), ZRMenuCommand::Rearrange, {}, ZRDownloadSortCriterionHost),
        menuItem(localized("Address"), ZRMenuCommand::Rearrange, {}, ZRDownloadSortCriterionAddress),
        ZRMenuItem::separator(),
        menuItem(localized("Reverse Order"), ZRMenuCommand::Rearrange, {}, -1),
        menuItem(localized("Random Order"), ZRMenuCommand::Rearrange, {}, -2),
    };
    validateMenu(menu);
    return menu;
}

ZRMenu ZRMainController::progressBarStyleMenu() const
{
    ZRMenu menu{
        menuItem(localized("Lively Background"), ZRMenuCommand::ChangeProgressBarStyle, {}, 0),
        menuItem(localized("Subtle Background"), ZRMenuCommand::ChangeProgressBarStyle, {}, 1),
        ZRMenuItem::separator(),
        menuItem(localized("Pill"), ZRMenuCommand::ChangeProgressBarStyle, {}, 2),
        menuItem(localized("Divider Line"), ZRMenuCommand::ChangeProgressBarStyle, {}, 3),
    };
    validateMenu(menu);
    return menu;
}

ZRMenu ZRMainController::downloadToMenu(double suffixSize)
{
    ZRFolderMenu folderMenu;
    populateFolderMenu(folderMenu, downloadsFolder(), false, true, true, true, true, suffixSize);
    return menuFromFolderMenu(folderMenu);
}

ZRMenu ZRMainController::statusItemMenu() const
{
    ZRMenu menu{menuItem(localized("Downloads"), ZRMenuCommand::ShowDownloadWindow)};
    ZRMenu meta{menuItem(localized("Start Downloads Automatically"), ZRMenuCommand::ToggleAutoStart),
                menuItem(localized("Enable Debug Logging"), ZRMenuCommand::ToggleDebugLogging),
                ZRMenuItem::separator(), menuItem(localized("Quit"), ZRMenuCommand::Quit)};
    menu.append(ZRMenuItem::separator());
    if (defaults().boolForKey(ZRPreferenceKey::UseStatusItemMetaSubmenu))
        menu.append(submenu(localized("Quorvel"), meta));
    else
        menu.append(meta);
    validateMenu(menu);
    return menu;
}

void ZRMainController::addOpenMenuItemsForDownloads(const ZRDownloadList &downloads, ZRMenu &menu,
                                                    double suffixSize)
{
    (void)suffixSize;
    if (downloads.isEmpty())
        return;
    QList<QUrl> files;
    for (const ZRDownloadPtr &download : downloads) {
        const QUrl url = download->URL();
        if (!url.isLocalFile() || !QFileInfo::exists(url.toLocalFile()))
            return;
        files.append(url);
    }
    menu.append(menuItem(localized("Open"), ZRMenuCommand::Open, downloads));
    // The applications that open every one of the files.
    QList<QUrl> applications;
    bool first = true;
    for (const QUrl &file : std::as_const(files)) {
        const QList<QUrl> candidates = ZRExtensions::applicationURLsForExtension(QFileInfo(file.toLocalFile()).suffix());
        if (first) {
            applications = candidates;
            first = false;
        } else {
            applications.erase(std::remove_if(applications.begin(), applications.end(),
                                              [&](const QUrl &each) { return !candidates.contains(each); }),
                               applications.end());
        }
    }
    for (const QUrl &application : std::as_const(applications)) {
        const QString path = application.isLocalFile() ? application.toLocalFile() : application.toString();
        if (ZRExtensions::applicationBundleIDFromPath(path).startsWith(QLatin1String("quorvel")))
            continue;
        ZRMenuItem item = menuItem(localized("Open with %1").arg(ZRExtensions::applicationDisplayNameFromPath(path)),
                                   ZRMenuCommand::OpenWithApplication, downloads);
        item.applicationPath = path;
        item.iconName = ZRExtensions::applicationIconNameFromPath(path);
        menu.append(item);
    }
}

ZRMenu ZRMainController::contextMenuForDownloads(const ZRDownloadList &downloads, double suffixSize)
{
    ZRMenu menu;
    if (downloads.size() == 1) {
        const ZRDownloadPtr &download = downloads.first();
        const ZRDownloadList one{download};
        const bool hasResponse = download->userSettings().contains(ZRDownloadKeys::ResponseURL);
        const bool othersActive = std::any_of(_downloads.begin(), _downloads.end(), [&](const ZRDownloadPtr &each) {
            return each != download && each->matchesStatusMask(ZRDownloadStatusMaskActive);
        });
        const auto addReveal = [&] {
            if (download->pathToReveal().isEmpty())
                return;
            menu.append(menuItem(localized("Show in Finder"), ZRMenuCommand::Reveal, one));
            menu.append(ZRMenuItem::separator());
        };
        const auto addAccelerate = [&] {
            if (hasResponse)
                return;
            ZRMenuItem accelerate = menuItem(localized("Accelerate"), ZRMenuCommand::ToggleAcceleration, one);
            accelerate.checkable = true;
            accelerate.checked = download->accelerates();
            menu.append(accelerate);
            menu.append(ZRMenuItem::separator());
        };
        switch (download->status()) {
        case ZRDownloadStatusPaused:
            menu.append(menuItem(localized("Start Download"), ZRMenuCommand::TogglePause, one));
            if (othersActive)
                menu.append(menuItem(localized("Start Download Now"), ZRMenuCommand::StartDownload, one));
            menu.append(menuItem(localized("Remove"), ZRMenuCommand::Remove, one));
            menu.append(ZRMenuItem::separator());
            addReveal();
            addAccelerate();
            break;
        case ZRDownloadStatusQueued:
            menu.append(menuItem(localized("Start Download Now"), ZRMenuCommand::StartDownload, one));
            menu.append(menuItem(localized("Pause Download"), ZRMenuCommand::TogglePause, one));
            menu.append(menuItem(localized("Remove"), ZRMenuCommand::Remove, one));
            menu.append(ZRMenuItem::separator());
            addReveal();
            addAccelerate();
            break;
        case ZRDownloadStatusDownloading:
            menu.append(menuItem(localized("Pause Download"), ZRMenuCommand::TogglePause, one));
            menu.append(menuItem(localized("Remove"), ZRMenuCommand::Remove, one));
            menu.append(ZRMenuItem::separator());
            addReveal();
            break;
        case ZRDownloadStatusComplete:
            if (download->fileExists()) {
                addOpenMenuItemsForDownloads(one, menu, suffixSize);
                menu.append(menuItem(localized("Show in Finder"), ZRMenuCommand::Reveal, one));
                menu.append(menuItem(localized("Move to Trash"), ZRMenuCommand::RemoveAndMoveToTrash, one));
                menu.append(ZRMenuItem::separator());
                menu.append(menuItem(localized("Copy Path"), ZRMenuCommand::CopyPath, one));
                menu.append(plainLine(ZRExtensions::stringByAbbreviatingWithTildeInPath(download->path())));
                menu.append(ZRMenuItem::separator());
            }
            break;
        case ZRDownloadStatusAborted: {
            menu.append(menuItem(localized("Retry"), ZRMenuCommand::Retry, one));
            const ZRDownloadList aborted = downloadsMatchingStatusMask(ZRDownloadStatusAborted);
            if (aborted.size() > 1)
                menu.append(menuItem(localized("Retry All"), ZRMenuCommand::Retry, aborted));
            menu.append(ZRMenuItem::separator());
            break;
        }
        }
        const bool exists = download->fileExists();
        menu.append(menuItem(exists ? localized("Open Original URL") : localized("Open URL"),
                             ZRMenuCommand::OpenOriginalURLs, one));
        menu.append(menuItem(exists ? localized("Copy Original URL") : localized("Copy URL"),
                             ZRMenuCommand::CopyOriginalURLs, one));
        menu.append(plainLine(download->originalURLString()));
        menu.append(ZRMenuItem::separator());
    } else if (downloads.size() > 1) {
        const bool allUnfinished =
            allOf(downloads, [](ZRDownload &download) { return !download.matchesStatusMask(ZRDownloadStatusMaskFinished); });
        const bool allPaused =
            allOf(downloads, [](ZRDownload &download) { return download.status() == ZRDownloadStatusPaused; });
        const bool nonePaused =
            allOf(downloads, [](ZRDownload &download) { return download.status() != ZRDownloadStatusPaused; });
        if (allUnfinished && (allPaused || nonePaused))
            menu.append(menuItem(allPaused ? localized("Start Downloads") : localized("Pause Downloads"),
                                 ZRMenuCommand::TogglePause, downloads));
        addOpenMenuItemsForDownloads(downloads, menu, suffixSize);
        menu.append(menuItem(localized("Remove"), ZRMenuCommand::Remove, downloads));
        menu.append(ZRMenuItem::separator());
        menu.append(menuItem(localized("Open URLs"), ZRMenuCommand::OpenOriginalURLs, downloads));
        menu.append(menuItem(localized("Copy URLs"), ZRMenuCommand::CopyOriginalURLs, downloads));
        const qsizetype shown = downloads.size() > 10 ? 9 : downloads.size();
        for (qsizetype index = 0; index < shown; ++index)
            menu.append(plainLine(downloads.at(index)->originalURLString()));
        if (downloads.size() > 10)
            menu.append(plainLine(localized("(%1 more)").arg(downloads.size() - shown)));
        menu.append(ZRMenuItem::separator());
    }

    menu.append(submenu(localized("Download to"), downloadToMenu(suffixSize)));
    menu.append(ZRMenuItem::separator());
    menu.append(submenu(localized("Sort by"), sortMenu()));
    menu.append(menuItem(localized("Show Addresses"), ZRMenuCommand::ToggleLocationKeyDisplayNames));
    menu.append(submenu(localized("Progress Indicator"), progressBarStyleMenu()));
    menu.append(ZRMenuItem::separator());
    menu.append(menuItem(localized("Start Downloads Automatically"), ZRMenuCommand::ToggleAutoStart));
    menu.append(menuItem(localized("Shut Down When Done..."), ZRMenuCommand::ToggleAutoShutDown));
    if (_downloads.size() > 1) {
        menu.append(ZRMenuItem::separator());
        menu.append(submenu(localized("Rearrange Queue by"), rearrangeMenu()));
    }
    validateMenu(menu);
    return menu;
}

void ZRMainController::validateMenu(ZRMenu &menu) const
{
    for (ZRMenuItem &item : menu)
        validateMenuItem(item);
}

void ZRMainController::validateMenuItem(ZRMenuItem &item) const
{
    if (item.kind == ZRMenuItem::Kind::Submenu) {
        validateMenu(item.submenu);
        if (item.title == localized("Rearrange Queue by"))
            item.enabled = _downloads.size() > 1;
        return;
    }
    if (item.kind != ZRMenuItem::Kind::Item)
        return;
    const bool privateDownloading = defaults().boolForKey(ZRPreferenceKey::PrivateDownloading);
    const auto check = [&item](bool on) {
        item.checkable = true;
        item.checked = on;
    };
    switch (item.command) {
    case ZRMenuCommand::Rearrange:
        item.enabled = _downloads.size() >= 2 &&
                       (item.tag < 0 || !ZRExtensions::containsDownloadsEffectivelySortedByCriterion(_downloads, item.tag, false));
        break;
    case ZRMenuCommand::ChangeSorting:
        if (item.tag >= 0)
            check(defaults().integerForKey(ZRPreferenceKey::SortingCriterion) == item.tag);
        else
            check(defaults().boolForKey(ZRPreferenceKey::InvertSorting) == (item.tag == -2));
        break;
    case ZRMenuCommand::ChangeProgressBarStyle:
        check(defaults().integerForKey(ZRPreferenceKey::ProgressBarStyle) == item.tag);
        break;
    case ZRMenuCommand::Copy:
        item.enabled = !contextDownloads().isEmpty();
        break;
    case ZRMenuCommand::ToggleAutoStart:
        check(defaults().boolForKey(ZRPreferenceKey::AutoStart));
        break;
    case ZRMenuCommand::ToggleAutoSleep:
        check(_mayTriggerSleepOnAllDone);
        break;
    case ZRMenuCommand::ToggleAutoShutDown:
        check(_mayTriggerShutDownOnAllDone);
        break;
    case ZRMenuCommand::Clear:
        item.enabled = anyDownloadMatchesStatusMask(ZRDownloadStatusMaskFinished);
        break;
    case ZRMenuCommand::CancelAll:
        item.enabled = anyContextDownloadMatchesStatusMask(ZRDownloadStatusPaused | ZRDownloadStatusMaskActive);
        break;
    case ZRMenuCommand::ToggleDebugLogging:
        item.title = localized("Enable Debug Logging");
        check(defaults().boolForKey(QLatin1String(ZRDebugLogKey)));
        break;
    case ZRMenuCommand::TogglePrivateDownloading:
        check(privateDownloading);
        break;
    case ZRMenuCommand::ToggleLocationKeyDisplayNames:
        item.enabled = !privateDownloading;
        check(!privateDownloading && defaults().boolForKey(ZRPreferenceKey::DisplayLocationsAsNames));
        break;
    case ZRMenuCommand::PauseQueued:
        item.enabled = anyContextDownloadMatchesStatusMask(ZRDownloadStatusQueued);
        break;
    case ZRMenuCommand::PauseAll:
        item.enabled = anyContextDownloadMatchesStatusMask(ZRDownloadStatusMaskActive);
        break;
    case ZRMenuCommand::QueuePaused:
        item.enabled = anyContextDownloadMatchesStatusMask(ZRDownloadStatusPaused);
        break;
    default:
        item.enabled = true;
        break;
    }
}

void ZRMainController::performMenuItem(const ZRMenuItem &item)
{
    if (_menuCommandObserver && _menuCommandObserver(item))
        return;
    const ZRDownloadList downloads = item.downloads;
    const auto forEach = [&downloads](const std::function<void(ZRDownload &)> &action) {
        for (const ZRDownloadPtr &download : downloads)
            action(*download);
    };
    switch (item.command) {
    case ZRMenuCommand::None:
        break;
    case ZRMenuCommand::TogglePause:
        forEach([](ZRDownload &download) { download.togglePause(); });
        updateDownloadListDisplay();
        break;
    case ZRMenuCommand::StartDownload:
        forEach([](ZRDownload &download) {
            download.adoptDataLeftBehind();
            download.startDownload();
        });
        break;
    case ZRMenuCommand::Remove:
        cancelDownloads(downloads);
        break;
    case ZRMenuCommand::Reveal:
        forEach([](ZRDownload &download) { download.reveal(); });
        break;
    case ZRMenuCommand::ToggleAcceleration:
        forEach([](ZRDownload &download) { download.toggleAcceleration(); });
        updateDownloadListDisplay();
        break;
    case ZRMenuCommand::Open:
        forEach([](ZRDownload &download) { download.open(); });
        break;
    case ZRMenuCommand::OpenWithApplication: {
        QList<QUrl> files;
        for (const ZRDownloadPtr &download : downloads)
            files.append(download->URL());
        if (!ZRExtensions::openURLsWithApplicationFSRef(files, item.applicationPath))
            beep();
        break;
    }
    case ZRMenuCommand::RemoveAndMoveToTrash:
        forEach([](ZRDownload &download) { download.removeAndMoveToTrash(); });
        break;
    case ZRMenuCommand::CopyPath:
        forEach([](ZRDownload &download) { download.copyPath(); });
        break;
    case ZRMenuCommand::Retry:
        retryFromMenuItem(downloads);
        break;
    case ZRMenuCommand::OpenOriginalURLs:
        openOriginalURLs(downloads);
        break;
    case ZRMenuCommand::CopyOriginalURLs:
        copyOriginalURLs(downloads);
        break;
    case ZRMenuCommand::ChangeDownloadsFolder:
        changeDownloadsFolderFromMenuItem(item.folderItem);
        break;
    case ZRMenuCommand::ChangeSorting:
        changeSorting(item.tag);
        break;
    case ZRMenuCommand::Rearrange:
        rearrange(item.tag);
        break;
    case ZRMenuCommand::ChangeProgressBarStyle:
        changeProgressBarStyle(item.tag);
        break;
    case ZRMenuCommand::ToggleLocationKeyDisplayNames:
        toggleLocationKeyDisplayNames();
        break;
    case ZRMenuCommand::ToggleAutoStart:
        toggleAutoStart();
        break;
    case ZRMenuCommand::ToggleAutoSleep:
        toggleAutoSleep();
        break;
    case ZRMenuCommand::ToggleAutoShutDown:
        toggleAutoShutDown();
        break;
    case ZRMenuCommand::TogglePrivateDownloading:
        togglePrivateDownloading();
        break;
    case ZRMenuCommand::ToggleDebugLogging:
        toggleDebugLogging();
        break;
    case ZRMenuCommand::QueuePaused:
        queuePaused();
        break;
    case ZRMenuCommand::PauseQueued:
        pauseQueued();
        break;
    case ZRMenuCommand::PauseAll:
        pauseAll();
        break;
    case ZRMenuCommand::CancelAll:
        cancelAll(item.tag);
        break;
    case ZRMenuCommand::Clear:
        clear();
        break;
    case ZRMenuCommand::Copy:
        copy();
        break;
    case ZRMenuCommand::OpenURL:
        openURL();
        break;
    case ZRMenuCommand::OpenFile:
        openFile();
        break;
    case ZRMenuCommand::OpenURLFromPasteboard:
        openURLFromPasteboard();
        break;
    case ZRMenuCommand::ShowDownloadWindow:
        if (_userInterface) {
            _userInterface->showDownloadWindow();
            _userInterface->activate();
        }
        break;
    case ZRMenuCommand::Quit:
        if (shouldQuit() && _userInterface)
            _userInterface->terminate();
        break;
    }
}

// --- Commands of the list ---

void ZRMainController::copy()
{
    copyOriginalURLs(contextDownloads());
}

void ZRMainController::copyOriginalURLs(const ZRDownloadList &downloads)
{
    const QStringList strings = ZRExtensions::originalURLStrings(downloads);
    if (strings.isEmpty()) {
        beep();
        return;
    }
    QList<QUrl> urls;
    for (const QString &string : strings)
        urls.append(QUrl(string));
    copyToPasteboard(strings.join(QLatin1Char('\n')), urls);
}

void ZRMainController::openOriginalURLs(const ZRDownloadList &downloads)
{
    const QVariant stored = defaults().objectForKey(ZRPreferenceKey::URLOpeningInterval);
    const double interval = stored.isValid() ? stored.toDouble() : 0.1;
    for (qsizetype index = 0; index < downloads.size(); ++index) {
        const std::weak_ptr<ZRDownload> weak = downloads.at(index);
        if (index == 0 || interval <= 0) {
            downloads.at(index)->openOriginalURL();
            continue;
        }
        // The browser takes one address at a time; the rest follow at the interval.
        QTimer::singleShot(int(interval * 1000 * double(index)), this, [weak] {
            if (const ZRDownloadPtr download = weak.lock())
                download->openOriginalURL();
        });
    }
}

void ZRMainController::toggleLocationKeyDisplayNames()
{
    defaults().setBool(!defaults().boolForKey(ZRPreferenceKey::DisplayLocationsAsNames),
                       ZRPreferenceKey::DisplayLocationsAsNames);
    updateDownloadListAndStatus();
}

void ZRMainController::toggleAutoStart()
{
    defaults().setBool(!defaults().boolForKey(ZRPreferenceKey::AutoStart), ZRPreferenceKey::AutoStart);
}

void ZRMainController::toggleDebugLogging()
{
    const QString key = QLatin1String(ZRDebugLogKey);
    defaults().setBool(!defaults().boolForKey(key), key);
}

void ZRMainController::changeProgressBarStyle(qint64 style)
{
    defaults().setInteger(style, ZRPreferenceKey::ProgressBarStyle);
    updateDownloadListDisplay();
}

void ZRMainController::queueOrPause(int segment)
{
    if (segment == 1)
        pauseQueued();
    else
        queuePaused();
}

void ZRMainController::accelerateOrThrottle(int segment)
{
    if (segment == 1)
        toggleThrottle();
    else
        toggleAcceleration();
    if (_userInterface)
        _userInterface->showToolbarButtonExplanationForPreferencesSection(QStringLiteral("Speed"));
}

void ZRMainController::toggleAcceleration()
{
    ZRDownload::setAccelerates(!ZRDownload::accelerationEnabled());
    updateDownloadListDisplay();
}

void ZRMainController::toggleThrottle()
{
    ZRHTTPRequestDownloadWorker::setThrottled(!ZRHTTPRequestDownloadWorker::isThrottled());
}

// --- Intake from the window ---

void ZRMainController::openURLFromPasteboard()
{
    if (!_userInterface) {
        beep();
        return;
    }
    const QList<QUrl> pasted = _userInterface->pasteboardURLs();
    QStringList files;
    QStringList addresses;
    for (const QUrl &url : pasted) {
        if (url.isLocalFile())
            files.append(url.toLocalFile());
        else
            addresses.append(url.toString());
    }
    if (!files.isEmpty()) {
        // Copied files are documents to open, as if dropped.
        if (!openFiles(files, false, false) && addresses.isEmpty())
            beep();
        if (addresses.isEmpty())
            return;
    }
    const QString text = _userInterface->pasteboardString();
    const QList<QUrl> urls = addresses.isEmpty() ? URLsFromString(text) : URLsFromCollection(addresses);
    const bool whole = !urls.isEmpty() && std::all_of(urls.begin(), urls.end(), [](const QUrl &url) {
        return url.isValid() && !url.scheme().isEmpty();
    });
    if (whole) {
        openURLs(urls);
        return;
    }
    QStringList strings;
    for (const QUrl &url : urls)
        strings.append(url.toString());
    openURLPanelWithString(strings.isEmpty() ? text : strings.join(QLatin1Char('\n')));
}

void ZRMainController::openURLPanelWithString(const QString &text)
{
    if (!_userInterface) {
        beep();
        return;
    }
    ++_modalAlertDepth;
    const std::optional<QString> confirmed = _userInterface->runAddressPanel(text);
    --_modalAlertDepth;
    if (confirmed)
        openURLs(URLsFromString(*confirmed));
}

void ZRMainController::openFile()
{
    if (!_userInterface) {
        beep();
        return;
    }
    ZROpenPanelOptions options;
    options.title = localized("Open");
    options.allowsMultipleSelection = true;
    ++_modalAlertDepth;
    const std::optional<QStringList> chosen = _userInterface->runOpenPanel(options);
    --_modalAlertDepth;
    if (!chosen || chosen->isEmpty() || !openFiles(*chosen, false, false))
        beep();
}

bool ZRMainController::dropURLs(const QList<QUrl> &urls, const QString &text)
{
    QStringList files;
    QStringList addresses;
    for (const QUrl &url : urls) {
        if (url.isLocalFile())
            files.append(url.toLocalFile());
        else if (!url.isEmpty())
            addresses.append(url.toString());
    }
    QList<QUrl> taken;
    if (!files.isEmpty())
        getFileURLs(taken, files, QString());
    if (!addresses.isEmpty())
        taken += URLsFromCollection(addresses);
    else if (files.isEmpty() && !text.isEmpty())
        taken += URLsFromString(text);
    if (taken.isEmpty())
        return false;
    // The drag ends first.
    openURLsAfterDelay(taken, {}, false);
    return true;
}

// --- Tests ---

void ZRMainController::resetListForTesting()
{
    _filterString.clear();
    endDraggingDownloads();
    _menuCommandObserver = nullptr;
}
