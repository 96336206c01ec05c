// Ordering downloads: the comparison with its tolerances and tie-breaks, the sortedness check and
// the address list of a selection.
#include "tests/support/ZRTestDownloadManager.h"

#include "core/text/ZRCollectionExtensions.h"

#include <gtest/gtest.h>

namespace {

ZRDownloadPtr makeDownload(const QString &address, const QString &name = QString(),
                           ZRDownloadStatus status = ZRDownloadStatusPaused)
{
    ZRDownloadPtr download = ZRDownload::downloadWithURLString(address, false);
    EXPECT_TRUE(download);
    if (!name.isEmpty())
        download->setName(name);
    download->setStatus(status);
    return download;
}

void setDateAdded(ZRDownload &download, const QDateTime &date)
{
    ZRExtensions::archiveObject(download.userSettings(), date, ZRDownloadKeys::Date);
    download.invalidateDate(true);
}

struct Comparison {
    int result;
    bool fallback;
};

Comparison compare(const ZRDownloadPtr &a, const ZRDownloadPtr &b, qint64 criterion)
{
    bool fallback = false;
    const int result = ZRCompareDownloads(*a, *b, criterion, &fallback);
    return {result, fallback};
}

} // namespace

TEST(DownloadSorting, ComparisonTolerancesAndTieBreaks)
{
    const QDateTime base = QDateTime::fromString(QStringLiteral("2026-03-01T10:00:00.000Z"), Qt::ISODateWithMs);
    struct Row {
        const char *label;
        ZRDownloadPtr a, b;
        qint64 criterion;
        int result;
        bool fallback;
    };
    std::vector<Row> rows;

    {
        ZRDownloadPtr early = makeDownload(QStringLiteral("http://x.com/1"), QStringLiteral("b.zip"));
        ZRDownloadPtr close = makeDownload(QStringLiteral("http://x.com/2"), QStringLiteral("a.zip"));
        ZRDownloadPtr later = makeDownload(QStringLiteral("http://x.com/3"), QStringLiteral("a.zip"));
        setDateAdded(*early, base);
        setDateAdded(*close, base.addMSecs(50));
        setDateAdded(*later, base.addMSecs(200));
        ZRDownloadPtr closeTwin = makeDownload(QStringLiteral("http://x.com/4"), QStringLiteral("a.zip"));
        setDateAdded(*closeTwin, base.addMSecs(120));
        rows.push_back({"dates within 0.1 s fall back to names", early, close, ZRDownloadSortCriterionDate, 1, true});
        rows.push_back({"later date comes after", later, early, ZRDownloadSortCriterionDate, 1, false});
        rows.push_back({"earlier date comes first", early, later, ZRDownloadSortCriterionDate, -1, false});
        rows.push_back({"close dates and same names fall back to addresses", close, closeTwin, ZRDownloadSortCriterionDate, -1, true});
    }
    {
        ZRDownloadPtr complete = makeDownload(QStringLiteral("http://x.com/c"), QStringLiteral("c.zip"), ZRDownloadStatusComplete);
        ZRDownloadPtr paused = makeDownload(QStringLiteral("http://x.com/p"), QStringLiteral("z.zip"), ZRDownloadStatusPaused);
        ZRDownloadPtr waiting = makeDownload(QStringLiteral("http://x.com/w"), QStringLiteral("a.zip"), ZRDownloadStatusQueued);
        ZRDownloadPtr half = makeDownload(QStringLiteral("http://x.com/h"), QStringLiteral("h.zip"), ZRDownloadStatusDownloading);
        half->setDownloadFraction(0.5);
        ZRDownloadPtr nearlyHalf = makeDownload(QStringLiteral("http://x.com/n"), QStringLiteral("n.zip"), ZRDownloadStatusDownloading);
        nearlyHalf->setDownloadFraction(0.500005);
        ZRDownloadPtr barelyStarted = makeDownload(QStringLiteral("http://x.com/b"), QStringLiteral("b.zip"), ZRDownloadStatusDownloading);
        barelyStarted->setDownloadFraction(0.00001);
        rows.push_back({"more progress comes after", complete, paused, ZRDownloadSortCriterionProgress, 1, false});
        rows.push_back({"progress below the tolerance falls back", nearlyHalf, half, ZRDownloadSortCriterionProgress, 1, true});
        rows.push_back({"not begun: paused before waiting", paused, waiting, ZRDownloadSortCriterionProgress, -1, false});
        rows.push_back({"not begun: waiting after paused", waiting, paused, ZRDownloadSortCriterionProgress, 1, false});
        // One of them has begun (at or above the tolerance): names decide, whichever comes first.
        rows.push_back({"begun and not begun: by name", paused, barelyStarted, ZRDownloadSortCriterionProgress, 1, true});
        rows.push_back({"not begun and begun: by name", barelyStarted, paused, ZRDownloadSortCriterionProgress, -1, true});
    }
    {
        ZRDownloadPtr host2 = makeDownload(QStringLiteral("http://dl.host2.com/z"), QStringLiteral("z.zip"));
        ZRDownloadPtr host10 = makeDownload(QStringLiteral("http://host10.com/a"), QStringLiteral("a.zip"));
        ZRDownloadPtr host10b = makeDownload(QStringLiteral("http://www.host10.com/b"), QStringLiteral("b.zip"));
        rows.push_back({"hosts in natural order", host2, host10, ZRDownloadSortCriterionHost, -1, false});
        rows.push_back({"same host falls back to names", host10b, host10, ZRDownloadSortCriterionHost, 1, true});
        rows.push_back({"addresses in natural order", host10, host10b, ZRDownloadSortCriterionAddress, -1, false});
    }
    {
        ZRDownloadPtr tool = makeDownload(QStringLiteral("http://x.com/1"), QStringLiteral("The Tool.zip"));
        ZRDownloadPtr apple = makeDownload(QStringLiteral("http://x.com/2"), QStringLiteral("apple.zip"));
        ZRDownloadPtr twin = makeDownload(QStringLiteral("http://x.com/10"), QStringLiteral("Apple.zip"));
        rows.push_back({"names without leading articles", tool, apple, ZRDownloadSortCriterionName, 1, false});
        rows.push_back({"criteria above 4 sort by name", apple, tool, 7, -1, false});
        rows.push_back({"same names fall back to addresses", twin, apple, ZRDownloadSortCriterionName, 1, true});
        rows.push_back({"a download equals itself", apple, apple, ZRDownloadSortCriterionName, 0, true});
    }

    for (const Row &row : rows) {
        const Comparison forward = compare(row.a, row.b, row.criterion);
        EXPECT_EQ(forward.result, row.result) << row.label;
        EXPECT_EQ(forward.fallback, row.fallback) << row.label;
        // Swapped, the answer turns around: a sort may rely on it.
        const Comparison backward = compare(row.b, row.a, row.criterion);
        EXPECT_EQ(backward.result, -row.result) << row.label;
        EXPECT_EQ(backward.fallback, row.fallback) << row.label;
    }
}

TEST(DownloadSorting, EffectivelySortedCheck)
{
    ZRDownloadPtr a = makeDownload(QStringLiteral("http://x.com/1"), QStringLiteral("a.zip"));
    ZRDownloadPtr b = makeDownload(QStringLiteral("http://x.com/2"), QStringLiteral("b.zip"));
    ZRDownloadPtr b2 = makeDownload(QStringLiteral("http://x.com/3"), QStringLiteral("b.zip"));
    using ZRExtensions::containsDownloadsEffectivelySortedByCriterion;

    EXPECT_TRUE(containsDownloadsEffectivelySortedByCriterion({a, b, b2}, ZRDownloadSortCriterionName, true));
    EXPECT_FALSE(containsDownloadsEffectivelySortedByCriterion({b, a}, ZRDownloadSortCriterionName, false));
    EXPECT_FALSE(containsDownloadsEffectivelySortedByCriterion({a, b}, -1, false));
    EXPECT_FALSE(containsDownloadsEffectivelySortedByCriterion({a}, ZRDownloadSortCriterionName, false));
    EXPECT_FALSE(containsDownloadsEffectivelySortedByCriterion({}, ZRDownloadSortCriterionName, false));

    // All on one host: only the tie-breaks ordered them, which counts only when that is allowed.
    EXPECT_FALSE(containsDownloadsEffectivelySortedByCriterion({a, b, b2}, ZRDownloadSortCriterionHost, true));
    EXPECT_TRUE(containsDownloadsEffectivelySortedByCriterion({a, b, b2}, ZRDownloadSortCriterionHost, false));
    EXPECT_FALSE(containsDownloadsEffectivelySortedByCriterion({b2, b}, ZRDownloadSortCriterionHost, false));
}

TEST(DownloadSorting, OriginalURLStringsOfASelection)
{
    ZRDownloadPtr plain = makeDownload(QStringLiteral("http://x.com/file.zip"));
    ZRDownloadPtr extracted = makeDownload(QStringLiteral("http://x.com/page"));
    extracted->userSettings().insert(ZRDownloadKeys::OriginalURL, QStringLiteral("http://x.com/first"));
    ZRDownloadPtr addressless = makeDownload(QStringLiteral("http://x.com/gone"));
    addressless->setURL(QUrl());

    EXPECT_EQ(ZRExtensions::originalURLStrings({plain, addressless, extracted}),
              (QStringList{QStringLiteral("http://x.com/file.zip"), QStringLiteral("http://x.com/first")}));
}

TEST(DownloadSorting, ProgressPercentInStatusText)
{
    ZRDownloadPtr download = makeDownload(QStringLiteral("http://x.com/a"), QString(), ZRDownloadStatusDownloading);
    download->setDownloadFraction(0.429);
    EXPECT_EQ(download->statusDescriptionWithLiveDetails(false), QStringLiteral("Downloading: 42%"));
    download->setStatus(ZRDownloadStatusPaused);
    EXPECT_EQ(download->downloadCompletionFraction(), 0);
}
