// User defaults set for one test (an invalid value removes the key) and removed afterwards.
#pragma once

#include "core/foundation/ZRUserDefaults.h"

#include <QStringList>
#include <initializer_list>
#include <utility>

class ZRScopedDefaults {
public:
    ZRScopedDefaults(std::initializer_list<std::pair<QString, QVariant>> values)
    {
        for (const auto &[key, value] : values) {
            ZRUserDefaults::standardUserDefaults().setObject(value, key);
            _keys.append(key);
        }
    }
    ~ZRScopedDefaults()
    {
        for (const QString &key : _keys)
            ZRUserDefaults::standardUserDefaults().removeObjectForKey(key);
    }
    ZRScopedDefaults(const ZRScopedDefaults &) = delete;
    ZRScopedDefaults &operator=(const ZRScopedDefaults &) = delete;

private:
    QStringList _keys;
};
