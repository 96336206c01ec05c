// The daily schedule: stored times, which timers are armed, what firing does, and re-arming when
// the clock changes. The controller reads a test clock; nothing waits for a real time of day.
#include "app/control/ZRMainController.h"
#include "app/control/ZRPreferenceKeys.h"
#include "core/download/ZRDownload.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRDateExtensions.h"
#include "tests/support/ZRTestSilentServer.h"
#include "tests/support/ZRTestSupport.h"
#include "tests/unit/control/ZRScriptedUserInterface.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

using namespace ZRTestSupport;
using namespace ZRPreferenceKey;

namespace
{

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

class ScheduleTest : public testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + sandboxRoot().toLocal8Bit() + "/no-system-bus");
        ZRUserDefaults::resetStandardInstancesForTesting();
        QDir(ZRApplicationSupportFolderPath()).removeRecursively();
        QFile::remove(ZRConfigurationFolderPath() + QStringLiteral("/Preferences.plist"));
        controller->resetForTesting();
        controller->setUserInterface(&ui);
        ZRMainController::registerDefaults();
    }
    void TearDown() override
    {
        controller->resetForTesting();
        ZRExtensions::setCurrentDateFunctionForTesting({});
        processEventsFor(1);
    }

    // A clock that was set to the time and runs on from there.
    void setNow(const QTime &time)
    {
        const QDateTime start(QDate::currentDate(), time);
        QElapsedTimer elapsed;
        elapsed.start();
        ZRExtensions::setCurrentDateFunctionForTesting(
            [start, elapsed] { return start.addMSecs(elapsed.elapsed()); });
    }
    ZRDownloadPtr addDownload(const QString &name, ZRDownloadStatus status)
    {
        ZRDownloadPtr download = ZRDownload::downloadWithURLString(server.url(name), false);
        download->setStatus(status);
        controller->appendDownload(download);
        return download;
    }

    ZRMainController *controller = ZRMainController::mainController();
    ZRScriptedUserInterface ui;
    ZRTestSilentServer server;
};

TEST_F(ScheduleTest, TimesOfDayAndSwitchesDecideWhatIsArmed)
{
    const QDateTime reference(QDate(2026, 5, 4), QTime(13, 14, 15));
    EXPECT_EQ(controller->scheduleDateWithIdentifier(ScheduleQueueTime, 22, reference),
              QDateTime(QDate(2026, 5, 4), QTime(22, 0)));
    controller->setScheduleDate(QDateTime(QDate(1999, 1, 1), QTime(7, 8, 9)), ScheduleQueueTime);
    EXPECT_EQ(defaults().dictionaryForKey(ScheduleQueueTime),
              (QVariantMap{{QStringLiteral("Hour"), qint64(7)},
                           {QStringLiteral("Minute"), qint64(8)},
                           {QStringLiteral("Second"), qint64(9)}}));
    EXPECT_EQ(controller->scheduleDateWithIdentifier(ScheduleQueueTime, 22, reference),
              QDateTime(QDate(2026, 5, 4), QTime(7, 8, 9)));
    // Missing entries read as 0; the default hour is only for no time at all.
    defaults().setObject(QVariantMap{{QStringLiteral("Hour"), 5}}, SchedulePauseTime);
    EXPECT_EQ(controller->scheduleDateWithIdentifier(SchedulePauseTime, 6, reference),
              QDateTime(QDate(2026, 5, 4), QTime(5, 0)));

    const struct {
        bool queue, pause;
    } rows[] = {{false, false}, {true, false}, {false, true}, {true, true}};
    for (const auto &row : rows) {
        defaults().setBool(row.queue, ScheduleQueue);
        defaults().setBool(row.pause, SchedulePause);
        controller->resetSchedule();
        EXPECT_EQ(controller->isScheduledQueueArmed(), row.queue);
        EXPECT_EQ(controller->isScheduledPauseArmed(), row.pause);
        controller->workspaceWillSleep();
        EXPECT_FALSE(controller->isScheduledQueueArmed() || controller->isScheduledPauseArmed())
            << "not while asleep";
        controller->workspaceDidWake();
        EXPECT_EQ(controller->isScheduledQueueArmed(), row.queue);
    }
    EXPECT_TRUE(controller->shouldQuit());
    EXPECT_FALSE(controller->isScheduledQueueArmed() || controller->isScheduledPauseArmed())
        << "nor after quitting";

    // The switches flip their key and arm or disarm; the radical one only sets its key.
    controller->resetForTesting();
    defaults().removeObjectForKey(ScheduleQueue);
    defaults().removeObjectForKey(SchedulePause);
    controller->toggleScheduledQueuing();
    EXPECT_TRUE(defaults().boolForKey(ScheduleQueue));
    EXPECT_TRUE(controller->isScheduledQueueArmed());
    controller->schedule(0);
    EXPECT_FALSE(defaults().boolForKey(ScheduleQueue));
    EXPECT_FALSE(controller->isScheduledQueueArmed());
    controller->schedule(1);
    EXPECT_TRUE(controller->isScheduledPauseArmed());
    controller->setScheduledPausingRadical(true);
    EXPECT_TRUE(defaults().boolForKey(SchedulePauseRadical));
}

TEST_F(ScheduleTest, PausingLeavesRunningDownloadsAloneUnlessRadicalAndReArms)
{
    for (const bool radical : {false, true}) {
        SCOPED_TRACE(radical);
        SetUp();
        defaults().setBool(true, SchedulePause);
        defaults().setBool(radical, SchedulePauseRadical);
        const ZRDownloadPtr waiting = addDownload(QStringLiteral("w"), ZRDownloadStatusQueued);
        const ZRDownloadPtr running = addDownload(QStringLiteral("r"), ZRDownloadStatusDownloading);
        controller->scheduledPauseAll();
        EXPECT_EQ(waiting->status(), ZRDownloadStatusPaused);
        EXPECT_EQ(running->status(), radical ? ZRDownloadStatusPaused : ZRDownloadStatusDownloading);
        EXPECT_TRUE(controller->isScheduledPauseArmed()) << "for the next day";
    }
}

TEST_F(ScheduleTest, AClockChangeReArmsFromTheNewTimeAndTheQueueStartsThen)
{
    controller->setScheduleDate(QDateTime(QDate::currentDate(), QTime(22, 0)), ScheduleQueueTime);
    defaults().setBool(true, ScheduleQueue);
    const ZRDownloadPtr paused = addDownload(QStringLiteral("p"), ZRDownloadStatusPaused);
    setNow(QTime(12, 0));
    controller->resetSchedule();
    processEventsFor(1200);
    EXPECT_EQ(paused->status(), ZRDownloadStatusPaused) << "ten hours to go";

    setNow(QTime(21, 59, 58, 500));
    controller->timeDidChange();
    EXPECT_TRUE(waitUntil([&] { return paused->matchesStatusMask(ZRDownloadStatusMaskActive); }, 3000));
    EXPECT_TRUE(controller->isScheduledQueueArmed()) << "for tomorrow";
    paused->pause();
    processEventsFor(1500);
    EXPECT_EQ(paused->status(), ZRDownloadStatusPaused) << "once a day";
}

} // namespace
