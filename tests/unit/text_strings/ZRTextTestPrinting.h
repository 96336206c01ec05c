// Readable test failure messages for Qt strings.
#pragma once

#include <QString>
#include <QStringList>

#include <ostream>

inline void PrintTo(const QString &string, std::ostream *stream)
{
    *stream << '"' << string.toStdString() << '"';
}
