// Folder access grants for a sandboxed process: when a folder is out of reach, a stored grant that
// covers it is used, or the user is asked once to unlock it and the grant is kept across launches.
// Outside a sandbox (always, on this platform so far) access is only tested and nobody is asked;
// the grant machinery stays inert but complete, behind the platform hooks below.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <optional>

// Main thread.
class ZRSecurityScopedBookmarkManager
{
public:
    static ZRSecurityScopedBookmarkManager &bookmarkManager();
    ZRSecurityScopedBookmarkManager(const ZRSecurityScopedBookmarkManager &) = delete;
    ZRSecurityScopedBookmarkManager &operator=(const ZRSecurityScopedBookmarkManager &) = delete;

    // What a sandbox would provide: grant data for a folder the user chose, starting and stopping
    // the access a grant gives, and the panel that asks for a folder. None of them exists here, so
    // by default creating fails, starting fails and nobody is asked.
    struct Platform {
        std::function<std::optional<QByteArray>(const QString &path)> createBookmark;
        // The path the data grants, with access started; none when it cannot be used.
        std::function<std::optional<QString>(const QByteArray &data)> startAccess;
        std::function<void(const QString &path)> stopAccess;
        // The folder the user chose (title, start folder, explanation), none when cancelled.
        std::function<std::optional<QString>(const QString &title, const QString &folder, const QString &explanation)>
            askForFolder;
        std::function<bool()> isSandboxed;
    };
    // Tests only: replaces the hooks and forgets everything held in memory.
    void setPlatformForTesting(Platform platform);

    // Whether a stored path covers a path: the same, or a folder above it ("/" covers all).
    static bool pathCoversPath(const QString &stored, const QString &path);

    bool createBookmarkForURL(const QUrl &url);
    std::optional<QString> accessedURLForBookmark(const QByteArray &data);

    // mode: R_OK or W_OK. cancel: when given, the user may be asked (and *cancel tells whether
    // they cancelled). accessedBookmarkPath: the stored path whose access was started, to be handed
    // back to stopAccessingBookmarkForPath once the file work is done.
    bool confirmAccess(int mode, const QString &path, bool viaParentFolder, bool *cancel = nullptr,
                       QString *accessedBookmarkPath = nullptr,
                       const std::function<QString(const QString &)> &sandboxExplanation = {});
    bool confirmReadAccessForPath(const QString &path, bool *cancel = nullptr, QString *accessedBookmarkPath = nullptr,
                                  const std::function<QString(const QString &)> &sandboxExplanation = {});
    bool confirmWriteAccessForPath(const QString &path, bool viaParentFolder, bool *cancel = nullptr,
                                   QString *accessedBookmarkPath = nullptr,
                                   const std::function<QString(const QString &)> &sandboxExplanation = {});
    void stopAccessingBookmarkForPath(const QString &path);
    void stopAccessingAnyBookmarks();

    // The stored grants by path ("Security-Scoped Bookmarks").
    QVariantMap bookmarksByPath();

private:
    ZRSecurityScopedBookmarkManager();
    ~ZRSecurityScopedBookmarkManager();
    void loadBookmarks();

    Platform _platform;
    std::optional<QVariantMap> _bookmarksByPath;
    QHash<QString, QString> _accessedURLsByPath;
};

// The file URLs that may be read (asking, in a sandbox), handed to process; false when none
// could be, or when process says so.
bool ZRPerformWithConfirmedReadAccess(const QList<QUrl> &urls, const std::function<bool(const QList<QUrl> &)> &process);
