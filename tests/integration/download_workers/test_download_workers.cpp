// Download workers against loopback servers: what the server sends, what the worker must ask for,
// what must be on disk afterwards, and what the download (a recording delegate here) hears.
#include "ZRTestRangeServer.h"

#include "core/download/ZRDownloadWorker.h"
#include "core/download/ZRHTTPRequestDownloadWorker.h"
#include "core/foundation/ZRSystemCalls.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/http/ZRHTTPRequest.h"
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestScriptedServer.h"
#include "tests/support/ZRTestEngineCallbacks.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <functional>

using ZRTestSupport::readFile;
using ZRTestSupport::waitUntil;
using ZRTestSupport::writeFile;

namespace {

[[maybe_unused]] testing::Environment *const engineCallbacks =
    testing::AddGlobalTestEnvironment(new ZRTestSupport::QueuedEngineCallbacks);

struct RecordingDelegate : ZRDownloadWorkerDelegate {
    QString target;
    QString events; // H headers, B bytes, R reset, F finish, X failure
    qint64 bytes = 0;
    qint64 statusCode = 0;
    QString suggestedFilename;
    ZRHTTPErrorPtr error;
    std::function<void(ZRDownloadWorkerPrototype &)> onHeaders;
    std::function<void(ZRDownloadWorkerPrototype &)> onBytes;

    bool isDone() const { return events.endsWith(QLatin1Char('F')) || events.endsWith(QLatin1Char('X')); }

    QString targetPathForDownloadWorker(ZRDownloadWorkerPrototype &) override { return target; }
    void resetProgressForDownloadWorker(ZRDownloadWorkerPrototype &) override { events += QLatin1Char('R'); }
    void downloadWorkerDidReceiveResponseHeaders(ZRDownloadWorkerPrototype &worker, const ZRHTTPHeaders &,
                                                 const QUrl &, qint64 status, const QString &name) override
    {
        events += QLatin1Char('H');
        statusCode = status;
        suggestedFilename = name;
        if (onHeaders)
            onHeaders(worker);
    }
    void downloadWorkerDidReceiveBytes(ZRDownloadWorkerPrototype &worker, qint64 count) override
    {
        if (!events.endsWith(QLatin1Char('B')))
            events += QLatin1Char('B');
        bytes += count;
        if (onBytes)
            onBytes(worker);
    }
    void downloadWorkerDidFailWithError(ZRDownloadWorkerPrototype &, const ZRHTTPErrorPtr &failure) override
    {
        events += QLatin1Char('X');
        error = failure;
    }
    void downloadWorkerDidFinish(ZRDownloadWorkerPrototype &) override { events += QLatin1Char('F'); }
};

enum class Kind { basic, engine };

std::string kindName(const testing::TestParamInfo<Kind> &info)
{
    return info.param == Kind::basic ? "Basic" : "Engine";
}

QByteArray pattern(qint64 offset, qint64 length)
{
    return ZRTestScriptedServer::patternBytes(offset, length);
}

class DownloadWorkers : public testing::TestWithParam<Kind> {
protected:
    void TearDown() override
    {
        for (const QString &key : {ZRDownloadWorkerDefaultsKeys::RequestTimeoutInterval,
                                   ZRDownloadWorkerDefaultsKeys::CustomUserAgent})
            ZRUserDefaults::standardUserDefaults().removeObjectForKey(key);
    }

    ZRDownloadWorkerPtr makeWorker(const QString &url)
    {
        ZRDownloadWorkerPtr worker;
        if (GetParam() == Kind::basic)
            worker = std::make_shared<ZRDownloadWorker>();
        else
            worker = std::make_shared<ZRHTTPRequestDownloadWorker>();
        worker->setURL(QUrl(url));
        worker->setDelegate(&delegate);
        delegate.target = folder.filePath(QStringLiteral("file.bin"));
        return worker;
    }

    bool run(const ZRDownloadWorkerPtr &worker, int milliseconds = 20000)
    {
        if (!worker->start())
            return false;
        return waitUntil([this] { return delegate.isDone(); }, milliseconds);
    }

    // What a resumed transfer left on disk, joined as the download joins it.
    QByteArray joinedFile() const
    {
        QByteArray joined = readFile(delegate.target);
        if (GetParam() == Kind::basic)
            joined += readFile(delegate.target + QStringLiteral(".quorvel-rf-1"));
        return joined;
    }

    QTemporaryDir folder{ZRTestSupport::sandboxRoot() + QStringLiteral("/workers-XXXXXX")};
    RecordingDelegate delegate;
};

INSTANTIATE_TEST_SUITE_P(BothKinds, DownloadWorkers, testing::Values(Kind::basic, Kind::engine), kindName);

TEST_P(DownloadWorkers, DownloadsAWholeFileAndReportsInOrder)
{
    ZRTestNginx nginx;
    ZR_START_NGINX_OR_SKIP(nginx);
    ASSERT_TRUE(nginx.addPatternFile(QStringLiteral("/files/archive.bin"), 300000));
    const auto worker = makeWorker(nginx.httpURL(QStringLiteral("/files/archive.bin")));

    ASSERT_TRUE(run(worker));
    EXPECT_EQ(delegate.events, QStringLiteral("HBF"));
    EXPECT_EQ(delegate.statusCode, 200);
    EXPECT_EQ(delegate.suggestedFilename, QStringLiteral("archive.bin"));
    EXPECT_EQ(delegate.bytes, 300000);
    EXPECT_EQ(worker->status(), ZRWorkerStatusFinished);
    EXPECT_EQ(worker->expectedBytes(), 300000);
    EXPECT_EQ(worker->responseTotalBytes(), 300000);
    EXPECT_FALSE(worker->responseValidator().isEmpty());
    EXPECT_EQ(readFile(delegate.target), pattern(0, 300000));
}

TEST_P(DownloadWorkers, ResumesWithIfRangeAndAddsOnlyTheMissingBytes)
{
    ZRTestNginx nginx;
    ZR_START_NGINX_OR_SKIP(nginx);
    ASSERT_TRUE(nginx.addPatternFile(QStringLiteral("/resume.bin"), 200000));
    const QString url = nginx.httpURL(QStringLiteral("/resume.bin"));

    // The first full response tells the validator and the total; the download records them.
    auto first = makeWorker(url);
    ASSERT_TRUE(run(first));
    const QString validator = first->responseValidator();
    const qint64 total = first->responseTotalBytes();
    ASSERT_FALSE(validator.isEmpty());

    ASSERT_TRUE(writeFile(delegate.target, pattern(0, 70000)));
    delegate = RecordingDelegate();
    auto resumed = makeWorker(url);
    resumed->setTargetPath(delegate.target);
    resumed->setResumeByteOffset(70000);
    resumed->setRangeValidator(validator);
    resumed->setExpectedTotalBytes(total);
    ASSERT_TRUE(run(resumed));

    EXPECT_EQ(delegate.events, QStringLiteral("HBF"));
    EXPECT_EQ(delegate.statusCode, 206);
    EXPECT_TRUE(resumed->responseHonoursRequestedRange());
    EXPECT_EQ(delegate.bytes, 130000);
    EXPECT_EQ(joinedFile(), pattern(0, 200000));
    if (GetParam() == Kind::basic) {
        EXPECT_EQ(readFile(delegate.target), pattern(0, 70000)) << "the basic worker never touches what is on disk";
    }
}

TEST_P(DownloadWorkers, AChangedFileIsNeverAppendedToTheOldOne)
{
    // nginx answers a stale If-Range with the whole (new) file and status 200.
    ZRTestNginx nginx;
    ZR_START_NGINX_OR_SKIP(nginx);
    ASSERT_TRUE(nginx.addPatternFile(QStringLiteral("/changed.bin"), 100000));
    auto worker = makeWorker(nginx.httpURL(QStringLiteral("/changed.bin")));
    ASSERT_TRUE(writeFile(delegate.target, QByteArray(40000, 'o')));
    worker->setTargetPath(delegate.target);
    worker->setResumeByteOffset(40000);
    worker->setRangeValidator(QStringLiteral("\"an-older-version\""));

    ASSERT_TRUE(run(worker));
    EXPECT_EQ(delegate.events, QStringLiteral("HX"));
    EXPECT_EQ(delegate.statusCode, 200);
    EXPECT_FALSE(worker->responseHonoursRequestedRange());
    ASSERT_TRUE(delegate.error);
    EXPECT_EQ(delegate.error->domain, ZRDownloadWorkerErrorDomain);
    EXPECT_EQ(delegate.error->code, ZRDownloadWorkerRangeNotHonouredErrorCode);
    EXPECT_EQ(worker->status(), ZRWorkerStatusFailed);
    EXPECT_EQ(delegate.bytes, 0);
    EXPECT_EQ(readFile(delegate.target), QByteArray(40000, 'o'));
    EXPECT_FALSE(QFile::exists(delegate.target + QStringLiteral(".quorvel-rf-1")));
}

TEST_P(DownloadWorkers, AWholeAnswerTakenBackToByteZeroIsWrittenAfresh)
{
    // What the download does when a resume of its only worker gets a 200: it drops the old data
    // and lets the worker start over with this response.
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    auto worker = makeWorker(server.url(QStringLiteral("/ignore-range?size=5000")));
    ASSERT_TRUE(writeFile(delegate.target, QByteArray(3000, 'o')));
    worker->setTargetPath(delegate.target);
    worker->setResumeByteOffset(3000);
    delegate.onHeaders = [this](ZRDownloadWorkerPrototype &w) {
        if (delegate.statusCode == 200 && w.resumeByteOffset() > 0) {
            w.setResumeByteOffset(0);
            QFile::remove(delegate.target);
        }
    };

    ASSERT_TRUE(run(worker));
    EXPECT_EQ(delegate.events, QStringLiteral("HBF"));
    EXPECT_EQ(readFile(delegate.target), pattern(0, 5000));
}

TEST_P(DownloadWorkers, PartialContentFromElsewhereIsNeverAppended)
{
    const std::string body(100, 'n');
    struct Case {
        const char *contentRange;
        const char *why;
    };
    for (const Case &c : {Case{"bytes 50-149/200", "starts before the requested byte"},
                          Case{"bytes 100-199/999", "states another total"},
                          Case{"", "has no Content-Range"}}) {
        SCOPED_TRACE(c.why);
        ZRTestRangeServer server([&](const ZRTestRangeServer::Request &) {
            std::vector<std::pair<std::string, std::string>> fields{{"ETag", "\"v1\""}};
            if (*c.contentRange)
                fields.emplace_back("Content-Range", c.contentRange);
            return ZRTestRangeServer::response(206, fields, body);
        });
        ASSERT_TRUE(server.isListening());
        delegate = RecordingDelegate();
        auto worker = makeWorker(QString::fromStdString(server.url("/partial.bin")));
        ASSERT_TRUE(writeFile(delegate.target, QByteArray(100, 'o')));
        worker->setTargetPath(delegate.target);
        worker->setResumeByteOffset(100);
        worker->setRangeValidator(QStringLiteral("\"v1\""));
        worker->setExpectedTotalBytes(200);

        ASSERT_TRUE(run(worker));
        EXPECT_EQ(delegate.events, QStringLiteral("HX"));
        ASSERT_TRUE(delegate.error);
        EXPECT_EQ(delegate.error->code, ZRDownloadWorkerRangeNotHonouredErrorCode);
        EXPECT_EQ(readFile(delegate.target), QByteArray(100, 'o'));
        EXPECT_FALSE(QFile::exists(delegate.target + QStringLiteral(".quorvel-rf-1")));
        ASSERT_EQ(server.requests().size(), 1u);
        EXPECT_EQ(server.requests().front().header("range"), "bytes=100-");
        EXPECT_EQ(server.requests().front().header("if-range"), "\"v1\"");
    }
}

TEST_P(DownloadWorkers, AClosedFractionAsksForExactlyItsBytes)
{
    // An acceleration fraction: bytes 1000 to 1999 of a 3000-byte file, nothing on disk yet.
    ZRTestRangeServer server([](const ZRTestRangeServer::Request &request) {
        if (request.header("range") != "bytes=1000-1999")
            return ZRTestRangeServer::response(416, {}, "");
        return ZRTestRangeServer::response(206, {{"Content-Range", "bytes 1000-1999/3000"}},
                                           pattern(1000, 1000).toStdString());
    });
    ASSERT_TRUE(server.isListening());
    auto worker = makeWorker(QString::fromStdString(server.url("/fraction.bin")));
    worker->setFractionStartByte(1000);
    worker->setEndByte(1999);
    worker->setExpectedTotalBytes(3000);

    ASSERT_TRUE(run(worker));
    EXPECT_EQ(delegate.events, QStringLiteral("HBF"));
    EXPECT_FALSE(server.requests().front().has("if-range")) << "no validator was recorded";
    EXPECT_EQ(readFile(delegate.target), pattern(1000, 1000));
}

TEST_P(DownloadWorkers, AnErrorPageIsNotWritten)
{
    ZRTestNginx nginx;
    ZR_START_NGINX_OR_SKIP(nginx);
    auto worker = makeWorker(nginx.httpURL(QStringLiteral("/missing.bin")));

    ASSERT_TRUE(run(worker));
    EXPECT_EQ(delegate.events, QStringLiteral("HF"));
    EXPECT_EQ(delegate.statusCode, 404);
    EXPECT_FALSE(QFile::exists(delegate.target));
}

TEST_P(DownloadWorkers, UserAgentNamesLinuxOrIsLeftOut)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    auto worker = makeWorker(server.url(QStringLiteral("/echo")));
    worker->setReferer(QStringLiteral("http://127.0.0.1/page.html"));
    ASSERT_TRUE(run(worker));
    const QByteArray request = readFile(delegate.target);
    EXPECT_TRUE(request.contains("User-Agent: Mozilla/5.0 (X11; Linux ")) << request.toStdString();
    EXPECT_FALSE(request.contains("Macintosh"));
    EXPECT_TRUE(request.contains("Referer: http://127.0.0.1/page.html"));
    EXPECT_FALSE(request.contains("Range:"));

    ZRUserDefaults::standardUserDefaults().setObject(QStringLiteral("-"), ZRDownloadWorkerDefaultsKeys::CustomUserAgent);
    delegate = RecordingDelegate();
    worker = makeWorker(server.url(QStringLiteral("/echo")));
    ASSERT_TRUE(run(worker));
    const QByteArray bare = readFile(delegate.target);
    EXPECT_FALSE(bare.contains("Mozilla")) << bare.toStdString();
    EXPECT_FALSE(bare.contains("curl"));
}

TEST_P(DownloadWorkers, AStalledTransferTimesOut)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    ZRUserDefaults::standardUserDefaults().setInteger(1, ZRDownloadWorkerDefaultsKeys::RequestTimeoutInterval);
    auto worker = makeWorker(server.url(QStringLiteral("/stall?size=1000&after=100&seconds=25")));

    ASSERT_TRUE(run(worker, 15000));
    EXPECT_EQ(delegate.events, QStringLiteral("HBX"));
    ASSERT_TRUE(delegate.error);
    EXPECT_EQ(delegate.error->code, ZRHTTPRequestTimedOutErrorCode);
    EXPECT_EQ(delegate.bytes, 100);
    EXPECT_EQ(readFile(delegate.target), pattern(0, 100)) << "what arrived stays for a resume";
}

TEST_P(DownloadWorkers, TruncationCutsTheFileAndEndsTheTransfer)
{
    ZRTestNginx::Options options;
    options.limitRateBytesPerSecond = 200 * 1024;
    options.https = false;
    ZRTestNginx nginx(options);
    ZR_START_NGINX_OR_SKIP(nginx);
    ASSERT_TRUE(nginx.addPatternFile(QStringLiteral("/big.bin"), 4 * 1024 * 1024));
    auto worker = makeWorker(nginx.limitedURL(QStringLiteral("/big.bin")));
    bool truncated = false;
    delegate.onBytes = [&](ZRDownloadWorkerPrototype &w) {
        // As the download does when the first worker reaches the second fraction.
        if (!truncated && w.downloadedBytes() >= 60000) {
            truncated = true;
            EXPECT_TRUE(w.truncateAtOffset(50000));
        }
    };

    ASSERT_TRUE(run(worker));
    ZRTestSupport::processEventsFor(300);
    EXPECT_EQ(delegate.events, QStringLiteral("HBF"));
    EXPECT_EQ(worker->status(), ZRWorkerStatusTruncated);
    EXPECT_EQ(worker->downloadedBytes(), 50000);
    EXPECT_EQ(readFile(delegate.target), pattern(0, 50000));
    EXPECT_FALSE(worker->truncateAtOffset(10)) << "nothing left to cut";
}

TEST_P(DownloadWorkers, ALinkPlantedAtTheTargetIsNotFollowed)
{
    ZRTestNginx nginx;
    ZR_START_NGINX_OR_SKIP(nginx);
    ASSERT_TRUE(nginx.addPatternFile(QStringLiteral("/a.bin"), 1000));
    auto worker = makeWorker(nginx.httpURL(QStringLiteral("/a.bin")));
    const QString victim = folder.filePath(QStringLiteral("victim.txt"));
    ASSERT_TRUE(writeFile(victim, "precious"));
    ASSERT_TRUE(QFile::link(victim, delegate.target));

    ASSERT_TRUE(run(worker));
    EXPECT_EQ(delegate.events, QStringLiteral("HX"));
    ASSERT_TRUE(delegate.error);
    EXPECT_EQ(delegate.error->code, ZRDownloadWorkerCannotWriteErrorCode);
    EXPECT_EQ(readFile(victim), QByteArray("precious"));
}

TEST_P(DownloadWorkers, ARedirectStartsTheFileOver)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    auto worker = makeWorker(server.url(QStringLiteral("/redirect/1")));

    ASSERT_TRUE(run(worker));
    // The engine worker reports the redirect's headers and starts over; the basic one sees only
    // the final response.
    EXPECT_EQ(delegate.events, GetParam() == Kind::engine ? QStringLiteral("HRHBF") : QStringLiteral("HBF"));
    EXPECT_EQ(delegate.statusCode, 200);
    EXPECT_EQ(readFile(delegate.target), QByteArray("done"));
}

TEST_P(DownloadWorkers, AFullDiskFailsTheWorker)
{
    ZRTestNginx nginx;
    ZR_START_NGINX_OR_SKIP(nginx);
    ASSERT_TRUE(nginx.addPatternFile(QStringLiteral("/full.bin"), 100000));
    auto worker = makeWorker(nginx.httpURL(QStringLiteral("/full.bin")));
    {
        ZRSystemCallsOverride restore;
        ZRSystem().write = [](int, const void *, size_t) -> ssize_t {
            errno = ENOSPC;
            return -1;
        };
        ASSERT_TRUE(run(worker));
    }
    EXPECT_EQ(delegate.events, QStringLiteral("HX"));
    ASSERT_TRUE(delegate.error);
    EXPECT_EQ(delegate.error->domain, ZRDownloadWorkerErrorDomain);
    EXPECT_EQ(delegate.error->code, ZRDownloadWorkerCannotWriteErrorCode);
    EXPECT_EQ(worker->status(), ZRWorkerStatusFailed);
}

TEST_P(DownloadWorkers, AnOwnerLettingGoDuringACallbackEndsTheTransferQuietly)
{
    ZRTestNginx nginx;
    ZR_START_NGINX_OR_SKIP(nginx);
    ASSERT_TRUE(nginx.addPatternFile(QStringLiteral("/drop.bin"), 500000));
    for (const bool duringBytes : {false, true}) {
        SCOPED_TRACE(duringBytes ? "dropped at the first bytes" : "dropped at the headers");
        delegate = RecordingDelegate();
        auto worker = makeWorker(nginx.httpURL(QStringLiteral("/drop.bin")));
        // As the download does when it drops its worker list.
        (duringBytes ? delegate.onBytes : delegate.onHeaders) = [&worker](ZRDownloadWorkerPrototype &) { worker.reset(); };
        ASSERT_TRUE(worker->start());
        ASSERT_TRUE(waitUntil([&] { return !worker; }, 10000));
        ZRTestSupport::processEventsFor(300);
        EXPECT_EQ(delegate.events, duringBytes ? QStringLiteral("HB") : QStringLiteral("H"));
    }
}

TEST(EngineDownloadWorker, NeverAppendsAfterAGapOrOverLeftovers)
{
    // The file must hold exactly the resume offset's bytes: fewer leave a gap that nothing can
    // fill, more are left over from an earlier transfer and are cut off.
    ZRTestRangeServer server([](const ZRTestRangeServer::Request &) {
        return ZRTestRangeServer::response(206, {{"Content-Range", "bytes 500-999/1000"}},
                                           pattern(500, 500).toStdString());
    });
    ASSERT_TRUE(server.isListening());
    QTemporaryDir folder(ZRTestSupport::sandboxRoot() + QStringLiteral("/gaps-XXXXXX"));
    for (const qint64 onDisk : {100, 800}) {
        SCOPED_TRACE(onDisk);
        RecordingDelegate delegate;
        delegate.target = folder.filePath(QStringLiteral("gap.bin"));
        ASSERT_TRUE(writeFile(delegate.target, pattern(0, onDisk)));
        auto worker = std::make_shared<ZRHTTPRequestDownloadWorker>();
        worker->setURL(QUrl(QString::fromStdString(server.url("/gap.bin"))));
        worker->setDelegate(&delegate);
        worker->setTargetPath(delegate.target);
        worker->setResumeByteOffset(500);
        ASSERT_TRUE(worker->start());
        ASSERT_TRUE(waitUntil([&] { return delegate.isDone(); }, 10000));
        if (onDisk < 500) {
            EXPECT_EQ(delegate.events, QStringLiteral("HX"));
            EXPECT_EQ(readFile(delegate.target), pattern(0, onDisk));
        } else {
            EXPECT_EQ(delegate.events, QStringLiteral("HBF"));
            EXPECT_EQ(readFile(delegate.target), pattern(0, 1000));
        }
    }
}

// --- The basic worker alone: file URLs ---

TEST(BasicDownloadWorker, CopiesAndResumesFileURLs)
{
    QTemporaryDir folder(ZRTestSupport::sandboxRoot() + QStringLiteral("/file-urls-XXXXXX"));
    const QString source = folder.filePath(QStringLiteral("source document.pdf"));
    ASSERT_TRUE(writeFile(source, pattern(0, 50000)));
    const QUrl url = QUrl::fromLocalFile(source);

    auto worker = ZRDownloadWorkerPrototype::downloadWorkerForURL(url);
    ASSERT_TRUE(std::dynamic_pointer_cast<ZRDownloadWorker>(worker)) << "file URLs take the basic worker";
    RecordingDelegate delegate;
    delegate.target = folder.filePath(QStringLiteral("copy.pdf"));
    worker->setDelegate(&delegate);
    ASSERT_TRUE(worker->start());
    ASSERT_TRUE(waitUntil([&] { return delegate.isDone(); }, 10000));
    EXPECT_EQ(delegate.events, QStringLiteral("HBF"));
    EXPECT_EQ(delegate.statusCode, -1);
    EXPECT_EQ(delegate.suggestedFilename, QStringLiteral("source document.pdf"));
    EXPECT_EQ(readFile(delegate.target), pattern(0, 50000));

    // A resume reads only the rest of the file into a fragment beside the target.
    ASSERT_TRUE(writeFile(delegate.target, pattern(0, 20000)));
    delegate = RecordingDelegate();
    delegate.target = folder.filePath(QStringLiteral("copy.pdf"));
    worker = ZRDownloadWorkerPrototype::downloadWorkerForURL(url);
    worker->setDelegate(&delegate);
    worker->setTargetPath(delegate.target);
    worker->setResumeByteOffset(20000);
    ASSERT_TRUE(worker->start());
    ASSERT_TRUE(waitUntil([&] { return delegate.isDone(); }, 10000));
    EXPECT_EQ(delegate.events, QStringLiteral("HBF"));
    EXPECT_EQ(worker->expectedBytes(), 30000);
    EXPECT_EQ(readFile(delegate.target + QStringLiteral(".quorvel-rf-1")), pattern(20000, 30000));

    // A missing file cannot start.
    worker = ZRDownloadWorkerPrototype::downloadWorkerForURL(QUrl::fromLocalFile(folder.filePath(QStringLiteral("none"))));
    worker->setDelegate(&delegate);
    EXPECT_FALSE(worker->start());
    EXPECT_EQ(worker->status(), ZRWorkerStatusFailed);
}

} // namespace
