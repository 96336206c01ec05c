#include "core/foundation/ZRDelayedCall.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRUserDefaults.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <sys/stat.h>

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
