// The controller's folder rules, downloads folder, folder menus and download-page rules, and the
// watch on Preferences.plist that lets rules edited outside the program take effect at once.
#include "app/control/ZRMainController.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRAddressExtensions.h"
#include "core/text/ZRApplications.h"
#include "core/text/ZRIcons.h"
#include "core/text/ZRNaturalOrder.h"
#include "core/text/ZRPageRules.h"
#include "core/text/ZRPathExtensions.h"
#include "core/text/ZRStringExtensions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>

#include <algorithm>
#include <cstdio>

using namespace ZRFolderRulesPreferenceKey;

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

QString expanded(const QString &path)
{
    return QDir::cleanPath(ZRExtensions::stringByExpandingTildeInPath(path));
}

bool isSamePath(const QString &a, const QString &b)
{
    return !a.isEmpty() && !b.isEmpty() && expanded(a) == expanded(b);
}

QString abbreviatedDownloadFolder()
{
    return ZRExtensions::stringByAbbreviatingWithTildeInPath(ZRDownloadsFolderPath());
}

ZRFolderMenuItem separator(ZRFolderMenuItem::Kind kind = ZRFolderMenuItem::Kind::Separator)
{
    ZRFolderMenuItem item;
    item.kind = kind;
    return item;
}

ZRFolderMenuItem header(const QString &title)
{
    ZRFolderMenuItem item;
    item.kind = ZRFolderMenuItem::Kind::Header;
    item.title = title;
    return item;
}

ZRFolderMenuItem item(ZRFolderMenuItem::Role role, const QString &title)
{
    ZRFolderMenuItem result;
    result.role = role;
    result.title = title;
    return result;
}

const QString &spacedDash()
{
    static const QString dash = QStringLiteral(" ") + QChar(0x2014) + QStringLiteral(" ");
    return dash;
}

// The rule's submenu and its line in the "Rules" section.
ZRFolderMenuItem ruleItem(const QVariantMap &rule)
{
    ZRFolderMenuItem entry = item(ZRFolderMenuItem::Role::EditRule, ZRExtensions::specialCaseMenuTitle(rule));
    entry.rule = rule;
    const QStringList extensions = rule.value(ZRFolderRuleKey::Extensions).toStringList();
    entry.icon = extensions.isEmpty()
                     ? ZRIcon{QStringLiteral("applications-internet"), QStringLiteral("network-workgroup"),
                              QSize(16, 16)}
                     : ZRExtensions::iconFromExtensionWithSize(extensions.first(), QSize(16, 16));
    entry.submenuTitle = localized("Rule");
    ZRFolderMenuItem edit = item(ZRFolderMenuItem::Role::EditRule, localized("Edit..."));
    edit.rule = rule;
    ZRFolderMenuItem remove = item(ZRFolderMenuItem::Role::RemoveRule, localized("Remove"));
    remove.rule = rule;
    entry.submenu << edit << remove << separator();
    const QString folder = rule.value(ZRFolderRuleKey::DownloadsFolder).toString();
    const QString application = rule.value(ZRFolderRuleKey::Application).toString();
    auto line = [](const QString &title, const ZRIcon &icon) {
        ZRFolderMenuItem plain;
        plain.kind = ZRFolderMenuItem::Kind::PlainLine;
        plain.title = title;
        plain.icon = icon;
        return plain;
    };
    if (!folder.isEmpty())
        entry.submenu << line(
            localized("Download to %1").arg(ZRExtensions::displayFilename(expanded(folder))),
            ZRExtensions::cachedIcon16FromPath(expanded(folder)));
    if (!application.isEmpty()) {
        const QString path = ZRExtensions::applicationPathFromBundleID(application);
        const QString name =
            path.isEmpty() ? application : ZRExtensions::applicationDisplayNameFromPath(path);
        entry.submenu << line(localized("Open with %1").arg(name),
                              ZRIcon{ZRExtensions::applicationIconNameFromPath(path),
                                     QStringLiteral("application-x-executable"), QSize(16, 16)});
    }
    if (folder.isEmpty() && application.isEmpty())
        entry.submenu << line(localized("Ineffective"), ZRIcon());
    return entry;
}

} // namespace

// --- The rules ---

QVariantList ZRMainController::specialCases() const
{
    if (!_specialCases) {
        QVariantList rules = defaults().arrayForKey(Rules);
        ZRExtensions::sortSpecialCases(rules);
        _specialCases = rules;
    }
    return *_specialCases;
}

void ZRMainController::setSpecialCases(const QVariantList &rules)
{
    QVariantList sorted = rules;
    ZRExtensions::sortSpecialCases(sorted);
    _specialCases = sorted;
    if (sorted.isEmpty())
        defaults().removeObjectForKey(Rules);
    else
        defaults().setObject(sorted, Rules);
}

void ZRMainController::removeSpecialCase(const QVariantMap &rule)
{
    QVariantList rules = specialCases();
    const qsizetype index = rules.indexOf(QVariant(rule));
    if (index < 0)
        return;
    rules.removeAt(index);
    setSpecialCases(rules);
    updateDownloadsFolderSelector();
}

void ZRMainController::removeAllSpecialCases()
{
    setSpecialCases({});
    updateDownloadsFolderSelector();
}

void ZRMainController::beginEditingSpecialCase(const std::optional<QVariantMap> &rule)
{
    _currentSpecialCase = rule;
    _removeCurrentSpecialCase = false;
    _currentSpecialCaseDownloadsFolder.reset();
    _currentSpecialCaseApplicationID.reset();
    if (!rule)
        return;
    const QString folder = rule->value(ZRFolderRuleKey::DownloadsFolder).toString();
    const QString application = rule->value(ZRFolderRuleKey::Application).toString();
    if (!folder.isEmpty())
        _currentSpecialCaseDownloadsFolder = folder;
    if (!application.isEmpty())
        _currentSpecialCaseApplicationID = application;
}

bool ZRMainController::specialCaseEditorAcceptsHosts(const QStringList &hosts, const QStringList &extensions,
                                                     bool applicationChosen) const
{
    return (!hosts.isEmpty() || !extensions.isEmpty()) &&
           (_currentSpecialCaseDownloadsFolder || applicationChosen);
}

std::optional<QVariantMap> ZRMainController::endEditingSpecialCase(SpecialCaseEditorResponse response,
                                                                   const QString &hostsField,
                                                                   const QString &extensionsField,
                                                                   const QString &chosenApplicationID)
{
    std::optional<QVariantMap> added;
    if (response != SpecialCaseEditorResponse::Cancel) {
        _removeCurrentSpecialCase = response == SpecialCaseEditorResponse::Remove;
        QVariantList rules = specialCases();
        if (_currentSpecialCase) {
            const qsizetype index = rules.indexOf(QVariant(*_currentSpecialCase));
            if (index >= 0)
                rules.removeAt(index);
        }
        if (response == SpecialCaseEditorResponse::OK) {
            const QStringList hosts = specialCaseHostsFromField(hostsField);
            const QStringList extensions = specialCaseExtensionsFromField(extensionsField);
            QVariantMap rule;
            if (!hosts.isEmpty())
                rule.insert(ZRFolderRuleKey::Hosts, hosts);
            if (!extensions.isEmpty())
                rule.insert(ZRFolderRuleKey::Extensions, extensions);
            if (_currentSpecialCaseDownloadsFolder)
                rule.insert(ZRFolderRuleKey::DownloadsFolder, *_currentSpecialCaseDownloadsFolder);
            if (!chosenApplicationID.isEmpty())
                rule.insert(ZRFolderRuleKey::Application, chosenApplicationID);
            // The editor enables OK only for a rule that can take effect; a caller without the
            // window gets the same check.
            if ((!hosts.isEmpty() || !extensions.isEmpty()) &&
                (rule.contains(ZRFolderRuleKey::DownloadsFolder) ||
                 rule.contains(ZRFolderRuleKey::Application))) {
                rules.append(rule);
                added = rule;
            }
        }
        setSpecialCases(rules);
    }
    _currentSpecialCase.reset();
    _currentSpecialCaseDownloadsFolder.reset();
    _currentSpecialCaseApplicationID.reset();
    _removeCurrentSpecialCase = false;
    updateDownloadsFolderSelector();
    return added;
}

QStringList ZRMainController::specialCaseHostsFromField(const QString &text)
{
    return ZRExtensions::dotTrimmedStringValuesSeparatedByNewlines(text).value_or(QStringList());
}

QStringList ZRMainController::specialCaseExtensionsFromField(const QString &text)
{
    return ZRExtensions::dotTrimmedStringValuesSeparatedByNewlines(text).value_or(QStringList());
}

QMap<QString, QString> ZRMainController::applicationsForExtensions(const QStringList &extensions)
{
    return ZRExtensions::applicationsForExtensions(extensions);
}

QList<ZRMainController::ApplicationMenuItem>
ZRMainController::specialCaseApplicationMenu(const QStringList &extensions, int *selectedIndex) const
{
    QList<ApplicationMenuItem> items;
    const QMap<QString, QString> applications = applicationsForExtensions(extensions);
    for (auto it = applications.constBegin(); it != applications.constEnd(); ++it)
        items.append({ZRExtensions::applicationDisplayNameFromPath(it.value()),
                      ZRExtensions::applicationIconNameFromPath(it.value()), it.key()});
    std::stable_sort(items.begin(), items.end(),
                     [](const ApplicationMenuItem &a, const ApplicationMenuItem &b) {
                         return ZRNaturalLessThan(a.title, b.title);
                     });
    int selected = -1;
    if (items.isEmpty()) {
        items.append({QStringLiteral("-"), QString(), QString()});
    } else {
        auto indexOf = [&](const QString &identifier) {
            for (qsizetype i = 0; i < items.size(); ++i) {
                if (items[i].bundleID == identifier)
                    return int(i);
            }
            return -1;
        };
        if (_currentSpecialCaseApplicationID)
            selected = indexOf(*_currentSpecialCaseApplicationID);
        if (selected < 0 && !extensions.isEmpty())
            selected = indexOf(ZRExtensions::defaultApplicationBundleIDForExtension(extensions.first()));
        if (selected < 0)
            selected = 0;
    }
    if (selectedIndex)
        *selectedIndex = selected;
    return items;
}

// --- The downloads folder and the recent folders ---

QString ZRMainController::downloadsFolder()
{
    const QString folder = defaults().stringForKey(DownloadsFolder);
    return folder.isEmpty() ? abbreviatedDownloadFolder() : folder;
}

QStringList ZRMainController::defaultFolders()
{
    return {QStringLiteral("~/Desktop"), abbreviatedDownloadFolder()};
}

QStringList ZRMainController::recentDownloadsFolders()
{
    const QStringList folders = defaults().stringArrayForKey(RecentDownloadsFolders);
    return folders.isEmpty() ? defaultFolders() : folders;
}

void ZRMainController::clearRecentDownloadFolders()
{
    defaults().setObject(QStringList{downloadsFolder()}, RecentDownloadsFolders);
    updateDownloadsFolderSelector();
}

void ZRMainController::setDownloadsFolder(const std::optional<QString> &path, bool forSpecialCase,
                                          bool updateDownloadsFolderSelector)
{
    std::optional<QString> folder = path;
    if (!folder) {
        folder = chooseAbbreviatedDownloadsFolder();
        if (!folder)
            return;
    }
    if (forSpecialCase) {
        if (folder->isNull())
            _currentSpecialCaseDownloadsFolder.reset();
        else
            _currentSpecialCaseDownloadsFolder =
                ZRExtensions::stringByAbbreviatingWithTildeInPath(expanded(*folder));
    } else if (!folder->isEmpty()) {
        const QString abbreviated = ZRExtensions::stringByAbbreviatingWithTildeInPath(expanded(*folder));
        defaults().setObject(abbreviated, DownloadsFolder);
        QStringList recent = recentDownloadsFolders();
        if (!std::any_of(recent.cbegin(), recent.cend(),
                         [&](const QString &p) { return isSamePath(p, abbreviated); })) {
            recent.append(abbreviated);
            defaults().setObject(recent, RecentDownloadsFolders);
        }
    }
    if (updateDownloadsFolderSelector)
        this->updateDownloadsFolderSelector(forSpecialCase);
}

void ZRMainController::changeDownloadsFolderFromMenuItem(const ZRFolderMenuItem &item)
{
    switch (item.role) {
    case ZRFolderMenuItem::Role::Folder:
        setDownloadsFolder(item.path, false, true);
        break;
    case ZRFolderMenuItem::Role::OtherFolder:
        setDownloadsFolder(std::nullopt, false, true);
        break;
    case ZRFolderMenuItem::Role::ClearRecentFolders:
        clearRecentDownloadFolders();
        break;
    case ZRFolderMenuItem::Role::RemoveRule:
        removeSpecialCase(item.rule);
        break;
    case ZRFolderMenuItem::Role::RemoveAllRules:
        removeAllSpecialCases();
        break;
    case ZRFolderMenuItem::Role::EditRule:
    case ZRFolderMenuItem::Role::DefineRule:
        if (_userInterface)
            _userInterface->runSpecialCaseEditor(item.role == ZRFolderMenuItem::Role::EditRule
                                                     ? std::optional<QVariantMap>(item.rule)
                                                     : std::nullopt);
        break;
    default:
        break;
    }
}

void ZRMainController::updateDownloadsFolderSelector(bool forSpecialCase)
{
    if (_userInterface)
        _userInterface->updateDownloadsFolderSelector(forSpecialCase);
}

std::optional<QString> ZRMainController::chooseAbbreviatedDownloadsFolder()
{
    if (!_userInterface)
        return std::nullopt;
    ZRFolderPanelOptions options;
    options.title = localized("Choose Folder");
    options.message = localized("Choose Folder");
    options.directory = expanded(downloadsFolder());
    options.canCreateFolders = true;
    ++_modalAlertDepth;
    const std::optional<QString> chosen = _userInterface->runFolderPanel(options);
    --_modalAlertDepth;
    if (!chosen || chosen->isEmpty())
        return std::nullopt;
    // Aliases (symbolic links) are resolved, as the folder is what the rules compare.
    const QString canonical = QFileInfo(*chosen).canonicalFilePath();
    return ZRExtensions::stringByAbbreviatingWithTildeInPath(canonical.isEmpty() ? *chosen : canonical);
}

std::optional<QString> ZRMainController::chooseAbbreviatedDownloadFileForURL(const QUrl &url)
{
    if (!_userInterface)
        return std::nullopt;
    ZRSavePanelOptions options;
    options.title = localized("Choose File Location");
    options.directory = expanded(downloadsFolder());
    options.suggestedName = url.fileName();
    ++_modalAlertDepth;
    const std::optional<QString> chosen = _userInterface->runSavePanel(options);
    --_modalAlertDepth;
    if (!chosen || chosen->isEmpty())
        return std::nullopt;
    return ZRExtensions::stringByAbbreviatingWithTildeInPath(*chosen);
}

// --- Folder menus ---

bool ZRMainController::addFolderCandidate(ZRFolderMenu &menu, bool withSeparator,
                                          const QString &abbreviatedPath, const QString &displayName,
                                          bool action, double suffixSize, const QString &currentPath,
                                          bool *isMatch)
{
    const QString path = expanded(abbreviatedPath);
    const bool match = isSamePath(abbreviatedPath, currentPath);
    if (isMatch)
        *isMatch = match;
    if (abbreviatedPath.isEmpty())
        return false;
    if (match) {
        if (!ZRExtensions::checkFolderPathAndCreateIfNecessary(path))
            return false;
    } else if (!QFileInfo(path).isDir()) {
        return false;
    }
    if (withSeparator)
        menu.append(separator());
    ZRFolderMenuItem entry = item(ZRFolderMenuItem::Role::Folder,
                                  displayName.isEmpty() ? ZRExtensions::displayFilename(path) : displayName);
    entry.suffix = spacedDash() + ZRExtensions::readablePathRepresentation(path);
    entry.suffixSize = suffixSize;
    entry.icon = ZRExtensions::cachedIcon16FromPath(path);
    entry.path = ZRExtensions::stringByAbbreviatingWithTildeInPath(path);
    entry.hasAction = action;
    menu.append(entry);
    return true;
}

int ZRMainController::populateFolderMenu(ZRFolderMenu &menu, const QString &setting, bool forSpecialCase,
                                         bool appendSpecialCases, bool action, bool setStates,
                                         bool addExplanation, double suffixSize)
{
    const QVariantList rules = appendSpecialCases ? specialCases() : QVariantList();
    const bool listsRules = appendSpecialCases && !rules.isEmpty();
    int result = -1;
    if (forSpecialCase) {
        ZRFolderMenuItem defaultItem =
            item(ZRFolderMenuItem::Role::DefaultFolder, localized("Default Downloads Folder"));
        defaultItem.path = QString(); // the null marker
        defaultItem.checked = setStates && setting.isEmpty();
        menu.append(defaultItem);
        menu.append(separator());
        result = setting.isEmpty() ? 0 : -1;
    } else if (listsRules && menu.isEmpty()) {
        menu.append(header(localized("General")));
    }

    QStringList folders = recentDownloadsFolders();
    const bool byName = defaults().boolForKey(SortDownloadsFoldersByName);
    std::stable_sort(folders.begin(), folders.end(), [byName](const QString &a, const QString &b) {
        return byName ? ZRExtensions::compareByDisplayFilename(expanded(a), expanded(b)) < 0
                      : ZRExtensions::compareByReadablePathRepresentation(expanded(a), expanded(b)) < 0;
    });
    bool currentListed = false;
    for (const QString &folder : std::as_const(folders)) {
        bool isMatch = false;
        if (!addFolderCandidate(menu, false, folder, QString(), action, suffixSize, setting, &isMatch))
            continue;
        if (isMatch && !currentListed) {
            currentListed = true;
            menu.last().checked = setStates;
            result = int(menu.size() - 1);
        }
    }
    if (!currentListed && !setting.isEmpty()) {
        bool isMatch = false;
        if (addFolderCandidate(menu, !forSpecialCase && !listsRules, setting, QString(), action, suffixSize,
                               setting, &isMatch)) {
            menu.last().checked = setStates;
            result = int(menu.size() - 1);
        } else if (forSpecialCase) {
            result = 0;
        } else {
            result = -1;
            for (qsizetype i = 0; i < menu.size(); ++i) {
                if (menu[i].role == ZRFolderMenuItem::Role::Folder &&
                    isSamePath(menu[i].path, abbreviatedDownloadFolder())) {
                    result = int(i);
                    break;
                }
            }
            if (result < 0) {
                ZRLog(QStringLiteral("cannot find downloads folder"));
                result = listsRules ? 1 : 0;
            }
        }
    }

    menu.append(separator(ZRFolderMenuItem::Kind::ThinSeparator));
    ZRFolderMenuItem other = item(ZRFolderMenuItem::Role::OtherFolder, localized("Other..."));
    other.hasAction = action;
    menu.append(other);
    ZRFolderMenuItem clear = item(ZRFolderMenuItem::Role::ClearRecentFolders, localized("Clear Menu"));
    clear.alternate = true;
    clear.hasAction = true;
    menu.append(clear);

    if (appendSpecialCases) {
        if (!rules.isEmpty()) {
            menu.append(separator());
            menu.append(header(localized("Rules")));
            for (const QVariant &rule : rules)
                menu.append(ruleItem(rule.toMap()));
            menu.append(separator(ZRFolderMenuItem::Kind::ThinSeparator));
        }
        menu.append(item(ZRFolderMenuItem::Role::DefineRule, localized("Define Rule...")));
        if (!rules.isEmpty()) {
            ZRFolderMenuItem removeAll =
                item(ZRFolderMenuItem::Role::RemoveAllRules, localized("Remove All Rules"));
            removeAll.alternate = true;
            menu.append(removeAll);
        }
    }
    if (addExplanation) {
        menu.append(separator());
        ZRFolderMenuItem explanation;
        explanation.kind = ZRFolderMenuItem::Kind::PlainLine;
        explanation.small = true;
        explanation.title = localized("Hold shift to specify an individual download folder.");
        menu.append(explanation);
    }
    return result;
}

// --- Subfolder formats ---

void ZRMainController::setSubdivisionFormat(const QString &key, const QString &text)
{
    if (ZRExtensions::trimmedString(text).isEmpty())
        defaults().removeObjectForKey(key);
    else
        defaults().setObject(text, key);
}

bool ZRMainController::showsSubdivisionDateSelector()
{
    return !defaults().stringForKey(SubdivisionFormatDefault).trimmed().isEmpty() ||
           !defaults().stringForKey(SubdivisionFormatRules).trimmed().isEmpty();
}

const QList<ZRExtensions::ZRSubdivisionFormatSuggestion> &ZRMainController::subdivisionFormatSuggestions()
{
    if (!_subdivisionFormatSuggestions)
        _subdivisionFormatSuggestions =
            ZRExtensions::subdivisionFormatSuggestions(defaults().boolForKey(SubdivisionFormatAllowDashes));
    return *_subdivisionFormatSuggestions;
}

// --- Download-page rules ---

QVariantList ZRMainController::downloadPageRules() const
{
    if (!_downloadPageRules) {
        const QVariant stored = defaults().objectForKey(DownloadPageRules);
        const bool useDefault = stored.typeId() != QMetaType::QString || stored.toString().isEmpty();
        QString failure;
        // The built-in rules are known to be sound: they need no decoding or checking.
        _downloadPageRules =
            useDefault ? ZRPageRules::defaultRules() : ZRPageRules::rulesFromText(stored.toString(), &failure);
        if (!failure.isEmpty()) {
            const QString line =
                QStringLiteral(
                    "cannot use the download page rules of \"%1\": %2; no address is a download page")
                    .arg(QString(DownloadPageRules), failure);
            ZRLog(line);
            // Someone who edited Preferences.plist by hand looks at the terminal, not the journal.
            if (!ZRLogEchoesToStandardError())
                std::fprintf(stderr, "%s\n",
                             ZRExtensions::stringByEscapingControlCharacters(line).toLocal8Bit().constData());
        }
    }
    return *_downloadPageRules;
}

std::optional<QVariant> ZRMainController::validateObjectValue(const QVariant &object, QString *failure) const
{
    return ZRPageRules::validateObjectValue(object, failure);
}

void ZRMainController::didChangeDownloadPageRulesText(const QString &text)
{
    if (ZRExtensions::trimmedString(text).isEmpty())
        defaults().removeObjectForKey(DownloadPageRules);
    else
        defaults().setObject(text, DownloadPageRules);
    rulesPreferencesDidChange({DownloadPageRules});
}

void ZRMainController::rulesPreferencesDidChange(const QStringList &keys)
{
    if (keys.contains(Rules)) {
        _specialCases.reset();
        updateDownloadsFolderSelector();
    }
    if (keys.contains(DownloadsFolder) || keys.contains(RecentDownloadsFolders))
        updateDownloadsFolderSelector();
    if (keys.contains(SubdivisionFormatAllowDashes))
        _subdivisionFormatSuggestions.reset();
    if (keys.contains(DownloadPageRules)) {
        _downloadPageRules.reset();
        downloadPageRules();
        for (const ZRDownloadPtr &download : std::as_const(_downloads))
            download->reevaluateDownloadPageURLStatus();
        _downloadPageRulesRedrawCall.schedule(0.1, [this] { updateDownloadListDisplay(); });
    }
}

void ZRMainController::startWatchingPreferencesFile()
{
    if (_preferencesWatcher)
        return;
    const QString path = defaults().filePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    _preferencesWatcher = new QFileSystemWatcher(this);
    // The file is replaced by a rename when written: its folder tells of the new one.
    _preferencesWatcher->addPath(QFileInfo(path).absolutePath());
    if (QFileInfo::exists(path))
        _preferencesWatcher->addPath(path);
    auto changed = [this] {
        // An editor may write in several steps: read once things are quiet.
        _preferencesReloadCall.schedule(0.2, [this] { preferencesFileDidChange(); });
    };
    connect(_preferencesWatcher, &QFileSystemWatcher::fileChanged, this, changed);
    connect(_preferencesWatcher, &QFileSystemWatcher::directoryChanged, this, changed);
}

void ZRMainController::preferencesFileDidChange()
{
    const QString path = defaults().filePath();
    if (_preferencesWatcher && QFileInfo::exists(path) && !_preferencesWatcher->files().contains(path))
        _preferencesWatcher->addPath(path);
    const QStringList changed = defaults().reloadFromFile();
    if (!changed.isEmpty())
        rulesPreferencesDidChange(changed);
}

void ZRMainController::resetRulesForTesting()
{
    _specialCases.reset();
    _currentSpecialCase.reset();
    _currentSpecialCaseDownloadsFolder.reset();
    _currentSpecialCaseApplicationID.reset();
    _removeCurrentSpecialCase = false;
    _downloadPageRules.reset();
    _subdivisionFormatSuggestions.reset();
    _preferencesReloadCall.cancel();
    _downloadPageRulesRedrawCall.cancel();
    delete _preferencesWatcher;
    _preferencesWatcher = nullptr;
}
