#include "core/foundation/ZRSystemCalls.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

ZRSystemCalls &ZRSystem()
{
    static ZRSystemCalls calls{
        [](const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); },
        ::write,
        ::fsync,
        ::close,
        ::rename,
        ::unlink,
        ::lsetxattr,
        ::lgetxattr,
    };
    return calls;
}

bool ZRWriteAll(int fd, const char *bytes, size_t count)
{
    while (count > 0) {
        const ssize_t written = ZRSystem().write(fd, bytes, count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        bytes += written;
        count -= size_t(written);
    }
    return true;
}

bool ZRWriteFileAtomically(const QString &path, const QByteArray &data, QString *error, bool flush)
{
    auto fail = [&](const char *what, int code) {
        if (error)
            *error = QStringLiteral("%1 failed for <%2>: %3")
                         .arg(QString::fromLatin1(what), path, QString::fromLocal8Bit(std::strerror(code)));
        return false;
    };
    const QFileInfo info(path);
    // A hidden sibling in the same folder, so that the rename never crosses file systems.
    const QByteArray target = QFile::encodeName(path);
    const QByteArray aside =
        QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".tmp-") +
                          QString::number(::getpid()));
    ZRSystemCalls &sys = ZRSystem();
    const int fd = sys.open(aside.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail("open", errno);
    if (!ZRWriteAll(fd, data.constData(), size_t(data.size()))) {
        const int code = errno;
        sys.close(fd);
        sys.unlink(aside.constData());
        return fail("write", code);
    }
    if (flush && sys.fsync(fd) != 0) {
        const int code = errno;
        sys.close(fd);
        sys.unlink(aside.constData());
        return fail("fsync", code);
    }
    if (sys.close(fd) != 0) {
        const int code = errno;
        sys.unlink(aside.constData());
        return fail("close", code);
    }
    if (sys.rename(aside.constData(), target.constData()) != 0) {
        const int code = errno;
        sys.unlink(aside.constData());
        return fail("rename", code);
    }
    return true;
}
