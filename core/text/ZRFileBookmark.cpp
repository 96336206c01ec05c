#include "core/text/ZRFileBookmark.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <dirent.h>
#include <sys/stat.h>

namespace
{

constexpr char kMagic[] = {'Z', 'R', 'F', 'B'};
constexpr quint8 kVersion = 1;
constexpr qsizetype kHeaderSize = 4 + 1 + 8 + 8 + 4;

bool lstatPath(const QByteArray &path, struct stat *info)
{
    return !path.isEmpty() && ::lstat(path.constData(), info) == 0;
}

} // namespace

ZRFileBookmark ZRFileBookmark::bookmarkWithPath(const QString &path)
{
    ZRFileBookmark bookmark;
    struct stat info = {};
    if (path.isEmpty() || !lstatPath(QFile::encodeName(path), &info))
        return bookmark;
    bookmark._path = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    bookmark._device = quint64(info.st_dev);
    bookmark._inode = quint64(info.st_ino);
    return bookmark;
}

ZRFileBookmark ZRFileBookmark::bookmarkWithData(const QByteArray &data)
{
    ZRFileBookmark bookmark;
    if (data.size() < kHeaderSize || !data.startsWith(QByteArrayView(kMagic, 4)) ||
        quint8(data.at(4)) != kVersion)
        return bookmark;
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    const quint64 device = qFromBigEndian<quint64>(bytes + 5);
    const quint64 inode = qFromBigEndian<quint64>(bytes + 13);
    const quint32 length = qFromBigEndian<quint32>(bytes + 21);
    // Exactly the recorded path, nothing more, nothing less.
    if (length == 0 || quint64(length) != quint64(data.size() - kHeaderSize))
        return bookmark;
    const QByteArray encodedPath = data.mid(kHeaderSize);
    if (encodedPath.contains('\0') || !encodedPath.startsWith('/'))
        return bookmark;
    bookmark._path = QFile::decodeName(encodedPath);
    bookmark._device = device;
    bookmark._inode = inode;
    return bookmark;
}

QByteArray ZRFileBookmark::bookmarkDataWithPath(const QString &path)
{
    return bookmarkWithPath(path).data();
}

QString ZRFileBookmark::pathByResolvingBookmarkData(const QByteArray &data)
{
    return bookmarkWithData(data).resolvedPath();
}

QByteArray ZRFileBookmark::data() const
{
    if (!isValid())
        return {};
    const QByteArray encodedPath = QFile::encodeName(_path);
    QByteArray data(kHeaderSize, Qt::Uninitialized);
    auto *bytes = reinterpret_cast<uchar *>(data.data());
    std::copy(std::begin(kMagic), std::end(kMagic), bytes);
    bytes[4] = kVersion;
    qToBigEndian<quint64>(_device, bytes + 5);
    qToBigEndian<quint64>(_inode, bytes + 13);
    qToBigEndian<quint32>(quint32(encodedPath.size()), bytes + 21);
    return data + encodedPath;
}

QString ZRFileBookmark::resolvedPath() const
{
    if (!isValid())
        return {};
    struct stat info = {};
    const QByteArray encodedPath = QFile::encodeName(_path);
    if (lstatPath(encodedPath, &info))
        return _path;

    // The file was renamed: look for its inode among its former neighbours.
    const QString folder = QFileInfo(_path).absolutePath();
    const QByteArray encodedFolder = QFile::encodeName(folder);
    DIR *directory = ::opendir(encodedFolder.constData());
    if (!directory)
        return {};
    QString found;
    while (const dirent *entry = ::readdir(directory)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray candidate = encodedFolder + (encodedFolder.endsWith('/') ? "" : "/") + name;
        // d_ino is not always st_ino (overlay file systems, mount points): lstat decides.
        if (lstatPath(candidate, &info) && quint64(info.st_dev) == _device &&
            quint64(info.st_ino) == _inode) {
            found = QFile::decodeName(candidate);
            break;
        }
    }
    ::closedir(directory);
    return found;
}
