// The controller's start-up, queue archive, quit, sleep and wake, driven through a scripted interface.
#include "app/control/ZRMainController.h"
#include "app/control/ZRPreferenceKeys.h"
#include "core/download/ZRDownload.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRCollectionExtensions.h"
#include "tests/support/ZRTestSilentServer.h"
#include "tests/support/ZRTestSupport.h"
#include "tests/unit/control/ZRScriptedUserInterface.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace ZRTestSupport;

namespace
{


ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

class MainControllerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        // Launching watches for sleep on the system bus: never the machine's own.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + sandboxRoot().toLocal8Bit() + "/no-system-bus");
        // The old defaults may write their pending changes as they go: forget them before the file.
        ZRUserDefaults::resetStandardInstancesForTesting();
        QDir(ZRApplicationSupportFolderPath()).removeRecursively();
        QFile::remove(ZRConfigurationFolderPath() + QStringLiteral("/Preferences.plist"));
        controller = ZRMainController::mainController();
        controller->resetForTesting();
        controller->setUserInterface(&ui);
        ZRMainController::registerDefaults();
        ZRLogSetHandler([this](const QString &line) { logLines.append(line); });
    }

    void TearDown() override
    {
        controller->resetForTesting();
        ZRLogSetHandler({});
        // Let queued scheduling passes run while their downloads are still known to be gone.
        processEventsFor(1);
    }

    QString archivePath() const { return controller->queueArchivePath(); }
    QString intermediateFolderPath() const
    {
        return ZRApplicationSupportFolderPath() + QStringLiteral("/Downloads");
    }

    QVariantList readArchive() const
    {
        const std::optional<QVariant> root = ZRPropertyList::propertyListWithContentsOfFile(archivePath());
        return root ? root->toList() : QVariantList{QStringLiteral("missing")};
    }
    void writeArchive(const QVariantList &elements)
    {
        ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(elements, archivePath()));
    }
    QStringList archivedURLs() const
    {
        QStringList urls;
        for (const QVariant &element : readArchive())
            urls.append(element.toMap().value(ZRDownloadKeys::URL).toString());
        return urls;
    }

    ZRDownloadPtr addDownload(const QString &url, ZRDownloadStatus status, const QVariantMap &settings = {})
    {
        ZRDownloadPtr download = ZRDownload::downloadWithURLString(url, false);
        EXPECT_TRUE(download);
        download->setStatus(status);
        for (auto it = settings.begin(); it != settings.end(); ++it)
            download->userSettings().insert(it.key(), it.value());
        controller->appendDownload(download);
        return download;
    }

    // As if the program started again with the same files.
    void relaunch()
    {
        controller->resetForTesting();
        controller->setUserInterface(&ui);
        controller->applicationWillFinishLaunching();
        controller->applicationDidFinishLaunching();
    }

    ZRMainController *controller = nullptr;
    ZRScriptedUserInterface ui;
    QStringList logLines;
    ZRTestSilentServer server;
};

TEST_F(MainControllerTest, IsTheOneInstanceAndTheModelsManager)
{
    EXPECT_EQ(ZRMainController::mainController(), controller);
    EXPECT_EQ(ZRDownloadManager::sharedManager(), controller);

    // Registered values hold until the user sets one.
    EXPECT_EQ(defaults().integerForKey(ZRPreferenceKey::AutoResumeAfterSleepDelay), 3);
    EXPECT_TRUE(defaults().boolForKey(ZRPreferenceKey::AutoStart));
    defaults().setBool(false, ZRPreferenceKey::AutoStart);
    ZRMainController::registerDefaults();
    EXPECT_FALSE(defaults().boolForKey(ZRPreferenceKey::AutoStart));
}

TEST_F(MainControllerTest, AlertsOfTheDownloadsGoThroughTheInterfaceAndHoldTheQueue)
{
    bool modalWhileShown = false;
    ui.whileAlertShows = [&](const ZRAlert &) { modalWhileShown = controller->isShowingModalWindow(); };
    ZRDownloadManager::sharedManager()->runModalAlert(QStringLiteral("Disk missing"), QStringLiteral("Connect it."));
    ASSERT_EQ(ui.alerts.size(), 1);
    EXPECT_EQ(ui.alerts.first().title, QStringLiteral("Disk missing"));
    EXPECT_EQ(ui.alerts.first().message, QStringLiteral("Connect it."));
    EXPECT_EQ(ui.alerts.first().buttons, QStringList{QStringLiteral("OK")});
    EXPECT_TRUE(modalWhileShown);
    EXPECT_FALSE(controller->isShowingModalWindow());
}

TEST_F(MainControllerTest, StatusMaskQueries)
{
    EXPECT_FALSE(controller->anyDownloadMatchesStatusMask(0));
    const auto paused = addDownload(server.url(QStringLiteral("p")), ZRDownloadStatusPaused);
    const auto waiting = addDownload(server.url(QStringLiteral("w")), ZRDownloadStatusQueued);
    const auto running = addDownload(server.url(QStringLiteral("r")), ZRDownloadStatusDownloading);
    const auto complete = addDownload(server.url(QStringLiteral("c")), ZRDownloadStatusComplete);
    const auto aborted = addDownload(server.url(QStringLiteral("a")), ZRDownloadStatusAborted);
    controller->updateDownloadListAndStatus();

    EXPECT_TRUE(controller->anyDownloadMatchesStatusMask(0));
    EXPECT_TRUE(controller->anyDownloadMatchesStatusMask(ZRDownloadStatusMaskActive));
    EXPECT_EQ(controller->downloadsMatchingStatusMask(0).size(), 5);
    EXPECT_EQ(controller->downloadsMatchingStatusMask(ZRDownloadStatusMaskActive),
              (ZRDownloadList{waiting, running}));
    EXPECT_EQ(controller->downloadsMatchingStatusMask(ZRDownloadStatusMaskFinished),
              (ZRDownloadList{complete, aborted}));
    EXPECT_FALSE(ZRMainController::anyDownloadFromCollectionMatchesStatusMask({paused, complete},
                                                                              ZRDownloadStatusMaskActive));
    EXPECT_FALSE(ZRMainController::anyDownloadFromCollectionMatchesStatusMask({}, 0));

    // Context downloads: the selection, else every displayed row.
    EXPECT_EQ(controller->contextDownloads().size(), 5);
    ui.selection = {aborted, paused};
    EXPECT_EQ(controller->contextDownloadsMatchingStatusMask(ZRDownloadStatusPaused), ZRDownloadList{paused});
    EXPECT_FALSE(controller->anyContextDownloadMatchesStatusMask(ZRDownloadStatusMaskActive));

    controller->removeDownload(running.get());
    EXPECT_EQ(controller->downloadsMatchingStatusMask(ZRDownloadStatusMaskActive), ZRDownloadList{waiting});
    EXPECT_EQ(ui.shownLists.last().size(), 4);
}

TEST_F(MainControllerTest, ArchiveRoundTripKeepsOrderStatusesAndSettings)
{
    QVariantMap request{{ZRDownloadKeys::RequestMethod, QStringLiteral("POST")},
                        {ZRDownloadKeys::RequestBody, QByteArray("a=1&b=2")}};
    const auto interrupted =
        addDownload(server.url(QStringLiteral("one.zip")), ZRDownloadStatusPaused,
                    {{ZRDownloadKeys::ResponseURL, server.url(QStringLiteral("mirror/one.zip"))},
                     {ZRDownloadKeys::StatusCode, 206},
                     {ZRDownloadKeys::Name, QStringLiteral("one.zip")},
                     {ZRDownloadKeys::Referer, QStringLiteral("http://127.0.0.1/page")},
                     {ZRDownloadKeys::Request, request}});
    interrupted->setIntermediateDownloadTargetPath(intermediateFolderPath() +
                                                   QStringLiteral("/one.zip.quorvel/one.zip"));
    const auto waiting = addDownload(server.url(QStringLiteral("two.iso")), ZRDownloadStatusQueued,
                                     {{ZRDownloadKeys::DownloadFolder, QStringLiteral("~/Downloads/Disks")}});
    const auto aborted = addDownload(server.url(QStringLiteral("three")), ZRDownloadStatusAborted,
                                     {{ZRDownloadKeys::StatusCode, 404}});
    addDownload(server.url(QStringLiteral("done")), ZRDownloadStatusComplete);
    const ZRDownloadList originals{interrupted, waiting, aborted};

    ASSERT_TRUE(controller->writeArchiveBeforeQuitting(false));
    EXPECT_EQ(waiting->status(), ZRDownloadStatusQueued) << "saving does not pause";
    const QVariantList elements = readArchive();
    ASSERT_EQ(elements.size(), 3) << "complete downloads are not archived";
    EXPECT_TRUE(elements[0].toMap().value(ZRDownloadKeys::Paused).toBool());
    EXPECT_FALSE(elements[1].toMap().value(ZRDownloadKeys::Paused).toBool());
    EXPECT_TRUE(elements[2].toMap().value(ZRDownloadKeys::Paused).toBool());
    EXPECT_EQ(
        elements[0].toMap().value(ZRDownloadKeys::ResumePath).toString(),
        ZRExtensions::stringByAbbreviatingWithTildeInPath(interrupted->intermediateDownloadTargetPath()));

    relaunch();
    const ZRDownloadList restored = controller->downloads();
    ASSERT_EQ(restored.size(), 3);
    EXPECT_EQ(ui.shownLists.last(), restored);
    const ZRDownloadStatus expectedStatuses[] = {ZRDownloadStatusPaused, ZRDownloadStatusQueued,
                                                 ZRDownloadStatusPaused};
    QStringList keys = ZRDownload::archivedUserSettingsKeys();
    keys.append(ZRDownloadKeys::StatusCode);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(restored[i]->URLString(), originals[i]->URLString());
        EXPECT_EQ(restored[i]->status(), expectedStatuses[i]);
        for (const QString &key : keys)
            EXPECT_EQ(restored[i]->userSettings().value(key), originals[i]->userSettings().value(key))
                << key.toStdString();
        EXPECT_EQ(restored[i]->date().toSecsSinceEpoch(), originals[i]->date().toSecsSinceEpoch());
    }
    EXPECT_EQ(restored[0]->intermediateDownloadTargetPath(), interrupted->intermediateDownloadTargetPath());
}

TEST_F(MainControllerTest, RestoreKeepsAsideWhatItCannotUseAndHonoursPausedAndAutoStart)
{
    const QVariantMap mistyped{{ZRDownloadKeys::URL, server.url(QStringLiteral("d"))},
                               {ZRDownloadKeys::Paused, true},
                               {ZRDownloadKeys::Name, 7},
                               {ZRDownloadKeys::ResponseURL, server.url(QStringLiteral("d"))},
                               {ZRDownloadKeys::ResumePath, 12},
                               {ZRDownloadKeys::LastError, QVariantMap{{ZRDownloadKeys::ErrorDomain, 1}}}};
    const QVariantList elements{
        QVariantMap{{ZRDownloadKeys::URL, server.url(QStringLiteral("a"))}, {ZRDownloadKeys::Paused, false}},
        QVariantMap{{ZRDownloadKeys::Name, QStringLiteral("no address")}},
        QStringLiteral("not a dictionary"),
        QVariantMap{{ZRDownloadKeys::URL, 42}},
        QVariantMap{{ZRDownloadKeys::URL, QString()}},
        QVariantMap{{ZRDownloadKeys::URL, server.url(QStringLiteral("r"))},
                    {ZRDownloadKeys::Request, QVariantMap{{ZRDownloadKeys::RequestMethod, 1}}}},
        QVariantMap{{ZRDownloadKeys::URL, server.url(QStringLiteral("b"))}, {ZRDownloadKeys::Paused, true}},
        mistyped,
        QVariantMap{{ZRDownloadKeys::URL, server.url(QStringLiteral("c"))}},
        QVariantMap{{ZRDownloadKeys::URL, server.url(QStringLiteral("e"))}, {ZRDownloadKeys::Paused, QStringLiteral("no")}},
    };
    writeArchive(elements);
    relaunch();
    ASSERT_EQ(controller->downloads().size(), 5);
    EXPECT_EQ(controller->downloads()[0]->status(), ZRDownloadStatusQueued);
    EXPECT_EQ(controller->downloads()[1]->status(), ZRDownloadStatusPaused);
    EXPECT_EQ(controller->downloads()[3]->status(), ZRDownloadStatusQueued);
    EXPECT_EQ(controller->downloads()[4]->status(), ZRDownloadStatusPaused) << "not known to be unpaused";
    EXPECT_FALSE(controller->foundDamagedQueueArchive());
    // A value of the wrong type is left out, with the values that only make sense with it.
    const ZRDownloadPtr partly = controller->downloads()[2];
    EXPECT_EQ(partly->status(), ZRDownloadStatusPaused);
    EXPECT_FALSE(partly->userSettings().contains(ZRDownloadKeys::Name));
    EXPECT_FALSE(partly->userSettings().contains(ZRDownloadKeys::ResponseURL));
    EXPECT_TRUE(partly->intermediateDownloadTargetPath().isEmpty());
    EXPECT_TRUE(partly->lastError().isEmpty());

    // Nothing of the wrong type goes unseen: it is kept beside the archive, and said. Elements
    // without an address are passed over as before.
    const QString aside = archivePath() + QStringLiteral(".unrestored");
    const std::optional<QVariant> kept = ZRPropertyList::propertyListWithContentsOfFile(aside);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->toList(), (QVariantList{elements[2], elements[3], elements[5], mistyped, elements[9]}));
    EXPECT_EQ(logLines.filter(QStringLiteral("cannot restore 5 of 10 queue archive entries")).size(), 1)
        << logLines.join(u'\n').toStdString();
    ASSERT_EQ(ui.notifications.size(), 1);
    EXPECT_TRUE(ui.notifications[0].message.contains(aside));
    // The archive is written again without them, so that the next launch does not keep them twice.
    ASSERT_TRUE(waitUntil([&] { return !controller->isArchiveWritePending(); }, 2000));
    EXPECT_EQ(readArchive().size(), 5);

    defaults().setBool(false, ZRPreferenceKey::AutoStart);
    relaunch();
    ASSERT_EQ(controller->downloads().size(), 5);
    for (const ZRDownloadPtr &download : controller->downloads())
        EXPECT_EQ(download->status(), ZRDownloadStatusPaused);
    EXPECT_EQ(ui.notifications.size(), 1);
    EXPECT_FALSE(QFileInfo::exists(aside + QStringLiteral("-2")));
}

TEST_F(MainControllerTest, DamagedArchiveIsKeptAsideAndItsIntermediateFilesSurvive)
{
    const QByteArray damaged[] = {
        QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><array><dict><key>URL</key>"),
        ZRPropertyList::XMLDataFromPropertyList(
            QVariantMap{{ZRDownloadKeys::URL, QStringLiteral("http://127.0.0.1/x")}}),
    };
    const QString partialFile = intermediateFolderPath() + QStringLiteral("/x.quorvel/x");
    ASSERT_TRUE(writeFile(partialFile, QByteArray("partial data")));
    QStringList asidePaths;
    for (const QByteArray &bytes : damaged) {
        ASSERT_TRUE(writeFile(archivePath(), bytes));
        relaunch();
        EXPECT_TRUE(controller->downloads().isEmpty());
        EXPECT_TRUE(controller->foundDamagedQueueArchive());
        EXPECT_FALSE(QFileInfo::exists(archivePath()));
        ASSERT_FALSE(ui.notifications.isEmpty());
        EXPECT_TRUE(ui.notifications.last().message.contains(QStringLiteral("Queue.plist.corrupt")));
        const QStringList aside =
            QDir(ZRApplicationSupportFolderPath()).entryList({QStringLiteral("Queue.plist.corrupt*")});
        ASSERT_EQ(aside.size(), asidePaths.size() + 1) << "an older damaged copy is not replaced";
        asidePaths = aside;

        // Quitting with an empty list leaves the damaged queue's partial data alone.
        EXPECT_TRUE(controller->shouldQuit());
        EXPECT_TRUE(QFileInfo::exists(partialFile));
    }
    EXPECT_EQ(readFile(ZRApplicationSupportFolderPath() + QStringLiteral("/Queue.plist.corrupt")),
              damaged[0]);

    // The user's first new download gets a fresh archive beside the kept copies.
    addDownload(server.url(QStringLiteral("new")), ZRDownloadStatusPaused);
    EXPECT_TRUE(controller->writeArchiveBeforeQuitting(false));
    EXPECT_EQ(archivedURLs(), QStringList{server.url(QStringLiteral("new"))});
    EXPECT_EQ(QDir(ZRApplicationSupportFolderPath()).entryList({QStringLiteral("Queue.plist.corrupt*")}),
              asidePaths);
}

TEST_F(MainControllerTest, EmptyListRemovesFilesOnQuitAndSavesAnEmptyArrayOtherwise)
{
    writeArchive({QVariantMap{{ZRDownloadKeys::URL, server.url(QStringLiteral("a"))},
                              {ZRDownloadKeys::Paused, true}}});
    ASSERT_TRUE(writeFile(intermediateFolderPath() + QStringLiteral("/a.quorvel/a"), QByteArray("data")));
    relaunch();
    ASSERT_EQ(controller->downloads().size(), 1);
    controller->downloads()[0]->setStatus(ZRDownloadStatusComplete);

    EXPECT_TRUE(controller->writeArchiveBeforeQuitting(false));
    EXPECT_EQ(readArchive(), QVariantList{});
    EXPECT_TRUE(QFileInfo::exists(intermediateFolderPath()));

    EXPECT_TRUE(controller->shouldQuit());
    EXPECT_FALSE(QFileInfo::exists(archivePath()));
    EXPECT_FALSE(QFileInfo::exists(intermediateFolderPath()));
    EXPECT_TRUE(ui.alerts.isEmpty());
}

TEST_F(MainControllerTest, QuitAsksOnceAndTheDefaultButtonPausesAndRemembersActiveDownloads)
{
    const auto waiting = addDownload(server.url(QStringLiteral("w")), ZRDownloadStatusQueued);
    const auto paused = addDownload(server.url(QStringLiteral("p")), ZRDownloadStatusPaused);
    const auto running = addDownload(server.url(QStringLiteral("r")), ZRDownloadStatusDownloading);
    bool flaggedDuringAlert = false;
    ui.whileAlertShows = [&](const ZRAlert &) {
        flaggedDuringAlert =
            controller->isShowingQuitWhileDownloadingAlert() && controller->isShowingModalWindow();
        EXPECT_FALSE(controller->shouldQuit()) << "a second quit while asking is left to the first";
    };

    ASSERT_TRUE(controller->shouldQuit());
    ASSERT_EQ(ui.alerts.size(), 1);
    EXPECT_EQ(ui.alerts[0].title,
              QStringLiteral("Wait! You seem to have forgotten something on the stove..."));
    EXPECT_TRUE(ui.alerts[0].message.startsWith(QStringLiteral("Quorvel is not done downloading yet.\n\n")));
    EXPECT_EQ(ui.alerts[0].buttons, (QStringList{QStringLiteral("Quit"), QStringLiteral("Cancel")}));
    EXPECT_TRUE(flaggedDuringAlert);
    EXPECT_FALSE(controller->isShowingQuitWhileDownloadingAlert());
    EXPECT_EQ(waiting->status(), ZRDownloadStatusPaused);
    EXPECT_EQ(running->status(), ZRDownloadStatusPaused);

    const QVariantList elements = readArchive();
    ASSERT_EQ(elements.size(), 3);
    EXPECT_FALSE(elements[0].toMap().value(ZRDownloadKeys::Paused).toBool());
    EXPECT_TRUE(elements[1].toMap().value(ZRDownloadKeys::Paused).toBool());
    EXPECT_FALSE(elements[2].toMap().value(ZRDownloadKeys::Paused).toBool());

    relaunch();
    ASSERT_EQ(controller->downloads().size(), 3);
    EXPECT_EQ(controller->downloads()[0]->status(), ZRDownloadStatusQueued);
    EXPECT_EQ(controller->downloads()[1]->status(), ZRDownloadStatusPaused);
    EXPECT_EQ(controller->downloads()[2]->status(), ZRDownloadStatusQueued);
    (void)paused;
}

TEST_F(MainControllerTest, FinishedDownloadsRewriteTheArchiveOncePerBurstAndAQuitWritesAtOnce)
{
    const auto first = addDownload(server.url(QStringLiteral("first")), ZRDownloadStatusDownloading);
    const auto second = addDownload(server.url(QStringLiteral("second")), ZRDownloadStatusDownloading);
    const auto third = addDownload(server.url(QStringLiteral("third")), ZRDownloadStatusPaused);
    ASSERT_TRUE(controller->writeArchiveBeforeQuitting(false));
    ASSERT_EQ(archivedURLs().size(), 3);

    first->setStatus(ZRDownloadStatusComplete);
    controller->updateDownload(first.get(), false);
    second->setStatus(ZRDownloadStatusComplete);
    controller->updateDownload(second.get(), false);
    EXPECT_TRUE(controller->isArchiveWritePending());
    EXPECT_EQ(archivedURLs().size(), 3) << "the burst is gathered first";
    ASSERT_TRUE(waitUntil([&] { return !controller->isArchiveWritePending(); }, 5000));
    EXPECT_EQ(archivedURLs(), QStringList{server.url(QStringLiteral("third"))});

    // Quitting before the gathered write is due writes at once, and only once.
    third->setStatus(ZRDownloadStatusAborted);
    controller->updateDownload(third.get(), false);
    ASSERT_TRUE(controller->isArchiveWritePending());
    QFile::remove(archivePath());
    ASSERT_TRUE(controller->shouldQuit());
    EXPECT_FALSE(controller->isArchiveWritePending());
    ASSERT_EQ(readArchive().size(), 1);
    EXPECT_EQ(readArchive()[0].toMap().value(ZRDownloadKeys::URL).toString(), server.url(QStringLiteral("third")));
}

TEST_F(MainControllerTest, CancelInTheQuitAlertChangesNothing)
{
    const auto first = addDownload(server.url(QStringLiteral("first")), ZRDownloadStatusPaused);
    ASSERT_TRUE(controller->writeArchiveBeforeQuitting(false));
    const QByteArray before = readFile(archivePath());
    const auto running = addDownload(server.url(QStringLiteral("running")), ZRDownloadStatusDownloading);
    ui.alertAnswers = {ZRAlertSecondButton};

    EXPECT_FALSE(controller->shouldQuit());
    EXPECT_EQ(ui.alerts.size(), 1);
    EXPECT_EQ(running->status(), ZRDownloadStatusDownloading);
    EXPECT_EQ(readFile(archivePath()), before);
    EXPECT_FALSE(controller->isShowingQuitWhileDownloadingAlert());
    (void)first;
}

TEST_F(MainControllerTest, WhoAsksBeforeQuitting)
{
    struct Row {
        const char *name;
        qint64 quitProcedure;
        bool quitting;
        bool asks;
        bool pauses;
    };
    const Row rows[] = {
        {"quit, procedure 0", 0, true, true, true},
        {"quit, procedure -1", -1, true, true, true},
        {"quit, procedure 1", 1, true, false, true},
        {"save, procedure 0", 0, false, false, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        defaults().setInteger(row.quitProcedure, ZRPreferenceKey::QuitProcedure);
        const auto running = addDownload(server.url(QStringLiteral("r")), ZRDownloadStatusDownloading);
        EXPECT_TRUE(controller->writeArchiveBeforeQuitting(row.quitting));
        EXPECT_EQ(ui.alerts.size(), row.asks ? 1 : 0);
        EXPECT_EQ(running->status(), row.pauses ? ZRDownloadStatusPaused : ZRDownloadStatusDownloading);
        ASSERT_EQ(readArchive().size(), 1);
        EXPECT_FALSE(readArchive()[0].toMap().value(ZRDownloadKeys::Paused).toBool());
        ui.alerts.clear();
    }
}

TEST_F(MainControllerTest, DownloadThatFinishesWhileTheAlertShowsIsLeftOut)
{
    const auto finishing = addDownload(server.url(QStringLiteral("finishing")), ZRDownloadStatusDownloading);
    const auto waiting = addDownload(server.url(QStringLiteral("waiting")), ZRDownloadStatusQueued);
    ui.whileAlertShows = [&](const ZRAlert &) { finishing->setStatus(ZRDownloadStatusComplete); };

    EXPECT_TRUE(controller->shouldQuit());
    EXPECT_EQ(ui.alerts.size(), 1) << "asked once only";
    EXPECT_EQ(finishing->status(), ZRDownloadStatusComplete);
    EXPECT_EQ(waiting->status(), ZRDownloadStatusPaused);
    EXPECT_EQ(archivedURLs(), QStringList{server.url(QStringLiteral("waiting"))});
}

TEST_F(MainControllerTest, InactiveDuplicatesAreDroppedOnlyWhenQuittingWithTheSetting)
{
    const QString url = server.url(QStringLiteral("same.zip"));
    const QString other = server.url(QStringLiteral("other.zip"));
    const QVariantMap answered{{ZRDownloadKeys::ResponseURL, url}};
    struct Row {
        const char *name;
        bool setting;
        bool quitting;
        ZRDownloadStatus firstStatus;
        bool firstAnswered;
        bool secondAnswered;
        QStringList expected;
    };
    const Row rows[] = {
        {"earlier without response dropped", true, true, ZRDownloadStatusPaused, false, true, {url, other}},
        {"earlier aborted dropped", true, true, ZRDownloadStatusAborted, true, false, {url, other}},
        {"earlier with response kept", true, true, ZRDownloadStatusPaused, true, false, {url, url, other}},
        {"setting off", false, true, ZRDownloadStatusPaused, false, true, {url, url, other}},
        {"not quitting", true, false, ZRDownloadStatusPaused, false, true, {url, url, other}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        defaults().setBool(row.setting, ZRPreferenceKey::RemoveInactiveDuplicatesOnQuit);
        addDownload(url, row.firstStatus, row.firstAnswered ? answered : QVariantMap());
        const auto second =
            addDownload(url, ZRDownloadStatusPaused, row.secondAnswered ? answered : QVariantMap());
        addDownload(other, ZRDownloadStatusPaused);
        EXPECT_TRUE(controller->writeArchiveBeforeQuitting(row.quitting));
        EXPECT_EQ(archivedURLs(), row.expected);
        if (row.expected.size() == 2) {
            EXPECT_EQ(readArchive()[0].toMap().value(ZRDownloadKeys::ResponseURL).isValid(),
                      row.secondAnswered);
        }
        (void)second;
    }
}

TEST_F(MainControllerTest, MovedBundlePathsFollowTheBundle)
{
    const QString home = QDir::homePath();
    struct Row {
        const char *name;
        QString downloadFolder;
        QString downloadFile;
        bool dataFileMoved;
        QString expectedFolder;
        QString expectedFile;
        bool follows;
    };
    const Row rows[] = {
        {"folder and file under the old place", QStringLiteral("~/old"), QStringLiteral("~/old/f.zip"), true,
         QStringLiteral("~/new"), QStringLiteral("~/new/f.zip"), true},
        {"expanded folder", home + QStringLiteral("/old"), QString(), true, QStringLiteral("~/new"),
         QString(), true},
        {"target elsewhere", QStringLiteral("~/Elsewhere"), QStringLiteral("~/Elsewhere/f.zip"), true,
         QStringLiteral("~/Elsewhere"), QStringLiteral("~/Elsewhere/f.zip"), true},
        {"folder that only shares a prefix", QStringLiteral("~/ol"), QString(), true, QStringLiteral("~/ol"),
         QString(), true},
        {"data file left behind", QStringLiteral("~/old"), QStringLiteral("~/old/f.zip"), false,
         QStringLiteral("~/old"), QStringLiteral("~/old/f.zip"), false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        QDir(home + QStringLiteral("/old")).removeRecursively();
        QDir(home + QStringLiteral("/new")).removeRecursively();
        const QString oldData = home + QStringLiteral("/old/f.zip.quorvel/f.zip");
        const QString newBundle = home + QStringLiteral("/new/f.zip.quorvel");
        ASSERT_TRUE(writeFile(row.dataFileMoved ? newBundle + QStringLiteral("/f.zip") : oldData,
                              QByteArray("data")));
        QDir().mkpath(newBundle);

        QVariantMap archive{{ZRDownloadKeys::URL, server.url(QStringLiteral("f.zip"))},
                            {ZRDownloadKeys::Paused, true},
                            {ZRDownloadKeys::ResponseURL, server.url(QStringLiteral("f.zip"))},
                            {ZRDownloadKeys::ResumePath, QStringLiteral("~/old/f.zip.quorvel/f.zip")},
                            {ZRDownloadKeys::DownloadFolder, row.downloadFolder}};
        if (!row.downloadFile.isEmpty())
            archive.insert(ZRDownloadKeys::DownloadFile, row.downloadFile);

        const ZRDownloadPtr download = controller->addDownloadFromArchive(archive, newBundle);
        ASSERT_TRUE(download);
        EXPECT_EQ(download->intermediateDownloadTargetPath(),
                  row.follows ? newBundle + QStringLiteral("/f.zip") : oldData);
        EXPECT_EQ(download->userSettings().value(ZRDownloadKeys::DownloadFolder).toString(),
                  row.expectedFolder);
        EXPECT_EQ(download->userSettings().value(ZRDownloadKeys::DownloadFile).toString(), row.expectedFile);
        EXPECT_EQ(logLines.filter(QStringLiteral("updating primary intermediate download file")).size(),
                  row.follows ? 1 : 0);
        logLines.clear();
    }
}

TEST_F(MainControllerTest, ARestoredDownloadAdoptsOnlyItsOwnDataThatAnEarlierRunLeft)
{
    const QString folder = QDir::homePath() + QStringLiteral("/left");
    const QString url = server.url(QStringLiteral("f.bin"));
    const QString bundle = folder + QStringLiteral("/f.bin.quorvel");
    const QString numbered = folder + QStringLiteral("/f.bin 1.quorvel");
    QVariantMap dates;
    ZRExtensions::archiveObject(dates, QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC), QStringLiteral("own"));
    ZRExtensions::archiveObject(dates, QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC), QStringLiteral("other"));
    const QString fractionFile = bundle + QStringLiteral("/f.bin.quorvel-xf-1");
    const QVariantList fractions{QVariantMap{{ZRDownloadKeys::AccelerationWorkerTarget, fractionFile},
                                             {ZRDownloadKeys::AccelerationWorkerStart, 2500},
                                             {ZRDownloadKeys::AccelerationWorkerEnd, 4999}}};
    // The queue entry as the intake wrote it; the bundle's description as the transfer wrote it.
    const auto entry = [&](const char *date) {
        return QVariantMap{{ZRDownloadKeys::URL, url}, {ZRDownloadKeys::Paused, true},
                           {ZRDownloadKeys::Date, dates.value(QString::fromLatin1(date))},
                           {ZRDownloadKeys::DownloadFolder, folder}};
    };
    const auto described = [&](const QString &at, const char *date) {
        QVariantMap metadata = entry(date);
        metadata.insert(ZRDownloadKeys::ResponseURL, url);
        metadata.insert(ZRDownloadKeys::ResumePath, QString(at + QStringLiteral("/f.bin")));
        metadata.insert(ZRDownloadKeys::ResumeValidator, QStringLiteral("\"v1\""));
        metadata.insert(ZRDownloadKeys::ResumeTotalLength, 5000);
        return metadata;
    };
    enum class Bundle { Own, Other, Undescribed, None };
    struct Row {
        const char *name;
        Bundle plain;
        Bundle numbered;
        qint64 onDisk;
        bool otherDownloadUsesIt;
        bool queueKnowsTheData;
        QString adoptedFrom;
        bool plainStays;
    };
    const Row rows[] = {
        {"its own described bundle", Bundle::Own, Bundle::None, 1000, false, false, bundle, true},
        {"another download's bundle", Bundle::Other, Bundle::None, 1000, false, false, QString(), true},
        {"its own, holding more than the file", Bundle::Own, Bundle::None, 6000, false, false, QString(), false},
        {"undescribed and used by nobody", Bundle::Undescribed, Bundle::None, 1000, false, false, QString(), false},
        {"undescribed and used by another download", Bundle::Undescribed, Bundle::None, 1000, true, false, QString(), true},
        {"its own under the next free name", Bundle::Other, Bundle::Own, 1000, false, false, numbered, true},
        {"the queue a moment behind its bundle", Bundle::Own, Bundle::None, 1000, false, true, bundle, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        QDir(folder).removeRecursively();
        const auto make = [&](const QString &at, Bundle kind) {
            if (kind == Bundle::None)
                return;
            ASSERT_TRUE(writeFile(at + QStringLiteral("/f.bin"), QByteArray(row.onDisk, 'x')));
            if (kind == Bundle::Undescribed)
                return;
            QVariantMap metadata = described(at, kind == Bundle::Own ? "own" : "other");
            if (row.queueKnowsTheData) {
                metadata.insert(ZRDownloadKeys::AccelerationWorkers, fractions);
                ASSERT_TRUE(writeFile(at + QStringLiteral("/f.bin.quorvel-xf-1"), QByteArray(500, 'y')));
            }
            ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(metadata, at + QStringLiteral("/Archive.quorvelinfo")));
        };
        make(bundle, row.plain);
        make(numbered, row.numbered);
        QVariantList archive{row.queueKnowsTheData ? described(bundle, "own") : entry("own")};
        if (row.otherDownloadUsesIt)
            archive.append(described(bundle, "other"));
        writeArchive(archive);
        relaunch();
        ASSERT_EQ(controller->downloads().size(), archive.size());
        const ZRDownloadPtr download = controller->downloads().first();
        // Saving the queue before the download starts leaves what the bundle says alone.
        ASSERT_TRUE(controller->writeArchiveBeforeQuitting(false));

        download->adoptDataLeftBehind();
        const QString adopted = download->intermediateDownloadTargetPath();
        EXPECT_EQ(adopted, row.adoptedFrom.isEmpty() ? QString() : row.adoptedFrom + QStringLiteral("/f.bin"));
        EXPECT_EQ(download->userSettings().value(ZRDownloadKeys::ResumeTotalLength).toLongLong(),
                  row.adoptedFrom.isEmpty() ? 0 : 5000);
        EXPECT_EQ(download->userSettings().value(ZRDownloadKeys::AccelerationWorkers).toList(),
                  row.queueKnowsTheData ? fractions : QVariantList());
        EXPECT_EQ(QFileInfo::exists(bundle + QStringLiteral("/f.bin")), row.plainStays);
        EXPECT_EQ(QFileInfo::exists(bundle), row.plainStays) << "a bundle it gives up goes entirely";
        // Only the first start looks.
        EXPECT_FALSE(download->looksForDataLeftBehind());
    }
}

TEST_F(MainControllerTest, SleepPausesActiveDownloadsAndWakeResumesThemAfterTheDelay)
{
    for (const qint64 delay : {qint64(0), qint64(-1)}) {
        SCOPED_TRACE(delay);
        SetUp();
        defaults().setInteger(delay, ZRPreferenceKey::AutoResumeAfterSleepDelay);
        const auto waiting = addDownload(server.url(QStringLiteral("w")), ZRDownloadStatusQueued);
        const auto paused = addDownload(server.url(QStringLiteral("p")), ZRDownloadStatusPaused);

        controller->workspaceWillSleep();
        EXPECT_EQ(waiting->status(), ZRDownloadStatusPaused);
        EXPECT_EQ(waiting->autoResumeAfterSleep(), delay >= 0);
        EXPECT_FALSE(paused->autoResumeAfterSleep()) << "the user's pause stays";

        controller->workspaceDidWake();
        EXPECT_EQ(controller->isResumeAfterSleepScheduled(), delay >= 0);
        EXPECT_TRUE(waitUntil([&] { return !controller->isResumeAfterSleepScheduled(); }, 2000));
        EXPECT_EQ(waiting->matchesStatusMask(ZRDownloadStatusMaskActive), delay >= 0);
        EXPECT_FALSE(waiting->autoResumeAfterSleep());
        EXPECT_EQ(paused->status(), ZRDownloadStatusPaused);
    }

    // Quitting between wake and resume keeps what quitting paused.
    SetUp();
    const auto waiting = addDownload(server.url(QStringLiteral("w")), ZRDownloadStatusQueued);
    controller->workspaceWillSleep();
    controller->workspaceDidWake();
    ASSERT_TRUE(controller->isResumeAfterSleepScheduled());
    EXPECT_TRUE(controller->shouldQuit());
    EXPECT_FALSE(controller->isResumeAfterSleepScheduled());
    EXPECT_EQ(waiting->status(), ZRDownloadStatusPaused);
    EXPECT_TRUE(readArchive()[0].toMap().value(ZRDownloadKeys::Paused).toBool())
        << "paused by sleep, not by quitting";
}

TEST_F(MainControllerTest, QuitOnClose)
{
    struct Row {
        const char *name;
        bool quitOnClose;
        bool cleanSlateOnly;
        int answer;
        bool closes;
        int terminations;
    };
    const Row rows[] = {
        {"off", false, false, ZRAlertFirstButton, true, 0},
        {"clean slate only, with an active download", true, true, ZRAlertFirstButton, true, 0},
        {"on, quit", true, false, ZRAlertFirstButton, true, 1},
        {"on, cancelled", true, false, ZRAlertSecondButton, false, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        ui.terminations = 0;
        ui.collapses = 0;
        ui.windowVisible = true;
        ui.alerts.clear();
        defaults().setBool(row.quitOnClose, ZRPreferenceKey::QuitOnClose);
        defaults().setBool(row.cleanSlateOnly, ZRPreferenceKey::QuitOnCloseCleanSlateOnly);
        const auto running = addDownload(server.url(QStringLiteral("r")), ZRDownloadStatusDownloading);
        ui.alertAnswers = {row.answer};
        EXPECT_EQ(controller->windowShouldClose(), row.closes);
        EXPECT_EQ(ui.terminations, row.terminations);
        EXPECT_EQ(ui.collapses, row.terminations) << "the window folds away only when the program quits";
        EXPECT_EQ(running->status(), row.terminations ? ZRDownloadStatusPaused : ZRDownloadStatusDownloading);
    }
}

TEST_F(MainControllerTest, LaunchFollowsTheApplicationModeAndRemembersTheSelection)
{
    const auto first = addDownload(server.url(QStringLiteral("first")), ZRDownloadStatusPaused);
    const auto second = addDownload(server.url(QStringLiteral("second")), ZRDownloadStatusPaused);
    ui.selection = {second};
    controller->selectionDidChange();
    EXPECT_EQ(defaults().stringArrayForKey(ZRPreferenceKey::SelectedURLs),
              QStringList{second->originalURLString()});
    ASSERT_TRUE(controller->writeArchiveBeforeQuitting(false));
    (void)first;

    ui.selection.clear();
    relaunch();
    ASSERT_EQ(ui.selection.size(), 1);
    EXPECT_EQ(ui.selection[0]->URLString(), second->URLString());
    EXPECT_EQ(ui.windowShows, 1);
    EXPECT_EQ(ui.activations, 1);
    EXPECT_EQ(ui.policy, ZRActivationPolicy::Regular);

    // Tray item only: no window at launch, the tray item once the event loop turns.
    defaults().setInteger(1, ZRPreferenceKey::ApplicationMode);
    ui.windowShows = 0;
    relaunch();
    EXPECT_EQ(ui.policy, ZRActivationPolicy::Accessory);
    EXPECT_EQ(ui.windowShows, 0);
    EXPECT_TRUE(waitUntil([&] { return ui.statusItemVisible; }));

    // A front end that cannot switch: logged, beeped, unchanged.
    ui.policy = ZRActivationPolicy::Regular;
    ui.canSetPolicy = false;
    EXPECT_FALSE(controller->updateActivationPolicy(true));
    EXPECT_EQ(ui.policy, ZRActivationPolicy::Regular);
    EXPECT_EQ(ui.beeps, 1);
    EXPECT_TRUE(logLines.contains(QStringLiteral("cannot set activation policy: 1")));
}

} // namespace
