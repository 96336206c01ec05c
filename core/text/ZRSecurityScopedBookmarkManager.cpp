#include "core/text/ZRSecurityScopedBookmarkManager.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRPathExtensions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace
{

const QString bookmarksKey = QStringLiteral("Security-Scoped Bookmarks");
const QString logPrefix = QStringLiteral("[Security-Scoped Bookmark Manager] ");

ZRSecurityScopedBookmarkManager::Platform defaultPlatform()
{
    return {{}, {}, {}, {}, [] { return ZRIsSandboxed(); }};
}

// Symbolic links resolved, no trailing "/" (except the root); the path as it stands when it does
// not exist.
QString resolvedPath(const QString &path)
{
    if (path.isEmpty())
        return {};
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(path) : canonical;
}

QString localized(const char *text)
{
    return QCoreApplication::translate("ZRSecurityScopedBookmarkManager", text);
}

} // namespace

ZRSecurityScopedBookmarkManager &ZRSecurityScopedBookmarkManager::bookmarkManager()
{
    static ZRSecurityScopedBookmarkManager manager;
    return manager;
}

ZRSecurityScopedBookmarkManager::ZRSecurityScopedBookmarkManager() : _platform(defaultPlatform()) {}

ZRSecurityScopedBookmarkManager::~ZRSecurityScopedBookmarkManager()
{
    stopAccessingAnyBookmarks();
}

void ZRSecurityScopedBookmarkManager::setPlatformForTesting(Platform platform)
{
    stopAccessingAnyBookmarks();
    _platform = platform.isSandboxed ? std::move(platform) : defaultPlatform();
    _bookmarksByPath.reset();
}

bool ZRSecurityScopedBookmarkManager::pathCoversPath(const QString &stored, const QString &path)
{
    if (stored == QLatin1String("/"))
        return path.startsWith(QLatin1Char('/'));
    return path == stored || path.startsWith(stored + QLatin1Char('/'));
}

void ZRSecurityScopedBookmarkManager::loadBookmarks()
{
    if (!_bookmarksByPath)
        _bookmarksByPath = ZRUserDefaults::standardUserDefaults().dictionaryForKey(bookmarksKey);
}

QVariantMap ZRSecurityScopedBookmarkManager::bookmarksByPath()
{
    loadBookmarks();
    return *_bookmarksByPath;
}

std::optional<QString> ZRSecurityScopedBookmarkManager::accessedURLForBookmark(const QByteArray &data)
{
    if (data.isEmpty() || !_platform.startAccess)
        return std::nullopt;
    return _platform.startAccess(data);
}

bool ZRSecurityScopedBookmarkManager::createBookmarkForURL(const QUrl &url)
{
    const QString path = url.isLocalFile() ? resolvedPath(url.toLocalFile()) : QString();
    if (path.isEmpty()) {
        ZRLog(logPrefix + QStringLiteral("cannot determine path for URL: %1").arg(url.toString()));
        return false;
    }
    loadBookmarks();
    QStringList covered;
    for (auto it = _bookmarksByPath->constBegin(); it != _bookmarksByPath->constEnd(); ++it) {
        if (pathCoversPath(it.key(), path)) {
            if (const std::optional<QString> accessed = accessedURLForBookmark(it.value().toByteArray())) {
                if (_platform.stopAccess)
                    _platform.stopAccess(*accessed);
                ZRLogDebug(logPrefix + QStringLiteral("ignoring redundant request for bookmark with URL: %1 (existing "
                                                      "bookmark covers URL: %2)")
                                           .arg(url.toString(), QUrl::fromLocalFile(it.key()).toString()));
                return true;
            }
        } else if (pathCoversPath(path, it.key())) {
            covered.append(it.key());
        }
    }
    for (const QString &inner : std::as_const(covered))
        _bookmarksByPath->remove(inner);
    const std::optional<QByteArray> data = _platform.createBookmark ? _platform.createBookmark(path) : std::nullopt;
    if (!data) {
        ZRLog(logPrefix + QStringLiteral("cannot create bookmark for URL: %1 (error: %2)")
                              .arg(url.toString(), QStringLiteral("no security-scoped bookmarks on this system")));
        return false;
    }
    _bookmarksByPath->insert(path, *data);
    ZRUserDefaults::standardUserDefaults().setObject(*_bookmarksByPath, bookmarksKey);
    ZRLogDebug(logPrefix + QStringLiteral("created bookmark for URL: %1").arg(url.toString()));
    return true;
}

bool ZRSecurityScopedBookmarkManager::confirmAccess(int mode, const QString &path, bool viaParentFolder, bool *cancel,
                                                    QString *accessedBookmarkPath,
                                                    const std::function<QString(const QString &)> &sandboxExplanation)
{
    if (cancel)
        *cancel = false;
    if (accessedBookmarkPath)
        accessedBookmarkPath->clear();
    const QString resolved = resolvedPath(path);
    const QString folder = viaParentFolder ? QFileInfo(resolved).path() : resolved;
    if (folder.isEmpty())
        return false;
    const auto accessible = [&] { return ::access(QFile::encodeName(folder).constData(), mode) == 0; };
    if (accessible())
        return true;
    if (!_platform.isSandboxed())
        return false;

    loadBookmarks();
    for (auto it = _bookmarksByPath->constBegin(); it != _bookmarksByPath->constEnd(); ++it) {
        if (!pathCoversPath(it.key(), folder))
            continue;
        if (const std::optional<QString> accessed = accessedURLForBookmark(it.value().toByteArray())) {
            _accessedURLsByPath.insert(it.key(), *accessed);
            ZRLogDebug(logPrefix + QStringLiteral("using bookmark for path: %1 (requested path: %2)").arg(it.key(), folder));
            if (accessedBookmarkPath)
                *accessedBookmarkPath = it.key();
            return true;
        }
    }
    if (!cancel || !_platform.askForFolder)
        return false;
    const QString explanation = sandboxExplanation ? sandboxExplanation(resolved) : QString();
    const std::optional<QString> chosen =
        _platform.askForFolder(viaParentFolder ? localized("Unlock Folder") : localized("Unlock"), folder, explanation);
    if (!chosen) {
        *cancel = true;
        return false;
    }
    if (!accessible()) {
        ZRLog(logPrefix + QStringLiteral("confused by useless bookmark for URL: %1 (requested URL: %2)")
                              .arg(QUrl::fromLocalFile(*chosen).toString(), QUrl::fromLocalFile(folder).toString()));
        return false;
    }
    createBookmarkForURL(QUrl::fromLocalFile(*chosen));
    return true;
}

bool ZRSecurityScopedBookmarkManager::confirmReadAccessForPath(
    const QString &path, bool *cancel, QString *accessedBookmarkPath,
    const std::function<QString(const QString &)> &sandboxExplanation)
{
    return confirmAccess(R_OK, path, false, cancel, accessedBookmarkPath, sandboxExplanation);
}

bool ZRSecurityScopedBookmarkManager::confirmWriteAccessForPath(
    const QString &path, bool viaParentFolder, bool *cancel, QString *accessedBookmarkPath,
    const std::function<QString(const QString &)> &sandboxExplanation)
{
    return confirmAccess(W_OK, path, viaParentFolder, cancel, accessedBookmarkPath, sandboxExplanation);
}

void ZRSecurityScopedBookmarkManager::stopAccessingBookmarkForPath(const QString &path)
{
    const auto found = _accessedURLsByPath.constFind(path);
    if (found == _accessedURLsByPath.constEnd())
        return;
    if (_platform.stopAccess)
        _platform.stopAccess(*found);
    _accessedURLsByPath.erase(found);
}

void ZRSecurityScopedBookmarkManager::stopAccessingAnyBookmarks()
{
    if (_platform.stopAccess) {
        for (const QString &accessed : std::as_const(_accessedURLsByPath))
            _platform.stopAccess(accessed);
    }
    _accessedURLsByPath.clear();
}

bool ZRPerformWithConfirmedReadAccess(const QList<QUrl> &urls, const std::function<bool(const QList<QUrl> &)> &process)
{
    ZRSecurityScopedBookmarkManager &manager = ZRSecurityScopedBookmarkManager::bookmarkManager();
    QList<QUrl> confirmed;
    QStringList started;
    for (const QUrl &url : urls) {
        if (!url.isLocalFile())
            continue;
        bool cancel = false;
        QString bookmarkPath;
        const auto explanation = [](const QString &path) {
            return localized("Quorvel cannot open %1 at the moment. This is most likely due to the OS X sandbox blocking "
                             "access to it. Click \"Unlock\" to ask the sandbox for permanent access to the folder.")
                .arg(ZRExtensions::displayFilename(path));
        };
        if (manager.confirmReadAccessForPath(url.toLocalFile(), &cancel, &bookmarkPath, explanation)) {
            confirmed.append(url);
            if (!bookmarkPath.isEmpty())
                started.append(bookmarkPath);
        }
        if (cancel)
            break;
    }
    if (confirmed.isEmpty())
        return false;
    bool result = false;
    if (process) {
        result = process(confirmed);
    } else {
        QStringList shown;
        for (const QUrl &url : std::as_const(confirmed))
            shown.append(url.toString());
        ZRLog(QStringLiteral("no processing block defined for URLs: %1").arg(shown.join(QStringLiteral(", "))));
    }
    for (const QString &path : std::as_const(started))
        manager.stopAccessingBookmarkForPath(path);
    return result;
}
