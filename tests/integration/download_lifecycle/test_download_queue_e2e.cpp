// Real downloads against loopback servers seen from the queue and the disk: the limits on how
// many run at once, a pause before the first byte, and a disk that fills up.
// (The callback executor comes from the global environment of this program.)
#include "app/control/ZRQueueArchive.h"
#include "core/download/ZRDownload.h"
#include "core/download/ZRHTTPRequestDownloadWorker.h"
#include "core/foundation/ZRUserDefaults.h"
#include "tests/support/ZRTestDownloadFixture.h"
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestScriptedServer.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <sys/inotify.h>
#include <unistd.h>

using ZRTestSupport::readFile;
using ZRTestSupport::waitUntil;

namespace {

class DownloadQueueEndToEnd : public ZRDownloadTestFixture<testing::Test> {
protected:
    QStringList bundles() const
    {
        return QDir(downloadsFolder.path()).entryList({QStringLiteral("*.quorvel")}, QDir::Dirs);
    }

    static bool isDownloading(const ZRDownloadPtr &download)
    {
        return download->status() == ZRDownloadStatusDownloading;
    }

};

// The same address with another host name for the same loopback server.
QString onHost(const QString &url, const QString &host)
{
    QUrl other(url);
    other.setHost(host);
    return other.toString();
}

} // namespace

TEST_F(DownloadQueueEndToEnd, TheTotalAndPerHostLimitsHoldForRunningDownloads)
{
    // Slow enough that nothing finishes while the test looks.
    ZRTestNginx server(ZRTestNginx::Options{100 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);
    for (const QString &name : {QStringLiteral("a1"), QStringLiteral("a2"), QStringLiteral("a3"),
                                QStringLiteral("b1"), QStringLiteral("b2")})
        ASSERT_TRUE(server.addPatternFile(name + QStringLiteral(".bin"), 3000000));
    set(QStringLiteral("Number Of Concurrent Downloads"), 4);
    set(QStringLiteral("Number Of Concurrent Downloads Per Host"), 2);

    const auto url = [&](const QString &name) { return server.limitedURL(u'/' + name + QStringLiteral(".bin")); };
    ZRDownloadPtr a1 = manager.enqueue(url(QStringLiteral("a1")));
    ZRDownloadPtr a2 = manager.enqueue(url(QStringLiteral("a2")));
    ZRDownloadPtr a3 = manager.enqueue(url(QStringLiteral("a3")));
    ZRDownloadPtr b1 = manager.enqueue(onHost(url(QStringLiteral("b1")), QStringLiteral("localhost")));
    ASSERT_NE(a1->queueRelevantHost(), b1->queueRelevantHost());

    // One pass: the third download of the first host waits, the other host's goes ahead of it.
    ASSERT_TRUE(waitUntil([&] { return !ZRDownload::isSchedulingPassPending(); }, 3000));
    EXPECT_TRUE(isDownloading(a1));
    EXPECT_TRUE(isDownloading(a2));
    EXPECT_TRUE(isDownloading(b1));
    EXPECT_EQ(a3->status(), ZRDownloadStatusQueued);
    // All three really receive data.
    ASSERT_TRUE(waitUntil([&] { return bundles().size() == 3; }, 5000)) << bundles().join(u',').toStdString();
    ZRTestSupport::processEventsFor(300);
    EXPECT_EQ(a3->status(), ZRDownloadStatusQueued) << "the host's limit holds while its downloads run";

    a1->togglePause();
    ASSERT_TRUE(waitUntil([&] { return isDownloading(a3); }, 3000));
    EXPECT_TRUE(isDownloading(a2));
    EXPECT_TRUE(isDownloading(b1));

    // Three run (a2, a3, b1); with a total of 2 a new download of the other host must wait until
    // only one is left.
    ZRDownload::setNumberOfConcurrentDownloads(2);
    ZRTestSupport::processEventsFor(200);
    EXPECT_TRUE(isDownloading(a2) && isDownloading(a3) && isDownloading(b1)) << "a lower total stops nothing";
    ZRDownloadPtr b2 = manager.enqueue(onHost(url(QStringLiteral("b2")), QStringLiteral("localhost")));
    ZRTestSupport::processEventsFor(400);
    EXPECT_EQ(b2->status(), ZRDownloadStatusQueued);
    a2->togglePause();
    ZRTestSupport::processEventsFor(400);
    EXPECT_EQ(b2->status(), ZRDownloadStatusQueued) << "two running fill a total of 2";
    a3->togglePause();
    ASSERT_TRUE(waitUntil([&] { return isDownloading(b2); }, 3000));
    EXPECT_TRUE(isDownloading(b1));
    EXPECT_EQ(ZRDownload::downloadingDownloads().size(), 2);
}

TEST_F(DownloadQueueEndToEnd, APauseBeforeTheFirstByteDeletesTheBundleAndTheResumeStartsOver)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);

    // The header comes at once, the body only after two seconds.
    ZRDownloadPtr download = manager.enqueue(server.url(QStringLiteral("/stall?size=5000&after=0&seconds=2")));
    ASSERT_TRUE(waitUntil([&] { return download->userSettings().contains(ZRDownloadKeys::ResponseURL); }, 5000));
    // Saving the queue meanwhile makes no bundle: there is nothing to describe yet.
    download->userSettingsArchiveWithPausedStatus(false, true);
    EXPECT_TRUE(bundles().isEmpty());

    download->togglePause();
    EXPECT_EQ(download->status(), ZRDownloadStatusPaused);
    download->userSettingsArchiveWithPausedStatus(true, true);
    EXPECT_TRUE(bundles().isEmpty()) << "nothing to resume: nothing is kept";

    download->togglePause();
    ASSERT_TRUE(waitUntil([&] { return download->matchesStatusMask(ZRDownloadStatusMaskFinished); }, 10000));
    EXPECT_EQ(download->status(), ZRDownloadStatusComplete);
    const QStringList files = QDir(downloadsFolder.path()).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1) << files.join(u',').toStdString();
    EXPECT_TRUE(readFile(downloadsFolder.filePath(files.first())) == ZRTestScriptedServer::patternBytes(0, 5000));
    EXPECT_TRUE(bundles().isEmpty());
}

TEST_F(DownloadQueueEndToEnd, ASmallBodyIsWrittenOnceBesideItsPlaceWhileASlowOrCutOneGrowsInItsBundle)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, QFile::encodeName(downloadsFolder.path()).constData(), IN_CREATE), 0);
    const auto createdFolders = [&] {
        QStringList folders;
        alignas(inotify_event) char buffer[16384];
        for (ssize_t length; (length = read(watch, buffer, sizeof buffer)) > 0;) {
            for (char *at = buffer; at < buffer + length;) {
                const auto *event = reinterpret_cast<const inotify_event *>(at);
                if (event->mask & IN_ISDIR)
                    folders << QString::fromUtf8(event->name);
                at += sizeof(inotify_event) + event->len;
            }
        }
        return folders;
    };

    struct Row {
        const char *path;
        const char *name;
        qint64 kept;
        bool completes;
        bool bundleMade;
    };
    const Row rows[] = {
        {"/bytes?size=100000", "bytes", 100000, true, false},
        // Half of it, then a pause longer than a small body is held back: it shows up growing.
        {"/stall?size=100000&after=50000&seconds=0.6", "stall", 100000, true, true},
        // Cut off: what came is kept for a resume, in the bundle a resume looks in.
        {"/truncate?size=100000&send=40000", "truncate", 40000, false, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        ZRDownloadPtr download = manager.enqueue(server.url(QString::fromLatin1(row.path)));
        ASSERT_TRUE(waitUntil([&] { return download->matchesStatusMask(ZRDownloadStatusMaskFinished)
                                           || download->status() == ZRDownloadStatusPaused; }, 10000));
        EXPECT_EQ(createdFolders().size(), row.bundleMade ? 1 : 0);
        const QString name = QString::fromLatin1(row.name);
        if (row.completes) {
            EXPECT_EQ(download->status(), ZRDownloadStatusComplete);
            EXPECT_TRUE(readFile(downloadsPath(name)) == ZRTestScriptedServer::patternBytes(0, row.kept));
        } else {
            EXPECT_NE(download->status(), ZRDownloadStatusComplete);
            EXPECT_TRUE(readFile(downloadsPath(name + QStringLiteral(".quorvel/") + name))
                        == ZRTestScriptedServer::patternBytes(0, row.kept));
        }
    }
    // Nothing half-written is left beside the finished files.
    EXPECT_EQ(QDir(downloadsFolder.path()).entryList(QDir::Files).join(u','), QStringLiteral("bytes,stall"));
    close(watch);
}

namespace {

// A 2 MB memory file system in the test's own folder, unmounted whatever happens.
class FullDisk : public DownloadQueueEndToEnd {
protected:
    void SetUp() override
    {
        DownloadQueueEndToEnd::SetUp();
        const int result = QProcess::execute(QStringLiteral("mount"),
                                             {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                              QStringLiteral("size=2m"), QStringLiteral("tmpfs"), downloadsFolder.path()});
        if (result != 0)
            GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): mount gave " << result;
        mounted = true;
    }

    void TearDown() override
    {
        DownloadQueueEndToEnd::TearDown();
        if (mounted) {
            EXPECT_EQ(QProcess::execute(QStringLiteral("umount"), {downloadsFolder.path()}), 0);
        }
    }

    bool mounted = false;
};

} // namespace

TEST_F(FullDisk, ADownloadLargerThanTheDiskIsInterruptedWithWhatFitAndTheQueueArchiveIsIntact)
{
    ZRTestNginx server(ZRTestNginx::Options{20 * 1000 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);
    const QByteArray bytes = ZRTestScriptedServer::patternBytes(0, 4 * 1024 * 1024);
    ASSERT_TRUE(server.addFile(QStringLiteral("huge.bin"), bytes));

    ZRDownloadPtr download = manager.enqueue(server.httpURL(QStringLiteral("/huge.bin")));
    QTemporaryDir archiveFolder(ZRTestSupport::sandboxRoot() + QStringLiteral("/archive-XXXXXX"));
    ZRQueueArchive archive(archiveFolder.filePath(QStringLiteral("Queue.plist")));
    ASSERT_TRUE(archive.write({download->userSettingsArchiveWithPausedStatus(false, false)}));
    const QVariantList before = archive.read();
    ASSERT_EQ(before.size(), 1);

    ASSERT_TRUE(waitUntil([&] { return download->isInterrupted(); }, 15000));
    EXPECT_EQ(download->status(), ZRDownloadStatusPaused);
    EXPECT_EQ(download->statusDescriptionWithLiveDetails(false), QStringLiteral("Interrupted"));

    // What fit is kept, in order, for a later resume.
    ASSERT_EQ(bundles().size(), 1);
    const QString intermediate = downloadsFolder.filePath(bundles().first()) + QStringLiteral("/huge.bin");
    const QByteArray kept = readFile(intermediate);
    EXPECT_GT(kept.size(), 0);
    EXPECT_LT(kept.size(), bytes.size());
    EXPECT_TRUE(kept == bytes.left(kept.size()));
    EXPECT_FALSE(QFileInfo::exists(downloadsFolder.filePath(QStringLiteral("huge.bin"))));

    // The archive on another disk is untouched, and saving the interrupted queue still works.
    EXPECT_EQ(archive.read(), before);
    EXPECT_FALSE(archive.foundDamagedFile());
    ASSERT_TRUE(archive.write({download->userSettingsArchiveWithPausedStatus(true, false)}));
    const QVariantList after = archive.read();
    ASSERT_EQ(after.size(), 1);
    EXPECT_EQ(after[0].toMap().value(QStringLiteral("URL")), before[0].toMap().value(QStringLiteral("URL")));
    EXPECT_TRUE(after[0].toMap().value(QStringLiteral("Paused")).toBool());
}
