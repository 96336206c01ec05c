// Scrolling the download window's list of COUNT downloads, page by page, against a plain Qt list of
// as many two-line text rows in a window of the same size: each step moves the list by a page and
// paints it at once. Runs on the offscreen platform (bench/list_scroll.sh sets it).
//
//   list_scroll_bench COUNT STEPS
//
// Prints one line: "count N steps S quorvel_ms Q plain_ms P" (medians of the steps' paint times).
#include "app/control/ZRMainController.h"
#include "app/ui/ZRDesktopUserInterface.h"
#include "app/ui/ZRDownloadListView.h"
#include "app/ui/ZRDownloadListWindow.h"
#include "core/download/ZRDownload.h"

#include <QApplication>
#include <QListWidget>
#include <QScrollBar>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{

double medianMilliseconds(QAbstractScrollArea &area, int steps)
{
    std::vector<double> times;
    QScrollBar *bar = area.verticalScrollBar();
    for (int step = 0; step < steps; ++step) {
        const auto start = std::chrono::steady_clock::now();
        const int page = std::max(1, bar->pageStep());
        bar->setValue(bar->value() + page > bar->maximum() ? 0 : bar->value() + page);
        area.viewport()->repaint();
        QCoreApplication::processEvents();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int steps = argc > 2 ? std::atoi(argv[2]) : 200;
    QApplication application(argc, argv);

    ZRDesktopUserInterface desktop;
    desktop.start();
    ZRMainController *controller = ZRMainController::mainController();
    ZRDownload::setQueuedDownloadStarterForTesting([](ZRDownload &) {});
    const ZRDownloadStatus statuses[] = {ZRDownloadStatusPaused, ZRDownloadStatusQueued, ZRDownloadStatusDownloading,
                                         ZRDownloadStatusComplete, ZRDownloadStatusAborted};
    for (int i = 0; i < count; ++i) {
        ZRDownloadPtr download = ZRDownload::downloadWithURLString(
            QStringLiteral("http://127.0.0.1:9/pub/file-%1.iso").arg(i), false);
        download->setStatus(statuses[i % 5]);
        download->setDownloadFraction(double(i % 100) / 100.0);
        controller->appendDownload(download);
    }
    controller->updateDownloadListAndStatus();
    ZRDownloadListWindow *window = desktop.window();
    window->resize(800, 600);
    window->show();
    QCoreApplication::processEvents();
    const int rows = window->listView()->model() ? window->listView()->model()->rowCount() : 0;
    if (rows != count) {
        std::fprintf(stderr, "the list shows %d rows instead of %d\n", rows, count);
        return 1;
    }
    const double ours = medianMilliseconds(*window->listView(), steps);

    QListWidget plain;
    plain.resize(window->listView()->size());
    for (int i = 0; i < count; ++i)
        plain.addItem(QStringLiteral("file-%1.iso\nDownloading - 40.1 of 100 MB at 2.3 MB/s").arg(i));
    plain.show();
    QCoreApplication::processEvents();
    const double peer = medianMilliseconds(plain, steps);

    std::printf("count %d steps %d quorvel_ms %.3f plain_ms %.3f\n", count, steps, ours, peer);
    std::fflush(stdout);
    // The queue of this scratch world is not worth saving.
    std::_Exit(0);
}
