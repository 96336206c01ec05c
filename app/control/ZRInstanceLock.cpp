#include "app/control/ZRInstanceLock.h"

#include "core/foundation/ZRPaths.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

QString ZRInstanceLock::defaultLockFilePath()
{
    return ZRApplicationSupportFolderPath() + QStringLiteral("/Quorvel.lock");
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
