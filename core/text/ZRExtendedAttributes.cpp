#include "core/text/ZRExtendedAttributes.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRSystemCalls.h"
#include "core/foundation/ZRUserDefaults.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

namespace
{

QByteArray systemAttributeName(const QString &name)
{
    const QByteArray utf8 = name.toUtf8();
    return utf8.startsWith("user.") ? utf8 : QByteArrayLiteral("user.") + utf8;
}

bool existsAtPath(const QString &path)
{
    return !path.isEmpty() && QFileInfo::exists(path);
}

// A file that is not there gets nothing, without a word: the call itself tells, one look fewer.
void writeAttribute(const QString &path, const QByteArray &name, const QByteArray &data)
{
    const QByteArray encodedPath = QFile::encodeName(path);
    if (ZRSystem().lsetxattr(encodedPath.constData(), name.constData(), data.constData(), size_t(data.size()),
                             0) != 0) {
        const int code = errno;
        if (code == ENOENT)
            return;
        ZRLogDebug(QStringLiteral("cannot set extended attribute %1 of <%2>: %3")
                       .arg(QString::fromUtf8(name), path, QString::fromLocal8Bit(std::strerror(code))));
    }
}

} // namespace

namespace ZRExtensions
{

void setData(const QString &path, const QByteArray &data, const QString &extendedFileAttribute)
{
    if (data.isEmpty() || extendedFileAttribute.isEmpty() || path.isEmpty())
        return;
    writeAttribute(path, systemAttributeName(extendedFileAttribute), data);
}

QByteArray dataForExtendedFileAttribute(const QString &path, const QString &extendedFileAttribute)
{
    if (extendedFileAttribute.isEmpty() || !existsAtPath(path))
        return {};
    const QByteArray encodedPath = QFile::encodeName(path);
    const QByteArray name = systemAttributeName(extendedFileAttribute);
    // The attribute may grow between asking its size and reading it: ask again then.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = ZRSystem().lgetxattr(encodedPath.constData(), name.constData(), nullptr, 0);
        if (size <= 0)
            return {};
        QByteArray data(qsizetype(size), Qt::Uninitialized);
        const ssize_t read =
            ZRSystem().lgetxattr(encodedPath.constData(), name.constData(), data.data(), size_t(size));
        if (read > 0) {
            data.truncate(qsizetype(read));
            return data;
        }
        if (read == 0 || errno != ERANGE)
            return {};
    }
    return {};
}

void setValue(const QString &path, const QVariant &value, const QString &extendedFileAttribute)
{
    if (!value.isValid() || extendedFileAttribute.isEmpty() || path.isEmpty())
        return;
    const QByteArray data = ZRPropertyList::binaryDataFromPropertyList(value);
    if (data.isEmpty()) {
        ZRLogDebug(
            QStringLiteral("cannot encode extended attribute %1 of <%2>").arg(extendedFileAttribute, path));
        return;
    }
    setData(path, data, extendedFileAttribute);
}

QVariant valueForExtendedFileAttribute(const QString &path, const QString &extendedFileAttribute)
{
    const QByteArray data = dataForExtendedFileAttribute(path, extendedFileAttribute);
    if (data.isEmpty())
        return {};
    return ZRPropertyList::propertyListFromData(data).value_or(QVariant());
}

void setSpotlightComment(const QString &path, const QString &comment)
{
    if (comment.isEmpty() || !existsAtPath(path))
        return;
    setValue(path, comment, QString::fromLatin1(ZRFinderCommentAttributeName));
    setData(path, comment.toUtf8(), QString::fromLatin1(ZRXDGCommentAttributeName));
}

void setSourceURLStrings(const QString &path, const QStringList &urlStrings)
{
    if (urlStrings.isEmpty())
        return;
    // Metadata travels with the file (copies, archives, backups): passwords must not.
    QStringList addresses;
    addresses.reserve(urlStrings.size());
    for (const QString &urlString : urlStrings)
        addresses << stringByRemovingURLCredentials(urlString);
    if (ZRUserDefaults::standardUserDefaults().boolForKey(
            QString::fromLatin1(ZRStoreSourceURLInSpotlightCommentKey)))
        setSpotlightComment(path, addresses.join(QStringLiteral(", ")));
    setValue(path, addresses, QString::fromLatin1(ZRWhereFromsAttributeName));
    setData(path, addresses.constFirst().toUtf8(), QString::fromLatin1(ZRXDGOriginURLAttributeName));
}

void setFractionCompleted(const QString &path, const QString &fractionCompleted)
{
    setData(path, fractionCompleted.toLatin1(), QString::fromLatin1(ZRFractionCompletedAttributeName));
}

QString stringByRemovingURLCredentials(const QString &urlString)
{
    const qsizetype schemeEnd = urlString.indexOf(QLatin1String("://"));
    if (schemeEnd <= 0)
        return urlString;
    for (qsizetype i = 0; i < schemeEnd; ++i) {
        const QChar c = urlString.at(i);
        const bool schemeCharacter = (c.isLetter() && c.unicode() < 128) ||
                                     (i > 0 && ((c.isDigit() && c.unicode() < 128) || c == QLatin1Char('+') ||
                                                c == QLatin1Char('-') || c == QLatin1Char('.')));
        if (!schemeCharacter)
            return urlString;
    }
    const qsizetype authorityStart = schemeEnd + 3;
    qsizetype authorityEnd = urlString.size();
    for (const QChar delimiter : {QLatin1Char('/'), QLatin1Char('?'), QLatin1Char('#')}) {
        const qsizetype found = urlString.indexOf(delimiter, authorityStart);
        if (found >= 0 && found < authorityEnd)
            authorityEnd = found;
    }
    // The host follows the last "@": a password may hold an unescaped "@" of its own.
    const qsizetype at = urlString.lastIndexOf(QLatin1Char('@'), authorityEnd - 1);
    if (at < authorityStart)
        return urlString;
    return urlString.left(authorityStart) + urlString.mid(at + 1);
}

} // namespace ZRExtensions
