#include "core/text/ZRQSONSerialization.h"

#include "core/text/ZRPageRegex.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QStringList>

namespace
{

// A comma at a line end, between a value and the next value or key. The next line's first
// character must not be blank: else the blanks that indent a closing bracket would stand for a value.
const ZRPageRegex::Pattern &lineEndCommaPattern()
{
    static const ZRPageRegex::Pattern pattern(QStringLiteral("([^,:\\s\\[{]\\s*),([\\n\\r]\\s*[^\\]}\\s])"),
                                              0);
    return pattern;
}

// The same place without its comma.
const ZRPageRegex::Pattern &missingCommaPattern()
{
    static const ZRPageRegex::Pattern pattern(QStringLiteral("([^,:\\s\\[{]\\s*)([\\n\\r]\\s*[^\\]}\\s])"),
                                              0);
    return pattern;
}

std::optional<QJsonValue> jsonValue(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QVariantMap: {
        QJsonObject object;
        const QVariantMap map = value.toMap();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
            const std::optional<QJsonValue> element = jsonValue(*it);
            if (!element)
                return std::nullopt;
            object.insert(it.key(), *element);
        }
        return object;
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        QJsonArray array;
        for (const QVariant &element : value.toList()) {
            const std::optional<QJsonValue> converted = jsonValue(element);
            if (!converted)
                return std::nullopt;
            array.append(*converted);
        }
        return array;
    }
    case QMetaType::QString:
        return QJsonValue(value.toString());
    case QMetaType::Bool:
        return QJsonValue(value.toBool());
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return QJsonValue(value.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return QJsonValue(value.toDouble());
    case QMetaType::Nullptr:
        return QJsonValue(QJsonValue::Null);
    default:
        return std::nullopt;
    }
}

} // namespace

QString ZRQSONSerialization::QSONStringFromJSONString(const QString &JSONString)
{
    return lineEndCommaPattern().replaceAll(JSONString, QStringLiteral("$1$2"));
}

QString ZRQSONSerialization::JSONStringFromQSONString(const QString &QSONString)
{
    return missingCommaPattern().replaceAll(QSONString, QStringLiteral("$1,$2"));
}

std::optional<QString> ZRQSONSerialization::JSONStringWithObject(const QVariant &object)
{
    const std::optional<QJsonValue> value = jsonValue(object);
    if (!value || !(value->isArray() || value->isObject()))
        return std::nullopt;
    // QJsonObject keeps its keys sorted.
    const QJsonDocument document =
        value->isArray() ? QJsonDocument(value->toArray()) : QJsonDocument(value->toObject());
    QString text = QString::fromUtf8(document.toJson(QJsonDocument::Indented));
    while (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.size() == 1)
        return lines.first();
    QString unit;
    for (QString &line : lines) {
        if (unit.isEmpty()) {
            qsizetype blanks = 0;
            while (blanks < line.size() &&
                   (line[blanks] == QLatin1Char(' ') || line[blanks] == QLatin1Char('\t')))
                ++blanks;
            if (blanks == 0)
                continue;
            unit = line.left(blanks);
        }
        qsizetype units = 0;
        while (line.mid(units * unit.size(), unit.size()) == unit)
            ++units;
        if (units > 0)
            line = QString(units, QLatin1Char('\t')) + line.mid(units * unit.size());
    }
    return lines.join(QLatin1Char('\n'));
}

std::optional<QString> ZRQSONSerialization::QSONStringWithObject(const QVariant &object)
{
    const std::optional<QString> json = JSONStringWithObject(object);
    if (!json)
        return std::nullopt;
    return QSONStringFromJSONString(*json);
}

std::optional<QVariant> ZRQSONSerialization::objectWithJSONData(const QByteArray &data)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || document.isNull())
        return std::nullopt;
    return document.isArray() ? QVariant(document.array().toVariantList())
                              : QVariant(document.object().toVariantMap());
}

std::optional<QVariant> ZRQSONSerialization::objectWithString(const QString &string, bool *isValidJSON,
                                                              QByteArray *data)
{
    if (isValidJSON)
        *isValidJSON = false;
    QByteArray bytes = string.toUtf8();
    if (std::optional<QVariant> object = objectWithJSONData(bytes)) {
        if (isValidJSON)
            *isValidJSON = true;
        if (data)
            *data = bytes;
        return object;
    }
    const QString converted = JSONStringFromQSONString(string);
    if (converted == string)
        return std::nullopt;
    bytes = converted.toUtf8();
    std::optional<QVariant> object = objectWithJSONData(bytes);
    if (object && data)
        *data = bytes;
    return object;
}
