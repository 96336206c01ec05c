// Dictionary, defaults and list helpers.
#include "core/text/ZRCollectionExtensions.h"

#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRUserDefaults.h"

#include <QByteArray>

#include <algorithm>
#include <limits>
#include <optional>

namespace
{

bool isAbsent(const QVariant &value)
{
    if (!value.isValid() || value.isNull())
        return true;
    if (value.typeId() == QMetaType::QString)
        return value.toString().isNull();
    if (value.typeId() == QMetaType::QByteArray)
        return value.toByteArray().isNull();
    return false;
}

QByteArray archivedData(const QVariant &object)
{
    if (isAbsent(object))
        return QByteArray();
    return ZRPropertyList::binaryDataFromPropertyList(object);
}

QVariant unarchived(const QVariant &data)
{
    if (data.typeId() != QMetaType::QByteArray)
        return QVariant();
    const std::optional<QVariant> value = ZRPropertyList::propertyListFromData(data.toByteArray());
    return value ? *value : QVariant();
}

// Leading white space, then an optional sign and decimal digits.
qsizetype skipSpaceAndSign(const QString &string, bool *negative)
{
    qsizetype i = 0;
    while (i < string.size() && string.at(i).isSpace())
        ++i;
    *negative = false;
    if (i < string.size() && (string.at(i) == u'-' || string.at(i) == u'+')) {
        *negative = string.at(i) == u'-';
        ++i;
    }
    return i;
}

qint64 leadingInteger(const QString &string)
{
    bool negative = false;
    qsizetype i = skipSpaceAndSign(string, &negative);
    quint64 magnitude = 0;
    constexpr quint64 limit = quint64(std::numeric_limits<qint64>::max()) + 1;
    for (; i < string.size() && string.at(i) >= u'0' && string.at(i) <= u'9'; ++i)
        magnitude = magnitude > limit / 10
                        ? limit
                        : std::min(magnitude * 10 + (string.at(i).unicode() - u'0'), limit);
    if (negative)
        return magnitude >= limit ? std::numeric_limits<qint64>::min() : -qint64(magnitude);
    return magnitude >= limit ? std::numeric_limits<qint64>::max() : qint64(magnitude);
}

bool leadingBoolean(const QString &string)
{
    bool negative = false;
    qsizetype i = skipSpaceAndSign(string, &negative);
    while (i < string.size() && string.at(i) == u'0')
        ++i;
    if (i >= string.size())
        return false;
    const char16_t c = string.at(i).unicode();
    return c == u'Y' || c == u'y' || c == u'T' || c == u't' || (c >= u'1' && c <= u'9');
}

} // namespace

namespace ZRExtensions
{

void tryToSetObject(QVariantMap &dictionary, const QVariant &object, const QString &key)
{
    if (key.isNull() || isAbsent(object))
        return;
    dictionary.insert(key, object);
}

void tryToTakeObjectForKey(QVariantMap &dictionary, const QString &key, const QVariantMap &fromDictionary)
{
    tryToSetObject(dictionary, fromDictionary.value(key), key);
}

void archiveObject(QVariantMap &dictionary, const QVariant &object, const QString &key)
{
    const QByteArray data = archivedData(object);
    if (!data.isEmpty())
        tryToSetObject(dictionary, data, key);
}

QVariant unarchivedObjectForKey(const QVariantMap &dictionary, const QString &key)
{
    return unarchived(dictionary.value(key));
}

void archiveObject(ZRUserDefaults &defaults, const QVariant &object, const QString &key)
{
    const QByteArray data = archivedData(object);
    if (!data.isEmpty() && !key.isNull())
        defaults.setObject(data, key);
}

QVariant unarchivedObjectForKey(const ZRUserDefaults &defaults, const QString &key)
{
    return unarchived(defaults.objectForKey(key));
}

qint64 integerForKey(const QVariantMap &dictionary, const QString &key)
{
    const QVariant value = dictionary.value(key);
    switch (value.typeId()) {
    case QMetaType::QString:
        return leadingInteger(value.toString());
    case QMetaType::Double:
    case QMetaType::Float: {
        const double number = value.toDouble();
        if (!(number == number))
            return 0;
        if (number >= 9223372036854775807.0)
            return std::numeric_limits<qint64>::max();
        if (number <= -9223372036854775808.0)
            return std::numeric_limits<qint64>::min();
        return qint64(number);
    }
    default: {
        bool ok = false;
        const qint64 number = value.toLongLong(&ok);
        return ok ? number : 0;
    }
    }
}

bool boolForKey(const QVariantMap &dictionary, const QString &key)
{
    const QVariant value = dictionary.value(key);
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::QString:
        return leadingBoolean(value.toString());
    case QMetaType::Double:
    case QMetaType::Float:
        return value.toDouble() != 0;
    default: {
        bool ok = false;
        const qint64 number = value.toLongLong(&ok);
        return ok && number != 0;
    }
    }
}

void setFolderPath(ZRUserDefaults &defaults, const QString &path, const QString &key)
{
    if (path.isNull())
        defaults.removeObjectForKey(key);
    else
        defaults.setObject(path, key);
}

QString folderPathForKey(const ZRUserDefaults &defaults, const QString &key, const QString &defaultPath)
{
    const QVariant value = defaults.objectForKey(key);
    if (value.typeId() == QMetaType::QString)
        return value.toString();
    return defaultPath;
}

} // namespace ZRExtensions
