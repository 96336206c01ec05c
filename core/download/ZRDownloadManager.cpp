// The one manager of the master list that the download model reaches.
#include "core/download/ZRDownloadManager.h"

#include "core/download/ZRDownload.h"

namespace {
ZRDownloadManager *gSharedManager = nullptr;
}

ZRDownloadManager::~ZRDownloadManager()
{
    if (gSharedManager == this)
        gSharedManager = nullptr;
}

ZRDownloadManager *ZRDownloadManager::sharedManager()
{
    return gSharedManager;
}

void ZRDownloadManager::setSharedManager(ZRDownloadManager *manager)
{
    gSharedManager = manager;
}

void ZRDownloadManager::updateDownload(ZRDownload *download, bool forceDisplay, bool forceVanish, double vanishInterval)
{
    (void)forceDisplay;
    updateDownload(download);
    // Last: removal may release the download.
    if (forceVanish && download)
        download->vanishInView(nullptr, vanishInterval);
}
