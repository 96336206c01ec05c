#include "app/control/ZRQueueArchive.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRPropertyList.h"

#include <QFile>
#include <QFileInfo>

namespace
{

const QString queueArchiveFileName = QStringLiteral("Queue.plist");

QString freeAsidePath(const QString &path, const QString &suffix = QStringLiteral(".corrupt"))
{
    const QString base = path + suffix;
    QString candidate = base;
    for (int number = 2; QFileInfo::exists(candidate); ++number)
        candidate = base + QLatin1Char('-') + QString::number(number);
    return candidate;
}

} // namespace

ZRQueueArchive::ZRQueueArchive()
    : ZRQueueArchive(ZRApplicationSupportFolderPath() + QLatin1Char('/') + queueArchiveFileName)
{
}

ZRQueueArchive::ZRQueueArchive(const QString &path) : _path(path) {}

QVariantList ZRQueueArchive::read()
{
    _foundDamagedFile = false;
    _keptAsidePath.clear();
    const QFileInfo info(_path);
    if (!info.exists() && !info.isSymLink())
        return {};
    QString error;
    const std::optional<QVariant> root = ZRPropertyList::propertyListWithContentsOfFile(_path, &error);
    if (root && root->typeId() == QMetaType::QVariantList)
        return root->toList();
    if (root && root->typeId() == QMetaType::QStringList)
        return root->toList();

    // Keep the user's queue for a look (or a repair) instead of writing over it at the next save.
    _foundDamagedFile = true;
    const QString reason = root ? QStringLiteral("its root is not an array") : error;
    const QString aside = freeAsidePath(_path);
    if (QFile::rename(_path, aside)) {
        _keptAsidePath = aside;
        ZRLog(QStringLiteral("cannot read queue archive <%1> (%2): kept aside as <%3>")
                  .arg(_path, reason, aside));
    } else {
        _mustNotOverwrite = true;
        ZRLog(QStringLiteral("cannot read queue archive <%1> (%2) and cannot keep it aside: it stays "
                             "untouched until there is a new download")
                  .arg(_path, reason));
    }
    return {};
}

bool ZRQueueArchive::write(const QVariantList &elements)
{
    if (_mustNotOverwrite) {
        ZRLogDebug(QStringLiteral("queue archive not written: the damaged one is kept"));
        return false;
    }
    QString error;
    if (!ZRPropertyList::writePropertyListToFile(elements, _path, &error)) {
        ZRLog(QStringLiteral("cannot write queue archive <%1>: %2").arg(_path, error));
        return false;
    }
    return true;
}

QString ZRQueueArchive::keepUnrestoredElements(const QVariantList &elements)
{
    const QString aside = freeAsidePath(_path, QStringLiteral(".unrestored"));
    QString error;
    if (!ZRPropertyList::writePropertyListToFile(elements, aside, &error)) {
        ZRLog(QStringLiteral("cannot keep queue entries aside in <%1>: %2").arg(aside, error));
        return QString();
    }
    return aside;
}

void ZRQueueArchive::remove()
{
    if (_mustNotOverwrite)
        return;
    QFile::remove(_path);
}
