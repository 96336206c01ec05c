// Helpers on dictionaries (QVariantMap), lists and the user defaults.
#pragma once

#include <QList>
#include <QRandomGenerator>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <algorithm>

class ZRUserDefaults;

namespace ZRExtensions
{

// Thread-safe on distinct containers.

// Sets the entry only when both the value and the key are present (neither invalid nor a null
// string); an absent value leaves the entry as it was.
void tryToSetObject(QVariantMap &dictionary, const QVariant &object, const QString &key);
// Copies one entry of another dictionary with tryToSetObject.
void tryToTakeObjectForKey(QVariantMap &dictionary, const QString &key, const QVariantMap &fromDictionary);

// Archived values are stored as data (QByteArray) holding a binary property list whose top-level
// object is the value itself (a date, a number, a string, a list, a dictionary...). Nothing is stored
// for an absent value or one that a property list cannot hold. Reading gives an invalid QVariant
// when the entry is missing or is no such data.
void archiveObject(QVariantMap &dictionary, const QVariant &object, const QString &key);
QVariant unarchivedObjectForKey(const QVariantMap &dictionary, const QString &key);
void archiveObject(ZRUserDefaults &defaults, const QVariant &object, const QString &key);
QVariant unarchivedObjectForKey(const ZRUserDefaults &defaults, const QString &key);

// The entry as an integer or a boolean; 0 or false when it is absent or has no such reading. Numbers
// and booleans convert; a string reads its leading integer ("12 MB" is 12), and as a boolean is
// true when it starts (after white space, a sign and zeros) with Y, y, T, t or a digit 1-9.
qint64 integerForKey(const QVariantMap &dictionary, const QString &key);
bool boolForKey(const QVariantMap &dictionary, const QString &key);

// A folder path stored unchanged; read back, or the default when none is stored.
void setFolderPath(ZRUserDefaults &defaults, const QString &path, const QString &key);
QString folderPathForKey(const ZRUserDefaults &defaults, const QString &key, const QString &defaultPath);

// Random order: uniformly chosen elements of the remaining ones are moved to a new list in turn.
template <typename T> void shuffle(QList<T> &list)
{
    QList<T> shuffled;
    shuffled.reserve(list.size());
    while (!list.isEmpty())
        shuffled.append(list.takeAt(QRandomGenerator::global()->bounded(list.size())));
    list = std::move(shuffled);
}

// Reverses the order in place.
template <typename T> void invert(QList<T> &list)
{
    std::reverse(list.begin(), list.end());
}

} // namespace ZRExtensions
