// Property lists (XML and binary) converted to and from QVariant, through libplist.
//
// Values: QVariantMap (dictionary), QVariantList/QStringList (array), QString, qint64 (integer),
// double (real), bool, QByteArray (data), QDateTime (date). Integers keep their sign; dates keep whole
// seconds (1901 to 2069).
#pragma once

#include "core/foundation/ZRSystemCalls.h"

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <optional>

namespace ZRPropertyList {

// Thread-safe.
// Reads an XML or a binary property list; none when the bytes are not one.
std::optional<QVariant> propertyListFromData(const QByteArray &data);
// Writes an XML (or binary) property list; empty when the value holds something a property list cannot.
QByteArray XMLDataFromPropertyList(const QVariant &value);
// The same, by the library's own writer: what ours must match byte for byte.
QByteArray libraryXMLDataFromPropertyList(const QVariant &value);
QByteArray binaryDataFromPropertyList(const QVariant &value);

// Reads a file; none when it is missing or not a property list (error says which, when asked).
std::optional<QVariant> propertyListWithContentsOfFile(const QString &path, QString *error = nullptr);
// Writes an XML property list atomically (aside, fsync unless told not to, renamed into place, the
// folder flushed). The lists written are the program's own state (the queue, a bundle's metadata,
// the preferences, the history), several of them with requests in them: private unless told
// otherwise (ZRWriteFileAtomically).
bool writePropertyListToFile(const QVariant &value, const QString &path, QString *error = nullptr, bool flush = true,
                             ZRFileAccess access = ZRFileAccess::Private);

} // namespace ZRPropertyList
