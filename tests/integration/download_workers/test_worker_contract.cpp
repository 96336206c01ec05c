// The worker contract without a server: range header, time-out, user agents, names from responses,
// validators, the base worker's own transitions and the class-wide bandwidth settings.
#include "core/download/ZRDownloadWorker.h"
#include "core/download/ZRHTTPRequestDownloadWorker.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/http/ZRHTTPRequest.h"

#include <gtest/gtest.h>

namespace {

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

TEST(WorkerContract, RangeHeaderAndTimeOut)
{
    EXPECT_EQ(ZRDownloadWorkerPrototype::rangeHeaderValue(0, 0), QString());
    EXPECT_EQ(ZRDownloadWorkerPrototype::rangeHeaderValue(500, 0), QStringLiteral("bytes=500-"));
    EXPECT_EQ(ZRDownloadWorkerPrototype::rangeHeaderValue(1000, 1999), QStringLiteral("bytes=1000-1999"));
    EXPECT_EQ(ZRDownloadWorkerPrototype::rangeHeaderValue(0, 1999), QStringLiteral("bytes=0-1999"));

    for (qint64 stored : {0, -5}) {
        defaults().setInteger(stored, ZRDownloadWorkerDefaultsKeys::RequestTimeoutInterval);
        EXPECT_EQ(ZRDownloadWorkerPrototype::requestTimeoutInterval(), 60.0) << stored;
    }
    defaults().setInteger(7, ZRDownloadWorkerDefaultsKeys::RequestTimeoutInterval);
    EXPECT_EQ(ZRDownloadWorkerPrototype::requestTimeoutInterval(), 7.0);
    defaults().removeObjectForKey(ZRDownloadWorkerDefaultsKeys::RequestTimeoutInterval);
}

TEST(WorkerContract, UserAgents)
{
    const QString agent = ZRDownloadWorkerPrototype::defaultUserAgent();
    EXPECT_TRUE(agent.startsWith(QStringLiteral("Mozilla/5.0 (X11; Linux "))) << agent.toStdString();
    EXPECT_TRUE(agent.contains(QStringLiteral(") Version/")));

    const QUrl page(QStringLiteral("http://example.org/file.zip"));
    EXPECT_EQ(ZRDownloadWorkerPrototype::userAgentForURL(page), agent);
    EXPECT_EQ(ZRDownloadWorkerPrototype::userAgentForURL(QUrl(QStringLiteral("http://TRAILERS.apple.com/movie.mov"))),
              QStringLiteral("QuickTime/7.6.6 ") + agent);
    defaults().setObject(QString(), ZRDownloadWorkerDefaultsKeys::CustomUserAgent);
    EXPECT_EQ(ZRDownloadWorkerPrototype::userAgentForURL(page), agent) << "an empty value uses the default";
    defaults().setObject(QStringLiteral("-"), ZRDownloadWorkerDefaultsKeys::CustomUserAgent);
    EXPECT_EQ(ZRDownloadWorkerPrototype::userAgentForURL(page), std::nullopt);
    defaults().setObject(QStringLiteral("Fetcher/2"), ZRDownloadWorkerDefaultsKeys::CustomUserAgent);
    EXPECT_EQ(ZRDownloadWorkerPrototype::userAgentForURL(page), QStringLiteral("Fetcher/2"));
    defaults().removeObjectForKey(ZRDownloadWorkerDefaultsKeys::CustomUserAgent);
}

TEST(WorkerContract, ExtensionPolicy)
{
    struct Row {
        const char *name;
        const char *contentType;
        qint64 policy;
        const char *expected;
    };
    const Row rows[] = {
        {"report", "application/pdf", 1, "report.pdf"},
        {"report.txt", "application/pdf", 1, "report.txt"},
        {"report.txt", "application/pdf", 3, "report.txt.pdf"},
        {"report.pdf", "application/pdf; charset=binary", 3, "report.pdf"},
        {"report", "application/pdf", 0, "report"},
        {"report", "application/pdf", 4, "report"},
        {"notes.txt", "text/plain", 2, "notes.txt"},     // the extension belongs to the type
        {"photo.jpeg", "image/jpeg", 2, "photo.jpeg"},   // so does this one, though not preferred
        {"photo.jpeg", "image/jpeg", 3, "photo.jpeg.jpg"},
        {"data.bin", "application/pdf", 2, "data.bin.pdf"},
        {"report", "", 1, "report"},
        {"report", "application/x-no-such-type", 1, "report"},
        {"picture", "image/jpeg", 1, "picture.jpg"},
        {"a:b", "application/zip", 1, "a_b.zip"},        // the name is cleaned when it changes
    };
    for (const Row &row : rows) {
        EXPECT_EQ(ZRDownloadWorkerPrototype::filenameByApplyingExtensionPolicy(
                      QString::fromUtf8(row.name), QString::fromUtf8(row.contentType), row.policy),
                  QString::fromUtf8(row.expected))
            << row.name << " " << row.contentType << " policy " << row.policy;
    }
}

TEST(WorkerContract, NamesFromContentDisposition)
{
    const std::pair<const char *, const char *> rows[] = {
        {"attachment; filename=\"Annual Report.pdf\"", "Annual Report.pdf"},
        {"attachment; filename=plain.zip", "plain.zip"},
        {"attachment; filename = 'single.txt'", "single.txt"},
        {"attachment; filename=\"\"", ""},
        {"attachment; filename*=UTF-8''x.pdf", ""},
        {"attachment", ""},
        {"attachment; filename=\"a.pdf\"; size=123", "a.pdf"},
        {"attachment; filename=b.pdf; filename*=UTF-8''b.pdf", "b.pdf"},
        {"attachment; filename=\"say \\\"hi\\\".txt\"", "say \"hi\".txt"},
    };
    for (const auto &[value, expected] : rows)
        EXPECT_EQ(ZRDownloadWorkerPrototype::filenameFromContentDisposition(QString::fromUtf8(value)),
                  QString::fromUtf8(expected))
            << value;
}

TEST(WorkerContract, ValidatorsPreferAStrongEntityTag)
{
    const ZRHTTPHeaders both{{"ETag", "\"abc\""}, {"Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT"}};
    EXPECT_EQ(ZRDownloadWorkerPrototype::validatorFromResponseHeaders(both), QStringLiteral("\"abc\""));
    const ZRHTTPHeaders weak{{"etag", "W/\"abc\""}, {"last-modified", "Tue, 01 Dec 2026 10:00:00 GMT"}};
    EXPECT_EQ(ZRDownloadWorkerPrototype::validatorFromResponseHeaders(weak),
              QStringLiteral("Tue, 01 Dec 2026 10:00:00 GMT"));
    EXPECT_EQ(ZRDownloadWorkerPrototype::validatorFromResponseHeaders({}), QString());
}

struct CountingDelegate : ZRDownloadWorkerDelegate {
    int finishes = 0;
    QString targetPathForDownloadWorker(ZRDownloadWorkerPrototype &) override { return QStringLiteral("/tmp/x"); }
    void resetProgressForDownloadWorker(ZRDownloadWorkerPrototype &) override {}
    void downloadWorkerDidReceiveResponseHeaders(ZRDownloadWorkerPrototype &, const ZRHTTPHeaders &, const QUrl &,
                                                 qint64, const QString &) override
    {
    }
    void downloadWorkerDidReceiveBytes(ZRDownloadWorkerPrototype &, qint64) override {}
    void downloadWorkerDidFailWithError(ZRDownloadWorkerPrototype &, const ZRHTTPErrorPtr &) override {}
    void downloadWorkerDidFinish(ZRDownloadWorkerPrototype &) override { ++finishes; }
};

TEST(WorkerContract, BaseWorkerTransitionsAndCopies)
{
    CountingDelegate delegate;
    auto base = std::make_shared<ZRDownloadWorkerPrototype>();
    base->setDelegate(&delegate);
    EXPECT_FALSE(base->start()) << "no address";
    EXPECT_EQ(base->status(), ZRWorkerStatusFailed);
    base->setURL(QUrl(QStringLiteral("http://127.0.0.1/x")));
    EXPECT_FALSE(base->start()) << "the base has no transport";
    EXPECT_EQ(base->status(), ZRWorkerStatusFailed);

    EXPECT_TRUE(base->truncateAtOffset(1234));
    EXPECT_EQ(base->status(), ZRWorkerStatusTruncated);
    EXPECT_EQ(base->downloadedBytes(), 1234);
    EXPECT_EQ(delegate.finishes, 1);
    EXPECT_EQ(base->targetPathByFallingBackToDelegate(), QStringLiteral("/tmp/x"));

    auto engine = ZRDownloadWorkerPrototype::downloadWorkerForURL(QUrl(QStringLiteral("https://example.org/a")));
    ASSERT_TRUE(std::dynamic_pointer_cast<ZRHTTPRequestDownloadWorker>(engine));
    EXPECT_FALSE(engine->resumesInSeparateFile());
    engine->setDelegate(&delegate);
    engine->setReferer(QStringLiteral("https://example.org/"));
    engine->setAdditionalRequestHeaders(QVariantMap{{QStringLiteral("Cookie"), QStringLiteral("a=b")}});
    engine->setTargetPath(QStringLiteral("/tmp/a"));
    engine->setRangeValidator(QStringLiteral("\"v\""));
    engine->setExpectedTotalBytes(99);
    engine->setResumeByteOffset(10);
    engine->setStatus(ZRWorkerStatusRunning);
    const auto copy = ZRDownloadWorkerPrototype::downloadWorkerWithDownloadWorker(engine.get());
    ASSERT_TRUE(std::dynamic_pointer_cast<ZRHTTPRequestDownloadWorker>(copy));
    EXPECT_EQ(copy->delegate(), &delegate);
    EXPECT_EQ(copy->URL(), engine->URL());
    EXPECT_EQ(copy->referer(), engine->referer());
    EXPECT_EQ(copy->additionalRequestHeaders(), engine->additionalRequestHeaders());
    EXPECT_EQ(copy->targetPath(), QStringLiteral("/tmp/a"));
    EXPECT_EQ(copy->rangeValidator(), QStringLiteral("\"v\""));
    EXPECT_EQ(copy->expectedTotalBytes(), 99);
    EXPECT_EQ(copy->resumeByteOffset(), 0);
    EXPECT_EQ(copy->status(), ZRWorkerStatusIdle);
    EXPECT_EQ(ZRDownloadWorkerPrototype::downloadWorkerWithDownloadWorker(nullptr), nullptr);
}

TEST(WorkerContract, BandwidthSettings)
{
    ZRHTTPRequestDownloadWorker::resetClassStateForTesting();
    ASSERT_TRUE(ZRHTTPRequestDownloadWorker::isAvailable()) << "registered default";
    EXPECT_EQ(ZRDownloadWorkerPrototype::extensionPolicy(), 1) << "registered with availability";
    EXPECT_EQ(ZRHTTPRequestDownloadWorker::throttleLimit(), 100000u);

    ZRHTTPRequestDownloadWorker::setThrottleLimit(0);
    EXPECT_EQ(ZRHTTPRequestDownloadWorker::throttleLimit(), 1000u);
    ZRHTTPRequestDownloadWorker::setThrottled(true);
    EXPECT_TRUE(ZRHTTPRequestDownloadWorker::isThrottled());
    EXPECT_EQ(ZRHTTPRequest::maxBandwidthPerSecond(), 1000u);
    ZRHTTPRequestDownloadWorker::setThrottleLimit(250000);
    EXPECT_EQ(ZRHTTPRequest::maxBandwidthPerSecond(), 250000u);
    ZRHTTPRequestDownloadWorker::setThrottled(false);
    EXPECT_EQ(ZRHTTPRequest::maxBandwidthPerSecond(), 0u);

    // Switching the engine off takes effect at the next launch.
    EXPECT_FALSE(ZRHTTPRequestDownloadWorker::setAvailable(false));
    EXPECT_TRUE(ZRHTTPRequestDownloadWorker::isAvailable());
    EXPECT_TRUE(ZRHTTPRequestDownloadWorker::setAvailable(true));
    ZRHTTPRequestDownloadWorker::setAvailable(false);
    ZRHTTPRequestDownloadWorker::resetClassStateForTesting();
    EXPECT_FALSE(ZRHTTPRequestDownloadWorker::isAvailable());
    ZRHTTPRequestDownloadWorker::setThrottled(true);
    EXPECT_FALSE(ZRHTTPRequestDownloadWorker::isThrottled()) << "no throttling without the engine";
    EXPECT_TRUE(std::dynamic_pointer_cast<ZRDownloadWorker>(
        ZRDownloadWorkerPrototype::downloadWorkerForURL(QUrl(QStringLiteral("http://example.org/a")))));

    for (const QString &key : {ZRDownloadWorkerDefaultsKeys::ThrottleSupported, ZRDownloadWorkerDefaultsKeys::ThrottleEnabled,
                               ZRDownloadWorkerDefaultsKeys::ThrottleLimit})
        defaults().removeObjectForKey(key);
    ZRHTTPRequestDownloadWorker::resetClassStateForTesting();
}

} // namespace
