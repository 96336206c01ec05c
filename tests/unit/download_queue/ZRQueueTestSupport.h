// A master list for the scheduler tests, user defaults set for one test, and a recorder of the
// downloads that a pass starts.
#pragma once

#include "core/download/ZRDownload.h"
#include "tests/support/ZRScopedDefaults.h"
#include "tests/support/ZRTestDownloadManager.h"

#include <QStringList>

#include <initializer_list>
#include <utility>

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

inline const QString TotalKey = QStringLiteral("Number Of Concurrent Downloads");
inline const QString PerHostKey = QStringLiteral("Number Of Concurrent Downloads Per Host");
