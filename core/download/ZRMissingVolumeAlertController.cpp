// The shared alert for partial files on disks that are not mounted.
#include "core/download/ZRMissingVolumeAlertController.h"

#include "core/download/ZRDownload.h"

#include <QCoreApplication>

namespace {

QString localized(const char *key)
{
    return QCoreApplication::translate("ZRDownload", key);
}

// Downloads hit together (a whole queue on one disk) wait this long for each other.
constexpr double CoalescingDelaySeconds = 1.0;
constexpr qsizetype MaximumListedNames = 10;

} // namespace

ZRMissingVolumeAlertController &ZRMissingVolumeAlertController::defaultController()
{
    static ZRMissingVolumeAlertController controller;
    return controller;
}

void ZRMissingVolumeAlertController::prepareAlertForDownload(const ZRDownloadPtr &download)
{
    if (!download)
        return;
    _downloads.append(download);
    _showCall.schedule(CoalescingDelaySeconds, [this] { showAlert(); });
}

QString ZRMissingVolumeAlertController::alertTitle()
{
    return localized("Cannot resume downloading");
}

QString ZRMissingVolumeAlertController::alertMessageForNames(const QStringList &names)
{
    QStringList lines;
    if (names.size() > MaximumListedNames) {
        lines = names.mid(0, MaximumListedNames - 1);
        lines.append(localized("(%1 more)").arg(names.size() - lines.size()));
    } else {
        lines = names;
    }
    return localized("The partial download files for the following downloads are on volumes that are currently "
                     "not available:\n\n%1")
        .arg(lines.join(QLatin1Char('\n')));
}

void ZRMissingVolumeAlertController::showAlert()
{
    _showCall.cancel();
    if (_downloads.isEmpty())
        return;
    QStringList names;
    for (const ZRDownloadPtr &download : std::as_const(_downloads)) {
        const QString name = download->name();
        names.append(name.isEmpty() ? localized("(Unknown)") : name);
    }
    // Empty the list first: the alert runs a modal loop in which more downloads may arrive.
    _downloads.clear();
    if (ZRDownloadManager *manager = ZRDownloadManager::sharedManager())
        manager->runModalAlert(alertTitle(), alertMessageForNames(names));
}
