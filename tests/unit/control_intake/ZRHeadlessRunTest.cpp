// The terminal run that was given addresses: when it lets go, its summary and its exit status.
#include "app/headless/ZRHeadlessRun.h"
#include "core/download/ZRDownload.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

using namespace ZRTestSupport;

namespace
{

class Captured
{
public:
    Captured() : _file(::open_memstream(&_buffer, &_size)) {}
    ~Captured()
    {
        std::fclose(_file);
        std::free(_buffer);
    }
    std::FILE *file() const { return _file; }
    QString text()
    {
        std::fflush(_file);
        return QString::fromLocal8Bit(_buffer, qsizetype(_size));
    }

private:
    char *_buffer = nullptr;
    size_t _size = 0;
    std::FILE *_file;
};

ZRDownloadPtr download(const QString &name, ZRDownloadStatus status)
{
    ZRDownloadPtr result = ZRDownload::downloadWithURLString(QStringLiteral("http://127.0.0.1/") + name, false);
    result->setStatus(status);
    return result;
}

TEST(HeadlessRun, WaitsUntilEveryDownloadSettlesThenReportsAndQuitsOnce)
{
    Captured output;
    int quits = 0;
    ZRHeadlessRun run(output.file(), [&] { ++quits; });
    const ZRDownloadPtr done = download(QStringLiteral("done.zip"), ZRDownloadStatusComplete);
    const ZRDownloadPtr busy = download(QStringLiteral("busy.zip"), ZRDownloadStatusDownloading);
    const ZRDownloadPtr waiting = download(QStringLiteral("waiting.zip"), ZRDownloadStatusQueued);
    run.watch({done, busy, waiting, busy});
    EXPECT_EQ(run.watchedDownloads().size(), 3);

    processEventsFor(300);
    EXPECT_FALSE(run.isFinished());
    EXPECT_EQ(quits, 0);

    busy->setStatus(ZRDownloadStatusComplete);
    waiting->setStatus(ZRDownloadStatusAborted);
    ASSERT_TRUE(waitUntil([&] { return run.isFinished(); }, 2000));
    processEventsFor(300);
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(run.exitStatus(), 1);
    const QString text = output.text();
    EXPECT_TRUE(text.startsWith(QStringLiteral("2 of 3 downloads complete:\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("  waiting.zip \u2014 failed: ")));
}

TEST(HeadlessRun, PausedDownloadsLetGoAndOnlyCompleteRunsSucceed)
{
    Captured output;
    int quits = 0;
    ZRHeadlessRun run(output.file(), [&] { ++quits; });
    const ZRDownloadPtr paused = download(QStringLiteral("paused.zip"), ZRDownloadStatusPaused);
    EXPECT_TRUE(ZRHeadlessRun::isSettled(*paused));
    run.watch({paused});
    ASSERT_TRUE(waitUntil([&] { return quits == 1; }, 2000));
    EXPECT_EQ(run.exitStatus(), 1);
    EXPECT_TRUE(output.text().contains(QStringLiteral("not finished, kept in the queue")));

    Captured emptyOutput;
    ZRHeadlessRun empty(emptyOutput.file(), {});
    empty.watch({});
    ASSERT_TRUE(waitUntil([&] { return empty.isFinished(); }, 2000));
    EXPECT_EQ(empty.exitStatus(), 0);
    EXPECT_EQ(emptyOutput.text(), QStringLiteral("nothing to download\n"));
}

} // namespace
