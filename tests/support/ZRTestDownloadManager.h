// Master lists for the download tests. Header-only: only tests that link the download layer include it.
#pragma once

#include "core/download/ZRDownload.h"

// The list in queue order, registered as the model's manager for the life of the object.
class ZRTestDownloadManager : public ZRDownloadManager {
public:
    ZRTestDownloadManager()
    {
        setSharedManager(this);
        ZRDownload::invalidateQueuedAndDownloadingDownloads();
    }
    ~ZRTestDownloadManager() override
    {
        setSharedManager(nullptr);
        ZRDownload::invalidateQueuedAndDownloadingDownloads();
    }

    ZRDownloadList downloadsMatchingStatusMask(quint64 mask) const override
    {
        ZRDownloadList matching;
        for (const ZRDownloadPtr &download : downloads) {
            if (download->matchesStatusMask(mask))
                matching.append(download);
        }
        return matching;
    }
    bool isShowingModalWindow() const override { return showsModalWindow; }

    // Adds a download of the address in the given status, as the controller's list would hold it.
    ZRDownloadPtr add(const QString &address, ZRDownloadStatus status = ZRDownloadStatusQueued)
    {
        ZRDownloadPtr download = ZRDownload::downloadWithURLString(address, false);
        download->setStatus(status);
        downloads.append(download);
        return download;
    }

    ZRDownloadList downloads;
    bool showsModalWindow = false;
};

// The same list, recording what the downloads tell their manager instead of acting on it.
class ZRRecordingDownloadManager : public ZRTestDownloadManager {
public:
    void invalidateLongTermNumberOfQueuedOrDownloadingDownloads() override { ++invalidations; }
    void decrementLongTermNumberOfQueuedOrDownloadingDownloads() override { ++decrements; }
    using ZRTestDownloadManager::updateDownload;
    void updateDownload(ZRDownload *, bool, bool forceVanish, double) override
    {
        if (forceVanish)
            ++vanishRequests;
    }
    void beep() override { ++beeps; }
    void copyToPasteboard(const QString &text, const QList<QUrl> &urls) override
    {
        pasteboardText = text;
        pasteboardURLs = urls;
    }

    int invalidations = 0;
    int decrements = 0;
    int vanishRequests = 0;
    int beeps = 0;
    QString pasteboardText;
    QList<QUrl> pasteboardURLs;
};
