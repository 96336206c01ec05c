// The controller's folder rules (order, storage, the editor's outcome), the downloads folder and
// its recent list, the folder menu as data, and the download-page rules read from the preferences,
// also when Preferences.plist changes under a running program.
#include "app/control/ZRMainController.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRUserDefaults.h"
#include "tests/support/ZRTestSupport.h"
#include "tests/unit/control/ZRScriptedUserInterface.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

using namespace Qt::Literals::StringLiterals;
using namespace ZRTestSupport;
using Response = ZRMainController::SpecialCaseEditorResponse;

namespace
{

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

class FolderPanelUserInterface : public ZRScriptedUserInterface
{
public:
    std::optional<QString> folderAnswer;
    int selectorUpdates = 0;
    std::optional<QString> runFolderPanel(const ZRFolderPanelOptions &) override { return folderAnswer; }
    void updateDownloadsFolderSelector(bool) override { ++selectorUpdates; }
};

class RulesTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ZRUserDefaults::resetStandardInstancesForTesting();
        QFile::remove(ZRConfigurationFolderPath() + u"/Preferences.plist"_s);
        controller = ZRMainController::mainController();
        controller->resetForTesting();
        controller->setUserInterface(&ui);
        ZRLogSetHandler([this](const QString &line) { logLines.append(line); });
    }
    void TearDown() override
    {
        controller->resetForTesting();
        ZRLogSetHandler({});
    }
    QString folder(const QString &name)
    {
        const QString path = sandboxRoot() + u"/rules/"_s + name;
        QDir().mkpath(path);
        return path;
    }
    static QStringList firstHosts(const QVariantList &rules)
    {
        QStringList result;
        for (const QVariant &rule : rules) {
            const QVariantMap map = rule.toMap();
            result << map.value(u"Hosts"_s).toStringList().value(0, u"-"_s) + u"/"_s +
                          map.value(u"Extensions"_s).toStringList().value(0, u"-"_s);
        }
        return result;
    }

    ZRMainController *controller = nullptr;
    FolderPanelUserInterface ui;
    QStringList logLines;
};

TEST_F(RulesTest, RulesAreKeptSortedAndStoredWhateverTheOrderTheyWereDefinedIn)
{
    const QString target = folder(u"target"_s);
    struct Definition {
        QString hosts;
        QString extensions;
    };
    const Definition definitions[] = {{u"b.example"_s, QString()},
                                      {QString(), u".zip\n\n rar. "_s},
                                      {u"a.example\n.c.example."_s, u"pdf"_s},
                                      {QString(), u"7z"_s}};
    for (const Definition &d : definitions) {
        controller->beginEditingSpecialCase(std::nullopt);
        controller->setDownloadsFolder(target, true, true);
        controller->endEditingSpecialCase(Response::OK, d.hosts, d.extensions, QString());
    }
    const QStringList expected{u"a.example/pdf"_s, u"b.example/-"_s, u"-/7z"_s, u"-/zip"_s};
    EXPECT_EQ(firstHosts(controller->specialCases()), expected);
    EXPECT_EQ(controller->specialCases().at(0).toMap().value(u"Hosts"_s).toStringList(),
              (QStringList{u"a.example"_s, u"c.example"_s}));
    EXPECT_EQ(controller->specialCases().at(3).toMap().value(u"Extensions"_s).toStringList(),
              (QStringList{u"zip"_s, u"rar"_s}));
    // Stored, and read back sorted by a fresh run even when the file holds them in another order.
    QVariantList stored = defaults().arrayForKey(u"Rules"_s);
    EXPECT_EQ(firstHosts(stored), expected);
    std::reverse(stored.begin(), stored.end());
    defaults().setObject(stored, u"Rules"_s);
    controller->resetForTesting();
    EXPECT_EQ(firstHosts(controller->specialCases()), expected);

    // Editing: Cancel keeps the rule, Remove deletes it without adding, OK replaces it.
    const QVariantMap b = controller->specialCases().at(1).toMap();
    controller->beginEditingSpecialCase(b);
    EXPECT_EQ(controller->currentSpecialCaseDownloadsFolder(),
              ZRExtensions::stringByAbbreviatingWithTildeInPath(target));
    controller->endEditingSpecialCase(Response::Cancel, u"x.example"_s, QString(), QString());
    EXPECT_EQ(firstHosts(controller->specialCases()), expected);
    controller->beginEditingSpecialCase(b);
    controller->endEditingSpecialCase(Response::OK, u"z.example"_s, QString(), QString());
    EXPECT_EQ(firstHosts(controller->specialCases()),
              (QStringList{u"a.example/pdf"_s, u"z.example/-"_s, u"-/7z"_s, u"-/zip"_s}));
    controller->beginEditingSpecialCase(controller->specialCases().at(1).toMap());
    controller->endEditingSpecialCase(Response::Remove, u"ignored"_s, QString(), QString());
    EXPECT_EQ(controller->specialCases().size(), 3);
    EXPECT_FALSE(controller->currentSpecialCaseDownloadsFolder());
    // A rule without folder or application is not stored; removing all removes the key.
    controller->beginEditingSpecialCase(std::nullopt);
    EXPECT_FALSE(controller->specialCaseEditorAcceptsHosts({u"h"_s}, {}, false));
    EXPECT_TRUE(controller->specialCaseEditorAcceptsHosts({u"h"_s}, {}, true));
    EXPECT_FALSE(controller->endEditingSpecialCase(Response::OK, u"h.example"_s, QString(), QString()));
    EXPECT_EQ(controller->specialCases().size(), 3);
    controller->removeAllSpecialCases();
    EXPECT_FALSE(defaults().hasStoredValueForKey(u"Rules"_s));
    EXPECT_GT(ui.selectorUpdates, 0);
}

TEST_F(RulesTest, TheDownloadsFolderAndItsRecentList)
{
    const QString downloads = ZRExtensions::stringByAbbreviatingWithTildeInPath(ZRDownloadsFolderPath());
    EXPECT_EQ(ZRMainController::downloadsFolder(), downloads);
    EXPECT_EQ(ZRMainController::recentDownloadsFolders(), (QStringList{u"~/Desktop"_s, downloads}));

    const QString chosen = folder(u"chosen"_s);
    controller->setDownloadsFolder(chosen, false, true);
    controller->setDownloadsFolder(chosen + u"/"_s, false, true); // the same folder
    EXPECT_EQ(ZRMainController::downloadsFolder(), ZRExtensions::stringByAbbreviatingWithTildeInPath(chosen));
    EXPECT_EQ(
        ZRMainController::recentDownloadsFolders(),
        (QStringList{u"~/Desktop"_s, downloads, ZRExtensions::stringByAbbreviatingWithTildeInPath(chosen)}));
    // "Other..." cancelled changes nothing; chosen, it is taken.
    controller->setDownloadsFolder(std::nullopt, false, true);
    EXPECT_EQ(ZRMainController::recentDownloadsFolders().size(), 3);
    const QString other = folder(u"other"_s);
    ui.folderAnswer = other;
    ZRFolderMenuItem otherItem;
    otherItem.role = ZRFolderMenuItem::Role::OtherFolder;
    controller->changeDownloadsFolderFromMenuItem(otherItem);
    EXPECT_EQ(ZRMainController::downloadsFolder(), ZRExtensions::stringByAbbreviatingWithTildeInPath(other));
    controller->clearRecentDownloadFolders();
    EXPECT_EQ(ZRMainController::recentDownloadsFolders(), QStringList{ZRMainController::downloadsFolder()});
    // For a rule the choice stays with the editor; the null marker means the downloads folder.
    controller->beginEditingSpecialCase(std::nullopt);
    controller->setDownloadsFolder(chosen, true, true);
    EXPECT_TRUE(controller->currentSpecialCaseDownloadsFolder());
    controller->setDownloadsFolder(QString(), true, true);
    EXPECT_FALSE(controller->currentSpecialCaseDownloadsFolder());
    EXPECT_EQ(ZRMainController::downloadsFolder(), ZRExtensions::stringByAbbreviatingWithTildeInPath(other));
}

std::string describe(const ZRFolderMenu &menu)
{
    QStringList lines;
    for (const ZRFolderMenuItem &item : menu) {
        if (item.isSeparator())
            lines << (item.kind == ZRFolderMenuItem::Kind::Separator ? u"---"_s : u"-"_s);
        else
            lines << (item.checked ? u"* "_s : QString()) + (item.alternate ? u"(alt) "_s : QString()) +
                         item.title;
    }
    return lines.join(u" | "_s).toStdString();
}

TEST_F(RulesTest, TheFolderMenuOffersRecentFoldersRulesAndTheirCommands)
{
    const QString alpha = folder(u"Alpha"_s);
    const QString beta = folder(u"Beta"_s);
    const QString abbreviatedAlpha = ZRExtensions::stringByAbbreviatingWithTildeInPath(alpha);
    defaults().setObject(QStringList{ZRExtensions::stringByAbbreviatingWithTildeInPath(beta),
                                     abbreviatedAlpha, sandboxRoot() + u"/rules/vanished"_s},
                         u"Recent Downloads Folders"_s);
    defaults().setObject(true, u"Sort Downloads Folders By Name"_s);
    controller->setSpecialCases({QVariantMap{{u"Hosts"_s, QStringList{u"h.example"_s, u"i.example"_s}},
                                             {u"Extensions"_s, QStringList{u"zip"_s}},
                                             {u"Downloads Folder"_s, abbreviatedAlpha}},
                                 QVariantMap{{u"Hosts"_s, QStringList{u"j.example"_s}}}});

    // The menu bar's menu: rules appended, states, explanation. The vanished folder is not shown.
    ZRFolderMenu menu;
    int selected = controller->populateFolderMenu(menu, abbreviatedAlpha, false, true, true, true, true, 14);
    EXPECT_EQ(describe(menu),
              "General | * Alpha | Beta | - | Other... | (alt) Clear Menu | --- | Rules | "
              "h.example//i.example::zip | j.example | - | Define Rule... | (alt) Remove All Rules | --- | "
              "Hold shift to specify an individual download folder.");
    EXPECT_EQ(selected, 1);
    EXPECT_EQ(menu[1].path, abbreviatedAlpha);
    EXPECT_TRUE(menu[1].hasAction);
    EXPECT_EQ(menu[1].suffixSize, 14);
    EXPECT_TRUE(menu[1].suffix.startsWith(u" \u2014 "_s));
    EXPECT_EQ(menu[8].icon.size, QSize(16, 16));
    EXPECT_EQ(menu[8].submenu.size(), 4); // Edit..., Remove, separator, Download to Alpha
    EXPECT_EQ(menu[8].submenu[3].title, u"Download to Alpha"_s);
    EXPECT_EQ(menu[9].submenu.last().title, u"Ineffective"_s);

    // A current folder that is not yet in the list gets its own item (and is made when missing).
    menu.clear();
    const QString fresh = sandboxRoot() + u"/rules/fresh"_s;
    selected = controller->populateFolderMenu(menu, fresh, false, false, false, true, false, 13);
    EXPECT_EQ(describe(menu), "Alpha | Beta | --- | * fresh | - | Other... | (alt) Clear Menu");
    EXPECT_EQ(selected, 3);
    EXPECT_TRUE(QFileInfo(fresh).isDir());

    // The editor's pop-up: the default item first, selected while the rule has no folder.
    menu.clear();
    selected = controller->populateFolderMenu(menu, QString(), true, false, false, true, false, 13);
    EXPECT_EQ(describe(menu),
              "* Default Downloads Folder | --- | Alpha | Beta | - | Other... | (alt) Clear Menu");
    EXPECT_EQ(selected, 0);
    EXPECT_TRUE(menu[0].path.isNull());

    // A downloads folder that cannot be made: the download folder's item, else the log says so.
    menu.clear();
    selected = controller->populateFolderMenu(menu, u"/proc/quorvel-cannot-be-made"_s, false, false, false,
                                              true, false, 13);
    EXPECT_EQ(selected, 0);
    EXPECT_TRUE(logLines.contains(u"cannot find downloads folder"_s));
}

TEST_F(RulesTest, SubfolderFormatsAndTheirSuggestions)
{
    controller->setSubdivisionFormat(u"Downloads Folder: Subdivision Format (Rules)"_s, u"  "_s);
    EXPECT_FALSE(ZRMainController::showsSubdivisionDateSelector());
    controller->setSubdivisionFormat(u"Downloads Folder: Subdivision Format (Rules)"_s, u" yyyy/MM "_s);
    EXPECT_EQ(defaults().stringForKey(u"Downloads Folder: Subdivision Format (Rules)"_s), u" yyyy/MM "_s);
    EXPECT_TRUE(ZRMainController::showsSubdivisionDateSelector());

    const auto &suggestions = controller->subdivisionFormatSuggestions();
    ASSERT_GE(suggestions.size(), 3);
    EXPECT_EQ(suggestions[0].pattern, u"yyyy-MM-dd"_s);
    EXPECT_EQ(suggestions[1].pattern, u"yyyy/MM/dd"_s);
    EXPECT_TRUE(suggestions[1].example.endsWith(u" (3 nested subfolders)"_s))
        << suggestions[1].example.toStdString();
    EXPECT_FALSE(suggestions[0].example.contains(u"nested"_s));
    // The locale's own patterns never nest folders unless the allow key is on.
    for (qsizetype i = 2; i < suggestions.size(); ++i)
        EXPECT_FALSE(suggestions[i].pattern.contains(u'/')) << suggestions[i].pattern.toStdString();
}

TEST_F(RulesTest, DownloadPageRulesComeFromThePreferencesAndFollowTheirFile)
{
    // Nothing stored: the built-in rule.
    EXPECT_EQ(controller->downloadPageRules().size(), 1);

    // A text that is no rule set: no rules, and the log says which rule and why.
    controller->didChangeDownloadPageRulesText(u"[{\"Source\": \"x\", \"Query Cascade\": [\"(\"]}]"_s);
    EXPECT_TRUE(controller->downloadPageRules().isEmpty());
    EXPECT_TRUE(logLines.join(u'\n').contains(u"rule 1: pattern 1 of step 1"_s))
        << logLines.join(u'\n').toStdString();

    const ZRDownloadPtr download = ZRDownload::downloadWithURL(QUrl(u"https://pages.example/p"_s), false);
    ASSERT_TRUE(download);
    controller->appendDownload(download);
    EXPECT_FALSE(download->isDownloadPageURL());
    // A keyed QSON text, as typed.
    controller->didChangeDownloadPageRulesText(
        u"{\n\"pages\\\\.example\" : {\n\"Query Cascade\" : [\"y\"]\n}\n}"_s);
    EXPECT_EQ(controller->downloadPageRules().value(0).toMap().value(u"Source"_s), u"pages\\.example"_s);
    EXPECT_TRUE(download->isDownloadPageURL());
    EXPECT_TRUE(download->statusDescriptionWithLiveDetails(true).endsWith(QChar(0x2387)))
        << download->statusDescriptionWithLiveDetails(true).toStdString();
    controller->didChangeDownloadPageRulesText(u" "_s);
    EXPECT_FALSE(defaults().hasStoredValueForKey(u"Download Page Rules"_s));
    EXPECT_FALSE(download->isDownloadPageURL());

    // Someone else rewrites Preferences.plist: the running program takes the new rules and rules.
    ASSERT_TRUE(defaults().synchronize());
    controller->startWatchingPreferencesFile();
    QVariantMap file =
        ZRPropertyList::propertyListWithContentsOfFile(defaults().filePath()).value_or(QVariant()).toMap();
    file.insert(u"Download Page Rules"_s, u"[{\"Source\": \"pages\", \"Query Cascade\": [\"z\"]}]"_s);
    file.insert(u"Rules"_s, QVariantList{QVariantMap{{u"Hosts"_s, QStringList{u"pages.example"_s}},
                                                     {u"Downloads Folder"_s, u"~/x"_s}}});
    ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(file, defaults().filePath()));
    EXPECT_TRUE(waitUntil([&] { return download->isDownloadPageURL(); }, 5000));
    EXPECT_EQ(controller->downloadPageRules().value(0).toMap().value(u"Query Cascade"_s),
              QVariantList{u"z"_s});
    EXPECT_EQ(controller->specialCases().size(), 1);
}

} // namespace
