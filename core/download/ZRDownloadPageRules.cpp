// A download whose address is a download page: the page test, the name the rule gives the file,
// and the page fetch on the background pool with its answer on the main thread.
#include "core/download/ZRDownload.h"

#include "core/download/ZRDownloadManager.h"
#include "core/foundation/ZRLog.h"
#include "core/text/ZRPageRules.h"

#include <QCoreApplication>
#include <QThreadPool>

namespace
{

QVariantList downloadPageRules()
{
    ZRDownloadManager *manager = ZRDownloadManager::sharedManager();
    return manager ? manager->downloadPageRules() : QVariantList();
}

} // namespace

std::optional<QString> ZRDownload::preservedNamePattern() const
{
    return ZRPageRules::preservedNamePattern(_url, downloadPageRules());
}

QString ZRDownload::filenameWithPreservedNamePattern(const QString &pattern,
                                                     const QString &downloadPageTitle) const
{
    return ZRPageRules::filenameWithPreservedNamePattern(_url, pattern, downloadPageTitle);
}

bool ZRDownload::isDownloadPageURL() const
{
    if (!_isDownloadPageURLStatus)
        _isDownloadPageURLStatus = ZRPageRules::isDownloadPageURL(_url, downloadPageRules());
    return *_isDownloadPageURLStatus;
}

void ZRDownload::startDownloadPageFetch(const QUrl &pageURL)
{
    // The pool reads a snapshot of the rules: an edit meanwhile replaces the controller's list.
    const QVariantList rules = downloadPageRules();
    std::weak_ptr<ZRDownload> weakSelf = weak_from_this();
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return;
    QThreadPool::globalInstance()->start([weakSelf, pageURL, rules, application] {
        QString title;
        const QList<QUrl> urls = ZRPageRules::URLsFromDownloadPageWithTitle(pageURL, rules, &title);
        QMetaObject::invokeMethod(
            application,
            [weakSelf, urls, title] {
                if (ZRDownloadPtr self = weakSelf.lock())
                    self->downloadPageFetchDidFinish(urls, title);
            },
            Qt::QueuedConnection);
    });
}

void ZRDownload::downloadPageFetchDidFinish(const QList<QUrl> &urls, const QString &title)
{
    // Paused or removed meanwhile: the answer is no longer wanted.
    if (!_isGettingDownloadPageSource)
        return;
    if (!title.isEmpty())
        _userSettings.insert(ZRDownloadKeys::DownloadPageTitle, title);
    if (urls.size() > 1) {
        if (ZRDownloadManager *m = ZRDownloadManager::sharedManager())
            m->openURLsFoundOnDownloadPage(urls, *this);
        remove();
        return;
    }
    if (urls.isEmpty()) {
        // Downloading the page itself instead would leave an HTML file named like the wanted one.
        _isGettingDownloadPageSource = false;
        ZRLog(QStringLiteral("%1 cannot extract download page URL%2")
                  .arg(description(), ZRDebugLogEnabled()
                                          ? QString()
                                          : QStringLiteral(" (enable debug logging for details)")));
        noteFailureWithError(ZRHTTPError::make(
            ZRDownloadWorkerIncompleteErrorCode,
            QCoreApplication::translate("ZRDownload", "Cannot extract the download page's address").toStdString(),
            nullptr, ZRDownloadWorkerErrorDomain));
        abortStart();
        return;
    }
    startDownloadWithURL(urls.first(), true);
}
