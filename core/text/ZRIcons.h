// Icons for file types and files, without widgets: a theme icon name and a size that the window
// turns into a QIcon (QIcon::fromTheme(name, QIcon::fromTheme(fallbackName)), or the image file
// itself when the name is an absolute path).
#pragma once

#include <QSize>
#include <QString>

struct ZRIcon {
    QString name;         // "application-pdf", "inode-directory", ...
    QString fallbackName; // the generic icon of the type: "x-office-document", "folder", ...
    QSize size;

    bool isNull() const { return name.isEmpty() && fallbackName.isEmpty(); }
    bool operator==(const ZRIcon &other) const = default;
};

namespace ZRExtensions
{

// Thread-safe.

// The icon of files with the extension (with or without the leading dot); an unknown or empty
// extension gives the generic document icon.
ZRIcon iconFromExtensionWithSize(const QString &extension, const QSize &size);
// 32 × 32, kept per extension for the life of the process.
ZRIcon cachedIcon32FromExtension(const QString &extension);
// The icon of the item at the path (its content decides when its name does not); a missing item
// gets the icon of its name's type.
ZRIcon iconFromPathWithSize(const QString &path, const QSize &size);
// 16 × 16, kept per path for the life of the process.
ZRIcon cachedIcon16FromPath(const QString &path);

} // namespace ZRExtensions
