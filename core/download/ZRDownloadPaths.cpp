// Where a download goes and where its unfinished data lies: the base folder with folder rules and
// dated subfolders, the intermediate file in its bundle folder, the fragments of resumed and
// accelerated transfers and their join, the final path, and the queue archive beside the default
// intermediate folder.
#include "core/download/ZRDownload.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRSystemCalls.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRAddressExtensions.h"
#include "core/text/ZRCollectionExtensions.h"
#include "core/text/ZRPathExtensions.h"
#include "core/text/ZRStringExtensions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unicode/smpdtfmt.h>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const QString QueueArchiveFileName = QStringLiteral("Queue.plist");
const QString IntermediateFolderName = QStringLiteral("Downloads");

// User defaults.
const QString DownloadsFolderKey = QStringLiteral("Downloads Folder");
const QString SubdivisionFormatDefaultKey = QStringLiteral("Downloads Folder: Subdivision Format (Default)");
const QString SubdivisionFormatRulesKey = QStringLiteral("Downloads Folder: Subdivision Format (Rules)");
const QString SubdivisionFormatDateKey = QStringLiteral("Downloads Folder: Subdivision Format: Date");
const QString IntermediatesLocationKey = QStringLiteral("Intermediates Location");

// Entries of a folder rule.
const QString RuleHostsKey = QStringLiteral("Hosts");
const QString RuleExtensionsKey = QStringLiteral("Extensions");
const QString RuleDownloadsFolderKey = QStringLiteral("Downloads Folder");

// Fragments beside the intermediate file: those of extra connections, and those written by resumes.
const QString AccelerationFragmentInfix = QStringLiteral(".quorvel-xf-");
const QString ResumeFragmentInfix = QStringLiteral(".quorvel-rf-");
const QString WholeBodyIntermediateExtension = QStringLiteral(".quorvel-part");

// Large enough that joining a multi-gigabyte file is a matter of disk speed, not of calls.
constexpr size_t JoinChunkBytes = 1 << 20;

// Paths through which folder access was obtained; only a sandbox hands such paths out.
std::optional<QStringList> gAccessedBookmarkPaths;

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

bool isDownloadBundleFolder(const QString &folder)
{
    return QFileInfo(folder).fileName().toLower().endsWith(ZRDownloadKeys::BundleExtension);
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Expanded, and only when it is an absolute path: a relative one would land wherever we run.
QString usableFolderPath(const QString &path)
{
    if (path.isEmpty())
        return QString();
    const QString expanded = QDir::cleanPath(ZRExtensions::stringByExpandingTildeInPath(path));
    // A plain look at the first character: Qt asks a file-info object for it.
    return expanded.startsWith(QLatin1Char('/')) ? expanded : QString();
}

// Without a sandbox nobody has to be asked: access is there unless the folder plainly refuses it.
// A folder that does not exist yet is left to whoever creates it.
bool confirmWriteAccessForFolder(const QString &folder)
{
    if (folder.isEmpty())
        return false;
    const QByteArray path = QFile::encodeName(folder);
    // Asked twice for every download: one call answers the common case ("/." resolves only
    // through a folder); any refusal is looked at closely.
    if (::access(QByteArray(path + "/.").constData(), W_OK | X_OK) == 0)
        return true;
    struct stat info {};
    if (::stat(path.constData(), &info) != 0)
        return true;
    return S_ISDIR(info.st_mode) && ::access(path.constData(), W_OK | X_OK) == 0;
}

qint64 intermediatesLocation()
{
    if (!defaults().objectForKey(IntermediatesLocationKey).isValid())
        return 1;
    return defaults().integerForKey(IntermediatesLocationKey);
}

// The download's name made safe as one path component, short enough that every file and folder
// named after it stays within the file system's limit for one name.
QString cleanNameOf(const QString &name)
{
    const QString cleanName = ZRExtensions::fileNameByTruncatingToByteLength(
        ZRExtensions::cleanFilename(name),
        ZRExtensions::FileNameMaximumBytes - ZRExtensions::DownloadNameReserveBytes);
    return cleanName.isEmpty() ? QStringLiteral("-") : cleanName;
}

QString pathExtension(const QString &path)
{
    const QString name = path.section(QLatin1Char('/'), -1);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.mid(dot + 1) : QString();
}

// One formatter for every subfolder name; ICU formatters are not thread-safe, hence the lock.
QString formattedDate(const QDateTime &date, const QString &pattern)
{
    static std::once_flag once;
    static std::unique_ptr<icu::SimpleDateFormat> formatter;
    static std::mutex lock;
    std::call_once(once, [] {
        UErrorCode status = U_ZERO_ERROR;
        formatter = std::make_unique<icu::SimpleDateFormat>(status);
        if (U_FAILURE(status))
            formatter.reset();
    });
    if (!formatter)
        return QString();
    const std::lock_guard<std::mutex> guard(lock);
    formatter->applyPattern(icu::UnicodeString(reinterpret_cast<const char16_t *>(pattern.utf16()),
                                               int32_t(pattern.size())));
    icu::UnicodeString text;
    formatter->format(UDate(date.toMSecsSinceEpoch()), text);
    return QString(reinterpret_cast<const QChar *>(text.getBuffer()), text.length());
}

// Appends the whole fragment to the open file; false with errno set when a read or write fails.
bool appendFragment(int fd, const QString &fragment, std::vector<char> &buffer, bool *readFailed)
{
    *readFailed = false;
    const int in = ZRSystem().open(QFile::encodeName(fragment).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (in < 0) {
        *readFailed = true;
        return false;
    }
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            *readFailed = true;
            ok = false;
            break;
        }
        if (got == 0)
            break;
        if (!ZRWriteAll(fd, buffer.data(), size_t(got))) {
            ok = false;
            break;
        }
    }
    const int savedError = errno;
    ZRSystem().close(in);
    errno = savedError;
    return ok;
}

// The first free path like this one, taken at once with an empty file, so that a second download of
// the same name that asks before the first byte arrives cannot be given the same path; a link
// planted there is never followed. Empty when no file can be made.
QString createAvailableFile(const QString &wantedPath)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        // The wanted name is mostly free: creating it is the check, and only a name taken has the
        // next free one looked for.
        const QString path = attempt == 0 ? wantedPath : ZRExtensions::availablePath(wantedPath);
        const int fd = ZRSystem().open(QFile::encodeName(path).constData(),
                                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ZRSystem().close(fd);
            return path;
        }
        if (errno != EEXIST) {
            ZRLog(QStringLiteral("cannot create intermediate download file <%1>: %2").arg(path, errorText(errno)));
            return QString();
        }
    }
    return QString();
}

// Fragment names differ only in our infixes and counters ("x.quorvel-rf-1", "x.quorvel-xf-2",
// "x.quorvel-xf-10", "x.quorvel-xf-1.quorvel-rf-1"): counters compare as numbers, everything else
// unit by unit, as the natural order would have it. Asked when a download finishes, where making a
// collator (a few milliseconds) would be the largest part of the work.
bool fragmentNameLessThan(const QString &a, const QString &b)
{
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            qsizetype endA = i, endB = j;
            while (endA < a.size() && a.at(endA).isDigit())
                ++endA;
            while (endB < b.size() && b.at(endB).isDigit())
                ++endB;
            qsizetype startA = i, startB = j;
            while (startA + 1 < endA && a.at(startA) == u'0')
                ++startA;
            while (startB + 1 < endB && b.at(startB) == u'0')
                ++startB;
            if (endA - startA != endB - startB)
                return endA - startA < endB - startB;
            const QStringView left = QStringView(a).sliced(startA, endA - startA);
            const int order = left.compare(QStringView(b).sliced(startB, endB - startB));
            if (order != 0)
                return order < 0;
            i = endA;
            j = endB;
            continue;
        }
        const QChar left = a.at(i).toCaseFolded(), right = b.at(j).toCaseFolded();
        if (left != right)
            return left < right;
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

// The length of a file, or none when it cannot be opened.
std::optional<quint64> fileLength(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return quint64(file.size());
}

} // namespace

// --- Intermediate files ---

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
    if (!_intermediateDownloadTargetPath.isEmpty()) {
        if (confirmAccess) {
            QString folder = QFileInfo(_intermediateDownloadTargetPath).path();
            if (isDownloadBundleFolder(folder))
                folder = QFileInfo(folder).path();
            if (!confirmWriteAccessForFolder(folder))
                ZRLog(QStringLiteral("where did my write access go?"));
        }
        return _intermediateDownloadTargetPath;
    }
    if (!createIfNecessary)
        return QString();

    // The name first, so that the bundle and the file inside it carry the same one.
    if (!suggestedFileName.isEmpty()) {
        const QString unescaped = ZRExtensions::stringByReplacingPlusAndPercentEscapesIfNecessary(suggestedFileName);
        if (!ZRExtensions::isEqualToPath(unescaped, name()))
            setName(unescaped);
    }
    const QString cleanName = cleanNameOf(name());

    QString folder;
    if (intermediatesLocation() >= 1) {
        const QString basePath = downloadBasePath();
        if (confirmWriteAccessForFolder(basePath)) {
            const QString bundle = ZRExtensions::availablePath(basePath + QLatin1Char('/') + cleanName
                                                               + ZRDownloadKeys::BundleExtension);
            // Its metadata file holds the request (cookies, header fields, a POST body): only the
            // owner may look in.
            if (::mkdir(QFile::encodeName(bundle).constData(), 0700) == 0)
                folder = bundle;
            else
                ZRLog(QStringLiteral("cannot create download bundle <%1>").arg(bundle));
        }
    }
    if (folder.isEmpty())
        folder = intermediateDownloadBasePath();
    _intermediateDownloadTargetPath = createAvailableFile(folder + QLatin1Char('/') + cleanName);
    return _intermediateDownloadTargetPath;
}

QString ZRDownload::intermediateDownloadTargetPathForWholeBody()
{
    if (!_intermediateDownloadTargetPath.isEmpty() || intermediatesLocation() < 1)
        return intermediateDownloadTargetPathWithSuggestedFileName(QString(), true, true);
    const QString basePath = downloadBasePath();
    if (!confirmWriteAccessForFolder(basePath))
        return intermediateDownloadTargetPathWithSuggestedFileName(QString(), true, true);
    const QString path = createAvailableFile(basePath + QLatin1Char('/') + cleanNameOf(name())
                                             + WholeBodyIntermediateExtension);
    if (path.isEmpty())
        return intermediateDownloadTargetPathWithSuggestedFileName(QString(), true, true);
    _intermediateDownloadTargetPath = path;
    return path;
}

QString ZRDownload::intermediateDownloadTargetPath()
{
    // Only the data that exists: asking must never leave an empty bundle in the user's folder.
    return intermediateDownloadTargetPathWithSuggestedFileName(QString(), false, false);
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
    if (path.isEmpty())
        return {};
    const QFileInfo intermediate(path);
    const QString folder = intermediate.path();
    // A bundle holds only this download's files; a folder of the user's is listed only when this
    // download may have left fragments there.
    if (!_mayHaveFragments && !isDownloadBundleFolder(folder))
        return {};
    // By name first, from the listing alone: the folder may be the user's own, full of files that
    // are none of ours, and only a candidate is worth a look at its type.
    const QByteArray name = QFile::encodeName(intermediate.fileName());
    const QByteArray accelerationPrefix = name + QFile::encodeName(AccelerationFragmentInfix);
    const QByteArray resumePrefix = name + QFile::encodeName(ResumeFragmentInfix);
    QStringList fragments;
    DIR *listing = ::opendir(QFile::encodeName(folder).constData());
    if (!listing)
        return fragments;
    const int folderDescriptor = ::dirfd(listing);
    while (const dirent *entry = ::readdir(listing)) {
        const std::string_view entryName(entry->d_name);
        if (!entryName.starts_with(std::string_view(accelerationPrefix.constData(), size_t(accelerationPrefix.size())))
            && !entryName.starts_with(std::string_view(resumePrefix.constData(), size_t(resumePrefix.size()))))
            continue;
        // Names are case-sensitive here: "File.bin" and "file.bin" may be two downloads. A link is
        // never a fragment of ours; joining it would copy whatever it points to.
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat info {};
            if (::fstatat(folderDescriptor, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type != DT_REG)
            continue;
        const QString fragmentName = QFile::decodeName(entry->d_name);
        if (!ZRExtensions::isNegligibleFilename(fragmentName))
            fragments.append(folder + QLatin1Char('/') + fragmentName);
    }
    ::closedir(listing);
    return fragments;
}

void ZRDownload::removeIntermediateFileAndContainer(const QString &path, bool fileMovedAway)
{
    // Only data that exists can be deleted: never make a new path (and folders) just for that.
    const QString filePath = path.isEmpty() ? _intermediateDownloadTargetPath : path;
    if (filePath.isEmpty())
        return;
    for (const QString &fragment : fragmentPathsForIntermediateDownloadTargetPath(filePath)) {
        if (!QFile::remove(fragment))
            ZRLog(QStringLiteral("cannot remove partial file: <%1>").arg(fragment));
    }
    // The file itself, or a link in its place (never what the link points to).
    struct stat info {};
    const bool present = !fileMovedAway && ::lstat(QFile::encodeName(filePath).constData(), &info) == 0;
    if (present && !QFile::remove(filePath))
        ZRLog(QStringLiteral("cannot remove intermediate download file <%1>").arg(filePath));
    const QString folder = QFileInfo(filePath).path();
    if (isDownloadBundleFolder(folder))
        ZRExtensions::removeFolderIfVirtuallyEmpty(folder);
}

// --- Target paths ---

QString ZRDownload::intermediateDownloadBasePath()
{
    const QString folder = ZRApplicationSupportFolderPath() + QLatin1Char('/') + IntermediateFolderName;
    if (QDir().mkpath(folder) && QFileInfo(folder).isDir())
        return folder;
    ZRLog(QStringLiteral("cannot create intermediate download folder <%1>").arg(folder));
    return ZRTemporaryFolderPath();
}

QString ZRDownload::downloadBasePath()
{
    const QString defaultFolder = usableFolderPath(ZRExtensions::folderPathForKey(
        defaults(), DownloadsFolderKey, ZRExtensions::stringByAbbreviatingWithTildeInPath(ZRDownloadsFolderPath())));

    const QString requestedFile = usableFolderPath(_userSettings.value(ZRDownloadKeys::DownloadFile).toString());
    if (!requestedFile.isEmpty()) {
        const QString folder = checkRelevantDownloadBasePath(QFileInfo(requestedFile).path(), defaultFolder);
        if (!folder.isEmpty())
            return folder;
    }
    const QString requestedFolder =
        checkRelevantDownloadBasePath(usableFolderPath(_userSettings.value(ZRDownloadKeys::DownloadFolder).toString()),
                                      defaultFolder);
    if (!requestedFolder.isEmpty())
        return requestedFolder;

    const QString ruleFolder = specialCaseDownloadBasePath();
    if (!ruleFolder.isEmpty())
        return ruleFolder;

    QString folder = defaultFolder;
    if (folder.isEmpty() || !ZRExtensions::checkFolderPathAndCreateIfNecessary(folder)) {
        folder = ZRDownloadsFolderPath();
        ZRExtensions::checkFolderPathAndCreateIfNecessary(folder);
    }
    return downloadPath(folder, SubdivisionFormatDefaultKey);
}

QString ZRDownload::specialCaseDownloadBasePath()
{
    ZRDownloadManager *manager = ZRDownloadManager::sharedManager();
    if (!manager)
        return QString();
    for (const QVariant &entry : manager->specialCases()) {
        const QVariantMap rule = entry.toMap();
        if (!matchesSpecialCase(rule))
            continue;
        const QString folder = usableFolderPath(rule.value(RuleDownloadsFolderKey).toString());
        if (!folder.isEmpty() && ZRExtensions::checkFolderPathAndCreateIfNecessary(folder))
            return downloadPath(folder, SubdivisionFormatRulesKey);
    }
    return QString();
}

QString ZRDownload::checkRelevantDownloadBasePath(const QString &path, const QString &defaultPath)
{
    if (path.isEmpty())
        return QString();
    // Folder names are case-sensitive here: "~/downloads" is not the default "~/Downloads".
    if (!defaultPath.isEmpty() && QDir::cleanPath(path) == QDir::cleanPath(defaultPath))
        return QString();
    return ZRExtensions::checkFolderPathAndCreateIfNecessary(path) ? path : QString();
}

QString ZRDownload::downloadPath(const QString &folder, const QString &subfolderAccordingToSubdivisionKey)
{
    if (folder.isEmpty())
        return QString();
    const QString format = defaults().stringForKey(subfolderAccordingToSubdivisionKey);
    if (format.isEmpty())
        return folder;
    const QDateTime when =
        defaults().integerForKey(SubdivisionFormatDateKey) == 1 ? date() : QDateTime::currentDateTime();
    const QString subfolder =
        ZRExtensions::cleanPathByReplacingDashesWithString(formattedDate(when, format), std::nullopt);
    if (subfolder.isEmpty())
        return folder;
    // A format may nest folders ("yyyy/MM") but never climb out of the base folder.
    const QStringList components = subfolder.split(QLatin1Char('/'));
    if (components.contains(QStringLiteral("..")) || components.contains(QStringLiteral(".")))
        return folder;
    const QString path = folder + QLatin1Char('/') + subfolder;
    return ZRExtensions::checkFolderPathAndCreateIfNecessary(path) ? path : folder;
}

// --- Folder rules ---

bool ZRDownload::matchesSpecialCase(const QVariantMap &rule)
{
    const bool hasHosts = rule.contains(RuleHostsKey);
    if (hasHosts && !hasHostFromArray(rule.value(RuleHostsKey).toStringList()))
        return false;
    if (rule.contains(RuleExtensionsKey))
        return hasExtensionFromArray(rule.value(RuleExtensionsKey).toStringList());
    // A rule with neither hosts nor extensions matches nothing.
    return hasHosts;
}

bool ZRDownload::hasHostFromArray(const QStringList &hosts)
{
    const QString original = _userSettings.value(ZRDownloadKeys::OriginalURL).toString();
    const QUrl address = original.isEmpty() ? _url : QUrl(original);
    const QStringList hostLabels = address.host().toLower().split(QLatin1Char('.'), Qt::SkipEmptyParts);
    if (hostLabels.isEmpty())
        return false;
    return std::any_of(hosts.cbegin(), hosts.cend(), [&](const QString &entry) {
        return hostComponents(entry.toLower().split(QLatin1Char('.'), Qt::SkipEmptyParts), hostLabels);
    });
}

bool ZRDownload::hasExtensionFromArray(const QStringList &extensions)
{
    const QString extension = pathExtension(ZRExtensions::cleanFilename(name())).toLower();
    if (extension.isEmpty())
        return false;
    return std::any_of(extensions.cbegin(), extensions.cend(),
                       [&](const QString &entry) { return entry.toLower() == extension; });
}

bool ZRDownload::hostComponents(const QStringList &entryComponents, const QStringList &matchComponents)
{
    if (entryComponents.isEmpty() || entryComponents.size() > matchComponents.size())
        return false;
    return std::equal(entryComponents.crbegin(), entryComponents.crend(), matchComponents.crbegin());
}

// --- Fragments, final path, access ---

quint64 ZRDownload::combinedFileSizeFromIntermediateDownloadTargetPath(const QString &path,
                                                                       const QString &appendToPath,
                                                                       QHash<QString, quint64> *accelerationFragmentSizes,
                                                                       bool *joined)
{
    if (joined)
        *joined = true;
    QStringList fragments = fragmentPathsForIntermediateDownloadTargetPath(path);
    // Resume fragments before acceleration fragments, each group by counter (2 before 10), and a
    // fragment's own resume fragments right after it.
    std::sort(fragments.begin(), fragments.end(), fragmentNameLessThan);

    if (!fragments.isEmpty() && !appendToPath.isEmpty()) {
        const int fd = ZRSystem().open(QFile::encodeName(appendToPath).constData(),
                                       O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0);
        if (fd < 0) {
            ZRLog(QStringLiteral("cannot append partial files to primary file: <%1>").arg(appendToPath));
            if (joined)
                *joined = false;
        } else {
            std::vector<char> buffer(JoinChunkBytes);
            // Fragments go once every one of them is in the file. There is no flush: the file's own
            // bytes were never flushed either, and after a crash the resume measures what is on
            // disk again (a first file that grew past its fraction is cut back, missing fragments
            // start the download over), so nothing wrong can be joined.
            qsizetype appended = 0;
            bool failed = false;
            for (const QString &fragment : fragments) {
                struct stat before = {};
                ::fstat(fd, &before);
                bool readFailed = false;
                if (appendFragment(fd, fragment, buffer, &readFailed)) {
                    ++appended;
                    continue;
                }
                // A gap would shift every later byte: stop, cut the file back to where this
                // fragment began and keep it and the ones after it for another try.
                const int error = errno;
                if (readFailed)
                    ZRLog(QStringLiteral("cannot read from partial file: <%1> (%2)").arg(fragment, errorText(error)));
                else
                    ZRLog(QStringLiteral("cannot append partial file <%1> to <%2> (%3)")
                              .arg(fragment, appendToPath, errorText(error)));
                if (::ftruncate(fd, before.st_size) != 0)
                    ZRLog(QStringLiteral("cannot restore length of <%1>").arg(appendToPath));
                failed = true;
                break;
            }
            for (qsizetype i = 0; i < appended; ++i) {
                if (ZRSystem().unlink(QFile::encodeName(fragments[i]).constData()) != 0)
                    ZRLog(QStringLiteral("cannot remove partial file: <%1> (%2)").arg(fragments[i], errorText(errno)));
            }
            if (failed) {
                ZRSystem().close(fd);
                if (joined)
                    *joined = false;
                return 0;
            }
            struct stat after = {};
            const bool measured = ::fstat(fd, &after) == 0;
            ZRSystem().close(fd);
            if (measured && after.st_size != 0)
                return quint64(after.st_size);
        }
    } else if (!fragments.isEmpty()) {
        quint64 total = 0;
        QStringList files = fragments;
        files.prepend(path);
        for (const QString &file : files) {
            const std::optional<quint64> length = fileLength(file);
            if (!length) {
                ZRLog(QStringLiteral("cannot seek in partial file: <%1>").arg(file));
                continue;
            }
            total += *length;
            if (!accelerationFragmentSizes)
                continue;
            // A resume fragment continues the file before its last resume infix.
            const qsizetype resumeInfix = file.lastIndexOf(ResumeFragmentInfix);
            if (file != path && resumeInfix > 0) {
                const QString base = file.left(resumeInfix);
                quint64 &sum = (*accelerationFragmentSizes)[base];
                sum += *length;
                ZRLogDebug(QStringLiteral("%1 => %2").arg(base).arg(sum));
            } else {
                (*accelerationFragmentSizes)[file] += *length;
            }
        }
        if (total != 0)
            return total;
    }

    const std::optional<quint64> length = fileLength(path);
    if (!length) {
        ZRLog(QStringLiteral("cannot get size for primary file: <%1>").arg(path));
        return 0;
    }
    if (accelerationFragmentSizes && fragments.isEmpty())
        accelerationFragmentSizes->insert(path, *length);
    return *length;
}

QString ZRDownload::finalDownloadTargetPath()
{
    const QString requestedFile = usableFolderPath(_userSettings.value(ZRDownloadKeys::DownloadFile).toString());
    if (!requestedFile.isEmpty() && confirmWriteAccessForFolder(QFileInfo(requestedFile).path()))
        return requestedFile;
    const QString basePath = downloadBasePath();
    if (!confirmWriteAccessForFolder(basePath))
        return QString();
    const QString cleanName = cleanNameOf(name());
    return ZRExtensions::availablePath(basePath + QLatin1Char('/') + cleanName);
}

void ZRDownload::endFileAccess()
{
    // Outside a sandbox access is granted at once and nothing is held.
    if (!ZRIsSandboxed() || !gAccessedBookmarkPaths)
        return;
    if (!queuedDownloads().isEmpty() || !downloadingDownloads().isEmpty())
        return;
    ZRLogDebug(QStringLiteral("stopped using security-scoped bookmarks: %1").arg(gAccessedBookmarkPaths->join(u", ")));
    gAccessedBookmarkPaths.reset();
}
