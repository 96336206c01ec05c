// The one manager of the master list that the download model reaches.
#include "core/download/ZRDownloadManager.h"

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
