#include "core/foundation/ZRUserDefaults.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRPropertyList.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <mutex>

namespace {

struct StandardInstances {
    std::mutex mutex;
    ZRUserDefaults *standard = nullptr;
    ZRUserDefaults *shared = nullptr;
};

StandardInstances &instances()
{
    static StandardInstances s;
    return s;
}

ZRUserDefaults &instance(ZRUserDefaults *StandardInstances::*slot, const QString &fileName)
{
    StandardInstances &s = instances();
    std::lock_guard lock(s.mutex);
    if (!(s.*slot)) {
        s.*slot = new ZRUserDefaults(ZRConfigurationFolderPath() + QLatin1Char('/') + fileName);
        // Live on the main thread, so that coalesced writes run there.
        if (QCoreApplication *app = QCoreApplication::instance())
            (s.*slot)->moveToThread(app->thread());
    }
    return *(s.*slot);
}

// Strings as NSUserDefaults reads them: "YES"/"true" or a number.
bool boolFromString(const QString &text)
{
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0 ||
        t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    bool ok = false;
    const double number = t.toDouble(&ok);
    return ok && number != 0;
}

} // namespace

ZRUserDefaults &ZRUserDefaults::standardUserDefaults()
{
    return instance(&StandardInstances::standard, QStringLiteral("Preferences.plist"));
}

ZRUserDefaults &ZRUserDefaults::sharedGroupDefaults()
{
    return instance(&StandardInstances::shared, QStringLiteral("Shared.plist"));
}

void ZRUserDefaults::resetStandardInstancesForTesting()
{
    StandardInstances &s = instances();
    std::lock_guard lock(s.mutex);
    delete s.standard;
    delete s.shared;
    s.standard = nullptr;
    s.shared = nullptr;
}

ZRUserDefaults::ZRUserDefaults(const QString &filePath, QObject *parent) : QObject(parent), _filePath(filePath)
{
    load();
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, [this] { synchronize(); });
}

ZRUserDefaults::~ZRUserDefaults()
{
    synchronize();
}

void ZRUserDefaults::load()
{
    if (!QFileInfo::exists(_filePath))
        return;
    QString error;
    const auto contents = ZRPropertyList::propertyListWithContentsOfFile(_filePath, &error);
    if (contents && contents->typeId() == QMetaType::QVariantMap) {
        _values = contents->toMap();
        rebuildAnswers();
        return;
    }
    // Keep the damaged file for the user instead of overwriting it with the next change.
    const QString aside = _filePath + QStringLiteral(".corrupt");
    QFile::remove(aside);
    if (QFile::rename(_filePath, aside))
        ZRLog(QStringLiteral("cannot read preferences <%1>: kept aside as <%2>").arg(_filePath, aside));
    else
        ZRLog(QStringLiteral("cannot read preferences <%1> and cannot keep it aside").arg(_filePath));
}

QVariant ZRUserDefaults::objectForKey(const QString &key) const
{
    QReadLocker lock(&_lock);
    return _answers.value(key);
}

void ZRUserDefaults::rebuildAnswers()
{
    _answers.clear();
    _answers.reserve(_registered.size() + _values.size());
    for (auto it = _registered.constBegin(); it != _registered.constEnd(); ++it)
        _answers.insert(it.key(), it.value());
    for (auto it = _values.constBegin(); it != _values.constEnd(); ++it)
        _answers.insert(it.key(), it.value());
}

bool ZRUserDefaults::boolForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return value.toDouble() != 0;
    case QMetaType::QString:
        return boolFromString(value.toString());
    default:
        return false;
    }
}

qint64 ZRUserDefaults::integerForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return value.toLongLong();
    case QMetaType::Double: {
        const double number = value.toDouble();
        if (!(number == number) || number >= 9.2e18 || number <= -9.2e18)
            return 0;
        return qint64(number);
    }
    case QMetaType::QString: {
        bool ok = false;
        const QString text = value.toString().trimmed();
        const qint64 number = text.toLongLong(&ok);
        if (ok)
            return number;
        const double real = text.toDouble(&ok);
        return ok && real < 9.2e18 && real > -9.2e18 ? qint64(real) : 0;
    }
    default:
        return 0;
    }
}

double ZRUserDefaults::doubleForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return value.toDouble();
    case QMetaType::QString: {
        bool ok = false;
        const double number = value.toString().trimmed().toDouble(&ok);
        return ok ? number : 0;
    }
    default:
        return 0;
    }
}

QString ZRUserDefaults::stringForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    switch (value.typeId()) {
    case QMetaType::QString:
        return value.toString();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return value.toString();
    default:
        return {};
    }
}

QStringList ZRUserDefaults::stringArrayForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    if (value.typeId() != QMetaType::QVariantList && value.typeId() != QMetaType::QStringList)
        return {};
    QStringList result;
    for (const QVariant &element : value.toList()) {
        if (element.typeId() != QMetaType::QString)
            return {};
        result.append(element.toString());
    }
    return result;
}

QVariantList ZRUserDefaults::arrayForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    if (value.typeId() != QMetaType::QVariantList && value.typeId() != QMetaType::QStringList)
        return {};
    return value.toList();
}

QVariantMap ZRUserDefaults::dictionaryForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    return value.typeId() == QMetaType::QVariantMap ? value.toMap() : QVariantMap();
}

QByteArray ZRUserDefaults::dataForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    return value.typeId() == QMetaType::QByteArray ? value.toByteArray() : QByteArray();
}

bool ZRUserDefaults::hasStoredValueForKey(const QString &key) const
{
    QReadLocker lock(&_lock);
    return _values.contains(key);
}

QVariantMap ZRUserDefaults::dictionaryRepresentation() const
{
    QReadLocker lock(&_lock);
    QVariantMap result = _registered;
    for (auto it = _values.constBegin(); it != _values.constEnd(); ++it)
        result.insert(it.key(), it.value());
    return result;
}

void ZRUserDefaults::registerDefaults(const QVariantMap &defaults)
{
    QWriteLocker lock(&_lock);
    for (auto it = defaults.constBegin(); it != defaults.constEnd(); ++it) {
        _registered.insert(it.key(), it.value());
        if (!_values.contains(it.key()))
            _answers.insert(it.key(), it.value());
    }
}

void ZRUserDefaults::setObject(const QVariant &value, const QString &key)
{
    {
        QWriteLocker lock(&_lock);
        if (!value.isValid()) {
            if (!_values.contains(key))
                return;
            _values.remove(key);
            if (const auto registered = _registered.constFind(key); registered != _registered.constEnd())
                _answers.insert(key, *registered);
            else
                _answers.remove(key);
        } else {
            auto it = _values.find(key);
            if (it != _values.end() && *it == value && it->typeId() == value.typeId())
                return;
            _values.insert(key, value);
            _answers.insert(key, value);
        }
        _dirty = true;
    }
    scheduleWrite();
    Q_EMIT valueChanged(key);
}

void ZRUserDefaults::removeObjectForKey(const QString &key)
{
    setObject(QVariant(), key);
}

void ZRUserDefaults::scheduleWrite()
{
    {
        QWriteLocker lock(&_lock);
        if (_writeScheduled)
            return;
        _writeScheduled = true;
    }
    // Many changes in one turn of the event loop give one write.
    QMetaObject::invokeMethod(this, [this] { synchronize(); }, Qt::QueuedConnection);
}

bool ZRUserDefaults::synchronize()
{
    QVariantMap snapshot;
    {
        QWriteLocker lock(&_lock);
        _writeScheduled = false;
        if (!_dirty)
            return true;
        _dirty = false;
        snapshot = _values;
    }
    QDir().mkpath(QFileInfo(_filePath).absolutePath());
    QString error;
    if (ZRPropertyList::writePropertyListToFile(snapshot, _filePath, &error))
        return true;
    ZRLog(QStringLiteral("cannot write preferences <%1>: %2").arg(_filePath, error));
    QWriteLocker lock(&_lock);
    _dirty = true;
    return false;
}

QStringList ZRUserDefaults::reloadFromFile()
{
    QVariantMap values;
    if (QFileInfo::exists(_filePath)) {
        QString error;
        const auto contents = ZRPropertyList::propertyListWithContentsOfFile(_filePath, &error);
        // A file caught half written, or damaged by hand: the values in memory stay.
        if (!contents || contents->typeId() != QMetaType::QVariantMap) {
            ZRLog(QStringLiteral("cannot read changed preferences <%1>: %2").arg(_filePath, error));
            return {};
        }
        values = contents->toMap();
    }
    QStringList changed;
    {
        QWriteLocker lock(&_lock);
        if (_dirty)
            return {};
        QStringList keys = _values.keys() + values.keys();
        keys.removeDuplicates();
        for (const QString &key : std::as_const(keys)) {
            if (_values.value(key) != values.value(key) || _values.contains(key) != values.contains(key))
                changed << key;
        }
        _values = values;
        rebuildAnswers();
    }
    for (const QString &key : std::as_const(changed))
        Q_EMIT valueChanged(key);
    return changed;
}
