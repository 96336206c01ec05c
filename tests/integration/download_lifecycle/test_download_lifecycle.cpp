// Whole downloads through their lifecycle against loopback servers: what the server sends, what
// the download does (pause, resume, fail, finish, remove), and what is on disk afterwards.
#include "core/download/ZRDownload.h"
#include "core/download/ZRDownloadVanishView.h"
#include "core/download/ZRHTTPRequestDownloadWorker.h"
#include "core/download/ZRMissingVolumeAlertController.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRSystemCalls.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/http/ZRHTTPRequest.h"
#include "core/text/ZRExtendedAttributes.h"
#include "core/text/ZRPathExtensions.h"
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

#include <atomic>
#include <cerrno>
#include <sys/xattr.h>
#include <unistd.h>

// Readable failures for texts.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

using ZRTestSupport::readFile;
using ZRTestSupport::waitUntil;

namespace {

[[maybe_unused]] testing::Environment *const engineCallbacks =
    testing::AddGlobalTestEnvironment(new ZRTestSupport::QueuedEngineCallbacks);


QByteArray pattern(qint64 offset, qint64 length)
{
    return ZRTestScriptedServer::patternBytes(offset, length);
}

bool extendedAttributesWork(const QString &folder)
{
    const QByteArray probe = QFile::encodeName(folder + QStringLiteral("/.xattr-probe"));
    QFile file(QString::fromLocal8Bit(probe));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.close();
    const bool works = setxattr(probe.constData(), "user.probe", "1", 1, 0) == 0 || errno != EOPNOTSUPP;
    QFile::remove(QString::fromLocal8Bit(probe));
    return works;
}

// Lines of the access log ("port request status bytes") for a path.
QStringList accessLines(const ZRTestNginx &server, const QString &path)
{
    QStringList lines;
    for (const QString &line : server.accessLog().split(u'\n')) {
        if (line.contains(QStringLiteral(" ") + path + QStringLiteral(" ")))
            lines.append(line);
    }
    return lines;
}

enum class Kind { basic, engine };

class DownloadLifecycle : public ZRDownloadTestFixture<testing::TestWithParam<Kind>> {
protected:
    void SetUp() override
    {
        ZRDownloadTestFixture::SetUp();
        set(QStringLiteral("Throttle: Supported"), GetParam() == Kind::engine);
    }
};

std::string kindName(const testing::TestParamInfo<Kind> &info)
{
    return info.param == Kind::basic ? "Basic" : "Engine";
}

INSTANTIATE_TEST_SUITE_P(BothWorkers, DownloadLifecycle, testing::Values(Kind::basic, Kind::engine), kindName);

TEST_P(DownloadLifecycle, AFreshDownloadEndsCompleteAtAFreeFinalName)
{
    ZRTestNginx server;
    ZR_START_NGINX_OR_SKIP(server);
    const QByteArray bytes = pattern(0, 300000);
    ASSERT_TRUE(server.addFile(QStringLiteral("file.bin"), bytes));
    // A file of that name is already there: the download takes the next free name.
    ASSERT_TRUE(ZRTestSupport::writeFile(downloadsPath(QStringLiteral("file.bin")), "older"));
    // The server's date becomes the file's (only the engine worker sees the header fields).
    const QDateTime served = QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5), Qt::UTC);
    QFile servedFile(server.documentRoot() + QStringLiteral("/file.bin"));
    ASSERT_TRUE(servedFile.open(QIODevice::ReadWrite));
    ASSERT_TRUE(servedFile.setFileTime(served, QFileDevice::FileModificationTime));
    servedFile.close();
    set(QStringLiteral("Last-Modified Header Adoption"), 1);

    const QString url = server.httpURL(QStringLiteral("/file.bin"));
    ZRDownloadPtr download = manager.enqueue(url);
    ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 15000));

    const QString finalPath = downloadsPath(QStringLiteral("file 1.bin"));
    EXPECT_EQ(download->status(), ZRDownloadStatusComplete);
    EXPECT_EQ(download->path(), finalPath);
    EXPECT_EQ(readFile(finalPath), bytes);
    EXPECT_EQ(readFile(downloadsPath(QStringLiteral("file.bin"))), QByteArray("older"));
    EXPECT_FALSE(QFileInfo::exists(bundlePath(QStringLiteral("file.bin"))));
    EXPECT_EQ(download->userSettings().value(ZRDownloadKeys::OriginalURL).toString(), url);
    EXPECT_FALSE(download->userSettings().value(ZRDownloadKeys::Alias).toByteArray().isEmpty());
    EXPECT_EQ(download->downloadCompletionFraction(), 1.0);
    if (GetParam() == Kind::engine) {
        EXPECT_FALSE(download->userSettings().value(ZRDownloadKeys::ResumeValidator).toString().isEmpty());
        EXPECT_EQ(QFileInfo(finalPath).lastModified().toUTC(), served);
    }
    EXPECT_EQ(download->userSettings().value(ZRDownloadKeys::ResumeTotalLength).toLongLong(), bytes.size());

    if (extendedAttributesWork(downloadsFolder.path())) {
        EXPECT_EQ(ZRExtensions::valueForExtendedFileAttribute(finalPath, QLatin1String(ZRWhereFromsAttributeName))
                      .toStringList(),
                  QStringList{url});
    }
}

TEST_P(DownloadLifecycle, PauseAndResumeContinuesWithARangeIntoAnIdenticalFile)
{
    ZRTestNginx server(ZRTestNginx::Options{400 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);
    const QByteArray bytes = pattern(0, 1000000);
    ASSERT_TRUE(server.addFile(QStringLiteral("movie.bin"), bytes));

    ZRDownloadPtr download = manager.enqueue(server.limitedURL(QStringLiteral("/movie.bin")));
    const QString bundle = bundlePath(QStringLiteral("movie.bin"));
    const QString intermediate = bundle + QStringLiteral("/movie.bin");
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(intermediate).size() > 100000; }, 10000));
    // While it runs, the bundle describes itself (a moment after the first bytes).
    EXPECT_TRUE(waitUntil([&] { return QFileInfo::exists(bundle + QStringLiteral("/Archive.quorvelinfo")); }, 3000));
    EXPECT_TRUE(download->downloadProgressDescription().contains(QStringLiteral(" of ")))
        << download->downloadProgressDescription().toStdString();

    download->togglePause();
    EXPECT_EQ(download->status(), ZRDownloadStatusPaused);
    EXPECT_EQ(download->statusDescriptionWithLiveDetails(false), QStringLiteral("Paused"));
    const qint64 kept = QFileInfo(intermediate).size();
    EXPECT_GT(kept, 100000);
    EXPECT_EQ(readFile(intermediate), bytes.left(kept));
    ZRTestSupport::processEventsFor(300);
    EXPECT_EQ(QFileInfo(intermediate).size(), kept) << "a paused download writes nothing";

    download->togglePause();
    ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 15000));
    EXPECT_EQ(download->status(), ZRDownloadStatusComplete);
    EXPECT_EQ(readFile(downloadsPath(QStringLiteral("movie.bin"))), bytes);
    EXPECT_FALSE(QFileInfo::exists(bundle));

    const QStringList lines = accessLines(server, QStringLiteral("/movie.bin"));
    ASSERT_EQ(lines.size(), 2) << lines.join(u'\n').toStdString();
    EXPECT_TRUE(lines[1].contains(QStringLiteral(" 206 "))) << lines[1].toStdString();
}

TEST_P(DownloadLifecycle, AFileChangedWhilePausedIsLoadedAfreshNotSpliced)
{
    ZRTestNginx server(ZRTestNginx::Options{400 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);
    const QByteArray oldBytes = pattern(0, 800000);
    ASSERT_TRUE(server.addFile(QStringLiteral("data.bin"), oldBytes));

    ZRDownloadPtr download = manager.enqueue(server.limitedURL(QStringLiteral("/data.bin")));
    const QString intermediate = bundlePath(QStringLiteral("data.bin")) + QStringLiteral("/data.bin");
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(intermediate).size() > 100000; }, 10000));
    download->togglePause();
    ASSERT_EQ(download->status(), ZRDownloadStatusPaused);

    // The same length, other bytes, another modification time: only the validator tells.
    QByteArray newBytes = pattern(7, 800000);
    ASSERT_TRUE(server.addFile(QStringLiteral("data.bin"), newBytes));
    QFile served(server.documentRoot() + QStringLiteral("/data.bin"));
    ASSERT_TRUE(served.open(QIODevice::ReadWrite));
    ASSERT_TRUE(served.setFileTime(QDateTime::currentDateTimeUtc().addSecs(3600), QFileDevice::FileModificationTime));
    served.close();

    download->togglePause();
    ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 15000));
    EXPECT_EQ(download->status(), ZRDownloadStatusComplete);
    const QByteArray result = readFile(downloadsPath(QStringLiteral("data.bin")));
    EXPECT_EQ(result.size(), newBytes.size());
    EXPECT_TRUE(result == newBytes) << "the finished file must be the new version alone";
}

TEST_P(DownloadLifecycle, AnErrorPageEndsAbortedWithItsStatusAndLeavesNothing)
{
    ZRTestNginx server;
    ZR_START_NGINX_OR_SKIP(server);

    ZRDownloadPtr download = manager.enqueue(server.httpURL(QStringLiteral("/missing.bin")));
    ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 10000));
    EXPECT_EQ(download->status(), ZRDownloadStatusAborted);
    EXPECT_EQ(download->statusDescriptionWithLiveDetails(false), QStringLiteral("Aborted — 404"));
    EXPECT_TRUE(QDir(downloadsFolder.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
}

// Asked again, the server would send the same header: the download ends with its reason, once.
TEST_P(DownloadLifecycle, AResponseHeaderTooLargeEndsAbortedWithItsReason)
{
    if (GetParam() == Kind::basic)
        GTEST_SKIP() << "the basic worker's transport reports no such reason";
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);

    ZRDownloadPtr download = manager.enqueue(server.url(QStringLiteral("/big-header")));
    ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 10000));
    EXPECT_EQ(download->status(), ZRDownloadStatusAborted);
    EXPECT_FALSE(download->isInterrupted());
    EXPECT_EQ(download->statusDescriptionWithLiveDetails(false), QStringLiteral("Aborted — response header too large"));
    EXPECT_TRUE(QDir(downloadsFolder.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
}

TEST_P(DownloadLifecycle, RemovingARunningDownloadDeletesItsFiles)
{
    ZRTestNginx server(ZRTestNginx::Options{200 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);
    ASSERT_TRUE(server.addFile(QStringLiteral("big.bin"), pattern(0, 2000000)));

    ZRDownloadPtr download = manager.enqueue(server.limitedURL(QStringLiteral("/big.bin")));
    const QString bundle = bundlePath(QStringLiteral("big.bin"));
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(bundle + QStringLiteral("/big.bin")).size() > 50000; }, 10000));

    download->remove();
    EXPECT_EQ(download->status(), ZRDownloadStatusAborted);
    EXPECT_FALSE(download->hasDownloadWorkers());
    EXPECT_FALSE(QFileInfo::exists(bundle));
    // Without a list view it leaves the list at once.
    EXPECT_EQ(manager.removals, 1);
    EXPECT_TRUE(manager.downloads.isEmpty());
    ZRTestSupport::processEventsFor(300);
    EXPECT_FALSE(QFileInfo::exists(bundle)) << "nothing may write after the removal";
}

TEST_P(DownloadLifecycle, AFailedTransferInterruptsAndResumesOnceWithinTheThreshold)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    set(QStringLiteral("Auto-Resume"), true);
    set(QStringLiteral("Auto-Resume: Delay"), 0.2);

    set(QStringLiteral("Request Timeout Interval"), 1);

    // Every answer stops after 400 of 1000 bytes until the transfer times out, and a range is
    // answered with the whole file again: the resumed transfer must start over, not append the
    // second copy to the first.
    ZRDownloadPtr download = manager.enqueue(server.url(QStringLiteral("/stall?size=1000&after=400&seconds=30")));
    ASSERT_TRUE(waitUntil([&] { return download->isInterrupted(); }, 10000));
    EXPECT_EQ(download->status(), ZRDownloadStatusPaused);
    EXPECT_EQ(download->statusDescriptionWithLiveDetails(false), QStringLiteral("Interrupted"));

    // The automatic resume runs once; its failure comes within the threshold and stays paused.
    ASSERT_TRUE(waitUntil([&] { return download->status() != ZRDownloadStatusPaused; }, 5000));
    ASSERT_TRUE(waitUntil([&] { return download->status() == ZRDownloadStatusPaused; }, 10000));
    ZRTestSupport::processEventsFor(800);
    EXPECT_EQ(download->status(), ZRDownloadStatusPaused);
    EXPECT_TRUE(download->isInterrupted());

    // The name comes from the address: the one data file in the one bundle.
    const QStringList bundles = QDir(downloadsFolder.path()).entryList({QStringLiteral("*.quorvel")}, QDir::Dirs);
    ASSERT_EQ(bundles.size(), 1);
    const QDir bundle(downloadsFolder.filePath(bundles.first()));
    QStringList data = bundle.entryList(QDir::Files);
    data.removeIf([](const QString &file) { return file.endsWith(QStringLiteral(".quorvelinfo")); });
    ASSERT_EQ(data.size(), 1) << data.join(u',').toStdString();
    const QString dataPath = bundle.filePath(data.first());
    EXPECT_EQ(readFile(dataPath), pattern(0, 400));
}

} // namespace

namespace {

// Pauses a download of the file once some of it is on disk; returns the bytes kept.
qint64 pauseWhenPartlyThere(const ZRDownloadPtr &download, const QString &intermediate)
{
    if (!waitUntil([&] { return QFileInfo(intermediate).size() > 100000; }, 10000))
        return 0;
    download->togglePause();
    return download->status() == ZRDownloadStatusPaused ? QFileInfo(intermediate).size() : 0;
}

} // namespace

TEST_P(DownloadLifecycle, AConnectionDroppedInTheBodyKeepsTheBytesAndResumesWithARange)
{
    ZRTestScriptedServer dropper;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(dropper);
    ZRTestNginx server(ZRTestNginx::Options{20 * 1024 * 1024, false});
    ZR_START_NGINX_OR_SKIP(server);
    constexpr qint64 total = 1000000;
    const QByteArray bytes = pattern(0, total);
    ASSERT_TRUE(server.addFile(QStringLiteral("whole.bin"), bytes));

    // A break right after the header comes with the failure in the same read; a later one does not.
    for (const qint64 sent : {qint64(500), qint64(300000)}) {
        SCOPED_TRACE(sent);
        // The server announces the whole file, sends part of it and closes the connection.
        ZRDownloadPtr download = manager.enqueue(
            dropper.url(QStringLiteral("/truncate?size=%1&send=%2").arg(total).arg(sent)));
        ASSERT_TRUE(waitUntil([&] { return download->isInterrupted(); }, 10000));
        EXPECT_EQ(download->status(), ZRDownloadStatusPaused);
        EXPECT_EQ(download->statusDescriptionWithLiveDetails(false), QStringLiteral("Interrupted"));

        const QStringList bundles =
            QDir(downloadsFolder.path()).entryList({QStringLiteral("*.quorvel")}, QDir::Dirs);
        ASSERT_EQ(bundles.size(), 1);
        const QDir bundle(downloadsFolder.filePath(bundles.first()));
        QStringList data = bundle.entryList(QDir::Files);
        data.removeIf([](const QString &file) { return file.endsWith(QStringLiteral(".quorvelinfo")); });
        ASSERT_EQ(data.size(), 1) << data.join(u',').toStdString();
        const QByteArray kept = readFile(bundle.filePath(data.first()));
        EXPECT_EQ(kept.size(), sent);
        EXPECT_TRUE(kept == pattern(0, sent)) << "every byte before the break is kept, in order";

        // Now the address that answered last serves the whole file.
        download->userSettings().insert(ZRDownloadKeys::ResponseURL, server.httpURL(QStringLiteral("/whole.bin")));
        download->togglePause();
        ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 15000));
        EXPECT_EQ(download->status(), ZRDownloadStatusComplete);
        const QStringList files = QDir(downloadsFolder.path()).entryList(QDir::Files);
        ASSERT_EQ(files.size(), 1) << files.join(u',').toStdString();
        const QByteArray result = readFile(downloadsFolder.filePath(files.first()));
        EXPECT_EQ(result.size(), total);
        EXPECT_TRUE(result == bytes);
        ASSERT_TRUE(QFile::remove(downloadsFolder.filePath(files.first())));

        // One ranged request for the rest, from the length kept: "... 206 BYTES", the rest of the
        // file and a response header of less than a kilobyte.
        const QStringList lines = accessLines(server, QStringLiteral("/whole.bin"));
        ASSERT_FALSE(lines.isEmpty());
        const QStringList fields = lines.last().split(u' ');
        ASSERT_GE(fields.size(), 2);
        EXPECT_EQ(fields[fields.size() - 2], QStringLiteral("206")) << lines.last().toStdString();
        const qint64 bytesSent = fields.last().toLongLong();
        EXPECT_GE(bytesSent, total - sent);
        EXPECT_LT(bytesSent, total - sent + 1000) << lines.last().toStdString();
    }
    EXPECT_EQ(accessLines(server, QStringLiteral("/whole.bin")).size(), 2);
}

TEST_P(DownloadLifecycle, APartialAnswerOfAnotherLengthIsNeverAppended)
{
    ZRTestNginx server(ZRTestNginx::Options{400 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);
    const QByteArray bytes = pattern(0, 800000);
    ASSERT_TRUE(server.addFile(QStringLiteral("part.bin"), bytes));

    ZRDownloadPtr download = manager.enqueue(server.limitedURL(QStringLiteral("/part.bin")));
    const QString intermediate = bundlePath(QStringLiteral("part.bin")) + QStringLiteral("/part.bin");
    ASSERT_GT(pauseWhenPartlyThere(download, intermediate), 0);
    // As if the first answer had belonged to a file of another length: its rest cannot follow.
    download->userSettings().insert(ZRDownloadKeys::ResumeTotalLength, qint64(bytes.size() + 1));

    download->togglePause();
    ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 15000));
    EXPECT_EQ(download->status(), ZRDownloadStatusComplete);
    EXPECT_TRUE(readFile(downloadsPath(QStringLiteral("part.bin"))) == bytes);
    const QStringList lines = accessLines(server, QStringLiteral("/part.bin"));
    ASSERT_EQ(lines.size(), 3) << lines.join(u'\n').toStdString();
    EXPECT_TRUE(lines[2].contains(QStringLiteral(" 200 "))) << "the reload asks for the whole file";
}

TEST_P(DownloadLifecycle, AResumeAnsweredWithAnErrorPageNeverCompletes)
{
    ZRTestNginx server(ZRTestNginx::Options{400 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);
    ASSERT_TRUE(server.addFile(QStringLiteral("gone.bin"), pattern(0, 800000)));

    ZRDownloadPtr download = manager.enqueue(server.limitedURL(QStringLiteral("/gone.bin")));
    const QString intermediate = bundlePath(QStringLiteral("gone.bin")) + QStringLiteral("/gone.bin");
    ASSERT_GT(pauseWhenPartlyThere(download, intermediate), 0);
    ASSERT_TRUE(QFile::remove(server.documentRoot() + QStringLiteral("/gone.bin")));

    download->togglePause();
    ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 15000));
    EXPECT_EQ(download->status(), ZRDownloadStatusAborted);
    EXPECT_EQ(download->statusDescriptionWithLiveDetails(false), QStringLiteral("Aborted — 404"));
    EXPECT_FALSE(QFileInfo::exists(downloadsPath(QStringLiteral("gone.bin"))));
    EXPECT_FALSE(QFileInfo::exists(bundlePath(QStringLiteral("gone.bin"))));
}

TEST_P(DownloadLifecycle, AResumeAnsweredWithAnotherVersionOrFewerBytesIsNeverSpliced)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    constexpr qint64 total = 800000;
    const QByteArray bytes = pattern(0, total);
    // The server ignores "If-Range"; the first ranged request (the resume) gets the row's answer:
    // a 206 with another ETag, one whose Content-Range states another total, or a valid 206 that
    // covers only the first quarter of the rest.
    const struct {
        const char *fault;
        bool startsOver; // else the rest is asked for again
    } cases[] = {{"etag", true}, {"total", true}, {"short", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        const QString name = QLatin1String(c.fault) + QStringLiteral(".bin");
        const QString path = QStringLiteral("/faulty/") + name;
        ZRDownloadPtr download = manager.enqueue(server.url(
            path +
            QStringLiteral("?size=%1&rate=400000&faults=1:%2").arg(total).arg(QLatin1String(c.fault))));
        const qint64 kept = pauseWhenPartlyThere(download, bundlePath(name) + u'/' + name);
        ASSERT_GT(kept, 0);

        download->togglePause();
        ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 20000));
        EXPECT_EQ(download->status(), ZRDownloadStatusComplete);
        const QByteArray result = readFile(downloadsPath(name));
        EXPECT_EQ(result.size(), total);
        EXPECT_TRUE(result == bytes) << "one version of the file, whole";
        EXPECT_FALSE(QFileInfo::exists(bundlePath(name)));
        const QString rest = QStringLiteral("bytes=%1-").arg(kept);
        const QString again =
            c.startsOver ? QStringLiteral("-") : QStringLiteral("bytes=%1-").arg(kept + (total - kept) / 4);
        EXPECT_EQ(QString::fromLatin1(server.get(QStringLiteral("/ranges?key=") + path))
                      .split(u'\n', Qt::SkipEmptyParts),
                  (QStringList{QStringLiteral("-"), rest, again}));
    }
}

TEST_P(DownloadLifecycle, AResumeThatIsRedirectedKeepsTheBytesOnDisk)
{
    ZRTestNginx server(ZRTestNginx::Options{400 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);
    ZRTestScriptedServer redirector;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(redirector);
    const QByteArray bytes = pattern(0, 800000);
    ASSERT_TRUE(server.addFile(QStringLiteral("moved.bin"), bytes));
    const QString fileURL = server.limitedURL(QStringLiteral("/moved.bin"));

    ZRDownloadPtr download = manager.enqueue(fileURL);
    const QString intermediate = bundlePath(QStringLiteral("moved.bin")) + QStringLiteral("/moved.bin");
    ASSERT_GT(pauseWhenPartlyThere(download, intermediate), 0);
    // The address that answered last now sends the client on to the file, with a redirect that
    // keeps the request's header fields (the range among them).
    download->userSettings().insert(ZRDownloadKeys::ResponseURL,
                                    redirector.url(QStringLiteral("/redirect-to?status=307&url=")
                                                   + QString::fromLatin1(QUrl::toPercentEncoding(fileURL))));

    download->togglePause();
    ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 15000));
    EXPECT_EQ(download->status(), ZRDownloadStatusComplete);
    const QByteArray result = readFile(downloadsPath(QStringLiteral("moved.bin")));
    EXPECT_EQ(result.size(), bytes.size());
    EXPECT_TRUE(result == bytes);
    // The rest came in one ranged request: nothing was loaded twice.
    const QStringList lines = accessLines(server, QStringLiteral("/moved.bin"));
    ASSERT_EQ(lines.size(), 2) << lines.join(u'\n').toStdString();
    EXPECT_TRUE(lines[1].contains(QStringLiteral(" 206 "))) << lines[1].toStdString();
}

namespace {

// Bytes that may still be written before the disk is full.
std::atomic<qint64> gDiskBudget{0};

ssize_t writeUntilTheDiskIsFull(int fd, const void *buffer, size_t count)
{
    if (gDiskBudget.load() < qint64(count)) {
        errno = ENOSPC;
        return -1;
    }
    gDiskBudget -= qint64(count);
    return write(fd, buffer, count);
}

} // namespace

TEST_P(DownloadLifecycle, AFullDiskInterruptsAndKeepsTheDataForAResume)
{
    ZRTestNginx server(ZRTestNginx::Options{1000 * 1000, false});
    ZR_START_NGINX_OR_SKIP(server);
    const QByteArray bytes = pattern(0, 600000);
    ASSERT_TRUE(server.addFile(QStringLiteral("disk.bin"), bytes));
    const QString intermediate = bundlePath(QStringLiteral("disk.bin")) + QStringLiteral("/disk.bin");

    ZRDownloadPtr download;
    {
        ZRSystemCallsOverride restore;
        gDiskBudget = 200000;
        ZRSystem().write = &writeUntilTheDiskIsFull;
        download = manager.enqueue(server.limitedURL(QStringLiteral("/disk.bin")));
        ASSERT_TRUE(waitUntil([&] { return download->isInterrupted(); }, 10000));
    }
    EXPECT_EQ(download->statusDescriptionWithLiveDetails(false), QStringLiteral("Interrupted"));
    const qint64 kept = QFileInfo(intermediate).size();
    EXPECT_GT(kept, 0);
    EXPECT_EQ(readFile(intermediate), bytes.left(kept));

    download->togglePause();
    ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 15000));
    EXPECT_EQ(download->status(), ZRDownloadStatusComplete);
    EXPECT_TRUE(readFile(downloadsPath(QStringLiteral("disk.bin"))) == bytes);
}

namespace {

class MissingVolume : public testing::Test {
protected:
    void TearDown() override { ZRExtensions::setVolumeRootsForTesting({}); }
    ZRLiveDownloadManager manager;
};

// A waiting download whose data lies on a disk that is not mounted.
ZRDownloadPtr downloadOnMissingDisk(ZRLiveDownloadManager &manager, const QString &root, const QString &name)
{
    ZRDownloadPtr download = ZRDownload::downloadWithURLString(QStringLiteral("http://127.0.0.1:9/") + name, false);
    download->userSettings().insert(ZRDownloadKeys::ResponseURL, download->URLString());
    download->setName(name);
    download->setIntermediateDownloadTargetPath(root + QStringLiteral("/Disk/") + name + QStringLiteral(".quorvel/") + name);
    manager.downloads.append(download);
    download->addToQueue();
    return download;
}

} // namespace

TEST_F(MissingVolume, DownloadsOnAnUnmountedDiskPauseAndShareOneAlert)
{
    const QString root = ZRTestSupport::sandboxRoot() + QStringLiteral("/media");
    ZRExtensions::setVolumeRootsForTesting({root}, [](const QString &) { return false; });
    ZRDownloadPtr first = downloadOnMissingDisk(manager, root, QStringLiteral("one.iso"));
    ZRDownloadPtr second = downloadOnMissingDisk(manager, root, QStringLiteral("two.iso"));

    first->startDownload();
    second->startDownload();
    for (const ZRDownloadPtr &download : {first, second}) {
        EXPECT_EQ(download->status(), ZRDownloadStatusPaused);
        EXPECT_FALSE(download->hasDownloadWorkers());
        // Nothing is forgotten: the disk may come back.
        EXPECT_TRUE(download->userSettings().contains(ZRDownloadKeys::ResponseURL));
    }
    ASSERT_TRUE(waitUntil([&] { return !manager.alerts.isEmpty(); }, 3000));
    ZRTestSupport::processEventsFor(200);
    ASSERT_EQ(manager.alerts.size(), 1);
    EXPECT_TRUE(manager.alerts[0].startsWith(QStringLiteral("Cannot resume downloading\n")));
    EXPECT_TRUE(manager.alerts[0].endsWith(QStringLiteral(":\n\none.iso\ntwo.iso"))) << manager.alerts[0].toStdString();
}

TEST(MissingVolumeAlert, ListsAtMostTenLines)
{
    QStringList names;
    for (int i = 1; i <= 12; ++i)
        names.append(QStringLiteral("f%1").arg(i));
    const QString message = ZRMissingVolumeAlertController::alertMessageForNames(names);
    EXPECT_TRUE(message.endsWith(QStringLiteral("\n\nf1\nf2\nf3\nf4\nf5\nf6\nf7\nf8\nf9\n(3 more)")))
        << message.toStdString();
    EXPECT_TRUE(ZRMissingVolumeAlertController::alertMessageForNames(names.mid(0, 10)).endsWith(QStringLiteral("f9\nf10")));
}

namespace {

// A list that lets its rows shrink on its own schedule.
struct ShrinkingList : ZRDownloadVanishView {
    int steps = 0;
    void performVanishStepForDownload(ZRDownload *download) override
    {
        ++steps;
        QMetaObject::invokeMethod(QCoreApplication::instance(), [download] { download->performVanishStep(); },
                                  Qt::QueuedConnection);
    }
};

} // namespace

TEST(DownloadVanishing, TheRowFadesThenShrinksThenLeavesTheList)
{
    ZRLiveDownloadManager manager;
    ZRUserDefaults::standardUserDefaults().setBool(true, QStringLiteral("Useless Animations"));
    ZRDownloadPtr download = ZRDownload::downloadWithURLString(QStringLiteral("http://example.com/a.zip"), false);
    manager.downloads.append(download);
    ShrinkingList list;

    download->vanishInView(&list, 0);
    EXPECT_TRUE(download->isVanishing());
    EXPECT_EQ(download->vanishFraction(), -0.125);
    ASSERT_TRUE(waitUntil([&] { return manager.removals == 1; }, 3000));
    EXPECT_TRUE(manager.downloads.isEmpty());
    // The list ran the shrinking steps (row heights 8/8 down to 2/8); the fading ones were redraws.
    EXPECT_EQ(list.steps, 7);

    // Without animations a download leaves at once.
    ZRUserDefaults::standardUserDefaults().setBool(false, QStringLiteral("Useless Animations"));
    ZRDownloadPtr other = ZRDownload::downloadWithURLString(QStringLiteral("http://example.com/b.zip"), false);
    manager.downloads.append(other);
    other->vanishInView(&list, 0);
    EXPECT_EQ(manager.removals, 2);
    ZRUserDefaults::standardUserDefaults().removeObjectForKey(QStringLiteral("Useless Animations"));
}
