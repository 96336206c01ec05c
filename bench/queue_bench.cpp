// Times the queue's bookkeeping for a list of COUNT downloads, in one process: restoring the queue
// archive, writing it (first and again), and a scheduling pass among many finished rows (median).
//
//   queue_bench COUNT
//
// Runs in the folders that HOME and XDG_* name (bench/queue.sh points them at a scratch folder).
// Prints one line: "count N restore_s R archive_first_s A1 archive_s A2 pass_us P rss_kib M peak_kib H".
#include "app/control/ZRMainController.h"
#include "core/download/ZRDownload.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRCollectionExtensions.h"
#include "core/text/ZRPathExtensions.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// "VmRSS" or "VmHWM" of this process, in KiB.
long statusKiB(const char *field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::char_traits<char>::length(field) + 1);
    }
    return -1;
}

constexpr int Hosts = 20;
// Downloads that the pass finds waiting, whatever the length of the list.
constexpr int Waiting = 100;
constexpr int Passes = 200;

// A queue as the intake and earlier runs leave it: every tenth download has begun and has its data
// in a bundle of the downloads folder, a third are paused, the others wait.
QVariantList archiveElements(int count, const QString &downloads)
{
    QVariantList elements;
    elements.reserve(count);
    const QDateTime added = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("file-%1.bin").arg(i);
        const QString url = QStringLiteral("http://mirror%1.example.org/pub/releases/%2").arg(i % Hosts).arg(name);
        QVariantMap settings;
        ZRExtensions::archiveObject(settings, added.addSecs(i), ZRDownloadKeys::Date);
        QVariantMap element{
            {ZRDownloadKeys::URL, url},
            {ZRDownloadKeys::Paused, i % 3 == 0},
            {ZRDownloadKeys::Date, settings.value(ZRDownloadKeys::Date)},
            {ZRDownloadKeys::DownloadFolder, QStringLiteral("~/Downloads")},
        };
        if (i % 10 == 0) {
            const QString bundle = downloads + QLatin1Char('/') + name + ZRDownloadKeys::BundleExtension;
            QDir().mkpath(bundle);
            QFile data(bundle + QLatin1Char('/') + name);
            if (data.open(QIODevice::WriteOnly))
                data.write("partial");
            element.insert(ZRDownloadKeys::Name, name);
            element.insert(ZRDownloadKeys::ResponseURL, url);
            element.insert(ZRDownloadKeys::StatusCode, 200);
            element.insert(ZRDownloadKeys::ResumeValidator, QStringLiteral("\"5f1e-%1\"").arg(i));
            element.insert(ZRDownloadKeys::ResumeTotalLength, qint64(1) << 30);
            element.insert(ZRDownloadKeys::ResumePath,
                           ZRExtensions::stringByAbbreviatingWithTildeInPath(bundle + QLatin1Char('/') + name));
        }
        elements.append(element);
    }
    return elements;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quorvel"));
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (count < Waiting) {
        std::fprintf(stderr, "usage: queue_bench COUNT (at least %d)\n", Waiting);
        return 2;
    }

    ZRMainController *controller = ZRMainController::mainController();
    ZRMainController::registerDefaults();
    const QString downloads = ZRDownloadsFolderPath();
    QDir().mkpath(downloads);
    {
        ZRQueueArchive archive(controller->queueArchivePath());
        QDir().mkpath(QFileInfo(archive.path()).path());
        if (!archive.write(archiveElements(count, downloads))) {
            std::fprintf(stderr, "cannot write <%s>\n", qPrintable(archive.path()));
            return 1;
        }
    }

    // Restoring: the file read and every element made a download of the list.
    Clock::time_point start = Clock::now();
    controller->restoreQueueArchive();
    const double restore = secondsSince(start);
    if (controller->downloads().size() != count) {
        std::fprintf(stderr, "restored %lld of %d downloads\n", qlonglong(controller->downloads().size()), count);
        return 1;
    }
    const long rss = statusKiB("VmRSS:");

    // Archiving: the first write after the restore, and the next one, which is what each finished
    // download costs afterwards.
    start = Clock::now();
    controller->writeArchiveBeforeQuitting(false);
    const double archiveFirst = secondsSince(start);
    start = Clock::now();
    controller->writeArchiveBeforeQuitting(false);
    const double archiveAgain = secondsSince(start);

    // Scheduling among finished rows: all but the last downloads are complete or aborted; each
    // round the running ones complete and one pass starts the next ones.
    const ZRDownloadList &list = controller->downloads();
    for (int i = 0; i < count; ++i) {
        list[i]->setStatus(i < count - Waiting ? (i % 2 ? ZRDownloadStatusAborted : ZRDownloadStatusComplete)
                                               : ZRDownloadStatusQueued);
    }
    std::vector<ZRDownload *> running;
    ZRDownload::setQueuedDownloadStarterForTesting([&running](ZRDownload &download) {
        download.setStatus(ZRDownloadStatusDownloading);
        running.push_back(&download);
    });
    // The first pass after so many changes takes stock of the whole list once; then each pass
    // costs what a pass among these rows costs.
    list.last()->startEligibleQueuedDownloadsAndResetTimer();
    // The median: the allocator now and then tidies up after the large archive writes before, at the
    // cost of one pass or two.
    std::vector<double> passes;
    for (int round = 0; round < Passes; ++round) {
        for (ZRDownload *download : running)
            download->setStatus(ZRDownloadStatusComplete);
        running.clear();
        // What finishes goes back to wait, so that the number of waiting downloads stays the same.
        for (int i = count - Waiting; i < count; ++i) {
            if (list[i]->status() == ZRDownloadStatusComplete)
                list[i]->setStatus(ZRDownloadStatusQueued);
        }
        start = Clock::now();
        list.last()->startEligibleQueuedDownloadsAndResetTimer();
        passes.push_back(secondsSince(start));
    }
    std::nth_element(passes.begin(), passes.begin() + Passes / 2, passes.end());
    const double pass = passes[Passes / 2];
    ZRDownload::setQueuedDownloadStarterForTesting({});

    std::printf("count %d restore_s %.6f archive_first_s %.6f archive_s %.6f pass_us %.3f rss_kib %ld peak_kib %ld\n",
                count, restore, archiveFirst, archiveAgain, pass * 1e6, rss, statusKiB("VmHWM:"));
    std::fflush(stdout);
    // The process ends here: tearing down a list of this size is not part of what is measured.
    std::_Exit(0);
}
