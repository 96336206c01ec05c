// The download record: creation, user settings and their archive form, derived names and values,
// status texts, row actions and the sort comparison.
#include "core/download/ZRDownload.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRAddressExtensions.h"
#include "core/text/ZRApplications.h"
#include "core/text/ZRCollectionExtensions.h"
#include "core/text/ZRFileBookmark.h"
#include "core/text/ZRIcons.h"
#include "core/text/ZRNaturalOrder.h"
#include "core/text/ZRPathExtensions.h"
#include "core/text/ZRStringExtensions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

QString localized(const char *key)
{
    return QCoreApplication::translate("ZRDownload", key);
}

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

// The extension of the last path component: the text after its last ".", none for a name that only
// starts with a dot.
QString pathExtension(const QString &path)
{
    const QString name = path.section(QLatin1Char('/'), -1);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.mid(dot + 1) : QString();
}

QString stringByDeletingPathExtension(const QString &path)
{
    const QString extension = pathExtension(path);
    return extension.isEmpty() ? path : path.left(path.size() - extension.size() - 1);
}

int sign(int value)
{
    return (value > 0) - (value < 0);
}

// Split archives served as "x.zip.001" are often delivered with one more ".zip".
const QString DoubledSplitArchiveSuffix = QStringLiteral(".zip.001.zip");

// Stands for a file type without an extension: the generic document icon.
const QString ImaginaryFileType = QStringLiteral("com.tessaline.imaginaryfiletype");

constexpr double DateTolerance = 0.1;
constexpr double FractionTolerance = 0.00001;

} // namespace

// --- Creation ---

ZRDownload::ZRDownload(ConstructionKey) {}

ZRDownload::~ZRDownload() = default;

ZRDownloadPtr ZRDownload::downloadWithURL(const QUrl &url, bool addToQueue)
{
    if (url.isEmpty() || !url.isValid())
        return nullptr;
    auto download = std::make_shared<ZRDownload>(ConstructionKey());
    download->initWithURL(url, addToQueue);
    return download;
}

ZRDownloadPtr ZRDownload::downloadWithURLString(const QString &urlString, bool addToQueue)
{
    if (urlString.isEmpty())
        return nullptr;
    return downloadWithURL(QUrl(urlString, QUrl::StrictMode), addToQueue);
}

ZRDownloadPtr ZRDownload::downloadWithArchive(const QVariantMap &archive, bool addToQueue)
{
    ZRDownloadPtr download = downloadWithURLString(archive.value(ZRDownloadKeys::URL).toString(), addToQueue);
    if (!download)
        return nullptr;
    const QString resumePath = archive.value(ZRDownloadKeys::ResumePath).toString();
    if (!resumePath.isEmpty())
        download->setIntermediateDownloadTargetPath(ZRExtensions::stringByExpandingTildeInPath(resumePath));
    download->userSettingsFromArchive(archive);
    download->invalidateDate(true);
    return download;
}

void ZRDownload::initWithURL(const QUrl &url, bool addToQueue)
{
    invalidateDate(false);
    _status = ZRDownloadStatusPaused;
    _downloadFraction = 0;
    _shouldWriteMetadataToDownloadBundle = true;
    _url = url;
    if (addToQueue) {
        _status = ZRDownloadStatusQueued;
        if (ZRDownloadManager *manager = ZRDownloadManager::sharedManager())
            manager->invalidateLongTermNumberOfQueuedOrDownloadingDownloads();
        invalidateQueuedAndDownloadingDownloads();
        startEligibleQueuedDownloadsWithTimer();
    }
}

// --- User settings and the archive dictionary ---

const QStringList &ZRDownload::archivedUserSettingsKeys()
{
    static const QStringList keys = {
        ZRDownloadKeys::AccelerationFailed, ZRDownloadKeys::AccelerationWorkers, ZRDownloadKeys::Alias,
        ZRDownloadKeys::Date, ZRDownloadKeys::Done, ZRDownloadKeys::DownloadFile,
        ZRDownloadKeys::DownloadFolder, ZRDownloadKeys::Name, ZRDownloadKeys::RangesDisabled,
        ZRDownloadKeys::Referer, ZRDownloadKeys::Request, ZRDownloadKeys::ResponseURL,
        // Newer keys go last; readers that do not know them pass over them.
        ZRDownloadKeys::ResumeValidator, ZRDownloadKeys::ResumeTotalLength,
    };
    return keys;
}

QVariantMap ZRDownload::userSettingsArchiveWithPausedStatus(bool paused, bool writeMetadataToDownloadBundle)
{
    QVariantMap archive;
    archive.insert(ZRDownloadKeys::URL, URLString());
    archive.insert(ZRDownloadKeys::Paused, paused);
    for (const QString &key : archivedUserSettingsKeys())
        ZRExtensions::tryToTakeObjectForKey(archive, key, _userSettings);

    // Only a download whose server answered may have data on disk worth finding again.
    if (_userSettings.contains(ZRDownloadKeys::ResponseURL)) {
        // Only data that exists: saving the queue never makes an (empty) bundle.
        const QString resumePath = intermediateDownloadTargetPathWithSuggestedFileName(QString(), false, false);
        if (!resumePath.isEmpty()) {
            archive.insert(ZRDownloadKeys::ResumePath, ZRExtensions::stringByAbbreviatingWithTildeInPath(resumePath));
            const QFileInfo resumeFile(resumePath);
            const QString folder = resumeFile.path();
            if (writeMetadataToDownloadBundle
                && QFileInfo(folder).fileName().toLower().endsWith(ZRDownloadKeys::BundleExtension)) {
                const QString metadataPath = folder + QLatin1Char('/') + ZRDownloadKeys::BundleMetadataFileName;
                QString error;
                // A copy of the queue entry beside data that is never flushed either: not worth a
                // flush of its own for every download.
                if (!ZRPropertyList::writePropertyListToFile(archive, metadataPath, &error, false))
                    ZRLog(QStringLiteral("cannot write download metadata to <%1>: %2").arg(metadataPath, error));
            }
        }
    }

    ZRExtensions::tryToTakeObjectForKey(archive, ZRDownloadKeys::StatusCode, _userSettings);
    return archive;
}

const QVariantMap &ZRDownload::userSettingsFromArchive(const QVariantMap &archive)
{
    for (const QString &key : archivedUserSettingsKeys())
        ZRExtensions::tryToTakeObjectForKey(_userSettings, key, archive);
    ZRExtensions::tryToTakeObjectForKey(_userSettings, ZRDownloadKeys::StatusCode, archive);
    // The name and the file may come from the archive now.
    invalidateIconAndNameCache();
    return _userSettings;
}

// --- Address values ---

void ZRDownload::setURL(const QUrl &url)
{
    _url = url;
    _comparisonURLString.clear();
    _locationKey.clear();
    _queueRelevantHost.reset();
    invalidateIconAndNameCache();
}

QString ZRDownload::URLString() const
{
    return _url.isEmpty() ? QString() : _url.toString(QUrl::FullyEncoded);
}

QString ZRDownload::originalURLString() const
{
    const QString original = _userSettings.value(ZRDownloadKeys::OriginalURL).toString();
    return original.isEmpty() ? URLString() : original;
}

QString ZRDownload::comparisonURLString()
{
    if (_comparisonURLString.isEmpty())
        _comparisonURLString = ZRExtensions::comparisonURLString(URLString());
    return _comparisonURLString;
}

QString ZRDownload::queueRelevantHost()
{
    if (!_queueRelevantHost) {
        QString host = _url.host().toLower();
        const QStringList labels = host.split(QLatin1Char('.'));
        if (labels.size() > 2) {
            // Numeric addresses stay whole: only names share a domain.
            const bool isNumeric = std::all_of(host.cbegin(), host.cend(), [](QChar c) {
                return c == QLatin1Char('.') || (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
            });
            if (!isNumeric)
                host = labels.mid(labels.size() - 2).join(QLatin1Char('.'));
        }
        _queueRelevantHost = host;
    }
    return *_queueRelevantHost;
}

QString ZRDownload::locationKey()
{
    if (_locationKey.isEmpty()) {
        const QString filePath = path();
        if (!filePath.isEmpty()) {
            _locationKey = ZRExtensions::stringByAbbreviatingWithTildeInPath(filePath);
        } else {
            // Shown in the list and written to the log: never with a user name and password.
            QString location = _url.isEmpty() ? QString() : _url.toString(QUrl::FullyEncoded | QUrl::RemoveUserInfo);
            if (location.size() > 7 && location.startsWith(QLatin1String("http://")))
                location.remove(0, 7);
            if (location.size() > 4 && location.startsWith(QLatin1String("www.")))
                location.remove(0, 4);
            _locationKey = location;
        }
    }
    return _locationKey;
}

// --- Names and icon ---

void ZRDownload::setName(const QString &name)
{
    if (name.isEmpty()) {
        _userSettings.remove(ZRDownloadKeys::Name);
    } else {
        QString value = name;
        if (value.endsWith(DoubledSplitArchiveSuffix))
            value = stringByDeletingPathExtension(value);
        _userSettings.insert(ZRDownloadKeys::Name, ZRExtensions::filenameByRemovingURLParameters(value));
    }
    invalidateIconAndNameCache();
}

QString ZRDownload::name()
{
    if (!_cachedName.isEmpty())
        return _cachedName;

    QString name = _userSettings.value(ZRDownloadKeys::Name).toString();
    if (!name.isEmpty()) {
        if (const std::optional<QString> pattern = preservedNamePattern()) {
            QString produced = filenameWithPreservedNamePattern(
                *pattern, _userSettings.value(ZRDownloadKeys::DownloadPageTitle).toString());
            const QString storedExtension = pathExtension(name);
            if (!storedExtension.isEmpty()) {
                const qsizetype producedExtensionLength = pathExtension(produced).size();
                if (producedExtensionLength >= 1 && producedExtensionLength <= 4)
                    produced = stringByDeletingPathExtension(produced);
                produced += QLatin1Char('.') + storedExtension;
            }
            if (!produced.isEmpty()) {
                name = produced;
                _userSettings.insert(ZRDownloadKeys::Name, name);
            }
        }
    } else {
        name = path().section(QLatin1Char('/'), -1);
        if (name.isEmpty())
            name = ZRExtensions::filename(_url);
    }
    _cachedName = name;
    return _cachedName;
}

QString ZRDownload::displayName()
{
    if (!defaults().boolForKey(ZRDownloadDefaultsKeys::PrivateDownloading))
        return defaults().boolForKey(ZRDownloadDefaultsKeys::DisplayLocationsAsNames) ? locationKey() : name();

    const QString anonymized = anonymizedName();
    if (defaults().boolForKey(ZRDownloadDefaultsKeys::PrivateDownloadingAddsGenericPrefix))
        return localized("File \"%1\"").arg(anonymized);
    return anonymized;
}

QString ZRDownload::anonymizedName()
{
    const bool preserveExtension = defaults().boolForKey(ZRDownloadDefaultsKeys::PrivateDownloadingPreservesExtensions);
    // The cache remembers which form it holds, so that switching the preference shows at once.
    if (_anonymizedName.isEmpty() || _anonymizedNamePreservesExtension != preserveExtension) {
        _anonymizedName = ZRExtensions::anonymizedStringPreservingExtension(name(), preserveExtension, true);
        _anonymizedNamePreservesExtension = preserveExtension;
    }
    return _anonymizedName;
}

QString ZRDownload::sortName()
{
    if (!_sortName)
        _sortName = ZRExtensions::sortString(name());
    return *_sortName;
}

ZRIcon ZRDownload::icon()
{
    if (defaults().boolForKey(ZRDownloadDefaultsKeys::PrivateDownloading)
        && !defaults().boolForKey(ZRDownloadDefaultsKeys::PrivateDownloadingPreservesExtensions))
        return ZRIcon();
    if (!_icon) {
        const QString extension = pathExtension(ZRExtensions::cleanFilename(name()));
        _icon = ZRExtensions::cachedIcon32FromExtension(extension.isEmpty() ? ImaginaryFileType : extension);
    }
    return *_icon;
}

void ZRDownload::invalidateIconAndNameCache()
{
    _icon.reset();
    _cachedName.clear();
    _anonymizedName.clear();
    _sortName.reset();
}

// --- Dates ---

QDateTime ZRDownload::invalidateDate(bool force)
{
    if (force || !_date.isValid()) {
        const QVariant stored = ZRExtensions::unarchivedObjectForKey(_userSettings, ZRDownloadKeys::Date);
        if (stored.typeId() == QMetaType::QDateTime && stored.toDateTime().isValid()) {
            _date = stored.toDateTime();
        } else {
            _date = QDateTime::currentDateTimeUtc();
            ZRExtensions::archiveObject(_userSettings, _date, ZRDownloadKeys::Date);
        }
    }
    return _date;
}

QDateTime ZRDownload::invalidateDownloadDate(bool force)
{
    if (force || !_downloadDate.isValid()) {
        _downloadDate = QDateTime::currentDateTimeUtc();
        _doneDate = QDateTime();
    }
    return _downloadDate;
}

QDateTime ZRDownload::doneDate()
{
    if (!_doneDate.isValid()) {
        const QVariant stored = ZRExtensions::unarchivedObjectForKey(_userSettings, ZRDownloadKeys::Done);
        if (stored.typeId() == QMetaType::QDateTime && stored.toDateTime().isValid()) {
            _doneDate = stored.toDateTime();
        } else {
            _doneDate = QDateTime::currentDateTimeUtc();
            ZRExtensions::archiveObject(_userSettings, _doneDate, ZRDownloadKeys::Done);
        }
    }
    return _doneDate;
}

// --- Files ---

QString ZRDownload::pathByCheckingExistence(bool check)
{
    if (!_url.isLocalFile())
        return QString();
    const QString filePath = _url.toLocalFile();
    const bool fileExists = QFileInfo::exists(filePath);

    const QByteArray aliasData = _userSettings.value(ZRDownloadKeys::Alias).toByteArray();
    const ZRFileBookmark bookmark = ZRFileBookmark::bookmarkWithData(aliasData);
    if (bookmark.isValid() && !fileExists) {
        const QString resolvedPath = bookmark.resolvedPath();
        if (!resolvedPath.isEmpty() && resolvedPath != filePath) {
            // The file was moved or renamed: follow it.
            setURL(QUrl::fromLocalFile(resolvedPath));
            return resolvedPath;
        }
        if (resolvedPath.isEmpty() && check) {
            // Keep the bookmark of a file on a disk that is not mounted; it may come back.
            if (ZRExtensions::volumeExists(ZRExtensions::volumePath(bookmark.path())))
                _userSettings.remove(ZRDownloadKeys::Alias);
            return QString();
        }
    }
    if (check && !fileExists)
        return QString();
    return filePath;
}

QString ZRDownload::pathToReveal()
{
    if (quint64(_status) <= ZRDownloadStatusDownloading) {
        const QString container = downloadContainerPath();
        if (!container.isEmpty() && QFileInfo::exists(container))
            return container;
    }
    QString filePath = path();
    if (filePath.isEmpty())
        return QString();
    if (ZRIsSandboxed())
        filePath = QFileInfo(filePath).canonicalFilePath();
    return !filePath.isEmpty() && QFileInfo::exists(filePath) ? filePath : QString();
}

// --- Other ---

QString ZRDownload::description()
{
    return QStringLiteral("<ZRDownload: %1 %2>").arg(locationKey(), QString::asprintf("%p", static_cast<void *>(this)));
}

bool ZRDownload::isMatchForSearchStrings(const QStringList &searchStrings, bool checkURL)
{
    return ZRExtensions::isMatchForSearchStrings(checkURL ? originalURLString() : name(), searchStrings);
}

double ZRDownload::downloadCompletionFraction() const
{
    switch (_status) {
    case ZRDownloadStatusComplete:
        return 1;
    case ZRDownloadStatusDownloading:
        return _downloadFraction;
    default:
        return 0;
    }
}

QString ZRDownload::statusDescriptionWithLiveDetails(bool live)
{
    const QString dash = ZRExtensions::spacedDashString();
    const bool hasResponse = _userSettings.contains(ZRDownloadKeys::ResponseURL);
    QString text;
    switch (_status) {
    case ZRDownloadStatusAborted: {
        const QVariant statusCode = _userSettings.value(ZRDownloadKeys::StatusCode);
        text = localized("Aborted");
        if (statusCode.isValid())
            text += dash + statusCode.toString();
        break;
    }
    case ZRDownloadStatusComplete: {
        text = localized("Complete");
        const QString when = fuzzyDoneDateDescription();
        if (!when.isEmpty())
            text += dash + when;
        break;
    }
    case ZRDownloadStatusDownloading:
        if (live)
            text = downloadProgressDescription();
        else
            text = localized("Downloading: %1%").arg(qint64(downloadCompletionFraction() * 100));
        break;
    case ZRDownloadStatusQueued: {
        // A position is worth showing only when several downloads wait.
        QString position = live ? queueIndexDescription() : QString();
        ZRDownloadManager *manager = ZRDownloadManager::sharedManager();
        if (!position.isEmpty() && (!manager || manager->downloadsMatchingStatusMask(ZRDownloadStatusQueued).size() < 2))
            position.clear();
        text = position.isEmpty() ? localized("Waiting") : localized("Waiting: #%1").arg(position);
        break;
    }
    case ZRDownloadStatusPaused:
        if (hasResponse)
            text = _isInterrupted ? localized("Interrupted") : localized("Paused");
        else
            text = localized("Pending");
        if (live)
            text += pausedHostDescription();
        break;
    }

    if (live && !hasResponse && (_status == ZRDownloadStatusQueued || _status == ZRDownloadStatusPaused)) {
        if (isDownloadPageURL())
            text = text + dash + QChar(0x2387);
        if (accelerates())
            text = text + dash + localized("Accelerate");
    }
    return text;
}

// --- Row actions and commands ---

bool ZRDownload::canPerformActionWithIndex(quint64 index)
{
    switch (index) {
    case 2:
        return !isVanishing();
    case 1:
        return !isVanishing() && (quint64(_status) < 5 || fileExists());
    default:
        return false;
    }
}

void ZRDownload::performActionWithIndex(quint64 index, bool alternateModifiersHeld)
{
    if (index == 2) {
        remove();
        return;
    }
    if (index != 1)
        return;
    switch (_status) {
    case ZRDownloadStatusPaused:
    case ZRDownloadStatusQueued:
        if (alternateModifiersHeld) {
            // Start at once, bypassing the queue.
            startDownloadWithURL(QUrl(), false);
            break;
        }
        togglePause();
        break;
    case ZRDownloadStatusDownloading:
        togglePause();
        break;
    case ZRDownloadStatusComplete:
        if (defaults().boolForKey(ZRDownloadDefaultsKeys::RevealByLaunching))
            open();
        else
            reveal();
        break;
    case ZRDownloadStatusAborted:
        beep();
        break;
    }
}

void ZRDownload::beep()
{
    if (ZRDownloadManager *manager = ZRDownloadManager::sharedManager())
        manager->beep();
}

void ZRDownload::open()
{
    if (_status == ZRDownloadStatusComplete) {
        const QString filePath = pathByCheckingExistence(true);
        if (!filePath.isEmpty()) {
            if (!ZRExtensions::openViaWorkspace(QUrl::fromLocalFile(filePath)))
                beep();
            return;
        }
    }
    reveal();
}

void ZRDownload::reveal()
{
    const QString revealPath = pathToReveal();
    if (revealPath.isEmpty() || !ZRExtensions::showInFinder(revealPath))
        beep();
}

void ZRDownload::copyPath()
{
    const QString filePath = path();
    ZRDownloadManager *manager = ZRDownloadManager::sharedManager();
    if (filePath.isEmpty() || !manager) {
        beep();
        return;
    }
    manager->copyToPasteboard(filePath, {});
}

void ZRDownload::copyOriginalURL()
{
    const QString original = originalURLString();
    const QUrl url(original);
    ZRDownloadManager *manager = ZRDownloadManager::sharedManager();
    if (original.isEmpty() || !url.isValid() || !manager) {
        beep();
        return;
    }
    manager->copyToPasteboard(original, {url});
}

void ZRDownload::openOriginalURL()
{
    const QUrl url(originalURLString());
    if (url.isEmpty() || !url.isValid() || !ZRExtensions::openViaWorkspace(url))
        beep();
}

// --- Sorting ---

int ZRCompareDownloads(ZRDownload &a, ZRDownload &b, qint64 criterion, bool *decidedByFallback)
{
    int result = 0;
    const bool hasOwnOrder = criterion == ZRDownloadSortCriterionDate || criterion == ZRDownloadSortCriterionProgress
        || criterion == ZRDownloadSortCriterionHost || criterion == ZRDownloadSortCriterionAddress;
    switch (criterion) {
    case ZRDownloadSortCriterionDate: {
        const double seconds = double(b.date().msecsTo(a.date())) / 1000;
        if (seconds > DateTolerance)
            result = 1;
        else if (seconds < -DateTolerance)
            result = -1;
        break;
    }
    case ZRDownloadSortCriterionProgress: {
        const double fractionA = a.downloadCompletionFraction();
        const double fractionB = b.downloadCompletionFraction();
        if (fractionA - fractionB > FractionTolerance) {
            result = 1;
        } else if (fractionB - fractionA > FractionTolerance) {
            result = -1;
        } else if (fractionA < FractionTolerance && fractionB < FractionTolerance) {
            // Among downloads that have not begun, paused ones come first. Both must be below the
            // tolerance, or a and b swapped would not give the opposite answer.
            const bool pausedA = a.status() == ZRDownloadStatusPaused;
            const bool pausedB = b.status() == ZRDownloadStatusPaused;
            if (pausedA != pausedB)
                result = pausedA ? -1 : 1;
        }
        break;
    }
    case ZRDownloadSortCriterionHost:
        result = sign(ZRNaturalCompare(a.queueRelevantHost(), b.queueRelevantHost()));
        break;
    case ZRDownloadSortCriterionAddress:
        result = sign(ZRNaturalCompare(a.originalURLString(), b.originalURLString()));
        break;
    default:
        break;
    }

    bool fallback = false;
    if (result == 0) {
        fallback = hasOwnOrder;
        result = sign(ZRNaturalCompare(a.sortName(), b.sortName()));
        if (result == 0) {
            fallback = true;
            result = sign(ZRNaturalCompare(a.originalURLString(), b.originalURLString()));
        }
    }
    if (decidedByFallback)
        *decidedByFallback = fallback;
    return result;
}

namespace ZRExtensions {

QStringList originalURLStrings(const ZRDownloadList &downloads)
{
    QStringList strings;
    for (const ZRDownloadPtr &download : downloads) {
        if (!download)
            continue;
        const QString original = download->originalURLString();
        if (!original.isEmpty())
            strings.append(original);
    }
    return strings;
}

bool containsDownloadsEffectivelySortedByCriterion(const ZRDownloadList &downloads, qint64 criterion,
                                                   bool mustUseCriterionSpecificSorting)
{
    if (criterion < 0 || downloads.size() < 2)
        return false;
    bool someDecidedByCriterion = false;
    for (qsizetype i = 0; i + 1 < downloads.size(); ++i) {
        bool fallback = false;
        if (ZRCompareDownloads(*downloads[i], *downloads[i + 1], criterion, &fallback) > 0)
            return false;
        if (!fallback)
            someDecidedByCriterion = true;
    }
    return someDecidedByCriterion || !mustUseCriterionSpecificSorting;
}

} // namespace ZRExtensions

// --- Download-page rules and relative dates ---
// No download-page rules are read yet, so no address is a download page and none carries a name
// pattern; and no relative-date text exists yet, so a complete download shows no date.

std::optional<QString> ZRDownload::preservedNamePattern() const
{
    return std::nullopt;
}

QString ZRDownload::filenameWithPreservedNamePattern(const QString &pattern, const QString &downloadPageTitle) const
{
    (void)pattern;
    (void)downloadPageTitle;
    return QString();
}

bool ZRDownload::isDownloadPageURL() const
{
    return false;
}

QString ZRDownload::fuzzyDoneDateDescription()
{
    return QString();
}
