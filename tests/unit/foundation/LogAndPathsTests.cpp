#include "core/foundation/ZRDelayedCall.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRMainLoopCallbacks.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRUserDefaults.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QMetaObject>
#include <QTimer>

#include <sys/stat.h>

#include <thread>

using namespace ZRExtensions;

TEST(Log, DebugLinesOnlyWhileTheDefaultIsOn)
{
    QStringList lines;
    ZRLogSetHandler([&](const QString &line) { lines.append(line); });
    ZRLogDebug(QStringLiteral("hidden"));
    ZRUserDefaults::standardUserDefaults().setBool(true, QLatin1String(ZRDebugLogKey));
    ZRLogDebug(QStringLiteral("shown"));
    ZRLog(QStringLiteral("cannot do <x>"));
    ZRLogSetHandler(nullptr);
    EXPECT_EQ(lines, (QStringList{QStringLiteral("[Debug] shown"), QStringLiteral("cannot do <x>")}));
}

TEST(Paths, TildeAbbreviationAndExpansion)
{
    const QString home = QDir::homePath();
    EXPECT_EQ(stringByAbbreviatingWithTildeInPath(home + QStringLiteral("/Downloads/a b")), QStringLiteral("~/Downloads/a b"));
    EXPECT_EQ(stringByAbbreviatingWithTildeInPath(home), QStringLiteral("~"));
    // A sibling that merely shares the prefix is not below home.
    EXPECT_EQ(stringByAbbreviatingWithTildeInPath(home + QStringLiteral("x/y")), home + QStringLiteral("x/y"));
    EXPECT_EQ(stringByExpandingTildeInPath(QStringLiteral("~/x")), home + QStringLiteral("/x"));
    EXPECT_EQ(stringByExpandingTildeInPath(QStringLiteral("~")), home);
    EXPECT_EQ(stringByExpandingTildeInPath(QStringLiteral("~other/x")), QStringLiteral("~other/x"));
    EXPECT_EQ(stringByExpandingTildeInPath(QStringLiteral("/tmp/~/x")), QStringLiteral("/tmp/~/x"));
}

TEST(Paths, FoldersFollowTheXDGVariables)
{
    const QString root = ZRTestSupport::sandboxRoot();
    EXPECT_EQ(ZRApplicationSupportFolderPath(), root + QStringLiteral("/home/.local/share/Quorvel"));
    EXPECT_TRUE(QDir(ZRApplicationSupportFolderPath()).exists());
    // The queue in it holds cookies and request bodies: the owner's alone.
    struct stat info = {};
    ASSERT_EQ(::stat(QFile::encodeName(ZRApplicationSupportFolderPath()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(ZRConfigurationFolderPath(), root + QStringLiteral("/home/.config/Quorvel"));
    EXPECT_EQ(ZRDownloadsFolderPath(), root + QStringLiteral("/home/Downloads"));
    EXPECT_FALSE(ZRIsSandboxed());
}

TEST(DelayedCall, RunsOnceAndCanBeCancelledOrReplaced)
{
    int first = 0, second = 0;
    ZRDelayedCall call;
    call.schedule(0.01, [&] { ++first; });
    call.schedule(0.01, [&] { ++second; });
    EXPECT_TRUE(call.isScheduled());
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return second == 1; }, 2000));
    EXPECT_EQ(first, 0);
    EXPECT_FALSE(call.isScheduled());

    call.schedule(0, [&] { ++first; });
    call.cancel();
    ZRTestSupport::processEventsFor(30);
    EXPECT_EQ(first, 0);

    // A call may re-arm its own timer.
    int count = 0;
    std::function<void()> again = [&] {
        if (++count < 3)
            call.schedule(0, again);
    };
    call.schedule(0, again);
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return count == 3; }, 2000));
}

TEST(MainLoopCallbacks, KeepTheirOrderAndLetQueuedWorkGoBetween)
{
    QStringList order;
    const auto queueOnLoop = [&](const QString &name) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&order, name] { order << name; }, Qt::QueuedConnection);
    };
    // What a callback queues and asks to go first (the next download's start) runs before the next
    // callback of the burst.
    ZRMainLoopCallbacks::post([&] {
        order << QStringLiteral("a");
        queueOnLoop(QStringLiteral("a queued"));
        ZRMainLoopCallbacks::runQueuedWorkFirst();
    });
    ZRMainLoopCallbacks::post([&] {
        order << QStringLiteral("b");
        // A nested loop (a modal window) goes on with the callbacks behind this one.
        QEventLoop nested;
        QTimer::singleShot(50, &nested, &QEventLoop::quit);
        nested.exec();
        order << QStringLiteral("b done");
    });
    ZRMainLoopCallbacks::post([&] { order << QStringLiteral("c"); });
    // Those of another thread, as the engine posts them, follow in the order given.
    std::thread engine([&] {
        for (int i = 1; i <= 3; ++i)
            ZRMainLoopCallbacks::post([&order, i] { order << QStringLiteral("t%1").arg(i); });
    });
    engine.join();
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return order.contains(QStringLiteral("b done")); }, 2000));
    EXPECT_EQ(order.join(QLatin1Char(' ')).toStdString(), "a a queued b c t1 t2 t3 b done");
}
