// Where a download's unfinished data lies: the intermediate file, its bundle folder and fragments,
// and the queue archive beside the default intermediate folder.
#include "core/download/ZRDownload.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/text/ZRPathExtensions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const QString QueueArchiveFileName = QStringLiteral("Queue.plist");
const QString IntermediateFolderName = QStringLiteral("Downloads");

bool isDownloadBundleFolder(const QString &folder)
{
    return QFileInfo(folder).fileName().toLower().endsWith(ZRDownloadKeys::BundleExtension);
}

} // namespace

QString ZRDownload::queueArchivePath()
{
    return ZRApplicationSupportFolderPath() + QLatin1Char('/') + QueueArchiveFileName;
}

void ZRDownload::removeIntermediateFiles()
{
    const QString supportFolder = ZRApplicationSupportFolderPath();
    QDir(supportFolder + QLatin1Char('/') + IntermediateFolderName).removeRecursively();
    QFile::remove(supportFolder + QLatin1Char('/') + QueueArchiveFileName);
}

QString ZRDownload::intermediateDownloadTargetPathWithSuggestedFileName(const QString &suggestedFileName,
                                                                        bool createIfNecessary, bool confirmAccess)
{
    // Not sandboxed: write access to a folder is never withheld, so there is nothing to confirm.
    (void)confirmAccess;
    (void)suggestedFileName;
    (void)createIfNecessary;
    // Choosing and making a new intermediate path needs the target folder rules, which do not exist
    // yet: only a known path is returned.
    return _intermediateDownloadTargetPath;
}

QString ZRDownload::intermediateDownloadTargetPath()
{
    return intermediateDownloadTargetPathWithSuggestedFileName(
        QString(), _userSettings.contains(ZRDownloadKeys::ResponseURL), false);
}

QString ZRDownload::downloadContainerPath() const
{
    if (_intermediateDownloadTargetPath.isEmpty())
        return QString();
    const QString folder = QFileInfo(_intermediateDownloadTargetPath).path();
    return isDownloadBundleFolder(folder) ? folder : QString();
}

QStringList ZRDownload::fragmentPathsForIntermediateDownloadTargetPath(const QString &path) const
{
    (void)path;
    // Fragments are written only by resumed and accelerated transfers, which do not exist yet.
    return {};
}

void ZRDownload::removeIntermediateFileAndContainer(const QString &path)
{
    const QString filePath = path.isEmpty() ? intermediateDownloadTargetPathWithSuggestedFileName(QString(), true, false) : path;
    if (filePath.isEmpty())
        return;
    for (const QString &fragment : fragmentPathsForIntermediateDownloadTargetPath(filePath)) {
        if (!QFile::remove(fragment))
            ZRLog(QStringLiteral("cannot remove partial file: <%1>").arg(fragment));
    }
    if (QFileInfo::exists(filePath) && !QFile::remove(filePath))
        ZRLog(QStringLiteral("cannot remove intermediate download file <%1>").arg(filePath));
    const QString folder = QFileInfo(filePath).path();
    if (isDownloadBundleFolder(folder))
        ZRExtensions::removeFolderIfVirtuallyEmpty(folder);
}
