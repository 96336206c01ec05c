// A master list for the download tests that records what the downloads tell their manager.
#pragma once

#include "core/download/ZRDownload.h"
#include "core/foundation/ZRUserDefaults.h"

#include <QDir>
#include <QFile>

class ZRTestDownloadManager : public ZRDownloadManager {
public:
    ZRTestDownloadManager() { setSharedManager(this); }
    ~ZRTestDownloadManager() override { setSharedManager(nullptr); }

    ZRDownloadList downloadsMatchingStatusMask(quint64 mask) const override
    {
        ZRDownloadList matching;
        for (const ZRDownloadPtr &download : downloads) {
            if (download->matchesStatusMask(mask))
                matching.append(download);
        }
        return matching;
    }
    void invalidateLongTermNumberOfQueuedOrDownloadingDownloads() override { ++invalidations; }
    void decrementLongTermNumberOfQueuedOrDownloadingDownloads() override { ++decrements; }
    void updateDownload(ZRDownload *, bool, bool forceVanish, double) override
    {
        if (forceVanish)
            ++vanishRequests;
    }
    bool isShowingModalWindow() const override { return showsModalWindow; }
    void beep() override { ++beeps; }
    void copyToPasteboard(const QString &text, const QList<QUrl> &urls) override
    {
        pasteboardText = text;
        pasteboardURLs = urls;
    }

    ZRDownloadList downloads;
    int invalidations = 0;
    int decrements = 0;
    int vanishRequests = 0;
    int beeps = 0;
    bool showsModalWindow = false;
    QString pasteboardText;
    QList<QUrl> pasteboardURLs;
};

// Sets user defaults for one test and removes them afterwards.
class ZRScopedDefaults {
public:
    ZRScopedDefaults(std::initializer_list<std::pair<QString, QVariant>> values)
    {
        for (const auto &[key, value] : values) {
            ZRUserDefaults::standardUserDefaults().setObject(value, key);
            _keys.append(key);
        }
    }
    ~ZRScopedDefaults()
    {
        for (const QString &key : _keys)
            ZRUserDefaults::standardUserDefaults().removeObjectForKey(key);
    }

private:
    QStringList _keys;
};
