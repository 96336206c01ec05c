#include "core/foundation/ZRPaths.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QStandardPaths>

#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString homePath()
{
    // Asked several times for every download; the clean path depends on HOME alone.
    thread_local QByteArray home;
    thread_local QString cleaned;
    const QByteArray current = qgetenv("HOME");
    if (cleaned.isNull() || current != home) {
        home = current;
        cleaned = QDir::cleanPath(QDir::homePath());
    }
    return cleaned;
}

QString xdgFolder(const char *variable, const QString &fallbackBelowHome)
{
    const QString value = qEnvironmentVariable(variable);
    // Relative values are invalid by the XDG rules and ignored.
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return homePath() + QLatin1Char('/') + fallbackBelowHome;
}

} // namespace

namespace ZRExtensions {

QString stringByAbbreviatingWithTildeInPath(const QString &path)
{
    const QString home = homePath();
    if (home.isEmpty() || home == QLatin1String("/"))
        return path;
    if (path == home)
        return QStringLiteral("~");
    if (path.startsWith(home + QLatin1Char('/')))
        return QLatin1Char('~') + path.mid(home.size());
    return path;
}

QString stringByExpandingTildeInPath(const QString &path)
{
    if (path == QLatin1String("~"))
        return homePath();
    if (path.startsWith(QLatin1String("~/")))
        return homePath() + path.mid(1);
    return path;
}

} // namespace ZRExtensions

QString ZRApplicationSupportFolderPath()
{
    const QString parent = xdgFolder("XDG_DATA_HOME", QStringLiteral(".local/share"));
    const QString path = parent + QStringLiteral("/Quorvel");
    // Only its owner may look in: the queue holds cookies and request bodies. A wider folder of an
    // earlier version is narrowed when the queue is written.
    QDir().mkpath(parent);
    ::mkdir(QFile::encodeName(path).constData(), 0700);
    return path;
}

QString ZRConfigurationFolderPath()
{
    return xdgFolder("XDG_CONFIG_HOME", QStringLiteral(".config")) + QStringLiteral("/Quorvel");
}

QString ZRDownloadsFolderPath()
{
    // Asked for every download; Qt reads and parses user-dirs.dirs at each call. The answer is
    // kept while the environment and that file (its size and time) stay as they were, and the
    // file is looked at again after a second at the earliest: an edit of it is seen within that
    // second, and a burst of downloads costs one look instead of two per download.
    struct Answer {
        QByteArray home, configHome;
        qint64 modified = 0, modifiedNanoseconds = 0, size = -1;
        QString path;
        QDeadlineTimer recheck;
    };
    constexpr qint64 RecheckMilliseconds = 1000;
    static QMutex lock;
    static std::optional<Answer> kept;
    const QByteArray home = qgetenv("HOME");
    const QByteArray configHome = qgetenv("XDG_CONFIG_HOME");
    {
        QMutexLocker locker(&lock);
        if (kept && kept->home == home && kept->configHome == configHome && !kept->recheck.hasExpired())
            return kept->path;
    }
    const QByteArray userDirs =
        (configHome.isEmpty() ? QByteArray(home + "/.config") : configHome) + QByteArrayView("/user-dirs.dirs");
    struct stat info = {};
    if (::stat(userDirs.constData(), &info) != 0)
        info = {};
    const qint64 size = info.st_ino ? qint64(info.st_size) : -1;
    QMutexLocker locker(&lock);
    if (kept && kept->home == home && kept->configHome == configHome && kept->modified == info.st_mtim.tv_sec &&
        kept->modifiedNanoseconds == info.st_mtim.tv_nsec && kept->size == size) {
        kept->recheck.setRemainingTime(RecheckMilliseconds);
        return kept->path;
    }
    const QString found = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    kept = Answer{home, configHome, info.st_mtim.tv_sec, info.st_mtim.tv_nsec, size,
                  found.isEmpty() ? homePath() + QStringLiteral("/Downloads") : QDir::cleanPath(found),
                  QDeadlineTimer(RecheckMilliseconds)};
    return kept->path;
}

QString ZRTemporaryFolderPath()
{
    return QDir::tempPath();
}

bool ZRSessionBusMayExist()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && ::access(QFile::encodeName(runtime + QStringLiteral("/bus")).constData(), F_OK) == 0;
}

bool ZRIsSandboxed()
{
    static const bool sandboxed = qEnvironmentVariableIsSet("APP_SANDBOX_CONTAINER_ID") ||
                                  qEnvironmentVariable("HOME").contains(QLatin1String("/Library/Containers/"));
    return sandboxed;
}
