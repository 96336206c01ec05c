// "QSON": JSON with the commas at line ends left out, as people write it by hand; and JSON written
// with tabs, the way the rules text is shown.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <optional>

// Thread-safe, all of it.
class ZRQSONSerialization
{
public:
    ZRQSONSerialization() = delete;

    static QString QSONStringFromJSONString(const QString &JSONString);
    static QString JSONStringFromQSONString(const QString &QSONString);
    // Pretty-printed JSON with sorted keys, indented with tabs; none when the value is not a list
    // or a dictionary of JSON values (text, numbers, booleans, lists, dictionaries, null).
    static std::optional<QString> JSONStringWithObject(const QVariant &object);
    static std::optional<QString> QSONStringWithObject(const QVariant &object);
    // The value of a JSON or QSON text; isValidJSON tells whether it was JSON as it stands, data
    // receives the UTF-8 bytes that were parsed.
    static std::optional<QVariant> objectWithString(const QString &string, bool *isValidJSON = nullptr,
                                                    QByteArray *data = nullptr);
    // The value of a JSON text (a list or a dictionary); none when it is not one.
    static std::optional<QVariant> objectWithJSONData(const QByteArray &data);
};
