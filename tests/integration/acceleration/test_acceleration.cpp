// One download over several connections against loopback servers: how the file is split, when
// the first connection is cut, what an interruption leaves and how it resumes, and what happens
// when a server does not serve ranges.
#include "core/download/ZRDownload.h"
#include "core/download/ZRHTTPRequestDownloadWorker.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/http/ZRHTTPRequest.h"
#include "tests/support/ZRTestDownloadFixture.h"
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestScriptedServer.h"
#include "tests/support/ZRTestEngineCallbacks.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

// Readable failures for texts.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

using ZRTestSupport::processEventsFor;
using ZRTestSupport::readFile;
using ZRTestSupport::waitUntil;
using ZRTestSupport::writeFile;

namespace {

[[maybe_unused]] testing::Environment *const engineCallbacks =
    testing::AddGlobalTestEnvironment(new ZRTestSupport::QueuedEngineCallbacks);


QByteArray pattern(qint64 offset, qint64 length)
{
    return ZRTestScriptedServer::patternBytes(offset, length);
}

// The "Range" header of each request for the path, in order ("-" for none).
QStringList requestedRanges(const ZRTestNginx &server, const QString &path)
{
    QStringList ranges;
    for (const QString &line : server.rangeLog().split(u'\n')) {
        const QStringList fields = line.split(u' ');
        if (fields.size() == 4 && fields[0] == path)
            ranges.append(fields[1]);
    }
    return ranges;
}

// Only the engine's worker sees "Accept-Ranges"; the basic one never splits a download.
class Acceleration : public ZRDownloadTestFixture<testing::Test> {
protected:
    void SetUp() override
    {
        ZRDownloadTestFixture::SetUp();
        set(QStringLiteral("Throttle: Supported"), true);
        set(QStringLiteral("Acceleration: Enabled"), true);
        set(QStringLiteral("Acceleration: Channels"), 4);
        set(QLatin1String(ZRDebugLogKey), true);
        ZRLogSetHandler([this](const QString &line) { log.append(line); });
    }

    void TearDown() override
    {
        ZRLogSetHandler(nullptr);
        ZRDownloadTestFixture::TearDown();
    }

    QString intermediatePath(const QString &name) const
    {
        return downloadsPath(name + QStringLiteral(".quorvel/") + name);
    }

    // The offsets logged for the extra connections and for the cut, in order.
    QList<qint64> loggedOffsets(const QString &phrase) const
    {
        QList<qint64> offsets;
        for (const QString &line : log) {
            const qsizetype at = line.indexOf(phrase);
            if (at >= 0)
                offsets.append(line.mid(at + phrase.size()).section(u' ', 0, 0).toLongLong());
        }
        return offsets;
    }

    // Serves the bytes under the name from a server limited per connection, downloads them and
    // pauses once the four fractions are laid out and each holds some bytes; none when that fails.
    ZRDownloadPtr startSplitAndPause(ZRTestNginx &server, const QString &name, const QByteArray &bytes)
    {
        if (!server.addFile(name, bytes))
            return nullptr;
        ZRDownloadPtr download = manager.enqueue(server.limitedURL(QLatin1Char('/') + name));
        const QString intermediate = intermediatePath(name);
        const bool ready = waitUntil(
            [&] {
                if (!download->userSettings().contains(ZRDownloadKeys::AccelerationWorkers))
                    return false;
                for (int i = 0; i < 4; ++i) {
                    const QString file = i == 0 ? intermediate : intermediate + QStringLiteral(".quorvel-xf-%1").arg(i);
                    if (QFileInfo(file).size() < 50000)
                        return false;
                }
                return true;
            },
            15000);
        if (!ready)
            return nullptr;
        download->togglePause();
        return download->status() == ZRDownloadStatusPaused ? download : nullptr;
    }

    // Resumes the download and expects it to end complete with these bytes under the name.
    void resumeToCompletion(const ZRDownloadPtr &download, const QString &name, const QByteArray &bytes)
    {
        download->togglePause();
        ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 20000));
        ASSERT_EQ(download->status(), ZRDownloadStatusComplete) << log.join(u'\n').toStdString();
        EXPECT_TRUE(readFile(downloadsPath(name)) == bytes);
    }

    QStringList log;
};

} // namespace

TEST_F(Acceleration, SplitsIntoEqualFractionsKeepsTheRemainderFirstAndCutsTheFirstConnection)
{
    ZRTestNginx server(ZRTestNginx::Options{400 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);

    struct Case {
        qint64 length;
        qint64 channels;
        qint64 minimumFraction; // 0: unset, read as 100000
        QList<qint64> starts;   // of the extra fractions; none when the file is not split
    };
    const QList<Case> cases = {
        {1000000, 4, 0, {250000, 500000, 750000}},
        {1000003, 4, 0, {250003, 500003, 750003}},
        {250000, 9, 100000, {125000}},
        {150000, 4, 100000, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        log.clear();
        set(QStringLiteral("Acceleration: Channels"), c.channels);
        set(QStringLiteral("Acceleration: Minimum Fraction Size"), c.minimumFraction);
        const QString name = QStringLiteral("split-%1.bin").arg(c.length);
        const QByteArray bytes = pattern(0, c.length);
        ASSERT_TRUE(server.addFile(name, bytes));

        ZRDownloadPtr download = manager.enqueue(server.limitedURL(QLatin1Char('/') + name));
        ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 20000));
        ASSERT_EQ(download->status(), ZRDownloadStatusComplete) << log.join(u'\n').toStdString();
        EXPECT_TRUE(readFile(downloadsPath(name)) == bytes);
        EXPECT_FALSE(QFileInfo::exists(downloadsPath(name + QStringLiteral(".quorvel"))));

        EXPECT_EQ(loggedOffsets(QStringLiteral(" at offset ")).mid(0, c.starts.size()), c.starts);
        QStringList expectedRanges{QStringLiteral("-")};
        const qint64 fraction = c.starts.isEmpty() ? 0 : c.length - c.starts.last();
        for (const qint64 start : c.starts)
            expectedRanges.append(QStringLiteral("bytes=%1-%2").arg(start).arg(start + fraction - 1));
        QStringList ranges = requestedRanges(server, QLatin1Char('/') + name);
        ranges.sort();
        EXPECT_EQ(ranges, expectedRanges);
        // The first connection stops where the second fraction begins.
        const QList<qint64> cuts = loggedOffsets(QStringLiteral("truncated first worker at offset "));
        if (c.starts.isEmpty())
            EXPECT_TRUE(cuts.isEmpty());
        else
            EXPECT_EQ(cuts, QList<qint64>{c.starts.first()}) << log.join(u'\n').toStdString();
        EXPECT_FALSE(download->userSettings().contains(ZRDownloadKeys::AccelerationWorkers));
    }
}

TEST_F(Acceleration, AServerThatGoesAwayMidwayIsResumedFractionByFraction)
{
    ZRTestNginx server(ZRTestNginx::Options{300 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);
    constexpr qint64 total = 2000000;
    const QByteArray bytes = pattern(0, total);
    ASSERT_TRUE(server.addFile(QStringLiteral("away.bin"), bytes));

    ZRDownloadPtr download = manager.enqueue(server.limitedURL(QStringLiteral("/away.bin")));
    const QString intermediate = intermediatePath(QStringLiteral("away.bin"));
    ASSERT_TRUE(waitUntil(
        [&] {
            return download->userSettings().contains(ZRDownloadKeys::AccelerationWorkers)
                && QFileInfo(intermediate + QStringLiteral(".quorvel-xf-3")).size() > 100000;
        },
        15000));
    server.stop();
    ASSERT_TRUE(waitUntil([&] { return download->status() == ZRDownloadStatusPaused; }, 15000));
    // Every fraction keeps what it has, and where it lies.
    EXPECT_EQ(download->userSettings().value(ZRDownloadKeys::AccelerationWorkers).toList().size(), 3);
    QList<qint64> held{QFileInfo(intermediate).size()};
    for (int i = 1; i < 4; ++i)
        held.append(QFileInfo(intermediate + QStringLiteral(".quorvel-xf-%1").arg(i)).size());
    for (int i = 0; i < 4; ++i) {
        EXPECT_GT(held[i], 0) << i;
        EXPECT_LT(held[i], 500000) << i;
    }

    ASSERT_TRUE(server.restart()) << server.errorString().toStdString();
    const qsizetype requestsBefore = requestedRanges(server, QStringLiteral("/away.bin")).size();
    download->togglePause();
    ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 20000));
    ASSERT_EQ(download->status(), ZRDownloadStatusComplete) << log.join(u'\n').toStdString();
    EXPECT_TRUE(readFile(downloadsPath(QStringLiteral("away.bin"))) == bytes);
    EXPECT_FALSE(QFileInfo::exists(downloadsPath(QStringLiteral("away.bin.quorvel"))));

    // After the restart each fraction asked only for its rest, up to its own end.
    QStringList ranges = requestedRanges(server, QStringLiteral("/away.bin")).mid(requestsBefore);
    ranges.sort();
    QStringList expected;
    for (int i = 0; i < 4; ++i)
        expected.append(QStringLiteral("bytes=%1-%2").arg(500000 * i + held[i]).arg(500000 * (i + 1) - 1));
    expected.sort();
    EXPECT_EQ(ranges, expected);
}

TEST_F(Acceleration, AFragmentLostWhilePausedStartsTheDownloadOverCleanly)
{
    ZRTestNginx server(ZRTestNginx::Options{400 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);
    const QByteArray bytes = pattern(0, 1600000);
    const ZRDownloadPtr download = startSplitAndPause(server, QStringLiteral("lost.bin"), bytes);
    ASSERT_TRUE(download);
    ASSERT_TRUE(QFile::remove(intermediatePath(QStringLiteral("lost.bin")) + QStringLiteral(".quorvel-xf-2")));

    resumeToCompletion(download, QStringLiteral("lost.bin"), bytes);
    EXPECT_TRUE(log.join(u'\n').contains(QStringLiteral("damaged acceleration fractions")));
    // The second transfer began at the first byte again.
    const QStringList ranges = requestedRanges(server, QStringLiteral("/lost.bin"));
    ASSERT_GE(ranges.size(), 5);
    EXPECT_EQ(ranges[4], QStringLiteral("-"));
}

TEST_F(Acceleration, AFirstFractionThatRanPastItsEndIsCutBackBeforeTheJoin)
{
    ZRTestNginx server(ZRTestNginx::Options{400 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);
    const QByteArray bytes = pattern(0, 1600000);
    const ZRDownloadPtr download = startSplitAndPause(server, QStringLiteral("past.bin"), bytes);
    ASSERT_TRUE(download);
    // As if the program had stopped after the first connection wrote beyond 400000 but before it
    // was cut: the file runs on into the second fraction.
    ASSERT_TRUE(writeFile(intermediatePath(QStringLiteral("past.bin")), bytes.left(400000) + QByteArray(3000, 'x')));

    resumeToCompletion(download, QStringLiteral("past.bin"), bytes);
}

TEST_F(Acceleration, FractionsAllOnDiskAreJoinedWithoutAnotherRequest)
{
    ZRTestNginx server(ZRTestNginx::Options{400 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);
    const QByteArray bytes = pattern(0, 1600000);
    const ZRDownloadPtr download = startSplitAndPause(server, QStringLiteral("whole.bin"), bytes);
    ASSERT_TRUE(download);
    // Stopped after the last byte of every fraction, before the join.
    const QString intermediate = intermediatePath(QStringLiteral("whole.bin"));
    for (const QString &fragment : download->fragmentPathsForIntermediateDownloadTargetPath(intermediate))
        ASSERT_TRUE(QFile::remove(fragment));
    ASSERT_TRUE(writeFile(intermediate, bytes.left(400000)));
    for (int i = 1; i < 4; ++i)
        ASSERT_TRUE(writeFile(intermediate + QStringLiteral(".quorvel-xf-%1").arg(i), bytes.mid(400000 * i, 400000)));
    // The paused connections are logged once the server has seen them close.
    ASSERT_TRUE(waitUntil([&] { return requestedRanges(server, QStringLiteral("/whole.bin")).size() == 4; }, 10000));

    resumeToCompletion(download, QStringLiteral("whole.bin"), bytes);
    processEventsFor(300);
    EXPECT_EQ(requestedRanges(server, QStringLiteral("/whole.bin")).size(), 4);
}

TEST_F(Acceleration, AServerWithoutRangesKeepsOneConnectionAndSaysSo)
{
    ZRTestNginx server(ZRTestNginx::Options{400 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);
    const QByteArray bytes = pattern(0, 800000);
    ASSERT_TRUE(server.addFile(QStringLiteral("plain.bin"), bytes));

    ZRDownloadPtr download = manager.enqueue(server.httpURL(QStringLiteral("/no-ranges/plain.bin")));
    ASSERT_TRUE(waitUntil([&] { return download->userSettings().value(ZRDownloadKeys::RangesDisabled).toBool(); }, 10000));
    EXPECT_EQ(download->downloadWorkers().size(), 1u);
    EXPECT_TRUE(download->downloadProgressDescription().endsWith(QStringLiteral(" - Acceleration not supported")))
        << download->downloadProgressDescription().toStdString();

    ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 15000));
    EXPECT_EQ(download->status(), ZRDownloadStatusComplete);
    EXPECT_TRUE(readFile(downloadsPath(QStringLiteral("plain.bin"))) == bytes);
    EXPECT_EQ(requestedRanges(server, QStringLiteral("/no-ranges/plain.bin")), QStringList{QStringLiteral("-")});
}

TEST_F(Acceleration, ExtraConnectionsThatCannotBeHadLeaveTheFirstToFinishAlone)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    constexpr qint64 total = 900000;
    // The server claims ranges but sends every connection the whole file; the first one pauses
    // after 100000 bytes, so the extra ones are refused while it still runs.
    ZRDownloadPtr download =
        manager.enqueue(server.url(QStringLiteral("/ranges-refused?size=%1&after=100000&seconds=1.5&name=refused.bin").arg(total)));
    ASSERT_TRUE(waitUntil(
        [&] { return download->userSettings().value(ZRDownloadKeys::AccelerationFailed).toBool(); }, 10000))
        << log.join(u'\n').toStdString();
    EXPECT_EQ(download->downloadWorkers().size(), 1u);
    EXPECT_FALSE(download->userSettings().contains(ZRDownloadKeys::AccelerationWorkers));
    EXPECT_TRUE(download->downloadProgressDescription().endsWith(QStringLiteral(" - Acceleration failed")))
        << download->downloadProgressDescription().toStdString();

    ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 15000));
    ASSERT_EQ(download->status(), ZRDownloadStatusComplete) << log.join(u'\n').toStdString();
    const QStringList files = QDir(downloadsFolder.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_EQ(files.size(), 1) << files.join(u' ').toStdString();
    EXPECT_TRUE(readFile(downloadsPath(files.first())) == pattern(0, total));
}

TEST_F(Acceleration, AnExtraConnectionRefusedOrAnsweredShortNeverLeavesAHoleInTheFile)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    constexpr qint64 total = 1600000, fraction = 400000;
    const QByteArray bytes = pattern(0, total);
    enum Outcome { oneConnection, restAskedAgain, interrupted };
    // The first ranged request (one of the three extra connections) gets the row's answer: an error
    // status, a 206 of another version, a valid 206 for the first quarter of its range, or, after
    // the first connection was cut, a 503.
    const struct {
        const char *fault;
        Outcome outcome;
    } cases[] = {{"503", oneConnection},
                 {"416", oneConnection},
                 {"etag", oneConnection},
                 {"short", restAskedAgain},
                 {"503:1.5", interrupted}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        log.clear();
        const QString name = QStringLiteral("fault-%1.bin").arg(&c - cases);
        const QString path = QStringLiteral("/faulty/") + name;
        const auto asked = [&] {
            return QString::fromLatin1(server.get(QStringLiteral("/ranges?key=") + path))
                .split(u'\n', Qt::SkipEmptyParts);
        };
        ZRDownloadPtr download = manager.enqueue(server.url(
            path +
            QStringLiteral("?size=%1&rate=800000&faults=1:%2").arg(total).arg(QLatin1String(c.fault))));
        ASSERT_TRUE(waitUntil([&] { return isFinished(download) || download->isInterrupted(); }, 20000));

        if (c.outcome == interrupted) {
            ASSERT_EQ(download->status(), ZRDownloadStatusPaused) << log.join(u'\n').toStdString();
            // Every fraction keeps what it has: the first its share, the refused one nothing.
            const QString intermediate = intermediatePath(name);
            EXPECT_TRUE(readFile(intermediate) == bytes.left(fraction));
            int empty = 0;
            for (int i = 1; i < 4; ++i) {
                const QByteArray held = readFile(intermediate + QStringLiteral(".quorvel-xf-%1").arg(i));
                if (held.isEmpty())
                    ++empty;
                else
                    EXPECT_TRUE(held == bytes.mid(fraction * i, fraction)) << i;
            }
            EXPECT_EQ(empty, 1);
            const qsizetype before = asked().size();
            download->togglePause();
            ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 20000));
            EXPECT_EQ(asked().size(), before + 1) << "only the refused fraction is asked for again";
        }
        ASSERT_EQ(download->status(), ZRDownloadStatusComplete) << log.join(u'\n').toStdString();
        const QByteArray result = readFile(downloadsPath(name));
        EXPECT_EQ(result.size(), total);
        EXPECT_TRUE(result == bytes);
        EXPECT_FALSE(QFileInfo::exists(bundlePath(name)));
        EXPECT_EQ(download->userSettings().value(ZRDownloadKeys::AccelerationFailed).toBool(),
                  c.outcome == oneConnection);
        if (c.outcome == restAskedAgain) {
            // The short fraction came in two answers: its first quarter, then the rest.
            const QStringList ranges = asked();
            EXPECT_EQ(ranges.size(), 5) << ranges.join(u' ').toStdString();
            qsizetype refetches = 0;
            for (int i = 1; i < 4; ++i)
                refetches += ranges.count(QStringLiteral("bytes=%1-%2")
                                              .arg(fraction * i + fraction / 4)
                                              .arg(fraction * (i + 1) - 1));
            EXPECT_EQ(refetches, 1) << ranges.join(u' ').toStdString();
        }
    }
}

TEST_F(Acceleration, OnAFastServerTheFileIsWholeWhicheverConnectionWins)
{
    ZRTestNginx server(ZRTestNginx::Options{400 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);
    const QByteArray bytes = pattern(0, 3000000);
    ASSERT_TRUE(server.addFile(QStringLiteral("fast.bin"), bytes));
    for (int round = 0; round < 3; ++round) {
        ZRDownloadPtr download = manager.enqueue(server.httpURL(QStringLiteral("/fast.bin")));
        ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 15000));
        ASSERT_EQ(download->status(), ZRDownloadStatusComplete) << log.join(u'\n').toStdString();
        const QString path = download->URL().toLocalFile();
        EXPECT_TRUE(readFile(path) == bytes) << path.toStdString();
    }
    const QStringList left = QDir(downloadsFolder.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    EXPECT_TRUE(left.isEmpty()) << left.join(u' ').toStdString();
}

TEST(AccelerationSettings, ChannelsMinimumSizeAndTheHostLists)
{
    ZRUserDefaults &defaults = ZRUserDefaults::standardUserDefaults();
    const auto channelsReadAs = [&](qint64 stored) {
        defaults.setInteger(stored, QStringLiteral("Acceleration: Channels"));
        return ZRDownload::accelerationFactor();
    };
    EXPECT_EQ(channelsReadAs(1), 4);
    EXPECT_EQ(channelsReadAs(2), 2);
    EXPECT_EQ(channelsReadAs(9), 9);
    EXPECT_EQ(channelsReadAs(12), 9);
    defaults.removeObjectForKey(QStringLiteral("Acceleration: Channels"));
    EXPECT_EQ(ZRDownload::accelerationFactor(), 4);
    defaults.setInteger(0, QStringLiteral("Acceleration: Minimum Fraction Size"));
    EXPECT_EQ(ZRDownload::acceleratorFractionMinimumSize(), 100000);
    defaults.setInteger(5000, QStringLiteral("Acceleration: Minimum Fraction Size"));
    EXPECT_EQ(ZRDownload::acceleratorFractionMinimumSize(), 5000);
    defaults.removeObjectForKey(QStringLiteral("Acceleration: Minimum Fraction Size"));

    ZRLiveDownloadManager manager;
    ZRDownloadPtr web = ZRDownload::downloadWithURLString(QStringLiteral("http://files.example/a.iso"), false);
    ZRDownloadPtr sameHost = ZRDownload::downloadWithURLString(QStringLiteral("http://files.example/b.iso"), false);
    ZRDownloadPtr hostless = ZRDownload::downloadWithURLString(QStringLiteral("file:///tmp/a.iso"), false);
    ASSERT_TRUE(web && sameHost && hostless);

    // Off: only listed hosts accelerate; toggling lists the host, and "?" stands for no host.
    ZRDownload::setAccelerates(false);
    EXPECT_FALSE(web->accelerates());
    EXPECT_FALSE(web->statusDescriptionWithLiveDetails(true).contains(QStringLiteral("Accelerate")));
    web->toggleAcceleration();
    EXPECT_TRUE(web->accelerates());
    EXPECT_TRUE(sameHost->accelerates());
    // A download that has not reached its server yet says that it will use several connections.
    EXPECT_TRUE(web->statusDescriptionWithLiveDetails(true).endsWith(QStringLiteral("Accelerate")))
        << web->statusDescriptionWithLiveDetails(true).toStdString();
    EXPECT_EQ(ZRDownload::accelerationHostWhitelist(), QStringList{web->queueRelevantHost()});
    hostless->toggleAcceleration();
    EXPECT_TRUE(hostless->accelerates());
    EXPECT_TRUE(ZRDownload::accelerationHostWhitelist().contains(QStringLiteral("?")));
    EXPECT_EQ(manager.listRedraws, 2);

    // On: every host but the blacklisted ones; toggling off takes the host out of the whitelist too.
    ZRDownload::setAccelerates(true);
    web->toggleAcceleration();
    EXPECT_FALSE(web->accelerates());
    EXPECT_FALSE(sameHost->accelerates());
    EXPECT_EQ(ZRDownload::accelerationHostWhitelist(), QStringList{QStringLiteral("?")});
    EXPECT_EQ(ZRDownload::accelerationHostBlacklist(), QStringList{web->queueRelevantHost()});
    web->toggleAcceleration();
    EXPECT_TRUE(web->accelerates());
    // Empty lists are not kept.
    EXPECT_FALSE(defaults.hasStoredValueForKey(QStringLiteral("Acceleration: Host Blacklist")));
    hostless->toggleAcceleration();
    EXPECT_FALSE(defaults.hasStoredValueForKey(QStringLiteral("Acceleration: Host Whitelist")));
    EXPECT_FALSE(hostless->accelerates());

    for (const char *key : {"Acceleration: Enabled", "Acceleration: Host Whitelist", "Acceleration: Host Blacklist"})
        defaults.removeObjectForKey(QLatin1String(key));
}
