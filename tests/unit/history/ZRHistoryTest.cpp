// The times of day the schedule arms, the relative date texts, and the history: its file, trimming,
// menu model and the actions that reach the program.
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRSystemCalls.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRDateExtensions.h"
#include "core/text/ZRFileBookmark.h"
#include "core/text/ZRHistorian.h"
#include "tests/support/ZRScopedDefaults.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

#include <cerrno>
#include <ctime>

using namespace ZRTestSupport;

namespace
{

// Local time in a zone with daylight-saving time, for the length of one test.
class ScopedTimeZone
{
public:
    explicit ScopedTimeZone(const char *zone) : _old(qgetenv("TZ")), _hadOld(qEnvironmentVariableIsSet("TZ"))
    {
        qputenv("TZ", zone);
        tzset();
    }
    ~ScopedTimeZone()
    {
        if (_hadOld)
            qputenv("TZ", _old);
        else
            qunsetenv("TZ");
        tzset();
        ZRExtensions::setCurrentDateFunctionForTesting({});
    }

private:
    QByteArray _old;
    bool _hadOld;
};

QDateTime utc(const char *text)
{
    return QDateTime::fromString(QString::fromLatin1(text), Qt::ISODateWithMs).toUTC();
}

void setNow(const QDateTime &now)
{
    ZRExtensions::setCurrentDateFunctionForTesting([now] { return now; });
}

TEST(ScheduleDates, NextMomentIsAtLeastASecondAwayAndOncePerDayAcrossClockChanges)
{
    ScopedTimeZone berlin("Europe/Berlin");
    struct Row {
        const char *now; // UTC
        int hour, minute, second;
        const char *next; // UTC
    };
    const Row rows[] = {
        // Winter (UTC+1): 22:00 local is 21:00 UTC.
        {"2026-01-10T20:00:00.000Z", 22, 0, 0, "2026-01-10T21:00:00.000Z"},
        {"2026-01-10T20:59:59.000Z", 22, 0, 0, "2026-01-10T21:00:00.000Z"},
        // Less than a second ahead, the same second, and past: tomorrow's.
        {"2026-01-10T20:59:59.500Z", 22, 0, 0, "2026-01-11T21:00:00.000Z"},
        {"2026-01-10T21:00:00.000Z", 22, 0, 0, "2026-01-11T21:00:00.000Z"},
        {"2026-01-10T21:00:00.900Z", 22, 0, 0, "2026-01-11T21:00:00.000Z"},
        {"2026-01-10T22:00:00.000Z", 6, 30, 15, "2026-01-11T05:30:15.000Z"},
        // The spring day skips 02:00-03:00: 02:30 comes once, as 03:30 summer time.
        {"2026-03-28T23:00:00.000Z", 2, 30, 0, "2026-03-29T01:30:00.000Z"},
        // ...and the day after is an ordinary one again.
        {"2026-03-29T01:30:00.000Z", 2, 30, 0, "2026-03-30T00:30:00.000Z"},
        // The autumn day has 02:00-03:00 twice: the first one, and after it not the second.
        {"2026-10-24T22:00:00.000Z", 2, 30, 0, "2026-10-25T00:30:00.000Z"},
        {"2026-10-25T00:30:00.002Z", 2, 30, 0, "2026-10-26T01:30:00.000Z"},
        {"2026-10-25T01:10:00.000Z", 2, 30, 0, "2026-10-26T01:30:00.000Z"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.now) + " " + std::to_string(row.hour) + ":" +
                     std::to_string(row.minute));
        const QDateTime now = utc(row.now);
        setNow(now);
        double remaining = -1;
        const QDateTime next =
            ZRExtensions::nextDateMatchingTimeOfDay(QTime(row.hour, row.minute, row.second), &remaining);
        EXPECT_EQ(next.toUTC(), utc(row.next)) << next.toUTC().toString(Qt::ISODate).toStdString();
        EXPECT_DOUBLE_EQ(remaining, double(now.msecsTo(utc(row.next))) / 1000.0);
        EXPECT_GE(remaining, 1.0);
    }
}

TEST(ScheduleDates, FuzzyDescriptions)
{
    const QDateTime now = QDateTime::currentDateTime();
    setNow(now);
    const struct {
        qint64 secondsAgo;
        QString text;
    } rows[] = {
        {-30, QStringLiteral("just now")},       {0, QStringLiteral("just now")},
        {59, QStringLiteral("just now")},        {60, QStringLiteral("1 minute ago")},
        {119, QStringLiteral("1 minute ago")},   {120, QStringLiteral("2 minutes ago")},
        {600, QStringLiteral("10 minutes ago")}, {659, QStringLiteral("10 minutes ago")},
    };
    for (const auto &row : rows)
        EXPECT_EQ(ZRExtensions::fuzzyDescription(now.addSecs(-row.secondsAgo)), row.text) << row.secondsAgo;
    // From 11 minutes on, the date itself, with its time.
    const QDateTime older = now.addSecs(-660);
    EXPECT_EQ(ZRExtensions::fuzzyDescription(older), ZRExtensions::relativeDateDescription(older, true));
    EXPECT_NE(ZRExtensions::relativeDateDescription(older, true),
              ZRExtensions::relativeDateDescription(older, false));
    ZRExtensions::setCurrentDateFunctionForTesting({});
}

class RecordingDelegate : public ZRHistorianDelegate
{
public:
    void removeDownloadIfDoneWithPath(const QString &path) override { removedPaths.append(path); }
    void openURLs(const QList<QUrl> &urls) override { opened += urls; }
    void copyToPasteboard(const QString &text, const QList<QUrl> &urls) override
    {
        pasteboardText = text;
        pasteboardURLs = urls;
    }
    void beep() override { ++beeps; }

    QStringList removedPaths;
    QList<QUrl> opened;
    QString pasteboardText;
    QList<QUrl> pasteboardURLs;
    int beeps = 0;
};

class HistoryTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ZRUserDefaults::resetStandardInstancesForTesting();
        QFile::remove(ZRConfigurationFolderPath() + QStringLiteral("/Preferences.plist"));
        QDir(ZRHistorian::applicationSupportPath()).removeRecursively();
        historian->resetForTesting();
        historian->setDelegate(&delegate);
        ZRUserDefaults::standardUserDefaults().registerDefaults({
            {ZRHistoryKeys::NumberOfHistoryItems, 100},
            {ZRHistoryKeys::HistoryOfCompleteDownloads, true},
            {ZRHistoryKeys::NumberOfTopLevelHistoryItems, 10},
        });
        // Below the (test's) home folder, where paths are kept with "~".
        files = QDir::homePath() + QStringLiteral("/history-files");
        QDir(files).removeRecursively();
        QDir().mkpath(files);
    }
    void TearDown() override { historian->resetForTesting(); }

    // A finished download whose file exists.
    ZRHistorian::Download finished(const QString &name,
                                   const QDateTime &date = QDateTime::currentDateTimeUtc())
    {
        const QString path = files + QLatin1Char('/') + name;
        writeFile(path, "data");
        return {name, QStringLiteral("http://example.com/") + name,
                path, ZRFileBookmark::bookmarkDataWithPath(path),
                date, date,
                true};
    }
    QStringList namesInFile() const
    {
        QStringList names;
        for (const QVariant &item : ZRHistorian::historyWithContentsOfFile(ZRHistorian::historyArchivePath()))
            names.append(item.toMap().value(ZRHistoryKeys::Name).toString());
        return names;
    }
    static QStringList titles(const ZRHistoryMenu &menu)
    {
        QStringList list;
        for (const ZRHistoryMenuItem &item : menu.items)
            list.append(item.isSeparator ? QStringLiteral("---") : item.title);
        return list;
    }

    ZRHistorian *historian = ZRHistorian::historian();
    RecordingDelegate delegate;
    QString files;
};

TEST_F(HistoryTest, RecordsTrimsAndKeepsTheFileAsItsSettingsSay)
{
    const struct {
        qint64 limit;
        QStringList kept;
    } rows[] = {
        {3, {QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d")}},
        {0, {}},
        {-1, {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d")}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.limit);
        SetUp();
        writeFile(ZRHistorian::historyArchivePath(), "not a property list");
        ZRScopedDefaults limit({{ZRHistoryKeys::NumberOfHistoryItems, row.limit}});
        for (const char *name : {"a", "b", "c", "d"})
            historian->add(finished(QString::fromLatin1(name)));
        EXPECT_TRUE(historian->isSavePending()) << "written once, 5 seconds after the burst";
        historian->cleanUp();
        EXPECT_FALSE(historian->isSavePending());
        EXPECT_EQ(QFileInfo::exists(ZRHistorian::historyArchivePath()), !row.kept.isEmpty());
        EXPECT_EQ(namesInFile(), row.kept);
        EXPECT_EQ(readFile(ZRHistorian::historyArchivePath() + QStringLiteral(".corrupt")),
                  "not a property list")
            << "an unreadable history is kept aside, not written over";
    }

    // What an item holds: the four keys a reader needs, the bookmark, a property-list date.
    const QVariantMap item =
        ZRHistorian::historyWithContentsOfFile(ZRHistorian::historyArchivePath()).last().toMap();
    EXPECT_EQ(item.value(ZRHistoryKeys::OriginalURL).toString(), QStringLiteral("http://example.com/d"));
    EXPECT_TRUE(item.value(ZRHistoryKeys::Path).toString().startsWith(QLatin1Char('~'))) << "kept with ~";
    EXPECT_FALSE(item.value(ZRHistoryKeys::Alias).toByteArray().isEmpty());
    EXPECT_EQ(item.value(ZRHistoryKeys::Date).typeId(), QMetaType::QDateTime);

    // Downloading privately, or an aborted download while only complete ones count: nothing.
    SetUp();
    ZRHistorian::Download aborted = finished(QStringLiteral("x"));
    aborted.isComplete = false;
    historian->add(aborted);
    {
        ZRScopedDefaults privately({{ZRHistoryKeys::PrivateDownloading, true}});
        historian->add(finished(QStringLiteral("y")));
    }
    EXPECT_EQ(historian->numberOfItems(), 0);
    {
        ZRScopedDefaults every({{ZRHistoryKeys::HistoryOfCompleteDownloads, false}});
        aborted.alias.clear();
        historian->add(aborted);
        historian->add(finished(QStringLiteral("z")));
    }
    EXPECT_EQ(historian->numberOfItems(), 2);
    // Switching "History Of Complete Downloads" on drops what has no file bookmark.
    historian->checkNumberOfItems(false, true);
    EXPECT_EQ(historian->numberOfItems(), 1);

    // "Clear History On Quit" leaves no file.
    historian->save();
    ASSERT_TRUE(QFileInfo::exists(ZRHistorian::historyArchivePath()));
    ZRScopedDefaults clearOnQuit({{ZRHistoryKeys::ClearHistoryOnQuit, true}});
    historian->cleanUp();
    EXPECT_FALSE(QFileInfo::exists(ZRHistorian::historyArchivePath()));
    EXPECT_EQ(historian->numberOfItems(), 0);
}

TEST_F(HistoryTest, AFailedWriteKeepsThePreviousFile)
{
    historian->add(finished(QStringLiteral("kept")));
    historian->save();
    const QByteArray before = readFile(ZRHistorian::historyArchivePath());
    historian->add(finished(QStringLiteral("lost")));
    {
        ZRSystemCallsOverride failing;
        ZRSystem().write = [](int, const void *, size_t) -> ssize_t {
            errno = ENOSPC;
            return -1;
        };
        historian->save();
    }
    EXPECT_EQ(readFile(ZRHistorian::historyArchivePath()), before);
    EXPECT_EQ(
        QDir(ZRHistorian::applicationSupportPath()).entryList({QStringLiteral("History*")}, QDir::Files),
        QStringList{ZRHistoryKeys::FileName})
        << "nothing left aside";
}

TEST_F(HistoryTest, MenuShowsTheNewestItemsThenDaysAndSearchesFallBackToIt)
{
    ZRScopedDefaults topLevel({{ZRHistoryKeys::NumberOfTopLevelHistoryItems, 2}});
    const QDateTime today = QDateTime::currentDateTimeUtc();
    const QDateTime yesterday = today.addDays(-1);
    // Oldest first, as recorded.
    historian->add(finished(QStringLiteral("y1.zip"), yesterday.addSecs(-60)));
    historian->add(finished(QStringLiteral("y2.zip"), yesterday));
    historian->add(finished(QStringLiteral("t1.zip"), today.addSecs(-2)));
    historian->add(finished(QStringLiteral("t2.zip"), today.addSecs(-1)));
    historian->add(finished(QStringLiteral("t3.zip"), today));

    ZRHistoryMenu menu;
    historian->populateMenu(menu);
    const QString todayTitle = ZRExtensions::relativeDateDescription(today, false);
    const QString yesterdayTitle = ZRExtensions::relativeDateDescription(yesterday, false);
    const QStringList normal = {
        QStringLiteral("t3.zip"), QStringLiteral("t2.zip"), QStringLiteral("---"),          todayTitle,
        yesterdayTitle,           QStringLiteral("---"),    QStringLiteral("Clear History")};
    EXPECT_EQ(titles(menu), normal);
    EXPECT_NE(todayTitle, yesterdayTitle);

    // A day opens: its placeholder gives way to its items, newest first, once.
    ZRHistoryMenu &yesterdayMenu = *menu.items[4].submenu;
    ASSERT_EQ(yesterdayMenu.items.size(), 1);
    EXPECT_EQ(yesterdayMenu.items[0].title, QStringLiteral("-"));
    historian->menuNeedsUpdate(yesterdayMenu);
    EXPECT_EQ(titles(yesterdayMenu), (QStringList{QStringLiteral("y2.zip"), QStringLiteral("y1.zip")}));
    historian->menuNeedsUpdate(yesterdayMenu);
    EXPECT_EQ(yesterdayMenu.items.size(), 2);
    historian->menuNeedsUpdate(*menu.items[3].submenu);
    EXPECT_EQ(titles(*menu.items[3].submenu), QStringList{QStringLiteral("t1.zip")});

    // Searches: the matches alone; no match gives "No Matches" and the whole menu.
    historian->populateMenu(menu, {QStringLiteral("Y")});
    EXPECT_EQ(titles(menu), (QStringList{QStringLiteral("y2.zip"), QStringLiteral("y1.zip")}));
    historian->populateMenu(menu, {QStringLiteral("nothing")});
    EXPECT_EQ(titles(menu), QStringList({QStringLiteral("No Matches"), QStringLiteral("---")}) + normal);
    EXPECT_FALSE(menu.items[0].isEnabled);
    {
        ZRScopedDefaults byAddress({{ZRHistoryKeys::HistorySearchCriterion, QStringLiteral("URL")}});
        historian->populateMenu(menu, {QStringLiteral("example.com/t1")});
        EXPECT_EQ(titles(menu), QStringList{QStringLiteral("t1.zip")});
    }

    // "Download Again" hands the address to the program.
    ASSERT_EQ(menu.items.last().submenu->items.last().action, ZRHistoryMenuItem::Action::Download);
    historian->perform(menu.items.last().submenu->items.last());
    EXPECT_EQ(delegate.opened, QList<QUrl>{QUrl(QStringLiteral("http://example.com/t1.zip"))});
    historian->clear();
    historian->populateMenu(menu);
    EXPECT_EQ(titles(menu), QStringList{QStringLiteral("History is empty")});
}

TEST_F(HistoryTest, AMovedFileIsFoundThroughItsBookmarkAndAMissingOneKeepsTheAddressActions)
{
    historian->add(finished(QStringLiteral("moved.zip")));
    historian->add(finished(QStringLiteral("gone.zip")));
    const QString movedTo = files + QStringLiteral("/renamed.zip");
    ASSERT_TRUE(QFile::rename(files + QStringLiteral("/moved.zip"), movedTo));
    QFile::remove(files + QStringLiteral("/gone.zip"));

    const QVariantList &items = historian->history();
    const std::optional<ZRHistoryMenuItem> moved =
        historian->newMenuItemForHistoryItem(items[0].toMap(), {}, false);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->action, ZRHistoryMenuItem::Action::Open);
    EXPECT_EQ(moved->representedObject, movedTo);
    using Action = ZRHistoryMenuItem::Action;
    QList<Action> actions;
    for (const ZRHistoryMenuItem &item : moved->submenu->items) {
        if (item.action != Action::OpenWithApplication)
            actions.append(item.action);
    }
    EXPECT_EQ(actions,
              (QList<Action>{Action::Open, Action::Reveal, Action::MoveToTrash, Action::None,
                             Action::CopyPath, Action::None, Action::None, Action::OpenOriginalURL,
                             Action::CopyOriginalURL, Action::None, Action::None, Action::Download}));

    const std::optional<ZRHistoryMenuItem> gone =
        historian->newMenuItemForHistoryItem(items[1].toMap(), {}, false);
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->action, Action::None);
    EXPECT_EQ(gone->submenu->items.first().action, Action::OpenOriginalURL);
    EXPECT_EQ(gone->icon.name, QStringLiteral("applications-internet"));

    // Copying goes through the program's clipboard; the trash takes the download out of the list first.
    historian->copyOriginalURL(QStringLiteral("http://example.com/moved.zip"));
    EXPECT_EQ(delegate.pasteboardURLs, QList<QUrl>{QUrl(QStringLiteral("http://example.com/moved.zip"))});
    historian->copyPath(movedTo);
    EXPECT_EQ(delegate.pasteboardText, movedTo);
    EXPECT_TRUE(delegate.pasteboardURLs.isEmpty());
    historian->moveToTrash(files + QStringLiteral("/gone.zip"));
    EXPECT_EQ(delegate.removedPaths, QStringList{files + QStringLiteral("/gone.zip")});
    EXPECT_EQ(delegate.beeps, 1) << "nothing there to trash";
}

} // namespace
