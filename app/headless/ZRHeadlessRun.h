// A terminal run that was given addresses or files: it waits for the downloads it was asked for and
// for those the restored queue was working on, then prints where each one ended and quits.
#pragma once

#include "core/download/ZRDownload.h"

#include <QObject>
#include <QHash>
#include <QTimer>

#include <cstdio>
#include <functional>

// Main thread.
class ZRHeadlessRun : public QObject
{
    Q_OBJECT
public:
    // The summary goes to output (not owned); quit is called once, when every download is done.
    ZRHeadlessRun(std::FILE *output, std::function<void()> quit, QObject *parent = nullptr);

    // Called just before the summary is printed (a terminal takes its live lines away first).
    void setWillPrintSummary(std::function<void()> handler) { _willPrintSummary = std::move(handler); }

    // Starts waiting for these downloads (a download held twice counts once).
    void watch(const ZRDownloadList &downloads);
    const ZRDownloadList &watchedDownloads() const { return _watched; }
    // From now on, downloads that join the queue while the run waits (the files a download page
    // gave, addresses handed over by another program) are waited for too, and downloads taken out
    // of the queue are no longer. queue answers the queue as it is.
    void followQueue(std::function<ZRDownloadList()> queue);

    // A download no longer holds the run open once it is complete or aborted, or paused without an
    // automatic resume to come.
    static bool isSettled(ZRDownload &download);
    bool isFinished() const { return _isFinished; }
    // 0 when every watched download completed, else 1.
    int exitStatus() const;

    // Checks now instead of on the next tick.
    void check();
    // Checks on the next turn of the event loop, once the change that called has settled; many calls
    // in one turn give one check.
    void checkSoon();

private:
    void printSummary();

    std::FILE *_output;
    std::function<void()> _quit;
    std::function<void()> _willPrintSummary;
    void followQueueChanges();

    ZRDownloadList _watched;
    std::function<ZRDownloadList()> _queue;
    // The downloads the queue held at the last look (held, so that no new one can take the address
    // of one that left): only those that join after are adopted.
    QHash<const ZRDownload *, ZRDownloadPtr> _seenInQueue;
    QTimer _timer;
    bool _isFinished = false;
    bool _isCheckPending = false;
    bool _queueMayHaveChanged = false;
};
