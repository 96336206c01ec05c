#include "core/text/ZRIcons.h"

#include <QHash>
#include <QMimeDatabase>
#include <QMimeType>
#include <QMutex>

namespace
{

ZRIcon iconForType(const QMimeType &type, const QSize &size)
{
    ZRIcon icon;
    icon.size = size;
    if (type.isValid()) {
        icon.name = type.iconName();
        icon.fallbackName = type.genericIconName();
    }
    // Without a MIME database Qt knows no type at all: still a generic file.
    if (icon.fallbackName.isEmpty())
        icon.fallbackName = QStringLiteral("application-x-generic");
    if (icon.name.isEmpty())
        icon.name = icon.fallbackName;
    return icon;
}

template <typename Make>
ZRIcon cachedIcon(QHash<QString, ZRIcon> &cache, QMutex &lock, const QString &key, Make make)
{
    QMutexLocker locker(&lock);
    const auto cached = cache.constFind(key);
    if (cached != cache.constEnd())
        return *cached;
    const ZRIcon icon = make();
    cache.insert(key, icon);
    return icon;
}

} // namespace

namespace ZRExtensions
{

ZRIcon iconFromExtensionWithSize(const QString &extension, const QSize &size)
{
    QString normalized = extension.trimmed();
    while (normalized.startsWith(QLatin1Char('.')))
        normalized.remove(0, 1);
    const QMimeDatabase database;
    const QMimeType type =
        normalized.isEmpty()
            ? database.mimeTypeForName(QStringLiteral("application/octet-stream"))
            : database.mimeTypeForFile(QStringLiteral("x.") + normalized, QMimeDatabase::MatchExtension);
    return iconForType(type, size);
}

ZRIcon cachedIcon32FromExtension(const QString &extension)
{
    static QMutex lock;
    static QHash<QString, ZRIcon> cache;
    return cachedIcon(cache, lock, extension,
                      [&] { return iconFromExtensionWithSize(extension, QSize(32, 32)); });
}

ZRIcon iconFromPathWithSize(const QString &path, const QSize &size)
{
    const QMimeDatabase database;
    return iconForType(path.isEmpty() ? database.mimeTypeForName(QStringLiteral("application/octet-stream"))
                                      : database.mimeTypeForFile(path),
                       size);
}

ZRIcon cachedIcon16FromPath(const QString &path)
{
    static QMutex lock;
    static QHash<QString, ZRIcon> cache;
    return cachedIcon(cache, lock, path, [&] { return iconFromPathWithSize(path, QSize(16, 16)); });
}

} // namespace ZRExtensions
