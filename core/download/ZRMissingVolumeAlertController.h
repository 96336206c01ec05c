// One alert for the downloads whose partial files lie on a disk that is not mounted: downloads hit
// at the same moment share it.
#pragma once

#include "core/download/ZRDownloadManager.h"
#include "core/foundation/ZRDelayedCall.h"

#include <QString>

// Main thread only.
class ZRMissingVolumeAlertController {
public:
    static ZRMissingVolumeAlertController &defaultController();

    ZRMissingVolumeAlertController() = default;
    ZRMissingVolumeAlertController(const ZRMissingVolumeAlertController &) = delete;
    ZRMissingVolumeAlertController &operator=(const ZRMissingVolumeAlertController &) = delete;

    // Adds the download and shows the alert one second after the latest one came.
    void prepareAlertForDownload(const ZRDownloadPtr &download);
    // Shows the alert through the download manager (nothing for no downloads) and empties the list.
    void showAlert();

    // "Cannot resume downloading", and the text that names the downloads (at most ten lines).
    static QString alertTitle();
    static QString alertMessageForNames(const QStringList &names);

    ZRDownloadList pendingDownloads() const { return _downloads; }

private:
    ZRDownloadList _downloads;
    ZRDelayedCall _showCall;
};
