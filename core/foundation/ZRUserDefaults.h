// User defaults: a property-list file of settings with a registration domain under it.
#pragma once

#include <QObject>
#include <QHash>
#include <QReadWriteLock>
#include <QString>
#include <QStringList>
#include <QVariant>

class ZRUserDefaults : public QObject {
    Q_OBJECT
public:
    // $XDG_CONFIG_HOME/Quorvel/Preferences.plist and Shared.plist (the shared group defaults that the
    // extension host reads). Created on first use.
    static ZRUserDefaults &standardUserDefaults();
    static ZRUserDefaults &sharedGroupDefaults();
    // Tests: forget both instances so that the next use reads the files again.
    static void resetStandardInstancesForTesting();

    // Reads the file at once. A damaged file is kept aside as "<file>.corrupt" and logged; the
    // defaults then start empty and the next write creates a fresh file.
    explicit ZRUserDefaults(const QString &filePath, QObject *parent = nullptr);
    ~ZRUserDefaults() override;

    QString filePath() const { return _filePath; }

    // Thread-safe reads. Unset or malformed values read as false / 0 / empty.
    QVariant objectForKey(const QString &key) const;
    bool boolForKey(const QString &key) const;
    qint64 integerForKey(const QString &key) const;
    double doubleForKey(const QString &key) const;
    QString stringForKey(const QString &key) const;
    QStringList stringArrayForKey(const QString &key) const;
    QVariantList arrayForKey(const QString &key) const;
    QVariantMap dictionaryForKey(const QString &key) const;
    QByteArray dataForKey(const QString &key) const;
    // Whether the user's own file holds a value (the registration domain does not count).
    bool hasStoredValueForKey(const QString &key) const;
    QVariantMap dictionaryRepresentation() const;

    // Values registered here are read when nothing is stored; they never override stored values
    // and are never written to the file.
    void registerDefaults(const QVariantMap &defaults);

    // Thread-safe writes; the file is rewritten atomically once per turn of the event loop.
    // An invalid QVariant removes the key.
    void setObject(const QVariant &value, const QString &key);
    void setBool(bool value, const QString &key) { setObject(value, key); }
    void setInteger(qint64 value, const QString &key) { setObject(value, key); }
    void setDouble(double value, const QString &key) { setObject(value, key); }
    void removeObjectForKey(const QString &key);

    // Writes pending changes now; true when nothing was pending or the write worked.
    bool synchronize();
    // Reads the file again after someone else changed it, unless changes of ours are still to be
    // written (then ours win). The keys whose values changed, each also signalled.
    QStringList reloadFromFile();

Q_SIGNALS:
    void valueChanged(const QString &key);

private:
    void load();
    void scheduleWrite();

    QString _filePath;
    mutable QReadWriteLock _lock;
    QVariantMap _values;
    QVariantMap _registered;
    // What a look-up answers: the registered values overlaid with the stored ones, kept as the two
    // change. Asked dozens of times for every download; a hash finds a key without comparing texts.
    QHash<QString, QVariant> _answers;
    void rebuildAnswers();
    bool _dirty = false;
    bool _writeScheduled = false;
};
