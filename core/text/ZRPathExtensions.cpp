#include "core/text/ZRPathExtensions.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/text/ZRApplications.h"
#include "core/text/ZRFileBookmark.h"
#include "core/text/ZRNaturalOrder.h"
#include "core/text/ZRStringExtensions.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QUrl>

#include <cerrno>
#include <dirent.h>
#include <mntent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

namespace
{

QString tr(const char *text)
{
    return QCoreApplication::translate("ZRExtensions", text);
}

bool lexists(const QString &path)
{
    struct stat info = {};
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

// The extension of the last component; a leading dot (".profile") starts no extension.
QString pathExtension(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot <= slash + 1)
        return {};
    return path.mid(dot + 1);
}

QString stringByDeletingPathExtension(const QString &path)
{
    const QString extension = pathExtension(path);
    return extension.isEmpty() ? path : path.left(path.size() - extension.size() - 1);
}

QString currentUserName()
{
    static const QString name = [] {
        struct passwd entry = {};
        struct passwd *result = nullptr;
        char buffer[4096];
        if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &result) == 0 && result &&
            result->pw_name)
            return QString::fromLocal8Bit(result->pw_name);
        return qEnvironmentVariable("USER");
    }();
    return name;
}

struct VolumeSettings {
    std::optional<QStringList> roots;
    std::function<bool(const QString &)> isMounted;
    QString mountsPath;
    QString fstabPath;
};

QMutex &volumeSettingsLock()
{
    static QMutex lock;
    return lock;
}

VolumeSettings &volumeSettings()
{
    static VolumeSettings settings;
    return settings;
}

// The mount points of a table in the format of /proc/self/mounts and /etc/fstab (getmntent undoes
// the octal escapes of spaces and tabs), cleaned.
QStringList mountPointsInTable(const QString &path)
{
    QStringList points;
    FILE *table = ::setmntent(QFile::encodeName(path).constData(), "r");
    if (!table)
        return points;
    struct mntent entry = {};
    char buffer[8192];
    while (::getmntent_r(table, &entry, buffer, sizeof buffer)) {
        if (entry.mnt_dir && entry.mnt_dir[0] == '/')
            points.append(QDir::cleanPath(QFile::decodeName(entry.mnt_dir)));
    }
    ::endmntent(table);
    return points;
}

QString mountsTablePath()
{
    QMutexLocker locker(&volumeSettingsLock());
    return volumeSettings().mountsPath.isEmpty() ? QStringLiteral("/proc/self/mounts")
                                                 : volumeSettings().mountsPath;
}

QString fstabTablePath()
{
    QMutexLocker locker(&volumeSettingsLock());
    return volumeSettings().fstabPath.isEmpty() ? QStringLiteral("/etc/fstab") : volumeSettings().fstabPath;
}

// Bytes of one character in UTF-8; a surrogate pair counts once, for its first half.
int utf8Length(const QString &text, qsizetype index)
{
    const char16_t unit = text.at(index).unicode();
    if (unit < 0x80)
        return 1;
    if (unit < 0x800)
        return 2;
    if (QChar::isHighSurrogate(unit) && index + 1 < text.size() &&
        QChar::isLowSurrogate(text.at(index + 1).unicode()))
        return 4;
    return 3;
}

// The longest start of the text that takes at most maximumBytes in UTF-8, never half a character.
QString prefixWithinBytes(const QString &text, qsizetype maximumBytes)
{
    qsizetype bytes = 0;
    qsizetype index = 0;
    while (index < text.size()) {
        const int length = utf8Length(text, index);
        if (bytes + length > maximumBytes)
            break;
        bytes += length;
        index += length == 4 ? 2 : 1;
    }
    return text.left(index);
}

// Lists the entries of a folder that holds nothing but negligible entries (its negligible subfolders
// must hold nothing else either); false when anything else is there or the folder cannot be listed.
bool collectNegligibleEntries(const QByteArray &folder, QList<QByteArray> *files, QList<QByteArray> *folders)
{
    DIR *directory = ::opendir(folder.constData());
    if (!directory)
        return false;
    bool negligible = true;
    errno = 0;
    while (const dirent *entry = ::readdir(directory)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray entryPath = folder + '/' + name;
        struct stat info = {};
        if (!ZRExtensions::isNegligibleFilename(QFile::decodeName(name)) ||
            ::lstat(entryPath.constData(), &info) != 0) {
            negligible = false;
            break;
        }
        if (S_ISDIR(info.st_mode)) {
            if (!collectNegligibleEntries(entryPath, files, folders)) {
                negligible = false;
                break;
            }
            folders->append(entryPath);
        } else {
            files->append(entryPath);
        }
        errno = 0;
    }
    // readdir returns null with errno set when listing fails half-way.
    if (negligible && errno != 0)
        negligible = false;
    ::closedir(directory);
    return negligible;
}

} // namespace

namespace ZRExtensions
{

bool isTabooSystemPath(const QString &path)
{
    static const QStringList taboo = {
        QStringLiteral("/automount"),   QStringLiteral("/Desktop Folder"),
        QStringLiteral("/dev"),         QStringLiteral("/etc"),
        QStringLiteral("/mach"),        QStringLiteral("/mach.sym"),
        QStringLiteral("/mach_kernel"), QStringLiteral("/opt"),
        QStringLiteral("/tmp"),         QStringLiteral("/var"),
        QStringLiteral("/proc"),        QStringLiteral("/sys"),
        QStringLiteral("/run"),         QStringLiteral("/boot"),
        QStringLiteral("/usr"),         QStringLiteral("/bin"),
        QStringLiteral("/sbin"),        QStringLiteral("/lib"),
    };
    return taboo.contains(path);
}

bool isNetworkPath(const QString &path)
{
    return path == QLatin1String("Network") || path == QLatin1String("Network/") ||
           path == QLatin1String("/Network") || path == QLatin1String("/Network/");
}

QString itemPathWithBasePath(const QString &name, const QString &basePath)
{
    if (name.isEmpty() || isNegligibleFilename(name))
        return {};
    QString path = name;
    if (!basePath.isEmpty())
        path = basePath.endsWith(QLatin1Char('/')) ? QString(basePath + name)
                                                   : QString(basePath + QLatin1Char('/') + name);
    if (isNetworkPath(path) || isTabooSystemPath(path))
        return {};
    return path;
}

bool isFolderPath(const QString &path)
{
    struct stat info {};
    // Through symbolic links, as a file-info object looks.
    return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool checkFolderPathAndCreateIfNecessary(const QString &path)
{
    const QString expanded = stringByExpandingTildeInPath(path);
    if (expanded.isEmpty())
        return false;
    if (isFolderPath(expanded))
        return true;
    // A disconnected disk leaves its mount point behind: never fill it in its stead.
    if (!volumeExists(volumePath(expanded)))
        return false;
    return QDir().mkpath(expanded) && isFolderPath(expanded);
}

bool removeFolderIfVirtuallyEmpty(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QByteArray folder = QFile::encodeName(QDir::cleanPath(path));
    struct stat info = {};
    // A symbolic link to a folder is not ours to empty.
    if (::lstat(folder.constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    QList<QByteArray> files;
    QList<QByteArray> folders;
    if (!collectNegligibleEntries(folder, &files, &folders))
        return false;
    for (const QByteArray &file : std::as_const(files))
        ::unlink(file.constData());
    // Subfolders were collected deepest first.
    for (const QByteArray &subfolder : std::as_const(folders))
        ::rmdir(subfolder.constData());
    // Fails, and keeps the folder, when something new arrived in the meantime.
    return ::rmdir(folder.constData()) == 0;
}

bool isEqualToPath(const QString &path, const QString &otherPath)
{
    return !otherPath.isNull() && path.compare(otherPath, Qt::CaseInsensitive) == 0;
}

bool hasPathPrefix(const QString &path, const QString &prefix)
{
    return !prefix.isEmpty() && path.startsWith(prefix, Qt::CaseInsensitive);
}

QString availablePathWithCurrentPath(const QString &path, const QString &currentPath,
                                     const QString &counterPrefix, bool preserveExtension, bool *isMatch)
{
    if (isMatch)
        *isMatch = false;
    if (!lexists(path))
        return path;
    const QString extension = preserveExtension ? pathExtension(path) : QString();
    const QString base = extension.isEmpty() ? path : stringByDeletingPathExtension(path);
    for (quint64 counter = 1;; ++counter) {
        QString candidate = base + counterPrefix + QString::number(counter);
        if (!extension.isEmpty())
            candidate += QLatin1Char('.') + extension;
        if (!currentPath.isNull() && candidate.compare(currentPath, Qt::CaseInsensitive) == 0) {
            if (isMatch)
                *isMatch = true;
            return candidate;
        }
        if (!lexists(candidate))
            return candidate;
    }
}

QString availablePath(const QString &path)
{
    return availablePathWithCurrentPath(path, QString(), QStringLiteral(" "), true, nullptr);
}

QStringList volumeRoots()
{
    {
        QMutexLocker locker(&volumeSettingsLock());
        if (volumeSettings().roots)
            return *volumeSettings().roots;
    }
    const QString user = currentUserName();
    QStringList roots;
    if (!user.isEmpty())
        roots << QStringLiteral("/media/") + user << QStringLiteral("/run/media/") + user;
    roots << QStringLiteral("/mnt");
    return roots;
}

void setVolumeRootsForTesting(const QStringList &roots, std::function<bool(const QString &)> isMounted)
{
    QMutexLocker locker(&volumeSettingsLock());
    if (roots.isEmpty())
        volumeSettings().roots.reset();
    else
        volumeSettings().roots = roots;
    volumeSettings().isMounted = std::move(isMounted);
}

QString volumePath(const QString &path)
{
    if (!path.startsWith(QLatin1Char('/')))
        return QStringLiteral("/");
    const QString clean = QDir::cleanPath(path);
    for (const QString &root : volumeRoots()) {
        const QString prefix = QDir::cleanPath(root) + QLatin1Char('/');
        if (clean.size() <= prefix.size() || !clean.startsWith(prefix))
            continue;
        // The outermost mount point below the root that holds the path, mounted now or known to the
        // system; a disk mounted inside another keeps the volume of the outer one.
        QString volume;
        for (const QString &table : {mountsTablePath(), fstabTablePath()}) {
            for (const QString &point : mountPointsInTable(table)) {
                if (point.size() > prefix.size() && point.startsWith(prefix) &&
                    (clean == point || clean.startsWith(point + QLatin1Char('/'))) &&
                    (volume.isEmpty() || point.size() < volume.size()))
                    volume = point;
            }
        }
        if (!volume.isEmpty())
            return volume;
        const qsizetype end = clean.indexOf(QLatin1Char('/'), prefix.size());
        const QString top = end < 0 ? clean : clean.left(end);
        // Nothing at all there: a removable disk that is away, whose mount folder went with it. A
        // folder that is there without a disk on it is a plain folder of the enclosing file system.
        return lexists(top) ? QStringLiteral("/") : top;
    }
    return QStringLiteral("/");
}

bool volumeExists(const QString &volume)
{
    if (volume.isEmpty())
        return false;
    if (volume == QLatin1String("/"))
        return true;
    std::function<bool(const QString &)> isMounted;
    {
        QMutexLocker locker(&volumeSettingsLock());
        isMounted = volumeSettings().isMounted;
    }
    if (isMounted)
        return isMounted(volume);
    return mountPointsInTable(mountsTablePath()).contains(QDir::cleanPath(volume));
}

void setMountTablesForTesting(const QString &mountsPath, const QString &fstabPath)
{
    QMutexLocker locker(&volumeSettingsLock());
    volumeSettings().mountsPath = mountsPath;
    volumeSettings().fstabPath = fstabPath;
}

QString fileNameByTruncatingToByteLength(const QString &name, int maximumBytes)
{
    if (maximumBytes <= 0)
        return {};
    if (name.toUtf8().size() <= maximumBytes)
        return name;
    const QString extension = pathExtension(name);
    const qsizetype extensionBytes = extension.isEmpty() ? 0 : extension.toUtf8().size() + 1;
    if (extensionBytes == 0 || extensionBytes > maximumBytes / 2)
        return prefixWithinBytes(name, maximumBytes);
    QString base = prefixWithinBytes(stringByDeletingPathExtension(name), maximumBytes - extensionBytes);
    // No space right before the dot: "Long title .pdf" reads as a cut.
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    // Never a bare ".pdf": that would be a hidden file.
    if (base.isEmpty())
        return prefixWithinBytes(name, maximumBytes);
    return base + QLatin1Char('.') + extension;
}

QString existingPathWithFallBackAliasData(const QString &path, const QByteArray &aliasData)
{
    QString expanded = stringByExpandingTildeInPath(path);
    if (ZRIsSandboxed() && QFileInfo::exists(expanded))
        expanded = QFileInfo(expanded).canonicalFilePath();
    if (!expanded.isEmpty() && QFileInfo::exists(expanded))
        return expanded;
    if (aliasData.isEmpty())
        return {};
    QString resolved = ZRFileBookmark::pathByResolvingBookmarkData(aliasData);
    if (resolved.isEmpty() || !QFileInfo::exists(resolved))
        return {};
    if (ZRIsSandboxed())
        resolved = QFileInfo(resolved).canonicalFilePath();
    return resolved;
}

QString displayFilename(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    if (clean == QLatin1String("/"))
        return tr("Computer");
    return stringByDeletingPathExtension(QFileInfo(clean).fileName());
}

namespace
{

QStringList displayComponents(const QString &path)
{
    if (path.isEmpty() || !QFileInfo::exists(path))
        return {};
    const QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QString volume = volumePath(clean);
    QStringList components;
    QString rest;
    if (volume == QLatin1String("/")) {
        components << tr("Computer");
        rest = clean.mid(1);
    } else {
        components << QFileInfo(volume).fileName();
        rest = clean.mid(volume.size() + 1);
    }
    for (const QString &component : rest.split(QLatin1Char('/'), Qt::SkipEmptyParts))
        components << component;
    return components;
}

} // namespace

QStringList pathComponentsToDisplayRelativeToPath(const QString &path, const QString &basePath,
                                                  bool includeFileName)
{
    const QStringList components = displayComponents(path);
    const qsizetype count = components.size();
    const qsizetype baseCount = basePath.isEmpty() ? 0 : displayComponents(basePath).size();
    if (baseCount > 0 && baseCount < count) {
        QStringList relative = components.mid(baseCount);
        if (!includeFileName)
            relative.removeLast();
        return relative;
    }
    if (includeFileName || count < 2)
        return components;
    return components.mid(0, count - 1);
}

QString readablePathRepresentationRelativeToPath(const QString &path, const QString &basePath,
                                                 bool includeFileName)
{
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        const QString reason =
            volumeExists(volumePath(path)) ? tr("Not found") : tr("Currently not available");
        return QStringLiteral("%1 %2 %3").arg(path, dashString(), reason);
    }
    return pathComponentsToDisplayRelativeToPath(path, basePath, includeFileName)
        .join(spacedRightTriangleArrowString());
}

QString readablePathRepresentation(const QString &path)
{
    return readablePathRepresentationRelativeToPath(path, QString(), true);
}

namespace
{

quint64 folderSize(const QByteArray &folder, int depth)
{
    // Deeper than any real tree: a guard against bind-mount loops.
    if (depth > 256)
        return 0;
    DIR *directory = ::opendir(folder.constData());
    if (!directory)
        return 0;
    quint64 total = 0;
    while (const dirent *entry = ::readdir(directory)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray entryPath = folder + '/' + name;
        struct stat info = {};
        if (::lstat(entryPath.constData(), &info) != 0)
            continue;
        if (S_ISDIR(info.st_mode))
            total += folderSize(entryPath, depth + 1);
        else
            total += quint64(info.st_size);
    }
    ::closedir(directory);
    return total;
}

} // namespace

quint64 totalFileSizeAtPath(const QString &path)
{
    if (path.isEmpty())
        return 0;
    const QByteArray encoded = QFile::encodeName(path);
    struct stat info = {};
    // The item itself may be a link (a downloads folder on another disk); below it, links are not followed.
    if (::stat(encoded.constData(), &info) != 0 && ::lstat(encoded.constData(), &info) != 0)
        return 0;
    if (!S_ISDIR(info.st_mode))
        return quint64(info.st_size);
    return folderSize(encoded.endsWith('/') ? encoded.chopped(1) : encoded, 0);
}

int compareByDisplayFilename(const QString &path, const QString &otherPath)
{
    const QString name = path.isEmpty() ? QString() : displayFilename(path);
    const QString otherName = otherPath.isEmpty() ? QString() : displayFilename(otherPath);
    return ZRNaturalCompare(name, otherName);
}

int compareByReadablePathRepresentation(const QString &path, const QString &otherPath)
{
    const QString text = path.isEmpty() ? QString() : readablePathRepresentation(path);
    const QString otherText = otherPath.isEmpty() ? QString() : readablePathRepresentation(otherPath);
    return ZRNaturalCompare(text, otherText);
}

bool showInFinder(const QString &path)
{
    if (path.isEmpty() || !lexists(path))
        return false;
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(absolute).absolutePath());
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return openViaWorkspace(folder);
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    message << QStringList{QUrl::fromLocalFile(absolute).toString(QUrl::FullyEncoded)} << QString();
    // Asynchronous: starting a file manager may take a while, and the window must not wait for it.
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(message));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [folder, absolute](QDBusPendingCallWatcher *call) {
                         if (call->isError()) {
                             ZRLogDebug(
                                 QStringLiteral("no file manager reveals <%1> (%2); opening its folder")
                                     .arg(absolute, call->error().message()));
                             openViaWorkspace(folder);
                         }
                         call->deleteLater();
                     });
    return true;
}

bool moveFileToTrash(const QString &path)
{
    if (path.isEmpty() || !lexists(path))
        return false;
    if (QFile::moveToTrash(path))
        return true;
    ZRLog(QStringLiteral("cannot move <%1> to the trash").arg(path));
    return false;
}

} // namespace ZRExtensions
