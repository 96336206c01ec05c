#include "core/foundation/ZRSystemCalls.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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

bool ZRWriteFileAtomically(const QString &path, const QByteArray &data, QString *error, bool flush,
                           ZRFileAccess access)
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
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    const QByteArray aside =
        QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".tmp-") +
                          QString::number(::getpid()));
    const bool isPrivate = access == ZRFileAccess::Private;
    if (isPrivate) {
        // Others may have been able to look into the folder before: from now on they cannot.
        struct stat folderInfo = {};
        if (::stat(folder.constData(), &folderInfo) == 0 && (folderInfo.st_mode & 077) != 0 &&
            folderInfo.st_uid == ::geteuid() && ::chmod(folder.constData(), folderInfo.st_mode & 0700) != 0)
            return fail("chmod", errno);
    }
    ZRSystemCalls &sys = ZRSystem();
    const int fd = sys.open(aside.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                            isPrivate ? 0600 : 0644);
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
    if (!flush)
        return true;
    // The rename lives in the folder: until the folder is on disk, a power cut may leave neither file.
    const int folderFd = sys.open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (folderFd < 0)
        return fail("open folder", errno);
    const int synced = sys.fsync(folderFd);
    const int code = errno;
    sys.close(folderFd);
    // Some file systems cannot flush a folder at all; the file itself is in place.
    if (synced != 0 && code != EINVAL && code != ENOTSUP)
        return fail("fsync folder", code);
    return true;
}
