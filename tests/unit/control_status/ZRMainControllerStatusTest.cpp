// The controller's status summary and all-done procedures through a scripted front end and a
// stand-in machine: texts, the overall progress, finished downloads, notifications, quitting,
// sleeping and shutting down when done.
#include "app/control/ZRMainController.h"
#include "app/control/ZRPreferenceKeys.h"
#include "app/control/ZRUserNotificationManager.h"
#include "core/download/ZRDownload.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRUserDefaults.h"
#include "tests/support/ZRTestSupport.h"
#include "tests/unit/control_status/ZRStatusTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

using namespace ZRTestSupport;

namespace
{

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

const QString completeName = QStringLiteral("com.tessaline.Quorvel: Download Complete");

class MainControllerStatusTest : public testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + sandboxRoot().toLocal8Bit() + "/no-system-bus");
        ZRUserDefaults::resetStandardInstancesForTesting();
        QDir(ZRApplicationSupportFolderPath()).removeRecursively();
        QFile::remove(ZRConfigurationFolderPath() + QStringLiteral("/Preferences.plist"));
        // Nothing here may reach a server: a pass that picks a download leaves it waiting.
        ZRDownload::setQueuedDownloadStarterForTesting([](ZRDownload &) {});
        controller = ZRMainController::mainController();
        controller->resetForTesting();
        controller->setUserInterface(&ui);
        controller->setSystemPower(&power);
        ZRMainController::registerDefaults();
        ZRLogSetHandler([this](const QString &line) { logLines.append(line); });
    }

    void TearDown() override
    {
        controller->resetForTesting();
        ZRDownload::setQueuedDownloadStarterForTesting({});
        ZRLogSetHandler({});
        processEventsFor(1);
    }

    ZRDownloadPtr addDownload(const QString &name, ZRDownloadStatus status, double fraction = 0)
    {
        ZRDownloadPtr download =
            ZRDownload::downloadWithURLString(QStringLiteral("http://127.0.0.1:9/") + name, false);
        EXPECT_TRUE(download);
        download->setStatus(status);
        download->setDownloadFraction(fraction);
        controller->appendDownload(download);
        return download;
    }

    // What the transfer does when a download ends.
    void finish(const ZRDownloadPtr &download, ZRDownloadStatus status = ZRDownloadStatusComplete)
    {
        download->setStatus(status);
        controller->updateDownload(download.get());
    }

    QStringList notificationMessages() const
    {
        QStringList messages;
        for (const ZRUserNotification &notification : ui.notifications)
            messages.append(notification.message);
        return messages;
    }

    ZRMainController *controller = nullptr;
    ZRStatusUserInterface ui;
    ZRFakeSystemPower power;
    QStringList logLines;
};

TEST_F(MainControllerStatusTest, StatusTextsClearButtonAndEditedMark)
{
    struct Row {
        QList<ZRDownloadStatus> statuses;
        QString text;
    };
    const QList<Row> rows = {
        {{}, QString()},
        {{ZRDownloadStatusPaused}, QStringLiteral("1 download")},
        {{ZRDownloadStatusDownloading}, QStringLiteral("1 download")},
        {{ZRDownloadStatusDownloading, ZRDownloadStatusDownloading}, QStringLiteral("2 downloads")},
        {{ZRDownloadStatusDownloading, ZRDownloadStatusQueued, ZRDownloadStatusPaused, ZRDownloadStatusComplete},
         QStringLiteral("1 of 3 downloads")},
        {{ZRDownloadStatusQueued, ZRDownloadStatusQueued, ZRDownloadStatusAborted}, QStringLiteral("2 downloads")},
        {{ZRDownloadStatusComplete, ZRDownloadStatusAborted}, QString()},
    };
    int index = 0;
    for (const Row &row : rows) {
        controller->resetForTesting();
        controller->setUserInterface(&ui);
        for (ZRDownloadStatus status : row.statuses)
            addDownload(QStringLiteral("f%1").arg(index++), status);
        controller->updateDownloadListAndStatus();
        EXPECT_EQ(controller->statusText(), row.text) << row.statuses.size() << " downloads";
        EXPECT_EQ(ui.statusTexts.value(ui.statusTexts.size() - 1), row.text);
        const bool somethingFinished = std::any_of(row.statuses.begin(), row.statuses.end(), [](auto s) {
            return (s & ZRDownloadStatusMaskFinished) != 0;
        });
        EXPECT_EQ(ui.clearButtonVisible, somethingFinished);
    }

    // A filter that hides some rows says so; one that hides nothing does not.
    controller->resetForTesting();
    controller->setUserInterface(&ui);
    const ZRDownloadPtr shown = addDownload(QStringLiteral("a"), ZRDownloadStatusQueued);
    addDownload(QStringLiteral("b"), ZRDownloadStatusQueued);
    addDownload(QStringLiteral("c"), ZRDownloadStatusComplete);
    controller->updateDownloadListAndStatus();
    EXPECT_EQ(controller->statusText(), QStringLiteral("2 downloads"));
    controller->setDisplayedDownloadsForTesting({shown});
    controller->updateStatusAndForceUpdateApplicationImage(false);
    EXPECT_EQ(controller->statusText(), QStringLiteral("2 downloads \u2014 2 filtered"));

    // Closing the window would quit with active downloads only with "Quit On Close" alone.
    EXPECT_FALSE(ui.documentEdited);
    defaults().setBool(true, ZRPreferenceKey::QuitOnClose);
    controller->updateStatusAndForceUpdateApplicationImage(false);
    EXPECT_TRUE(ui.documentEdited);
    defaults().setBool(true, ZRPreferenceKey::QuitOnCloseCleanSlateOnly);
    controller->updateStatusAndForceUpdateApplicationImage(false);
    EXPECT_FALSE(ui.documentEdited);
}

TEST_F(MainControllerStatusTest, OverallProgressCountsTheWholeBatch)
{
    const ZRDownloadPtr first = addDownload(QStringLiteral("a"), ZRDownloadStatusQueued);
    const ZRDownloadPtr second = addDownload(QStringLiteral("b"), ZRDownloadStatusQueued);
    const ZRDownloadPtr third = addDownload(QStringLiteral("c"), ZRDownloadStatusQueued);
    controller->updateDownloadListAndStatus();
    EXPECT_EQ(controller->longTermNumberOfQueuedOrDownloadingDownloads(), 3);
    EXPECT_EQ(controller->applicationImage().upperBadgeCount(), 3) << "waiting ones on top by default";
    EXPECT_EQ(controller->applicationImage().lowerBadgeCount(), 0);

    first->setStatus(ZRDownloadStatusDownloading);
    first->setDownloadFraction(0.4);
    second->setStatus(ZRDownloadStatusDownloading);
    second->setDownloadFraction(0.6);
    finish(third);
    EXPECT_NEAR(controller->applicationImage().fraction(), (0.4 + 0.6 + 1) / 3, 1e-9);
    EXPECT_EQ(controller->applicationImage().upperBadgeCount(), 0);
    EXPECT_EQ(controller->applicationImage().lowerBadgeCount(), 2);
    ASSERT_FALSE(ui.launcherBadges.isEmpty());
    EXPECT_NEAR(std::get<1>(ui.launcherBadges.last()), 2.0 / 3, 1e-9);
    EXPECT_EQ(controller->statusText(), QStringLiteral("2 downloads"));

    // Paused, nothing active: no level, and the next batch starts counting afresh.
    first->setStatus(ZRDownloadStatusPaused);
    second->setStatus(ZRDownloadStatusPaused);
    controller->updateStatusAndForceUpdateApplicationImage(false);
    EXPECT_FALSE(controller->applicationImage().hasFraction());
    EXPECT_EQ(controller->longTermNumberOfQueuedOrDownloadingDownloads(), 0);
    second->setStatus(ZRDownloadStatusDownloading);
    second->setDownloadFraction(0.5);
    controller->updateStatusAndForceUpdateApplicationImage(false);
    EXPECT_NEAR(controller->applicationImage().fraction(), 0.5, 1e-9);
}

TEST_F(MainControllerStatusTest, FinishedDownloadsNotifyAndBounceOnceAndOnlyForTheLastInModeTwo)
{
    const ZRDownloadPtr first = addDownload(QStringLiteral("one.iso"), ZRDownloadStatusDownloading);
    const ZRDownloadPtr second = addDownload(QStringLiteral("two.iso"), ZRDownloadStatusDownloading);
    controller->updateDownloadListAndStatus();

    finish(first);
    EXPECT_EQ(ui.attentionRequests, 0) << "another download is still running";
    EXPECT_EQ(ui.sounds, QStringList{QStringLiteral("ZRHeartbeat")}) << "heartbeat mode 1: every one";
    ASSERT_EQ(ui.notifications.size(), 1);
    EXPECT_EQ(ui.notifications[0].title, QStringLiteral("Download Complete"));
    EXPECT_EQ(ui.notifications[0].message, first->displayName());
    EXPECT_TRUE(ui.notifications[0].identifier.isEmpty()) << "not merged unless asked for";

    // Redraws of a finished row (its removal steps, renames) are no new finish.
    controller->updateDownload(first.get());
    controller->updateDownload(first.get(), true);
    EXPECT_EQ(ui.notifications.size(), 1);
    EXPECT_EQ(ui.sounds.size(), 1);

    finish(second, ZRDownloadStatusAborted);
    EXPECT_EQ(ui.attentionRequests, 1) << "the last one bounces, failures included";
    ASSERT_EQ(ui.notifications.size(), 2);
    EXPECT_EQ(ui.notifications[1].title, QStringLiteral("Download Failed"));

    // The all-done notification follows, telling that something failed.
    ASSERT_TRUE(waitUntil([&] { return ui.notifications.size() == 3; }, 2000));
    EXPECT_EQ(ui.notifications[2].message, QStringLiteral("No active downloads remaining"));
    processEventsFor(150);
    EXPECT_EQ(ui.notifications.size(), 3) << "once per batch";

    // Retried and finished again: that is news.
    second->setStatus(ZRDownloadStatusQueued);
    controller->updateDownload(second.get());
    finish(second);
    EXPECT_EQ(ui.notifications.size(), 4);
    EXPECT_EQ(ui.attentionRequests, 2);
    ASSERT_TRUE(waitUntil([&] { return ui.notifications.size() == 5; }, 2000));
    EXPECT_EQ(ui.notifications[4].message, QStringLiteral("Done")) << "nothing ended aborted this time";

    // Mode 1 bounces for each, 0 never.
    defaults().setInteger(1, ZRPreferenceKey::SuccessBounceMode);
    const ZRDownloadPtr third = addDownload(QStringLiteral("three"), ZRDownloadStatusDownloading);
    addDownload(QStringLiteral("four"), ZRDownloadStatusDownloading);
    finish(third);
    EXPECT_EQ(ui.attentionRequests, 3);
}

TEST_F(MainControllerStatusTest, DownloadsThatEndedBeforeThisRunAreNoNews)
{
    const ZRDownloadPtr failed = addDownload(QStringLiteral("old-failure"), ZRDownloadStatusAborted);
    const ZRDownloadPtr done = addDownload(QStringLiteral("old-success"), ZRDownloadStatusComplete);
    controller->updateDownloadListAndStatus();
    controller->updateDownload(failed.get());
    controller->updateDownload(done.get());
    processEventsFor(300);
    EXPECT_TRUE(ui.notifications.isEmpty());
    EXPECT_EQ(ui.attentionRequests, 0);
    EXPECT_TRUE(ui.sounds.isEmpty());

    // Resumed and failed again in this run: that is reported.
    failed->setStatus(ZRDownloadStatusQueued);
    controller->updateDownload(failed.get());
    finish(failed, ZRDownloadStatusAborted);
    ASSERT_FALSE(ui.notifications.isEmpty());
    EXPECT_EQ(ui.notifications[0].title, QStringLiteral("Download Failed"));
}

TEST_F(MainControllerStatusTest, MergedNotificationsGrowLineByLineUntilClicked)
{
    defaults().setBool(true, ZRPreferenceKey::CoalesceUserNotifications);
    const ZRDownloadList running = {addDownload(QStringLiteral("a.zip"), ZRDownloadStatusDownloading),
                                    addDownload(QStringLiteral("b.zip"), ZRDownloadStatusDownloading),
                                    addDownload(QStringLiteral("c.zip"), ZRDownloadStatusDownloading),
                                    addDownload(QStringLiteral("d.zip"), ZRDownloadStatusDownloading)};
    for (int i = 0; i < 3; ++i)
        finish(running[i]);
    ASSERT_EQ(ui.notifications.size(), 3);
    for (const ZRUserNotification &notification : std::as_const(ui.notifications))
        EXPECT_EQ(notification.identifier, completeName) << "each replaces the one before";
    EXPECT_EQ(ui.notifications.last().message,
              QStringList({running[0]->displayName(), running[1]->displayName(), running[2]->displayName()})
                  .join(QLatin1Char('\n')));

    // The all-done text comes after a blank line.
    finish(running[3]);
    ASSERT_TRUE(waitUntil([&] { return ui.notifications.size() == 5; }, 2000));
    EXPECT_TRUE(ui.notifications.last().message.endsWith(running[3]->displayName() + QStringLiteral("\n\nDone")))
        << ui.notifications.last().message.toStdString();

    // Clicked: the next one starts afresh; newest first when inverted.
    ZRUserNotificationManager::defaultManager().userNotificationCenterDidActivateNotification(completeName);
    EXPECT_TRUE(ZRUserNotificationManager::defaultManager().coalescedInformativeTextsForNotification(completeName)->isEmpty());
    // The finished files are named as the lines are merged, so that a click can show them.
    for (const char *file : {"/tmp/v", "/tmp/w"})
        controller->sendUserNotification(QStringLiteral("Download Complete"), QStringLiteral("Download Complete"),
                                         QStringLiteral("v"), false, QString::fromLatin1(file));
    EXPECT_EQ(ui.notifications.last().filePaths, QStringList({QStringLiteral("/tmp/v"), QStringLiteral("/tmp/w")}));
    ZRUserNotificationManager::defaultManager().userNotificationCenterDidActivateNotification(completeName);
    defaults().setBool(true, ZRPreferenceKey::InvertUserNotifications);
    controller->sendUserNotification(QStringLiteral("Download Complete"), QStringLiteral("Download Complete"),
                                      QStringLiteral("x"), false);
    controller->sendUserNotification(QStringLiteral("Download Complete"), QStringLiteral("Download Complete"),
                                      QStringLiteral("y"), false);
    EXPECT_EQ(ui.notifications.last().message, QStringLiteral("y\nx"));

    // Kinds do not mix; private downloading sends nothing unless allowed.
    controller->sendUserNotification(QStringLiteral("Added to Queue"), QStringLiteral("Added to Queue"),
                                     QStringLiteral("z"), false);
    EXPECT_EQ(ui.notifications.last().message, QStringLiteral("z"));
    const qsizetype sent = ui.notifications.size();
    defaults().setBool(true, ZRPreferenceKey::PrivateDownloading);
    EXPECT_FALSE(controller->sendUserNotification(QStringLiteral("Added to Queue"), QStringLiteral("Added to Queue"),
                                                  QStringLiteral("secret"), false));
    EXPECT_EQ(ui.notifications.size(), sent);
    defaults().setBool(true, ZRPreferenceKey::PrivateDownloadingSendsUserNotifications);
    EXPECT_TRUE(controller->sendUserNotification(QStringLiteral("Added to Queue"), QStringLiteral("Added to Queue"),
                                                 QStringLiteral("shown"), false));
}

TEST_F(MainControllerStatusTest, RemovingTheLastPendingDownloadByHandSendsNoDoneNotification)
{
    const ZRDownloadPtr done = addDownload(QStringLiteral("done"), ZRDownloadStatusComplete);
    const ZRDownloadPtr running = addDownload(QStringLiteral("running"), ZRDownloadStatusDownloading);
    controller->updateDownloadListAndStatus();
    running->remove();
    processEventsFor(300);
    EXPECT_TRUE(ui.notifications.isEmpty());
    EXPECT_EQ(controller->downloads(), ZRDownloadList{done});
    EXPECT_EQ(ui.attentionRequests, 0) << "a removal is not a finish to signal";

    // With another download still pending, removing one leaves the notification for later.
    const ZRDownloadPtr a = addDownload(QStringLiteral("a"), ZRDownloadStatusDownloading);
    const ZRDownloadPtr b = addDownload(QStringLiteral("b"), ZRDownloadStatusDownloading);
    controller->updateDownloadListAndStatus();
    a->remove();
    finish(b);
    ASSERT_TRUE(waitUntil([&] { return ui.notifications.size() == 2; }, 2000));
    EXPECT_EQ(ui.notifications.last().message, QStringLiteral("Done"));
}

TEST_F(MainControllerStatusTest, AutoQuitOneSecondAfterTheLastDownloadUnlessNewWorkCame)
{
    defaults().setBool(true, ZRPreferenceKey::AutoQuit);
    controller->updateDownloadListAndStatus();
    processEventsFor(1200);
    EXPECT_EQ(ui.terminations, 0) << "an empty list at launch stays open";

    const ZRDownloadPtr first = addDownload(QStringLiteral("a"), ZRDownloadStatusDownloading);
    controller->updateDownloadListAndStatus();
    finish(first);
    EXPECT_TRUE(controller->isTerminationScheduled());
    processEventsFor(500);
    // New work within the second.
    const ZRDownloadPtr second = addDownload(QStringLiteral("b"), ZRDownloadStatusQueued);
    controller->updateDownloadListAndStatus();
    EXPECT_FALSE(controller->isTerminationScheduled());
    processEventsFor(800);
    EXPECT_EQ(ui.terminations, 0);

    finish(second);
    processEventsFor(700);
    EXPECT_EQ(ui.terminations, 0);
    EXPECT_TRUE(waitUntil([&] { return ui.terminations == 1; }, 1000));
}

TEST_F(MainControllerStatusTest, SleepWhenDoneAsksOnceAndRefusalBeeps)
{
    controller->toggleAutoSleep();
    EXPECT_EQ(controller->applicationImage().overlay(), ZRApplicationImage::OverlaySleep);
    const ZRDownloadPtr download = addDownload(QStringLiteral("a"), ZRDownloadStatusDownloading);
    controller->updateDownloadListAndStatus();
    finish(download);
    processEventsFor(700);
    EXPECT_EQ(power.suspends, 0) << "a second after the end";
    ASSERT_TRUE(waitUntil([&] { return power.suspends == 1; }, 1000));
    EXPECT_FALSE(controller->mayTriggerSleepOnAllDone()) << "once per choice";
    controller->updateStatusAndForceUpdateApplicationImage(false);
    processEventsFor(1200);
    EXPECT_EQ(power.suspends, 1);
    EXPECT_EQ(ui.beeps, 0);

    power.accepts = false;
    controller->sleep();
    EXPECT_EQ(ui.beeps, 1);
    EXPECT_TRUE(logLines.contains(QStringLiteral("but I'm not tired yet!")));
}

TEST_F(MainControllerStatusTest, ShutDownWhenDoneAsksExcludesSleepAndTriesOnce)
{
    controller->toggleAutoSleep();
    ui.alertAnswers = {ZRAlertSecondButton};
    controller->toggleAutoShutDown();
    EXPECT_EQ(ui.alerts.size(), 1);
    EXPECT_EQ(ui.alerts[0].title, QStringLiteral("Shut down when done?"));
    EXPECT_FALSE(controller->mayTriggerShutDownOnAllDone()) << "cancelled";
    EXPECT_TRUE(controller->mayTriggerSleepOnAllDone());

    controller->toggleAutoShutDown();
    EXPECT_TRUE(controller->mayTriggerShutDownOnAllDone());
    EXPECT_FALSE(controller->mayTriggerSleepOnAllDone());
    EXPECT_EQ(controller->applicationImage().overlay(), ZRApplicationImage::OverlayShutDown);
    controller->toggleAutoSleep();
    EXPECT_FALSE(controller->mayTriggerShutDownOnAllDone());
    ui.alertAnswers = {ZRAlertFirstButton};
    controller->toggleAutoShutDown();
    EXPECT_EQ(ui.alerts.size(), 3);

    // Refused: beep, log, and no new attempt from every later update.
    power.accepts = false;
    const ZRDownloadPtr download = addDownload(QStringLiteral("a"), ZRDownloadStatusDownloading);
    controller->updateDownloadListAndStatus();
    finish(download);
    EXPECT_EQ(power.powerOffs, 1);
    EXPECT_EQ(ui.beeps, 1);
    EXPECT_TRUE(logLines.contains(QStringLiteral("cannot shut down")));
    EXPECT_EQ(ui.terminations, 0);
    controller->updateStatusAndForceUpdateApplicationImage(false);
    EXPECT_EQ(power.powerOffs, 1);

    // Accepted: the program ends.
    power.accepts = true;
    const ZRDownloadPtr next = addDownload(QStringLiteral("b"), ZRDownloadStatusDownloading);
    controller->updateDownloadListAndStatus();
    finish(next);
    EXPECT_EQ(power.powerOffs, 2);
    EXPECT_EQ(ui.terminations, 1);
}

TEST_F(MainControllerStatusTest, TheQuitAlertGivesWayWhenTheLastDownloadFinishes)
{
    const ZRDownloadPtr download = addDownload(QStringLiteral("a"), ZRDownloadStatusDownloading);
    controller->updateDownloadListAndStatus();
    ui.whileAlertShows = [&](const ZRAlert &) { finish(download); };
    // Cancelled as the aborted alert answers.
    ui.alertAnswers = {ZRAlertSecondButton};
    EXPECT_FALSE(controller->shouldQuit());
    EXPECT_EQ(ui.abortedAlerts, 1);
    // Later updates do not hold the quit back.
    controller->updateStatusAndForceUpdateApplicationImage(false);
    EXPECT_TRUE(waitUntil([&] { return ui.terminations == 1; }, 1000));
}

TEST_F(MainControllerStatusTest, AutoClearKeepsTheRowForTheIntervalThenRemovesIt)
{
    defaults().setBool(true, ZRPreferenceKey::AutoClearLemons);
    const ZRDownloadPtr failed = addDownload(QStringLiteral("failed"), ZRDownloadStatusDownloading);
    const ZRDownloadPtr complete = addDownload(QStringLiteral("complete"), ZRDownloadStatusDownloading);
    controller->updateDownloadListAndStatus();
    failed->setStatus(ZRDownloadStatusAborted);
    controller->updateDownload(failed.get(), false, false, 0.2);
    finish(complete);
    EXPECT_EQ(controller->downloads().size(), 2);
    ASSERT_TRUE(waitUntil([&] { return controller->downloads().size() == 1; }, 2000));
    EXPECT_EQ(controller->downloads(), ZRDownloadList{complete}) << "successes stay unless asked";
}

} // namespace
