// Numbers, file sizes and durations on a shared ICU number formatter.
#include "core/text/ZRNumberFormatting.h"

#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRTextICU.h"
#include "core/text/ZRTextKeys.h"

#include <QCoreApplication>
#include <QLocale>

#include <unicode/dcfmtsym.h>
#include <unicode/numberformatter.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <mutex>
#include <optional>
#include <string>

namespace
{

icu::Locale formattingLocale()
{
    const QLocale locale;
    if (locale.language() == QLocale::C)
        return icu::Locale::getRoot();
    return icu::Locale(locale.name().toLatin1().constData());
}

// Read once, at the first number.
struct NumberPreferences {
    bool grouping = true;
    // "Numbers: Fraction Digits" when it was set and not negative.
    std::optional<int> fractionDigits;
};

const NumberPreferences &numberPreferences()
{
    static const NumberPreferences preferences = [] {
        const ZRUserDefaults &defaults = ZRUserDefaults::standardUserDefaults();
        NumberPreferences read;
        read.grouping = !defaults.boolForKey(ZRTextDefaultsKeys::NumbersDisableGroupingSeparator);
        const QVariant digits = defaults.objectForKey(ZRTextDefaultsKeys::NumbersFractionDigits);
        if (digits.isValid() && defaults.integerForKey(ZRTextDefaultsKeys::NumbersFractionDigits) >= 0)
            read.fractionDigits =
                int(std::min<qint64>(defaults.integerForKey(ZRTextDefaultsKeys::NumbersFractionDigits), 20));
        return read;
    }();
    return preferences;
}

struct SharedFormatter {
    icu::number::LocalizedNumberFormatter formatter;
};

SharedFormatter makeSharedFormatter()
{
    const ZRUserDefaults &defaults = ZRUserDefaults::standardUserDefaults();
    const icu::Locale locale = formattingLocale();
    SharedFormatter shared{icu::number::NumberFormatter::withLocale(locale)
                               .roundingMode(UNUM_ROUND_HALFUP)
                               .grouping(numberPreferences().grouping ? UNUM_GROUPING_AUTO : UNUM_GROUPING_OFF)};
    if (defaults.boolForKey(ZRTextDefaultsKeys::NumbersLeaveUnlocalized)) {
        UErrorCode status = U_ZERO_ERROR;
        icu::DecimalFormatSymbols symbols(locale, status);
        if (U_SUCCESS(status)) {
            symbols.setSymbol(icu::DecimalFormatSymbols::kDecimalSeparatorSymbol, icu::UnicodeString(u"."));
            symbols.setSymbol(icu::DecimalFormatSymbols::kGroupingSeparatorSymbol, icu::UnicodeString(u","));
            shared.formatter = shared.formatter.symbols(symbols);
        }
    }
    return shared;
}

const SharedFormatter &sharedFormatter()
{
    static std::once_flag once;
    static std::optional<SharedFormatter> shared;
    std::call_once(once, [] { shared = makeSharedFormatter(); });
    return *shared;
}

// What the formatter needs to know of a number.
struct Number {
    enum class Kind { Signed, Unsigned, Floating } kind;
    qint64 signedValue = 0;
    quint64 unsignedValue = 0;
    double doubleValue = 0;
};

// The untranslated program (the C locale) and American English write numbers as ICU's root data does:
// "." before the fraction and "," between groups of three. Their numbers are made here, so that a
// progress line does not load the formatter's locale data for the rest of the run.
bool formatsWithoutLocaleData()
{
    static const bool plain = [] {
        const QLocale locale;
        return locale.language() == QLocale::C
            || (locale.language() == QLocale::English && locale.territory() == QLocale::UnitedStates);
    }();
    return plain;
}

// Digits (an optional "-", integer digits, an optional "." and fraction digits) rounded half up to
// the given number of fraction digits, trailing zeros dropped when trimming, groups separated.
QString formatDecimalDigits(std::string text, int digits, bool trim, bool grouping)
{
    const bool negative = !text.empty() && text.front() == '-';
    if (negative)
        text.erase(0, 1);
    const std::size_t point = text.find('.');
    std::string integer = text.substr(0, point);
    std::string fraction = point == std::string::npos ? std::string() : text.substr(point + 1);
    if (fraction.size() > std::size_t(digits)) {
        const bool up = fraction[std::size_t(digits)] >= '5';
        fraction.resize(std::size_t(digits));
        if (up) {
            std::string all = integer + fraction;
            std::size_t i = all.size();
            while (i > 0 && all[i - 1] == '9')
                all[--i] = '0';
            if (i == 0)
                all.insert(all.begin(), '1');
            else
                ++all[i - 1];
            integer = all.substr(0, all.size() - fraction.size());
            fraction = all.substr(all.size() - fraction.size());
        }
    }
    if (trim) {
        while (!fraction.empty() && fraction.back() == '0')
            fraction.pop_back();
    } else {
        fraction.resize(std::size_t(digits), '0');
    }
    QString result;
    if (negative)
        result += u'-';
    for (std::size_t i = 0; i < integer.size(); ++i) {
        if (grouping && i > 0 && (integer.size() - i) % 3 == 0)
            result += u',';
        result += QLatin1Char(integer[i]);
    }
    if (!fraction.empty())
        result += u'.' + QString::fromLatin1(fraction.data(), qsizetype(fraction.size()));
    return result;
}

QString format(const Number &number, int numberOfFractionDigits, bool trim)
{
    const NumberPreferences &preferences = numberPreferences();
    int digits = numberOfFractionDigits;
    if (digits < 0)
        digits = preferences.fractionDigits.value_or(number.doubleValue < 10 ? 2 : 1);
    digits = std::min(digits, 20);
    if (formatsWithoutLocaleData() && (number.kind != Number::Kind::Floating || std::isfinite(number.doubleValue))) {
        const bool grouping = preferences.grouping;
        switch (number.kind) {
        case Number::Kind::Signed:
            return formatDecimalDigits(std::to_string(number.signedValue), digits, trim, grouping);
        case Number::Kind::Unsigned:
            return formatDecimalDigits(std::to_string(number.unsignedValue), digits, trim, grouping);
        case Number::Kind::Floating: {
            // The shortest digits that read back as the same double, as the formatter rounds them.
            char buffer[400];
            const auto end = std::to_chars(buffer, buffer + sizeof buffer, number.doubleValue, std::chars_format::fixed);
            if (end.ec == std::errc())
                return formatDecimalDigits(std::string(buffer, end.ptr), digits, trim, grouping);
            break;
        }
        }
    }
    const SharedFormatter &shared = sharedFormatter();
    const icu::number::LocalizedNumberFormatter formatter =
        shared.formatter.precision(icu::number::Precision::minMaxFraction(trim ? 0 : digits, digits));
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString text;
    switch (number.kind) {
    case Number::Kind::Signed:
        text = formatter.formatInt(number.signedValue, status).toString(status);
        break;
    case Number::Kind::Unsigned: {
        const std::string decimal = std::to_string(number.unsignedValue);
        text = formatter.formatDecimal(icu::StringPiece(decimal), status).toString(status);
        break;
    }
    case Number::Kind::Floating:
        text = formatter.formatDouble(number.doubleValue, status).toString(status);
        break;
    }
    if (U_FAILURE(status))
        return QString::number(number.doubleValue, 'f', digits);
    return ZRTextICU::toQString(text);
}

QString localized(const char *text)
{
    return QCoreApplication::translate("ZRFileSize", text);
}

} // namespace

namespace ZRExtensions
{

QString stringWithFloat(double value, int numberOfDecimals, bool localize)
{
    QString text = QString::asprintf("%.*f", std::max(numberOfDecimals, 0), value);
    if (localize)
        text.replace(u'.', QLocale().decimalPoint());
    // Only zeros behind a separator are trimmed; "100" keeps its zeros.
    const bool hasSeparator = text.contains(u'.') || text.contains(u',');
    if (hasSeparator && text.endsWith(u'0')) {
        while (text.endsWith(u'0'))
            text.chop(1);
        if (text.endsWith(u'.') || text.endsWith(u','))
            text.chop(1);
    }
    return text;
}

QString stringWithNumber(const QVariant &number, int numberOfFractionDigits, bool trim)
{
    if (!number.isValid() || number.isNull())
        return QString();
    Number value{Number::Kind::Floating};
    switch (number.typeId()) {
    case QMetaType::ULongLong:
    case QMetaType::ULong:
    case QMetaType::UInt:
    case QMetaType::UShort:
        value.kind = Number::Kind::Unsigned;
        value.unsignedValue = number.toULongLong();
        value.doubleValue = double(value.unsignedValue);
        break;
    case QMetaType::LongLong:
    case QMetaType::Long:
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::Bool:
        value.kind = Number::Kind::Signed;
        value.signedValue = number.toLongLong();
        value.doubleValue = double(value.signedValue);
        break;
    default: {
        bool ok = false;
        value.doubleValue = number.toDouble(&ok);
        if (!ok)
            return QString();
        break;
    }
    }
    return format(value, numberOfFractionDigits, trim);
}

QString stringWithDouble(double value, int numberOfFractionDigits, bool trim)
{
    return format(Number{Number::Kind::Floating, 0, 0, value}, numberOfFractionDigits, trim);
}

QString stringWithInteger(qint64 value)
{
    return format(Number{Number::Kind::Signed, value, 0, double(value)}, 0, true);
}

QString stringWithUnsignedInteger(quint64 value)
{
    return format(Number{Number::Kind::Unsigned, 0, value, double(value)}, 0, true);
}

} // namespace ZRExtensions

namespace ZRFileSize
{

QString partialFileSizeDescriptionWithBytesCount(quint64 bytesCount, quint64 overallBytesCount)
{
    if (bytesCount == 0)
        return QStringLiteral("-");
    const auto exponentOf = [](quint64 count) {
        int exponent = 0;
        for (; count >= 1000; count /= 1000)
            ++exponent;
        return exponent;
    };
    const int exponent = exponentOf(bytesCount);
    const double value = double(bytesCount) / std::pow(1000.0, exponent);
    const int digits = exponent <= 2 ? 1 : exponent - 1;
    const QString text = ZRExtensions::stringWithDouble(value, digits, true);
    if (overallBytesCount > 0 && exponentOf(overallBytesCount) == exponent)
        return text;
    static const char *const units[] = {
        QT_TRANSLATE_NOOP("ZRFileSize", " Bytes"), QT_TRANSLATE_NOOP("ZRFileSize", " KB"),
        QT_TRANSLATE_NOOP("ZRFileSize", " MB"),    QT_TRANSLATE_NOOP("ZRFileSize", " GB"),
        QT_TRANSLATE_NOOP("ZRFileSize", " TB"),    QT_TRANSLATE_NOOP("ZRFileSize", " PB"),
        QT_TRANSLATE_NOOP("ZRFileSize", " EB"),    QT_TRANSLATE_NOOP("ZRFileSize", " ZB"),
        QT_TRANSLATE_NOOP("ZRFileSize", " YB"),
    };
    if (exponent < int(std::size(units)))
        return text + localized(units[exponent]);
    return text;
}

QString fileSizeDescriptionWithBytesCount(quint64 bytesCount)
{
    return partialFileSizeDescriptionWithBytesCount(bytesCount, 0);
}

} // namespace ZRFileSize

QString ZRFormattedDuration(double seconds, bool clockStyle)
{
    // Whole seconds of the magnitude; NaN counts as 0 and values beyond 64 bits are held at the
    // largest one rather than overflowing.
    const double magnitude = std::fabs(seconds);
    quint64 total = 0;
    if (magnitude >= 18446744073709549568.0)
        total = std::numeric_limits<quint64>::max();
    else if (magnitude >= 1)
        total = quint64(magnitude);
    const quint64 hours = total / 3600;
    const quint64 minutes = total / 60 % 60;
    const quint64 secs = total % 60;
    if (clockStyle)
        return QString::asprintf("%02llu:%02llu:%02llu", hours, minutes, secs);
    if (total >= 86400) {
        const QString days = ZRExtensions::stringWithFloat(double(total) / 86400.0, 1, true);
        if (days == u"1")
            return QCoreApplication::translate("ZRFormattedDuration", "1 day");
        return QCoreApplication::translate("ZRFormattedDuration", "%1 days").arg(days);
    }
    if (total >= 3600)
        return QString::asprintf("%01llu:%02llu:%02llu", hours, minutes, secs);
    return QString::asprintf("%01llu:%02llu", minutes, secs);
}
