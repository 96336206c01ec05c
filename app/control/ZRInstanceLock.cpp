#include "app/control/ZRInstanceLock.h"

#include "core/foundation/ZRPaths.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// $XDG_RUNTIME_DIR, else "quorvel-UID" in the temporary folder, made private to this user. A folder of
// that name that someone else made, or a link, is not used: then the support folder takes the lock.
QString runtimeFolderPath()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime;
    const QString folder = QDir::tempPath() + QStringLiteral("/quorvel-%1").arg(::getuid());
    const QByteArray encoded = QFile::encodeName(folder);
    if (::mkdir(encoded.constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    struct stat info = {};
    if (::lstat(encoded.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid() ||
        (info.st_mode & 0077) != 0)
        return QString();
    return folder;
}

} // namespace

QString ZRInstanceLock::defaultLockFilePath()
{
    return lockFilePathForFolder(ZRApplicationSupportFolderPath());
}

QString ZRInstanceLock::lockFilePathForFolder(const QString &supportFolderPath)
{
    const QString runtime = runtimeFolderPath();
    if (runtime.isEmpty())
        return supportFolderPath + QStringLiteral("/Quorvel.lock");
    const QByteArray digest = QCryptographicHash::hash(QFile::encodeName(QDir::cleanPath(supportFolderPath)),
                                                       QCryptographicHash::Sha1)
                                  .toHex()
                                  .left(16);
    return runtime + QStringLiteral("/Quorvel-") + QString::fromLatin1(digest) + QStringLiteral(".lock");
}

ZRInstanceLock::~ZRInstanceLock()
{
    unlock();
}

ZRInstanceLock::Result ZRInstanceLock::tryLock(const QString &path, qint64 *holderProcessID, QString *error)
{
    if (holderProcessID)
        *holderProcessID = 0;
    if (_fd >= 0)
        return Result::Locked;
    const QByteArray encodedPath = QFile::encodeName(path);
    // Close-on-exec: a program we launch must not keep the queue locked after we quit.
    const int fd = ::open(encodedPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        return Result::Failed;
    }
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int lockError = errno;
        if (holderProcessID && lockError == EWOULDBLOCK) {
            char buffer[32] = {};
            const ssize_t length = ::pread(fd, buffer, sizeof buffer - 1, 0);
            if (length > 0)
                *holderProcessID = QByteArray(buffer, int(length)).trimmed().toLongLong();
        }
        ::close(fd);
        if (lockError == EWOULDBLOCK)
            return Result::HeldElsewhere;
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(lockError));
        return Result::Failed;
    }
    // The holder's process id, for the message of the one that is refused; a failed write costs only that.
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) != pid.size())
        (void)::ftruncate(fd, 0);
    _fd = fd;
    return Result::Locked;
}

void ZRInstanceLock::unlock()
{
    if (_fd < 0)
        return;
    // Closing the descriptor releases the lock; the file stays for the next process.
    ::close(_fd);
    _fd = -1;
}
