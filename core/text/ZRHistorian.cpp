#include "core/text/ZRHistorian.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRApplications.h"
#include "core/text/ZRCollectionExtensions.h"
#include "core/text/ZRDateExtensions.h"
#include "core/text/ZRPathExtensions.h"
#include "core/text/ZRStringExtensions.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <map>

namespace
{

QString localized(const char *key)
{
    return QCoreApplication::translate("ZRHistorian", key);
}

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

constexpr double saveDelay = 5.0;

ZRHistoryMenuItem actionItem(const char *title, ZRHistoryMenuItem::Action action, const QString &object)
{
    ZRHistoryMenuItem item;
    item.title = localized(title);
    item.action = action;
    item.representedObject = object;
    return item;
}

ZRHistoryMenuItem smallDisabledItem(const QString &title)
{
    ZRHistoryMenuItem item;
    item.title = title;
    item.isEnabled = false;
    item.isSmall = true;
    return item;
}

bool isOwnApplication(const QString &applicationPath)
{
    return QFileInfo(applicationPath)
               .fileName()
               .compare(QLatin1String("quorvel.desktop"), Qt::CaseInsensitive) == 0;
}

} // namespace

ZRHistoryMenuItem ZRHistoryMenuItem::separator()
{
    ZRHistoryMenuItem item;
    item.isSeparator = true;
    item.isEnabled = false;
    return item;
}

ZRHistorian *ZRHistorian::historian()
{
    // Never destroyed: a pending save may still run while the program ends.
    static ZRHistorian *const instance = new ZRHistorian;
    return instance;
}

QString ZRHistorian::applicationSupportPath()
{
    return ZRApplicationSupportFolderPath();
}

QString ZRHistorian::historyArchivePath()
{
    return applicationSupportPath() + QLatin1Char('/') + ZRHistoryKeys::FileName;
}

QVariantList ZRHistorian::historyWithContentsOfFile(const QString &path)
{
    if (!QFileInfo::exists(path))
        return {};
    QString error;
    const std::optional<QVariant> root = ZRPropertyList::propertyListWithContentsOfFile(path, &error);
    if (!root || (root->typeId() != QMetaType::QVariantList && root->typeId() != QMetaType::QStringList)) {
        ZRLog(QStringLiteral("cannot read history <%1>%2")
                  .arg(path, error.isEmpty() ? QString() : QStringLiteral(": ") + error));
        return {};
    }
    return root->toList();
}

QDateTime ZRHistorian::dateOfHistoryItem(const QVariantMap &item)
{
    // New items hold a property-list date. Data is read as our own archive of a date; a date archived
    // by another program's object archiver is not a format we can read, and counts as none.
    const QVariant value = item.value(ZRHistoryKeys::Date);
    if (value.typeId() == QMetaType::QDateTime)
        return value.toDateTime();
    if (value.typeId() == QMetaType::QByteArray) {
        const QVariant unarchived = ZRExtensions::unarchivedObjectForKey(item, ZRHistoryKeys::Date);
        if (unarchived.typeId() == QMetaType::QDateTime)
            return unarchived.toDateTime();
    }
    return QDateTime();
}

QVariantList &ZRHistorian::history()
{
    if (_history)
        return *_history;
    const QString path = historyArchivePath();
    _history = historyWithContentsOfFile(path);
    // A file that cannot be read is kept for a look instead of being written over at the next save.
    const auto isArray = [](const std::optional<QVariant> &root) {
        return root &&
               (root->typeId() == QMetaType::QVariantList || root->typeId() == QMetaType::QStringList);
    };
    if (_history->isEmpty() && QFileInfo::exists(path) &&
        !isArray(ZRPropertyList::propertyListWithContentsOfFile(path))) {
        QString aside = path + QStringLiteral(".corrupt");
        for (int number = 2; QFileInfo::exists(aside); ++number)
            aside = path + QStringLiteral(".corrupt-") + QString::number(number);
        if (QFile::rename(path, aside))
            ZRLog(QStringLiteral("history kept aside as <%1>").arg(aside));
    }
    return *_history;
}

void ZRHistorian::add(const Download &download)
{
    if (defaults().boolForKey(ZRHistoryKeys::PrivateDownloading))
        return;
    if (defaults().boolForKey(ZRHistoryKeys::HistoryOfCompleteDownloads) && !download.isComplete)
        return;
    QVariantMap item;
    if (!download.name.isEmpty())
        item.insert(ZRHistoryKeys::Name, download.name);
    if (!download.originalURLString.isEmpty())
        item.insert(ZRHistoryKeys::OriginalURL, download.originalURLString);
    if (!download.path.isEmpty())
        item.insert(ZRHistoryKeys::Path, ZRExtensions::stringByAbbreviatingWithTildeInPath(download.path));
    if (!download.alias.isEmpty())
        item.insert(ZRHistoryKeys::Alias, download.alias);
    // "Date" is stored as a property-list date: the file stays readable by any property-list tool,
    // where the other program's archived date object is a private format.
    const QDateTime date = defaults().boolForKey(ZRHistoryKeys::HistoryArchivesDownloadsByDateCompleted)
                               ? download.dateCompleted
                               : download.dateAdded;
    if (date.isValid())
        item.insert(ZRHistoryKeys::Date, date.toUTC());
    history().append(item);
    _savePending = true;
    checkNumberOfItems(true, false);
}

void ZRHistorian::checkNumberOfItems(bool checkNumber, bool checkCompletion)
{
    QVariantList &items = history();
    if (!items.isEmpty()) {
        if (checkCompletion) {
            const qsizetype before = items.size();
            items.removeIf([](const QVariant &item) { return !item.toMap().contains(ZRHistoryKeys::Alias); });
            if (items.size() != before) {
                _iconCache.clear();
                _savePending = true;
            }
        }
        if (checkNumber) {
            const qint64 limit = defaults().integerForKey(ZRHistoryKeys::NumberOfHistoryItems);
            if (limit >= 0 && items.size() > limit) {
                items.remove(0, items.size() - qsizetype(limit));
                _iconCache.clear();
                _savePending = true;
            }
        }
    }
    if (_savePending)
        scheduleSave();
}

void ZRHistorian::scheduleSave()
{
    _saveCall.schedule(saveDelay, [this] { save(); });
}

void ZRHistorian::save()
{
    _saveCall.cancel();
    _savePending = false;
    const QString path = historyArchivePath();
    const QVariantList &items = history();
    if (items.isEmpty()) {
        if (QFileInfo::exists(path) && !QFile::remove(path))
            ZRLog(QStringLiteral("cannot remove history <%1>").arg(path));
        return;
    }
    // Written aside and renamed into place: a failed write leaves the previous history as it was.
    QString error;
    if (!ZRPropertyList::writePropertyListToFile(items, path, &error))
        ZRLog(QStringLiteral("cannot write history <%1>: %2").arg(path, error));
}

void ZRHistorian::clear()
{
    _history = QVariantList();
    _iconCache.clear();
    save();
}

void ZRHistorian::cleanUp()
{
    if (defaults().boolForKey(ZRHistoryKeys::ClearHistoryOnQuit))
        clear();
    else if (_savePending)
        save();
}

// --- The menu ---

std::optional<ZRHistoryMenuItem> ZRHistorian::newMenuItemForHistoryItem(const QVariantMap &historyItem,
                                                                        const QStringList &searchStrings,
                                                                        bool checkURL)
{
    const QString name = historyItem.value(ZRHistoryKeys::Name).toString();
    const QString address = historyItem.value(ZRHistoryKeys::OriginalURL).toString();
    if (name.isEmpty() || address.isEmpty())
        return std::nullopt;
    if (!searchStrings.isEmpty() &&
        !ZRExtensions::isMatchForSearchStrings(checkURL ? address : name, searchStrings))
        return std::nullopt;
    const QString file = ZRExtensions::existingPathWithFallBackAliasData(
        historyItem.value(ZRHistoryKeys::Path).toString(),
        historyItem.value(ZRHistoryKeys::Alias).toByteArray());

    auto submenu = std::make_shared<ZRHistoryMenu>();
    submenu->title = name;
    QList<ZRHistoryMenuItem> &items = submenu->items;
    using Action = ZRHistoryMenuItem::Action;
    if (!file.isEmpty()) {
        items.append(actionItem("Open", Action::Open, file));
        for (const QUrl &application : ZRExtensions::applicationURLsForExtension(QFileInfo(file).suffix())) {
            const QString applicationPath = application.toLocalFile();
            if (isOwnApplication(applicationPath))
                continue;
            ZRHistoryMenuItem openWith;
            openWith.title = ZRExtensions::applicationDisplayNameFromPath(applicationPath);
            openWith.action = Action::OpenWithApplication;
            openWith.representedObject = file;
            openWith.applicationPath = applicationPath;
            openWith.isSmall = true;
            items.append(openWith);
        }
        items.append(actionItem("Show in File Manager", Action::Reveal, file));
        items.append(actionItem("Move to Trash", Action::MoveToTrash, file));
        items.append(ZRHistoryMenuItem::separator());
        items.append(actionItem("Copy Path", Action::CopyPath, file));
        items.append(smallDisabledItem(file));
        items.append(ZRHistoryMenuItem::separator());
    }
    items.append(actionItem("Open Original URL", Action::OpenOriginalURL, address));
    items.append(actionItem("Copy Original URL", Action::CopyOriginalURL, address));
    items.append(smallDisabledItem(address));
    items.append(ZRHistoryMenuItem::separator());
    items.append(actionItem("Download Again", Action::Download, address));

    ZRHistoryMenuItem item;
    item.title = name;
    auto cached = _iconCache.constFind(address);
    if (cached == _iconCache.constEnd()) {
        const ZRIcon icon =
            file.isEmpty()
                ? ZRIcon{QStringLiteral("applications-internet"), QStringLiteral("text-html"), {16, 16}}
                : ZRExtensions::cachedIcon16FromPath(file);
        cached = _iconCache.insert(address, icon);
    }
    item.icon = *cached;
    item.submenu = std::move(submenu);
    if (!file.isEmpty()) {
        item.action = Action::Open;
        item.representedObject = file;
    }
    return item;
}

void ZRHistorian::populateMenu(ZRHistoryMenu &menu, const QStringList &searchStrings)
{
    menu.items.clear();
    const QVariantList &items = history();
    if (items.isEmpty()) {
        menu.items.append(smallDisabledItem(localized("History is empty")));
        return;
    }
    if (!searchStrings.isEmpty()) {
        const bool checkURL =
            defaults().stringForKey(ZRHistoryKeys::HistorySearchCriterion) == QLatin1String("URL");
        QList<ZRHistoryMenuItem> found;
        for (auto each = items.crbegin(); each != items.crend(); ++each) {
            if (std::optional<ZRHistoryMenuItem> item =
                    newMenuItemForHistoryItem(each->toMap(), searchStrings, checkURL))
                found.append(std::move(*item));
        }
        if (!found.isEmpty()) {
            menu.items = std::move(found);
            return;
        }
        menu.items.append(smallDisabledItem(localized("No Matches")));
        menu.items.append(ZRHistoryMenuItem::separator());
    }

    const qint64 topLevelCount = defaults().integerForKey(ZRHistoryKeys::NumberOfTopLevelHistoryItems);
    QList<ZRHistoryMenuItem> topLevel;
    // Day key ("yyyy-MM-dd") to its submenu, whose placeholder gathers the day's items.
    std::map<QString, std::shared_ptr<ZRHistoryMenu>> days;
    for (auto each = items.crbegin(); each != items.crend(); ++each) {
        const QVariantMap historyItem = each->toMap();
        if (topLevel.size() < topLevelCount) {
            if (std::optional<ZRHistoryMenuItem> item = newMenuItemForHistoryItem(historyItem, {}, false))
                topLevel.append(std::move(*item));
            continue;
        }
        const QDateTime date = dateOfHistoryItem(historyItem);
        if (!date.isValid())
            continue;
        const QString key = date.toLocalTime().toString(QStringLiteral("yyyy-MM-dd"));
        std::shared_ptr<ZRHistoryMenu> &day = days[key];
        if (!day) {
            day = std::make_shared<ZRHistoryMenu>();
            day->title = ZRExtensions::relativeDateDescription(date, false);
            ZRHistoryMenuItem placeholder;
            placeholder.title = QStringLiteral("-");
            placeholder.dayItems = QVariantList();
            day->items.append(placeholder);
        }
        day->items.first().dayItems->append(historyItem);
    }
    if (topLevel.isEmpty() && days.empty()) {
        menu.items.append(smallDisabledItem(localized("History is empty")));
        return;
    }
    menu.items += topLevel;
    if (!days.empty()) {
        if (!topLevel.isEmpty())
            menu.items.append(ZRHistoryMenuItem::separator());
        // ISO day keys: the newest day is the greatest key.
        for (auto day = days.crbegin(); day != days.crend(); ++day) {
            ZRHistoryMenuItem item;
            item.title = day->second->title;
            item.submenu = day->second;
            menu.items.append(item);
        }
    }
    menu.items.append(ZRHistoryMenuItem::separator());
    menu.items.append(actionItem("Clear History", ZRHistoryMenuItem::Action::Clear, QString()));
}

void ZRHistorian::menuNeedsUpdate(ZRHistoryMenu &menu)
{
    if (menu.items.size() != 1 || !menu.items.first().dayItems)
        return;
    const QVariantList dayItems = *menu.items.first().dayItems;
    menu.items.clear();
    for (const QVariant &historyItem : dayItems) {
        if (std::optional<ZRHistoryMenuItem> item = newMenuItemForHistoryItem(historyItem.toMap(), {}, false))
            menu.items.append(std::move(*item));
    }
    if (menu.items.isEmpty())
        menu.items.append(smallDisabledItem(localized("No Matches")));
}

// --- The actions ---

void ZRHistorian::beep()
{
    if (_delegate)
        _delegate->beep();
}

void ZRHistorian::perform(const ZRHistoryMenuItem &item)
{
    using Action = ZRHistoryMenuItem::Action;
    switch (item.action) {
    case Action::None:
        break;
    case Action::Open:
        open(item.representedObject);
        break;
    case Action::OpenWithApplication:
        openWithApplication(item.representedObject, item.applicationPath);
        break;
    case Action::Reveal:
        reveal(item.representedObject);
        break;
    case Action::MoveToTrash:
        moveToTrash(item.representedObject);
        break;
    case Action::CopyPath:
        copyPath(item.representedObject);
        break;
    case Action::OpenOriginalURL:
        openOriginalURL(item.representedObject);
        break;
    case Action::CopyOriginalURL:
        copyOriginalURL(item.representedObject);
        break;
    case Action::Download:
        download(item.representedObject);
        break;
    case Action::Clear:
        clear();
        break;
    }
}

void ZRHistorian::open(const QString &path)
{
    if (path.isEmpty() || !ZRExtensions::openViaWorkspace(QUrl::fromLocalFile(path)))
        beep();
}

void ZRHistorian::openWithApplication(const QString &path, const QString &applicationPath)
{
    if (path.isEmpty() || !ZRExtensions::openWithApplicationFSRef(QUrl::fromLocalFile(path), applicationPath))
        beep();
}

void ZRHistorian::reveal(const QString &path)
{
    if (!ZRExtensions::showInFinder(path))
        beep();
}

void ZRHistorian::moveToTrash(const QString &path)
{
    if (_delegate)
        _delegate->removeDownloadIfDoneWithPath(path);
    if (!ZRExtensions::moveFileToTrash(path))
        beep();
}

void ZRHistorian::copyPath(const QString &path)
{
    if (path.isEmpty() || !_delegate) {
        beep();
        return;
    }
    _delegate->copyToPasteboard(path, {});
}

void ZRHistorian::openOriginalURL(const QString &address)
{
    const QUrl url(address);
    if (address.isEmpty() || !ZRExtensions::openViaWorkspace(url))
        beep();
}

void ZRHistorian::copyOriginalURL(const QString &address)
{
    const QUrl url(address);
    if (address.isEmpty() || !url.isValid() || !_delegate) {
        beep();
        return;
    }
    _delegate->copyToPasteboard(address, {url});
}

void ZRHistorian::download(const QString &address)
{
    const QUrl url(address);
    if (address.isEmpty() || !url.isValid() || !_delegate) {
        beep();
        return;
    }
    _delegate->openURLs({url});
}

void ZRHistorian::resetForTesting()
{
    _saveCall.cancel();
    _history.reset();
    _savePending = false;
    _iconCache.clear();
    _delegate = nullptr;
}
