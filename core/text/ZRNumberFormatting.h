// Numbers, file sizes and durations as displayed text.
//
// One shared ICU number formatter, made on first use with rounding half up. The preferences
// "Numbers: Disable Grouping Separator", "Numbers: Leave Unlocalized" ("." and "," as separators)
// and "Numbers: Fraction Digits" are read only then. The locale is QLocale's default one (the root
// locale for "C").
#pragma once

#include <QString>
#include <QVariant>

namespace ZRExtensions
{

// Thread-safe, all of them.

// The value with that many decimals (at least 1), trailing zeros and then a trailing separator
// removed: 2.50 -> "2.5", 3.00 -> "3". The locale's decimal separator when localising, else ".".
QString stringWithFloat(double value, int numberOfDecimals, bool localize);

// An integer or floating-point number through the shared formatter; "" for no number. Negative
// digits mean "Numbers: Fraction Digits" when set (and not negative), else 2 below 10 and 1 above.
// Trimming drops trailing zeros of the fraction.
QString stringWithNumber(const QVariant &number, int numberOfFractionDigits, bool trim);
QString stringWithDouble(double value, int numberOfFractionDigits, bool trim);
QString stringWithInteger(qint64 value);
QString stringWithUnsignedInteger(quint64 value);

} // namespace ZRExtensions

namespace ZRFileSize
{

// Decimal units, 1000 bytes to the kilobyte: "999 Bytes", "1.5 KB", "3.46 GB"; "-" for 0. Without
// the unit when the overall count (non-zero) has the same one, as in "12.5 of 40 MB".
QString partialFileSizeDescriptionWithBytesCount(quint64 bytesCount, quint64 overallBytesCount);
QString fileSizeDescriptionWithBytesCount(quint64 bytesCount);

} // namespace ZRFileSize

// "1:05", "1:02:05", "2.5 days"; in clock style "01:02:05" (hours may pass 24). The sign and the
// fraction of a second are dropped.
QString ZRFormattedDuration(double seconds, bool clockStyle);
