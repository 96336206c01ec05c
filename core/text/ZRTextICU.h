// Private bridge between QString and ICU strings for the text operations; not for other layers.
#pragma once

#include <QString>
#include <unicode/unistr.h>

namespace ZRTextICU
{

// QString and ICU both hold UTF-16 code units.
inline const char16_t *units(const QString &s)
{
    return reinterpret_cast<const char16_t *>(s.constData());
}

inline int32_t length(const QString &s)
{
    return int32_t(s.size());
}

// A read-only alias: valid only while s is alive and unchanged.
inline icu::UnicodeString alias(const QString &s)
{
    return icu::UnicodeString(false, units(s), length(s));
}

inline icu::UnicodeString copy(const QString &s)
{
    return icu::UnicodeString(units(s), length(s));
}

inline QString toQString(const icu::UnicodeString &s)
{
    return QString(reinterpret_cast<const QChar *>(s.getBuffer()), s.length());
}

} // namespace ZRTextICU
