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
#include "core/text/ZRDateExtensions.h"
#include "core/text/ZRExtendedAttributes.h"
#include "core/text/ZRFileBookmark.h"
#include "core/text/ZRIcons.h"
#include "core/text/ZRNaturalOrder.h"
#include "core/text/ZRPathExtensions.h"
#include "core/text/ZRStringExtensions.h"

#include "core/http/ZRDataDecompressor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <curl/curl.h>

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

// Fragments beside an intermediate file: those of extra connections, and those written by resumes.
const QString AccelerationFragmentInfix = QStringLiteral(".quorvel-xf-");
const QString ResumeFragmentInfix = QStringLiteral(".quorvel-rf-");

// Numbered bundles ("NAME 1.quorvel", ...) looked at for data that an earlier run left.
constexpr int LeftBehindBundleVariants = 20;

bool isInteger(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Int:
    case QMetaType::UInt:
        return true;
    default:
        return false;
    }
}

bool isFlag(const QVariant &value)
{
    return value.typeId() == QMetaType::Bool || isInteger(value);
}

bool isString(const QVariant &value)
{
    return value.typeId() == QMetaType::QString;
}

bool isData(const QVariant &value)
{
    return value.typeId() == QMetaType::QByteArray;
}

bool isList(const QVariant &value)
{
    return value.typeId() == QMetaType::QVariantList || value.typeId() == QMetaType::QStringList;
}

bool isStringDictionary(const QVariant &value)
{
    if (value.typeId() != QMetaType::QVariantMap)
        return false;
    const QVariantMap map = value.toMap();
    return std::all_of(map.cbegin(), map.cend(), isString);
}

bool isRequest(const QVariant &value)
{
    if (value.typeId() != QMetaType::QVariantMap)
        return false;
    const QVariantMap request = value.toMap();
    const auto check = [&](const QString &key, bool (*valid)(const QVariant &)) {
        return !request.contains(key) || valid(request.value(key));
    };
    return check(ZRDownloadKeys::RequestMethod, isString)
        && check(ZRDownloadKeys::RequestBody, [](const QVariant &v) { return isData(v) || isString(v); })
        && check(ZRDownloadKeys::RequestAllHeaderFields, isStringDictionary)
        && check(ZRDownloadKeys::RequestPartialHeaderFields, isStringDictionary);
}

bool isFractionList(const QVariant &value)
{
    if (!isList(value))
        return false;
    const QVariantList fractions = value.toList();
    return std::all_of(fractions.cbegin(), fractions.cend(), [](const QVariant &element) {
        if (element.typeId() != QMetaType::QVariantMap)
            return false;
        const QVariantMap fraction = element.toMap();
        return isString(fraction.value(ZRDownloadKeys::AccelerationWorkerTarget))
            && isInteger(fraction.value(ZRDownloadKeys::AccelerationWorkerStart))
            && isInteger(fraction.value(ZRDownloadKeys::AccelerationWorkerEnd));
    });
}

// A "Last Error" dictionary: domain, code and message, and an error of the same form under it.
bool isErrorDictionary(const QVariant &value, int depth = 0)
{
    if (value.typeId() != QMetaType::QVariantMap || depth > 3)
        return false;
    const QVariantMap error = value.toMap();
    const QVariant underlying = error.value(ZRDownloadKeys::UnderlyingError);
    return isString(error.value(ZRDownloadKeys::ErrorDomain)) && isInteger(error.value(ZRDownloadKeys::ErrorCode))
        && isString(error.value(ZRDownloadKeys::ErrorMessage))
        && (!underlying.isValid() || isErrorDictionary(underlying, depth + 1));
}

bool isLastError(const QVariant &value)
{
    return isErrorDictionary(value);
}

// The type each archived value must have to be used.
bool hasArchiveType(const QString &key, const QVariant &value)
{
    using Check = bool (*)(const QVariant &);
    using namespace ZRDownloadKeys;
    static const QHash<QString, Check> checks = {
        {URL, isString}, {ResumePath, isString}, {DownloadFile, isString}, {DownloadFolder, isString},
        {Name, isString}, {Referer, isString}, {ResponseURL, isString}, {ResumeValidator, isString},
        {OriginalURL, isString}, {Paused, isFlag}, {RangesDisabled, isFlag}, {AccelerationFailed, isFlag},
        {Alias, isData}, {Date, isData}, {Done, isData}, {StatusCode, isInteger}, {ResumeTotalLength, isInteger},
        {Request, isRequest}, {AccelerationWorkers, isFractionList}, {LastError, isLastError},
    };
    const Check check = checks.value(key);
    // Keys of newer or other writers are passed over, whatever they hold.
    return !check || check(value);
}

// What lets a later run continue the data on disk: one of them unusable makes the others useless.
const QStringList &resumeKeys()
{
    static const QStringList keys = {ZRDownloadKeys::ResponseURL, ZRDownloadKeys::ResumePath,
                                     ZRDownloadKeys::ResumeValidator, ZRDownloadKeys::ResumeTotalLength,
                                     ZRDownloadKeys::AccelerationWorkers, ZRDownloadKeys::StatusCode};
    return keys;
}

QString cleanNameOf(const QString &name)
{
    // Cut as the bundle's name is when it is made.
    const QString cleanName = ZRExtensions::fileNameByTruncatingToByteLength(
        ZRExtensions::cleanFilename(name), ZRExtensions::FileNameMaximumBytes - ZRExtensions::DownloadNameReserveBytes);
    return cleanName.isEmpty() ? QStringLiteral("-") : cleanName;
}

std::optional<QVariantMap> bundleMetadata(const QString &bundle)
{
    const QString path = bundle + QLatin1Char('/') + ZRDownloadKeys::BundleMetadataFileName;
    const QFileInfo info(path);
    if (!info.isFile() || info.isSymLink())
        return std::nullopt;
    const std::optional<QVariant> root = ZRPropertyList::propertyListWithContentsOfFile(path);
    if (!root || root->typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    return root->toMap();
}

} // namespace

// --- Creation ---

ZRDownload::ZRDownload(ConstructionKey)
{
    noteUnfinishedDownload(this);
}

ZRDownload::~ZRDownload()
{
    forgetUnfinishedDownload(this);
}

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
    const QVariantMap usable = restorableArchive(archive);
    return downloadWithCheckedArchive(
        usable, addToQueue,
        ZRExtensions::stringByExpandingTildeInPath(usable.value(ZRDownloadKeys::ResumePath).toString()));
}

ZRDownloadPtr ZRDownload::downloadWithCheckedArchive(const QVariantMap &archive, bool addToQueue,
                                                     const QString &intermediatePath)
{
    const QString urlString = archive.value(ZRDownloadKeys::URL).toString();
    if (urlString.isEmpty())
        return nullptr;
    const QUrl url(urlString, QUrl::StrictMode);
    if (url.isEmpty() || !url.isValid())
        return nullptr;
    auto download = std::make_shared<ZRDownload>(ConstructionKey());
    // The settings first: the date added comes from them (read when first needed) instead of being
    // made and then replaced.
    download->userSettingsFromArchive(archive);
    download->_intermediateDownloadTargetPath = intermediatePath;
    download->_looksForDataLeftBehind = true;
    download->_mayHaveFragments = true;
    // Stopped by a failure in the earlier run, it still says so.
    download->_isInterrupted = download->_userSettings.contains(ZRDownloadKeys::LastError);
    download->initWithURL(url, addToQueue);
    return download;
}

QVariantMap ZRDownload::restorableArchive(const QVariantMap &archive, QStringList *droppedKeys)
{
    QStringList mistyped;
    for (auto it = archive.cbegin(); it != archive.cend(); ++it) {
        if (!hasArchiveType(it.key(), it.value()))
            mistyped.append(it.key());
    }
    if (droppedKeys)
        *droppedKeys = mistyped;
    if (mistyped.isEmpty())
        return archive;
    // Without its address, or with a request that cannot be sent as it was made (cookies, a form
    // body), the download is not this one any more.
    if (mistyped.contains(ZRDownloadKeys::URL) || mistyped.contains(ZRDownloadKeys::Request))
        return {};
    QVariantMap usable = archive;
    for (const QString &key : std::as_const(mistyped))
        usable.remove(key);
    // Whether the user paused it is not known: it does not start by itself.
    if (mistyped.contains(ZRDownloadKeys::Paused))
        usable.insert(ZRDownloadKeys::Paused, true);
    if (std::any_of(mistyped.cbegin(), mistyped.cend(), [](const QString &key) { return resumeKeys().contains(key); })) {
        for (const QString &key : resumeKeys())
            usable.remove(key);
    }
    return usable;
}

void ZRDownload::initWithURL(const QUrl &url, bool addToQueue)
{
    // A stored date is read when first needed.
    if (!_userSettings.contains(ZRDownloadKeys::Date))
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
        ZRDownloadKeys::ResumeValidator, ZRDownloadKeys::ResumeTotalLength, ZRDownloadKeys::LastError,
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
            // A download restored from the queue leaves its bundle's description alone until it
            // starts: the earlier run may have written more there (fractions laid out after the
            // queue was saved), and the start reads it.
            if (writeMetadataToDownloadBundle && !_looksForDataLeftBehind
                && QFileInfo(folder).fileName().toLower().endsWith(ZRDownloadKeys::BundleExtension)) {
                const QString metadataPath = folder + QLatin1Char('/') + ZRDownloadKeys::BundleMetadataFileName;
                // Every save of the queue asks; only what changed since the last write is written.
                if (archive != _writtenBundleMetadata || metadataPath != _writtenBundleMetadataPath
                    || !QFileInfo::exists(metadataPath)) {
                    QString error;
                    // A copy of the queue entry beside data that is never flushed either: not worth a
                    // flush of its own for every download.
                    if (ZRPropertyList::writePropertyListToFile(archive, metadataPath, &error, false)) {
                        _writtenBundleMetadata = archive;
                        _writtenBundleMetadataPath = metadataPath;
                    } else {
                        ZRLog(QStringLiteral("cannot write download metadata to <%1>: %2").arg(metadataPath, error));
                    }
                }
            }
        }
    }

    ZRExtensions::tryToTakeObjectForKey(archive, ZRDownloadKeys::StatusCode, _userSettings);
    return archive;
}

// --- Data that an earlier run left behind ---

bool ZRDownload::describesThisDownload(const QVariantMap &metadata) const
{
    // The address alone could be a second download of the same file; the date it was added tells
    // them apart.
    const QByteArray date = _userSettings.value(ZRDownloadKeys::Date).toByteArray();
    return !date.isEmpty() && metadata.value(ZRDownloadKeys::URL).toString() == URLString()
        && metadata.value(ZRDownloadKeys::Date).toByteArray() == date;
}

void ZRDownload::takeMissingValuesFromBundleMetadata(const QVariantMap &metadata)
{
    static const QStringList keys = {ZRDownloadKeys::ResponseURL, ZRDownloadKeys::StatusCode,
                                     ZRDownloadKeys::ResumeValidator, ZRDownloadKeys::ResumeTotalLength,
                                     ZRDownloadKeys::AccelerationWorkers, ZRDownloadKeys::RangesDisabled,
                                     ZRDownloadKeys::AccelerationFailed, ZRDownloadKeys::Name};
    for (const QString &key : keys) {
        if (!_userSettings.contains(key) && metadata.contains(key))
            _userSettings.insert(key, metadata.value(key));
    }
    invalidateIconAndNameCache();
}

bool ZRDownload::bundleDataIsConsistent(const QString &bundle, const QString &intermediatePath,
                                        const QVariantMap &metadata)
{
    const QFileInfo file(intermediatePath);
    if (metadata.value(ZRDownloadKeys::ResponseURL).toString().isEmpty() || !file.isFile() || file.isSymLink()
        || QDir::cleanPath(file.path()) != QDir::cleanPath(bundle))
        return false;
    QHash<QString, quint64> sizes;
    const quint64 total = combinedFileSizeFromIntermediateDownloadTargetPath(intermediatePath, QString(), &sizes);
    const qint64 length = metadata.value(ZRDownloadKeys::ResumeTotalLength).toLongLong();
    const QVariantList fractions = metadata.value(ZRDownloadKeys::AccelerationWorkers).toList();
    if (total == 0 || sizes.size() != fractions.size() + 1)
        return false;
    if (length > 0 && qint64(sizes.value(intermediatePath)) > length)
        return false;
    // Each fraction's file lies in this bundle and holds no more than its share; whether they fit
    // together is judged again when the transfer resumes.
    return std::all_of(fractions.cbegin(), fractions.cend(), [&](const QVariant &element) {
        const QVariantMap fraction = element.toMap();
        const QString target = fraction.value(ZRDownloadKeys::AccelerationWorkerTarget).toString();
        const qint64 share = fraction.value(ZRDownloadKeys::AccelerationWorkerEnd).toLongLong()
            - fraction.value(ZRDownloadKeys::AccelerationWorkerStart).toLongLong() + 1;
        return sizes.contains(target) && QDir::cleanPath(QFileInfo(target).path()) == QDir::cleanPath(bundle)
            && qint64(sizes.value(target)) <= share;
    });
}

bool ZRDownload::bundleHoldsOnlyDataNamed(const QString &bundle, const QString &cleanName) const
{
    const QFileInfoList entries =
        QDir(bundle).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    return std::all_of(entries.cbegin(), entries.cend(), [&](const QFileInfo &entry) {
        const QString entryName = entry.fileName();
        if (ZRExtensions::isNegligibleFilename(entryName))
            return true;
        return entry.isFile() && !entry.isSymLink()
            && (entryName == cleanName || entryName.startsWith(cleanName + AccelerationFragmentInfix)
                || entryName.startsWith(cleanName + ResumeFragmentInfix));
    });
}

void ZRDownload::adoptDataLeftBehind()
{
    if (!_looksForDataLeftBehind)
        return;
    _looksForDataLeftBehind = false;
    if (!_downloadWorkers.empty() || matchesStatusMask(ZRDownloadStatusMaskFinished))
        return;

    if (_userSettings.contains(ZRDownloadKeys::ResponseURL)) {
        // The queue archive is written a moment after the bundle's metadata file: fractions laid out
        // just before the program ended may be known only there.
        const QString bundle = downloadContainerPath();
        const std::optional<QVariantMap> metadata = bundle.isEmpty() ? std::nullopt : bundleMetadata(bundle);
        if (!metadata || !describesThisDownload(*metadata))
            return;
        const QVariantMap usable = restorableArchive(*metadata);
        if (ZRExtensions::stringByExpandingTildeInPath(usable.value(ZRDownloadKeys::ResumePath).toString())
            == _intermediateDownloadTargetPath)
            takeMissingValuesFromBundleMetadata(usable);
        return;
    }
    if (!_intermediateDownloadTargetPath.isEmpty())
        return;

    // The program ended before the queue archive learnt of the data: it is in the bundle this
    // download makes first, or in a numbered one when that name was taken.
    const QString base = downloadBasePath();
    const QString cleanName = cleanNameOf(name());
    QString unchecked;
    for (int variant = 0; variant <= LeftBehindBundleVariants; ++variant) {
        const QString bundle = base + QLatin1Char('/') + cleanName
            + (variant ? QStringLiteral(" %1").arg(variant) : QString()) + ZRDownloadKeys::BundleExtension;
        const QFileInfo info(bundle);
        if (!info.exists() && !info.isSymLink())
            break;
        if (!info.isDir() || info.isSymLink())
            continue;
        const std::optional<QVariantMap> found = bundleMetadata(bundle);
        if (!found) {
            if (variant == 0)
                unchecked = bundle;
            continue;
        }
        if (!describesThisDownload(*found))
            continue;
        const QVariantMap metadata = restorableArchive(*found);
        const QString intermediatePath =
            ZRExtensions::stringByExpandingTildeInPath(metadata.value(ZRDownloadKeys::ResumePath).toString());
        if (!intermediatePath.isEmpty() && bundleDataIsConsistent(bundle, intermediatePath, metadata)) {
            _intermediateDownloadTargetPath = intermediatePath;
            takeMissingValuesFromBundleMetadata(metadata);
            ZRLog(QStringLiteral("%1 continues the data that an earlier run left in <%2>").arg(description(), bundle));
            return;
        }
        // Its own bundle, but what it holds cannot be continued: it goes, and its name is free again.
        ZRLog(QStringLiteral("%1 cannot continue the data that an earlier run left in <%2>: starting over")
                  .arg(description(), bundle));
        // Only what lies in the bundle: the metadata file could name any path.
        const bool inBundle = !intermediatePath.isEmpty()
            && QDir::cleanPath(QFileInfo(intermediatePath).path()) == QDir::cleanPath(bundle);
        removeIntermediateFileAndContainer(inBundle ? intermediatePath : bundle + QLatin1Char('/') + cleanName);
        ZRExtensions::removeFolderIfVirtuallyEmpty(bundle);
        return;
    }

    // Without a metadata file nothing tells which version of the file the data is. The bundle under
    // this download's own name, holding nothing but data of that name and used by no other download
    // of the list, was left by this one (it ended before the bundle was described): the new transfer
    // starts over in its place rather than beside it.
    if (unchecked.isEmpty() || !bundleHoldsOnlyDataNamed(unchecked, cleanName))
        return;
    if (ZRDownloadManager *manager = ZRDownloadManager::sharedManager()) {
        for (const ZRDownloadPtr &other : manager->downloadsMatchingStatusMask(ZRDownloadStatusMaskAny)) {
            const QString otherBundle = other->downloadContainerPath();
            if (other.get() != this && !otherBundle.isEmpty() && QDir::cleanPath(otherBundle) == QDir::cleanPath(unchecked))
                return;
        }
    }
    ZRLog(QStringLiteral("%1 cannot check the data that an earlier run left in <%2>: starting over")
              .arg(description(), unchecked));
    removeIntermediateFileAndContainer(unchecked + QLatin1Char('/') + cleanName);
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
    _urlString.clear();
    _comparisonURLString.clear();
    _locationKey.clear();
    _queueRelevantHost.reset();
    _isDownloadPageURLStatus.reset();
    // The queue's cached positions group waiting downloads by host.
    invalidateQueuedAndDownloadingDownloads();
    invalidateIconAndNameCache();
}

QString ZRDownload::URLString() const
{
    // Asked for by every save of the queue and every duplicate check: made once per address.
    if (_urlString.isNull() && !_url.isEmpty())
        _urlString = _url.toString(QUrl::FullyEncoded);
    return _urlString;
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
    // Names and status texts ask this at every change: the bookmark is read only when it matters.
    if ((!_justFinishedPath.isEmpty() && filePath == _justFinishedPath) || QFileInfo::exists(filePath))
        return filePath;

    const QByteArray aliasData = _userSettings.value(ZRDownloadKeys::Alias).toByteArray();
    const ZRFileBookmark bookmark = ZRFileBookmark::bookmarkWithData(aliasData);
    if (bookmark.isValid()) {
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
    if (check)
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
        // A header too large has no status code of its own worth showing: the failure says it.
        const QVariantMap error = lastError();
        if (error.value(ZRDownloadKeys::ErrorDomain).toString() == QLatin1String(ZRHTTPRequestErrorDomain)
            && error.value(ZRDownloadKeys::ErrorCode).toLongLong() == ZRHTTPResponseHeaderTooLargeErrorCode)
            text += dash + error.value(ZRDownloadKeys::ErrorMessage).toString();
        else if (statusCode.isValid())
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
        if (!position.isEmpty() && (!manager || queuedDownloads().size() < 2))
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

// --- Why it stopped ---

namespace {

QVariantMap errorDictionary(const ZRHTTPError &error)
{
    QVariantMap dictionary{
        {ZRDownloadKeys::ErrorDomain, QString::fromStdString(error.domain)},
        {ZRDownloadKeys::ErrorCode, qint64(error.code)},
        {ZRDownloadKeys::ErrorMessage, QString::fromStdString(error.localizedDescription)},
    };
    if (error.underlyingError)
        dictionary.insert(ZRDownloadKeys::UnderlyingError, errorDictionary(*error.underlyingError));
    return dictionary;
}

QString errorMessage(const QVariantMap &error)
{
    // A worker's own messages start with its description ("<ZRHTTPRequestDownloadWorker: 0x...>"),
    // which tells a reader nothing.
    QString message = error.value(ZRDownloadKeys::ErrorMessage).toString().trimmed();
    if (message.startsWith(QLatin1Char('<'))) {
        const qsizetype end = message.indexOf(QLatin1String("> "));
        if (end > 0)
            message = message.mid(end + 2);
    }
    return message;
}

QString failureReason(const QVariantMap &error)
{
    const QString message = errorMessage(error);
    const QVariantMap underlying = error.value(ZRDownloadKeys::UnderlyingError).toMap();
    const QString underlyingMessage = errorMessage(underlying);
    if (underlyingMessage.isEmpty())
        return message;
    // The engine's "A connection failure occurred" says less than the transport's own words.
    if (message.isEmpty()
        || underlying.value(ZRDownloadKeys::ErrorDomain).toString() == QLatin1String(ZRHTTPTransportErrorDomain))
        return underlyingMessage;
    return message + QStringLiteral(": ") + underlyingMessage;
}

// Only where the cause has one obvious remedy.
QString failureRemedy(const QVariantMap &error)
{
    const QString domain = error.value(ZRDownloadKeys::ErrorDomain).toString();
    const qint64 code = error.value(ZRDownloadKeys::ErrorCode).toLongLong();
    const QVariantMap underlying = error.value(ZRDownloadKeys::UnderlyingError).toMap();
    const QString underlyingDomain = underlying.value(ZRDownloadKeys::ErrorDomain).toString();
    const qint64 underlyingCode = underlying.value(ZRDownloadKeys::ErrorCode).toLongLong();
    if (underlyingDomain == QLatin1String(ZRHTTPTransportErrorDomain)) {
        if (underlyingCode == CURLE_COULDNT_RESOLVE_HOST)
            return localized("check the host name in the address");
        // Not a name that does not match: that certificate may well be trusted.
        if (underlyingCode == CURLE_PEER_FAILED_VERIFICATION
            && errorMessage(underlying).contains(QLatin1String("certificate problem")))
            return localized("retry with a trusted certificate; system CAs are used");
    }
    if (underlyingDomain == QLatin1String(ZRPOSIXErrorDomain) && (underlyingCode == ENOSPC || underlyingCode == EDQUOT))
        return localized("free some space on the disk that holds the download");
    if (domain == QLatin1String(ZRHTTPRequestErrorDomain) && code == ZRHTTPAuthenticationErrorCode)
        return localized("put a valid user name and password in the address: user:password@host");
    return {};
}

} // namespace

ZRHTTPErrorPtr ZRDownload::finishedWithoutDataError(qint64 statusCode)
{
    // The standard phrases: what a server writes after the code may be anything.
    static const QHash<qint64, const char *> phrases = {
        {400, "Bad Request"}, {401, "Unauthorized"}, {402, "Payment Required"}, {403, "Forbidden"},
        {404, "Not Found"}, {405, "Method Not Allowed"}, {406, "Not Acceptable"}, {408, "Request Timeout"},
        {409, "Conflict"}, {410, "Gone"}, {411, "Length Required"}, {412, "Precondition Failed"},
        {413, "Content Too Large"}, {414, "URI Too Long"}, {415, "Unsupported Media Type"},
        {416, "Range Not Satisfiable"}, {421, "Misdirected Request"}, {429, "Too Many Requests"},
        {451, "Unavailable For Legal Reasons"}, {500, "Internal Server Error"}, {501, "Not Implemented"},
        {502, "Bad Gateway"}, {503, "Service Unavailable"}, {504, "Gateway Timeout"},
        {505, "HTTP Version Not Supported"},
    };
    QString message;
    if (const char *phrase = phrases.value(statusCode))
        message = QString::fromLatin1(phrase);
    else if (statusCode >= 500 && statusCode <= 599)
        message = QStringLiteral("Server Error");
    else if (statusCode >= 400 && statusCode <= 499)
        message = QStringLiteral("Client Error");
    else if (statusCode >= 300 && statusCode <= 399)
        message = QStringLiteral("Redirection without a new address");
    else
        message = QStringLiteral("the server sent no data");
    return ZRHTTPError::make(ZRDownloadWorkerIncompleteErrorCode, message.toStdString(), nullptr,
                             ZRDownloadWorkerErrorDomain);
}

QVariantMap ZRDownload::lastError() const
{
    return _userSettings.value(ZRDownloadKeys::LastError).toMap();
}

void ZRDownload::noteFailureWithError(const ZRHTTPErrorPtr &error)
{
    if (!error)
        return;
    const QVariantMap dictionary = errorDictionary(*error);
    _userSettings.insert(ZRDownloadKeys::LastError, dictionary);
    QString codes = QStringLiteral("%1 %2").arg(QString::fromStdString(error->domain)).arg(error->code);
    if (error->underlyingError)
        codes += QStringLiteral("; %1 %2")
                     .arg(QString::fromStdString(error->underlyingError->domain))
                     .arg(error->underlyingError->code);
    // The log escapes what the server or the transport put into the message.
    ZRLog(QStringLiteral("cannot download <%1>: %2 (%3)")
              .arg(ZRExtensions::stringByRemovingURLCredentials(URLString()), failureReason(dictionary), codes));
}

QString ZRDownload::failureReasonDescription() const
{
    const QVariantMap error = lastError();
    if (error.isEmpty())
        return {};
    QString text = failureReason(error);
    const QString remedy = failureRemedy(error);
    if (!remedy.isEmpty())
        text += QStringLiteral(" (") + remedy + QLatin1Char(')');
    return text;
}

QString ZRDownload::statusDescriptionWithFailureReason(bool live)
{
    QString text = statusDescriptionWithLiveDetails(live);
    const QVariantMap error = lastError();
    if (error.isEmpty() || !matchesStatusMask(ZRDownloadStatusPaused | ZRDownloadStatusAborted))
        return text;
    const QString dash = ZRExtensions::spacedDashString();
    const QString reason = failureReason(error);
    // "Aborted — response header too large" names it already.
    if (!reason.isEmpty() && !text.endsWith(dash + reason))
        text += dash + reason;
    const QString remedy = failureRemedy(error);
    if (!remedy.isEmpty())
        text += QStringLiteral(" (") + remedy + QLatin1Char(')');
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
            adoptDataLeftBehind();
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

// --- Relative dates ---
// No relative-date text exists yet, so a complete download shows no date. (The download-page rules
// of the address are in ZRDownloadPageRules.cpp.)

QString ZRDownload::fuzzyDoneDateDescription()
{
    return ZRExtensions::fuzzyDescription(doneDate());
}
