// The scheduler: reading the limits, the walk that starts waiting downloads within them, the
// coalesced pass, the per-host selector, and the position and host texts.
#include "ZRQueueTestSupport.h"

#include "core/download/ZRPopUpMenu.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

// Queue entries: "host/name" for a web address, "file:name" for a local file; a leading "*" marks
// a download that is already running.
struct WalkRow {
    const char *label;
    QVariant total;
    QVariant perHost;
    std::vector<const char *> queue;
    std::vector<const char *> expectedStarts;
};

QStringList strings(const std::vector<const char *> &texts)
{
    QStringList list;
    for (const char *text : texts)
        list.append(QString::fromUtf8(text));
    return list;
}

void fillQueue(ZRTestDownloadManager &manager, const std::vector<const char *> &queue)
{
    for (const char *entry : queue) {
        QString text = QString::fromUtf8(entry);
        ZRDownloadStatus status = ZRDownloadStatusQueued;
        if (text.startsWith(QLatin1Char('*'))) {
            status = ZRDownloadStatusDownloading;
            text.remove(0, 1);
        }
        const QString address = text.startsWith(QLatin1String("file:"))
            ? QUrl::fromLocalFile(QStringLiteral("/srv/") + text.mid(5)).toString()
            : QStringLiteral("http://") + text;
        manager.add(address, status);
    }
}

// A pop-up of per-host values; a tag of -1 stands for a separator.
class FakePopUpMenu : public ZRPopUpMenu {
public:
    explicit FakePopUpMenu(QList<qint64> tags) : tags(std::move(tags)), enabled(this->tags.size(), true) {}

    void setAutoenablesItems(bool value) override { autoenables = value; }
    int numberOfItems() const override { return int(tags.size()); }
    bool isSeparatorItemAtIndex(int index) const override { return tags[index] == -1; }
    qint64 tagOfItemAtIndex(int index) const override { return tags[index]; }
    void setEnabledItemAtIndex(int index, bool value) override { enabled[index] = value; }
    bool selectItemWithTag(qint64 tag) override
    {
        if (!tags.contains(tag))
            return false;
        selected = tag;
        return true;
    }

    QList<qint64> tags;
    QList<bool> enabled;
    bool autoenables = true;
    qint64 selected = -100;
};

} // namespace

TEST(DownloadQueue, LimitsAsStored)
{
    {
        ZRScopedDefaults unset{{TotalKey, QVariant()}, {PerHostKey, QVariant()}};
        EXPECT_EQ(ZRDownload::numberOfConcurrentDownloads(), 4);
        EXPECT_EQ(ZRDownload::numberOfConcurrentDownloadsPerHost(), 2);
    }
    const std::pair<qint64, qint64> totals[] = {{1, 1}, {9, 9}, {0, 0}, {-1, 0}, {10, 0}, {12, 0}};
    for (const auto &[stored, read] : totals) {
        ZRScopedDefaults total{{TotalKey, stored}};
        EXPECT_EQ(ZRDownload::numberOfConcurrentDownloads(), read) << stored;
    }
    for (const qint64 stored : {qint64(0), qint64(-3), qint64(5), qint64(12)}) {
        ZRScopedDefaults perHost{{PerHostKey, stored}};
        EXPECT_EQ(ZRDownload::numberOfConcurrentDownloadsPerHost(), stored);
    }
}

TEST(DownloadQueue, WalkStartsWithinTheLimits)
{
    const WalkRow rows[] = {
        {"per-host limit skips A3, B1 goes ahead", 4, 2, {"a.com/A1", "a.com/A2", "a.com/A3", "b.com/B1"},
         {"A1", "A2", "B1"}},
        {"subdomains share their host's limit", 4, 2, {"dl.a.com/A1", "www.a.com/A2", "a.com/A3", "b.com/B1"},
         {"A1", "A2", "B1"}},
        {"a stored 12 means no total limit", 12, 0,
         {"a.com/1", "a.com/2", "a.com/3", "a.com/4", "a.com/5", "a.com/6", "a.com/7", "a.com/8", "a.com/9",
          "a.com/10", "a.com/11"},
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"}},
        {"the total stops the walk", 2, 0, {"a.com/A1", "b.com/B1", "c.com/C1"}, {"A1", "B1"}},
        {"running downloads use slots and host places", 4, 2, {"*a.com/R1", "*a.com/R2", "a.com/A1", "b.com/B1"},
         {"B1"}},
        {"a lowered total starts nothing while four run", 2, 2,
         {"*a.com/R1", "*b.com/R2", "*c.com/R3", "*d.com/R4", "e.com/E1"}, {}},
        {"a lowered total with one running fills the other slot", 2, 2, {"*a.com/R1", "e.com/E1", "f.com/F1"},
         {"E1"}},
        {"file addresses ignore the per-host limit", 4, 1, {"*a.com/R1", "a.com/A1", "file:x.iso", "file:y.iso"},
         {"x.iso", "y.iso"}},
        {"numeric hosts are hosts of their own", 4, 1, {"10.0.0.1/A", "10.0.0.2/B", "10.0.0.1/C"}, {"A", "B"}},
        {"no per-host limit", 3, 0, {"a.com/A1", "a.com/A2", "a.com/A3", "a.com/A4"}, {"A1", "A2", "A3"}},
    };
    for (const WalkRow &row : rows) {
        SCOPED_TRACE(row.label);
        ZRScopedDefaults limits{{TotalKey, row.total}, {PerHostKey, row.perHost}};
        ZRTestDownloadManager manager;
        ZRStartRecorder recorder;
        fillQueue(manager, row.queue);

        EXPECT_EQ(ZRDownload::indexOfQueuedDownload(nullptr, nullptr, nullptr, true), ZRDownload::NotFound);
        EXPECT_EQ(recorder.started, strings(row.expectedStarts));
        // A second pass over the same state starts nothing more.
        ZRDownload::indexOfQueuedDownload(nullptr, nullptr, nullptr, true);
        EXPECT_EQ(recorder.started, strings(row.expectedStarts));
    }
}

TEST(DownloadQueue, OpenSlotsAndCachedLists)
{
    ZRTestDownloadManager manager;
    ZRDownloadPtr waiting = manager.add(QStringLiteral("http://a.com/1"));
    ZRDownloadPtr running = manager.add(QStringLiteral("http://a.com/2"), ZRDownloadStatusDownloading);
    manager.add(QStringLiteral("http://a.com/3"), ZRDownloadStatusPaused);
    {
        ZRScopedDefaults total{{TotalKey, 12}};
        EXPECT_EQ(ZRDownload::numberOfOpenDownloadSlots(), 2147483647);
    }
    {
        ZRScopedDefaults total{{TotalKey, 1}};
        EXPECT_EQ(ZRDownload::numberOfOpenDownloadSlots(), 0);
    }
    EXPECT_EQ(ZRDownload::queuedDownloads(), ZRDownloadList{waiting});
    EXPECT_EQ(ZRDownload::downloadingDownloads(), ZRDownloadList{running});

    // Any status change drops the cached lists, whoever makes it.
    running->setStatus(ZRDownloadStatusPaused);
    waiting->setStatus(ZRDownloadStatusDownloading);
    EXPECT_TRUE(ZRDownload::queuedDownloads().isEmpty());
    EXPECT_EQ(ZRDownload::downloadingDownloads(), ZRDownloadList{waiting});

    // More running than allowed: the slots go negative and nothing starts.
    manager.add(QStringLiteral("http://b.com/4"), ZRDownloadStatusDownloading);
    manager.add(QStringLiteral("http://c.com/5"), ZRDownloadStatusDownloading);
    ZRDownload::invalidateQueuedAndDownloadingDownloads();
    ZRScopedDefaults total{{TotalKey, 1}};
    EXPECT_EQ(ZRDownload::numberOfOpenDownloadSlots(), -2);

    ZRDownload::HostTable hosts;
    EXPECT_EQ(ZRDownload::addDownload(waiting, QString(), hosts), 0u);
    EXPECT_EQ(ZRDownload::addDownload(running, QStringLiteral("a.com"), hosts), 1u);
    ZRDownloadPtr local = ZRDownload::downloadWithURL(QUrl::fromLocalFile(QStringLiteral("/srv/x")), false);
    EXPECT_EQ(ZRDownload::addDownload(local, QString(), hosts), ZRDownload::NotFound);
    EXPECT_EQ(hosts.size(), 1);
}

TEST(DownloadQueue, CachedListsFollowTheMasterListAndLeaveFinishedRowsBehind)
{
    ZRTestDownloadManager manager;
    ZRDownloadPtr a = manager.add(QStringLiteral("http://a.com/a"));
    ZRDownloadPtr done = manager.add(QStringLiteral("http://a.com/done"), ZRDownloadStatusComplete);
    ZRDownloadPtr b = manager.add(QStringLiteral("http://b.com/b"), ZRDownloadStatusDownloading);
    ZRDownloadPtr c = manager.add(QStringLiteral("http://c.com/c"));
    EXPECT_EQ(ZRDownload::queuedDownloads(), (ZRDownloadList{a, c}));
    EXPECT_EQ(ZRDownload::downloadingDownloads(), ZRDownloadList{b});

    const auto after = [&](const std::function<void()> &change) {
        change();
        ZRDownload::invalidateQueuedAndDownloadingDownloads();
        return ZRDownload::queuedDownloads();
    };
    // The list's order is the queue's, whatever moved.
    EXPECT_EQ(after([&] { manager.downloads = {c, done, b, a}; }), (ZRDownloadList{c, a}));
    // Out of the list is out of the queue.
    EXPECT_EQ(after([&] { manager.downloads.removeOne(c); }), ZRDownloadList{a});
    // A finished row set waiting again is back in its place; a new one is found where it was put,
    // also in place of another.
    EXPECT_EQ(after([&] { done->setStatus(ZRDownloadStatusQueued); }), (ZRDownloadList{done, a}));
    ZRDownloadPtr fresh = ZRDownload::downloadWithURLString(QStringLiteral("http://d.com/fresh"), true);
    EXPECT_EQ(after([&] { manager.downloads.insert(0, fresh); }), (ZRDownloadList{fresh, done, a}));
    ZRDownloadPtr retry = ZRDownload::downloadWithURLString(QStringLiteral("http://a.com/retry"), true);
    EXPECT_EQ(after([&] { manager.downloads[manager.downloads.indexOf(a)] = retry; }), (ZRDownloadList{fresh, done, retry}));
    EXPECT_EQ(ZRDownload::downloadingDownloads(), ZRDownloadList{b});
}

TEST(DownloadQueue, CoalescedPassRunsTheWalk)
{
    ZRScopedDefaults limits{{TotalKey, 2}, {PerHostKey, 2}};
    ZRTestDownloadManager manager;
    ZRStartRecorder recorder;
    ASSERT_TRUE(ZRTestSupport::waitUntil([] { return !ZRDownload::isSchedulingPassPending(); }, 3000));

    for (const char *name : {"1", "2", "3"}) {
        ZRDownloadPtr download =
            ZRDownload::downloadWithURLString(QStringLiteral("http://a.com/") + QLatin1String(name), true);
        manager.downloads.append(download);
    }
    EXPECT_TRUE(ZRDownload::isSchedulingPassPending());
    EXPECT_TRUE(recorder.started.isEmpty());
    ASSERT_TRUE(ZRTestSupport::waitUntil([] { return !ZRDownload::isSchedulingPassPending(); }, 1000));
    EXPECT_EQ(recorder.started, (QStringList{QStringLiteral("1"), QStringLiteral("2")}));

    // A modal window holds the pass back; it runs within about a second after the window closes.
    manager.showsModalWindow = true;
    manager.downloads[0]->setStatus(ZRDownloadStatusComplete);
    manager.downloads[0]->startEligibleQueuedDownloadsWithTimer();
    ZRTestSupport::processEventsFor(300);
    EXPECT_EQ(recorder.started.size(), 2);
    manager.showsModalWindow = false;
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return recorder.started.size() == 3; }, 2500));
    EXPECT_EQ(recorder.started.last(), QStringLiteral("3"));
}

TEST(DownloadQueue, ChangingALimitAsksForAPass)
{
    ZRScopedDefaults limits{{TotalKey, 1}, {PerHostKey, 1}};
    ZRTestDownloadManager manager;
    ZRStartRecorder recorder;
    ASSERT_TRUE(ZRTestSupport::waitUntil([] { return !ZRDownload::isSchedulingPassPending(); }, 3000));
    manager.add(QStringLiteral("http://a.com/R"), ZRDownloadStatusDownloading);
    manager.add(QStringLiteral("http://a.com/A"));
    manager.add(QStringLiteral("http://b.com/B"));

    ZRDownload::setNumberOfConcurrentDownloads(3);
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return !recorder.started.isEmpty(); }, 1000));
    EXPECT_EQ(recorder.started, QStringList{QStringLiteral("B")});
    ZRDownload::setNumberOfConcurrentDownloadsPerHost(2);
    ASSERT_TRUE(ZRTestSupport::waitUntil([&] { return recorder.started.size() == 2; }, 1000));
    EXPECT_EQ(recorder.started.last(), QStringLiteral("A"));
}

TEST(DownloadQueue, PerHostSelector)
{
    struct Row {
        QVariant total;
        qint64 perHost;
        QList<bool> enabled; // for the tags below
        qint64 selected;
    };
    const QList<qint64> tags = {0, -1, 1, 2, 3, 4, 6};
    const Row rows[] = {
        {4, 2, {false, true, true, true, true, true, false}, 2},
        {3, 5, {false, true, true, true, true, false, false}, 3}, // at or above the total: the total
        {3, 3, {false, true, true, true, true, false, false}, 3},
        {12, 6, {true, true, true, true, true, true, true}, 6},   // no total limit: everything
        {4, 0, {false, true, true, true, true, true, false}, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.total.toString().toStdString() + "/" + std::to_string(row.perHost));
        ZRScopedDefaults limits{{TotalKey, row.total}, {PerHostKey, row.perHost}};
        FakePopUpMenu menu(tags);
        ZRDownload::updateNumberOfConcurrentDownloadsPerHostSelector(&menu);
        EXPECT_FALSE(menu.autoenables);
        EXPECT_EQ(menu.enabled, row.enabled);
        EXPECT_EQ(menu.selected, row.selected);
    }
    // Setting the total brings the selector in line at once.
    ZRScopedDefaults perHost{{PerHostKey, 4}};
    FakePopUpMenu menu(tags);
    ZRDownload::setNumberOfConcurrentDownloads(2, &menu);
    EXPECT_EQ(menu.selected, 2);
    EXPECT_FALSE(menu.enabled[5]);
    ZRUserDefaults::standardUserDefaults().removeObjectForKey(TotalKey);
    ZRDownload::updateNumberOfConcurrentDownloadsPerHostSelector(nullptr);
}

TEST(DownloadQueue, PositionTexts)
{
    ZRScopedDefaults limits{{TotalKey, 1}, {PerHostKey, 2}};
    ZRTestDownloadManager manager;
    ZRDownloadPtr running = manager.add(QStringLiteral("http://a.com/r"), ZRDownloadStatusDownloading);
    ZRDownloadPtr a1 = manager.add(QStringLiteral("http://a.com/1"));
    ZRDownloadPtr a2 = manager.add(QStringLiteral("http://dl.a.com/2"));
    ZRDownloadPtr paused = manager.add(QStringLiteral("http://b.com/p"), ZRDownloadStatusPaused);

    // One host waiting: the plain position in the whole queue.
    EXPECT_EQ(a1->queueIndexDescription(), QStringLiteral("1"));
    EXPECT_EQ(a2->queueIndexDescription(), QStringLiteral("2"));
    EXPECT_EQ(a2->statusDescriptionWithLiveDetails(true), QStringLiteral("Waiting: #2"));
    EXPECT_TRUE(running->queueIndexDescription().isEmpty());
    EXPECT_TRUE(paused->queueIndexDescription().isEmpty());

    // Several hosts: each download's place among its host's waiting downloads.
    ZRDownloadPtr b1 = manager.add(QStringLiteral("http://b.com/1"));
    ZRDownloadPtr local = manager.add(QUrl::fromLocalFile(QStringLiteral("/srv/x.iso")).toString());
    ZRDownloadPtr a3 = manager.add(QStringLiteral("http://a.com/3"));
    EXPECT_EQ(a1->queueIndexDescription(), QStringLiteral("1 @ a.com"));
    EXPECT_EQ(a3->queueIndexDescription(), QStringLiteral("3 @ a.com"));
    EXPECT_EQ(b1->queueIndexDescription(), QStringLiteral("1 @ b.com"));
    // Without a host the plain position remains.
    EXPECT_EQ(local->queueIndexDescription(), QStringLiteral("4"));
    quint64 hostIndex = 0;
    QString host;
    EXPECT_EQ(ZRDownload::indexOfQueuedDownload(a3.get(), &host, &hostIndex, false), 4u);
    EXPECT_EQ(host, QStringLiteral("a.com"));
    EXPECT_EQ(hostIndex, 2u);
    EXPECT_EQ(ZRDownload::indexOfQueuedDownload(running.get(), &host, &hostIndex, false), ZRDownload::NotFound);
    EXPECT_TRUE(host.isNull());
    EXPECT_EQ(hostIndex, ZRDownload::NotFound);

    {
        ZRScopedDefaults privately{{QStringLiteral("Private Downloading"), true}};
        EXPECT_FALSE(b1->queueIndexDescription().contains(QStringLiteral("b.com")));
        EXPECT_TRUE(b1->queueIndexDescription().startsWith(QStringLiteral("1 @ ")));
    }
    {
        // Without a per-host limit, positions are in the whole queue.
        ZRScopedDefaults noPerHost{{PerHostKey, 0}};
        EXPECT_EQ(b1->queueIndexDescription(), QStringLiteral("3"));
    }
}

TEST(DownloadQueue, PausedHostDescription)
{
    ZRScopedDefaults limits{{PerHostKey, 2}};
    ZRTestDownloadManager manager;
    ZRDownloadPtr a = manager.add(QStringLiteral("http://www.a.com/1"), ZRDownloadStatusPaused);
    ZRDownloadPtr a2 = manager.add(QStringLiteral("http://a.com/2"), ZRDownloadStatusPaused);
    // Only downloads of the same host are paused: nothing worth telling apart.
    EXPECT_TRUE(a->pausedHostDescription().isEmpty());

    ZRDownloadPtr b = manager.add(QStringLiteral("http://b.com/1"), ZRDownloadStatusPaused);
    EXPECT_EQ(a->pausedHostDescription(), QStringLiteral(" @ a.com"));
    EXPECT_EQ(b->pausedHostDescription(), QStringLiteral(" @ b.com"));
    EXPECT_EQ(a->statusDescriptionWithLiveDetails(true), QStringLiteral("Pending @ a.com"));

    // A file address has no host to show; without a per-host limit no host matters.
    ZRDownloadPtr local = manager.add(QUrl::fromLocalFile(QStringLiteral("/srv/x")).toString(), ZRDownloadStatusPaused);
    EXPECT_TRUE(local->pausedHostDescription().isEmpty());
    ZRScopedDefaults noPerHost{{PerHostKey, 0}};
    EXPECT_TRUE(a->pausedHostDescription().isEmpty());
}
