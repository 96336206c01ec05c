// A file bookmark ("alias"): a small record of a file's path, device and inode that finds the file
// again after it was renamed within its folder.
//
// Serialised form (stored as property-list data): the 4 bytes "ZRFB", one version byte (1), the
// device and the inode as unsigned 64-bit big-endian numbers, the length of the path as an unsigned
// 32-bit big-endian number, then the path in the file system's encoding.
#pragma once

#include <QByteArray>
#include <QString>

// Thread-safe.
class ZRFileBookmark
{
public:
    ZRFileBookmark() = default;

    // The bookmark of whatever exists at the path (not following a final symbolic link); an invalid
    // bookmark when nothing does.
    static ZRFileBookmark bookmarkWithPath(const QString &path);
    // Reads the serialised form; an invalid bookmark when the bytes are not one.
    static ZRFileBookmark bookmarkWithData(const QByteArray &data);

    // Shorthands: the serialised bookmark of a path (empty when nothing exists there), and the path
    // that serialised bookmark data resolves to (null when it resolves to nothing).
    static QByteArray bookmarkDataWithPath(const QString &path);
    static QString pathByResolvingBookmarkData(const QByteArray &data);

    bool isValid() const { return !_path.isEmpty(); }
    QString path() const { return _path; }
    quint64 device() const { return _device; }
    quint64 inode() const { return _inode; }

    QByteArray data() const;

    // The recorded path while something exists there; otherwise the entry of the same folder that
    // carries the recorded device and inode; otherwise null. Never asks the user, never mounts.
    QString resolvedPath() const;

private:
    QString _path;
    quint64 _device = 0;
    quint64 _inode = 0;
};
