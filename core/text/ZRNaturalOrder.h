// The natural string order used for file lists, fragments, downloads and menus: empty strings after
// non-empty ones, otherwise case-insensitive with runs of digits compared by value ("file2" < "file10").
#pragma once

#include <QString>

// Thread-safe. Negative when a sorts before b, 0 when they are equal, positive otherwise.
int ZRNaturalCompare(const QString &a, const QString &b);

// Thread-safe. A strict weak order for std::sort and friends.
inline bool ZRNaturalLessThan(const QString &a, const QString &b)
{
    return ZRNaturalCompare(a, b) < 0;
}
