// A master list for the scheduler tests, user defaults set for one test, and a recorder of the
// downloads that a pass starts.
#pragma once

#include "core/download/ZRDownload.h"
#include "core/foundation/ZRUserDefaults.h"

#include <QStringList>

#include <initializer_list>
#include <utility>

class ZRQueueTestManager : public ZRDownloadManager {
public:
    ZRQueueTestManager()
    {
        setSharedManager(this);
        ZRDownload::invalidateQueuedAndDownloadingDownloads();
    }
    ~ZRQueueTestManager() override
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

// Starting stands in for the transfer: the download is marked downloading and its last path
// component recorded, in start order.
class ZRStartRecorder {
public:
    ZRStartRecorder()
    {
        ZRDownload::setQueuedDownloadStarterForTesting([this](ZRDownload &download) {
            started.append(download.URL().fileName());
            download.setStatus(ZRDownloadStatusDownloading);
        });
    }
    ~ZRStartRecorder() { ZRDownload::setQueuedDownloadStarterForTesting({}); }

    QStringList started;
};

// Sets user defaults for one test (an invalid value removes the key) and removes them afterwards.
class ZRScopedQueueDefaults {
public:
    ZRScopedQueueDefaults(std::initializer_list<std::pair<QString, QVariant>> values)
    {
        for (const auto &[key, value] : values) {
            ZRUserDefaults::standardUserDefaults().setObject(value, key);
            _keys.append(key);
        }
    }
    ~ZRScopedQueueDefaults()
    {
        for (const QString &key : _keys)
            ZRUserDefaults::standardUserDefaults().removeObjectForKey(key);
    }

private:
    QStringList _keys;
};

inline const QString TotalKey = QStringLiteral("Number Of Concurrent Downloads");
inline const QString PerHostKey = QStringLiteral("Number Of Concurrent Downloads Per Host");
