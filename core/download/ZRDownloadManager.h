// What the download model needs of the object that owns the master list of downloads (the
// application controller): the list itself, and the few notices a download sends upwards.
#pragma once

#include <QList>
#include <QString>
#include <QUrl>
#include <QVariantList>

#include <memory>

class ZRDownload;
using ZRDownloadPtr = std::shared_ptr<ZRDownload>;
using ZRDownloadList = QList<ZRDownloadPtr>;

// Main thread only.
class ZRDownloadManager {
public:
    virtual ~ZRDownloadManager();

    // The one manager of the process, or none (then the model sees an empty list and sends no
    // notices). The controller sets itself here when it is created and clears it when it goes.
    static ZRDownloadManager *sharedManager();
    static void setSharedManager(ZRDownloadManager *manager);

    // The downloads of the master list, in queue order, whose status has a bit in the mask
    // (mask 0: all of them).
    virtual ZRDownloadList downloadsMatchingStatusMask(quint64 mask) const = 0;

    // Notices from the model. Each does nothing unless the manager overrides it.

    // The count of waiting or downloading downloads behind the overall progress must be recounted.
    virtual void invalidateLongTermNumberOfQueuedOrDownloadingDownloads() {}
    virtual void decrementLongTermNumberOfQueuedOrDownloadingDownloads() {}
    // The download's row must be redrawn.
    virtual void updateDownload(ZRDownload *download) { (void)download; }
    // With forceVanish the download leaves the list: a manager without a list view lets it vanish
    // without animation (it is removed at once).
    virtual void updateDownload(ZRDownload *download, bool forceDisplay, bool forceVanish, double vanishInterval);
    virtual void disableAllDoneNotificationForDownload(ZRDownload *download) { (void)download; }
    // What a restart needs to continue the download changed (its server answered, its fractions were
    // laid out): the queue archive should be written soon, not only at quit.
    virtual void downloadResumeDataDidChange(ZRDownload *download) { (void)download; }
    // Every row must be redrawn (a setting that many downloads show changed).
    virtual void updateDownloadListDisplay() {}
    // Takes the download out of the master list (after its removal animation).
    virtual void removeDownload(ZRDownload *download) { (void)download; }
    // Adds the addresses as new downloads (a download page that gave several files).
    virtual void openURLs(const QList<QUrl> &urls) { (void)urls; }
    // The addresses a download page gave, which replace the page's download: they go where the page's
    // download was asked to go.
    virtual void openURLsFoundOnDownloadPage(const QList<QUrl> &urls, const ZRDownload &page)
    {
        (void)page;
        openURLs(urls);
    }
    // The rows on screen, and the folder rules.
    virtual ZRDownloadList sortedAndFilteredDownloads() const { return {}; }
    virtual QVariantList specialCases() const { return {}; }
    // The download-page rules in their list form (empty: no address is a download page). The list
    // handed out is never changed afterwards: a page fetch may read it on another thread.
    virtual QVariantList downloadPageRules() const { return {}; }

    // The user's side: a modal window holds back scheduling passes; a command that cannot act beeps;
    // copy commands put text (and, when given, addresses) on the clipboard.
    virtual bool isShowingModalWindow() const { return false; }
    // A modal alert with one default button ("OK"), for problems the user must know of.
    virtual void runModalAlert(const QString &title, const QString &message) { (void)title, (void)message; }
    virtual void beep() {}
    virtual void copyToPasteboard(const QString &text, const QList<QUrl> &urls) { (void)text, (void)urls; }
};
