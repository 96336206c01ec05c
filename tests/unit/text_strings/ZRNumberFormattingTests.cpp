// Number, size and duration texts. The shared number formatter reads its locale and preferences once
// per process, so the cases that change them need a process of their own (as ctest runs them).
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRNumberFormatting.h"
#include "core/text/ZRTextKeys.h"
#include "tests/unit/text_strings/ZRTextTestPrinting.h"

#include <gtest/gtest.h>

#include <QLocale>

#include <unicode/numberformatter.h>

#include <random>

#include <cmath>
#include <limits>

using namespace Qt::Literals::StringLiterals;
using namespace ZRExtensions;

namespace
{

enum class FormatterUse { None, Standard, Custom };
FormatterUse formatterUse = FormatterUse::None;

// The formatter as an English-speaking user without number preferences has it.
bool useStandardFormatter()
{
    if (formatterUse == FormatterUse::Custom)
        return false;
    if (formatterUse == FormatterUse::None)
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    formatterUse = FormatterUse::Standard;
    return true;
}

// A formatter made after the caller set its locale and preferences.
bool useCustomFormatter()
{
    if (formatterUse != FormatterUse::None)
        return false;
    formatterUse = FormatterUse::Custom;
    return true;
}

#define REQUIRE_FORMATTER(use)                                                                               \
    if (!(use))                                                                                              \
    GTEST_SKIP() << "the number formatter was made earlier in this process"

TEST(NumberFormatting, FileSizes)
{
    REQUIRE_FORMATTER(useStandardFormatter());
    const std::pair<quint64, QString> rows[] = {
        {0, u"-"_s},
        {1, u"1 Bytes"_s},
        {999, u"999 Bytes"_s},
        {1000, u"1 KB"_s},
        {1500, u"1.5 KB"_s},
        {1550, u"1.6 KB"_s},
        {999999, u"1,000 KB"_s},
        {2000000, u"2 MB"_s},
        {3456789012, u"3.46 GB"_s},
        {1500000000000, u"1.5 TB"_s},
        {1234567890123456, u"1.2346 PB"_s},
        {std::numeric_limits<quint64>::max(), u"18.44674 EB"_s},
    };
    for (const auto &[count, expected] : rows)
        EXPECT_EQ(ZRFileSize::fileSizeDescriptionWithBytesCount(count), expected) << count;

    EXPECT_EQ(ZRFileSize::partialFileSizeDescriptionWithBytesCount(1500000, 4000000), u"1.5"_s);
    EXPECT_EQ(ZRFileSize::partialFileSizeDescriptionWithBytesCount(1500, 4000000), u"1.5 KB"_s);
    EXPECT_EQ(ZRFileSize::partialFileSizeDescriptionWithBytesCount(0, 4000000), u"-"_s);
    EXPECT_EQ(ZRFileSize::partialFileSizeDescriptionWithBytesCount(12, 40), u"12"_s);
}

TEST(NumberFormatting, Durations)
{
    REQUIRE_FORMATTER(useStandardFormatter());
    struct Row {
        double seconds;
        bool clock;
        QString expected;
    };
    const Row rows[] = {
        {3725, false, u"1:02:05"_s},
        {65, false, u"1:05"_s},
        {90000, false, u"1 day"_s},
        {3725, true, u"01:02:05"_s},
        {0, false, u"0:00"_s},
        {59.99, false, u"0:59"_s},
        {-65.5, false, u"1:05"_s},
        {86399, false, u"23:59:59"_s},
        {216000, false, u"2.5 days"_s},
        {172800, false, u"2 days"_s},
        {360000, true, u"100:00:00"_s},
        {std::nan(""), true, u"00:00:00"_s},
        {1e300, false, u"213503982334601.3 days"_s},
        {-std::numeric_limits<double>::infinity(), true, u"5124095576030431:00:15"_s},
    };
    for (const Row &row : rows)
        EXPECT_EQ(ZRFormattedDuration(row.seconds, row.clock), row.expected) << row.seconds;
}

TEST(NumberFormatting, NumbersWithTheStandardFormatter)
{
    REQUIRE_FORMATTER(useStandardFormatter());
    EXPECT_EQ(stringWithNumber(QVariant(), 2, true), QString());
    EXPECT_EQ(stringWithNumber(u"not a number"_s, 2, true), QString());
    EXPECT_EQ(stringWithNumber(2.5, -1, true), u"2.5"_s);
    EXPECT_EQ(stringWithNumber(2.5, -1, false), u"2.50"_s);
    EXPECT_EQ(stringWithNumber(12.25, -1, false), u"12.3"_s);
    EXPECT_EQ(stringWithNumber(qint64(7), -1, false), u"7.00"_s);
    EXPECT_EQ(stringWithDouble(2.675, 2, true), u"2.68"_s);
    EXPECT_EQ(stringWithDouble(0.125, 2, true), u"0.13"_s);
    EXPECT_EQ(stringWithDouble(-0.125, 2, true), u"-0.13"_s);
    EXPECT_EQ(stringWithDouble(3.0, 2, true), u"3"_s);
    EXPECT_EQ(stringWithDouble(1234567.891, 1, true), u"1,234,567.9"_s);
    EXPECT_EQ(stringWithInteger(-1234), u"-1,234"_s);
    EXPECT_EQ(stringWithInteger(std::numeric_limits<qint64>::min()), u"-9,223,372,036,854,775,808"_s);
    EXPECT_EQ(stringWithUnsignedInteger(std::numeric_limits<quint64>::max()),
              u"18,446,744,073,709,551,615"_s);
    EXPECT_EQ(stringWithNumber(QVariant::fromValue(std::numeric_limits<quint64>::max()), 0, true),
              u"18,446,744,073,709,551,615"_s);

    // American English numbers are made without the library's formatter: they must read as its own.
    UErrorCode status = U_ZERO_ERROR;
    const auto icuText = [&status](double value, int digits, bool trim) {
        const icu::UnicodeString text = icu::number::NumberFormatter::withLocale(icu::Locale("en_US"))
                                            .roundingMode(UNUM_ROUND_HALFUP)
                                            .precision(icu::number::Precision::minMaxFraction(trim ? 0 : digits, digits))
                                            .formatDouble(value, status)
                                            .toString(status);
        return QString(reinterpret_cast<const QChar *>(text.getBuffer()), text.length());
    };
    std::mt19937_64 random(7);
    std::vector<double> values = {0.0, -0.0, 0.5, 0.05, 0.005, -0.005, 9.995, 99.95, 999.5, 999.49, 1e15, 1e21,
                                  -123456.785, 2.5e-7, 1.0 / 3, 4503599627370497.0, 0.1 + 0.2};
    for (int i = 0; i < 300; ++i)
        values.push_back(std::ldexp(double(random() % 100000000) - 50000000, int(random() % 40) - 30));
    for (const double value : values) {
        for (const int digits : {0, 1, 2, 3}) {
            for (const bool trim : {true, false})
                EXPECT_EQ(stringWithDouble(value, digits, trim), icuText(value, digits, trim))
                    << value << " " << digits << " " << trim;
        }
    }
    EXPECT_TRUE(U_SUCCESS(status));
}

TEST(NumberFormatting, FloatsLoseTrailingZerosOnly)
{
    struct Row {
        double value;
        int decimals;
        QString expected;
    };
    const Row rows[] = {
        {2.5, 2, u"2.5"_s}, {3.0, 2, u"3"_s},       {0.0, 2, u"0"_s},      {100.0, 1, u"100"_s},
        {2.04, 1, u"2"_s},  {10.05, 3, u"10.05"_s}, {-1.50, 2, u"-1.5"_s}, {1234.5, 1, u"1234.5"_s},
    };
    for (const Row &row : rows)
        EXPECT_EQ(stringWithFloat(row.value, row.decimals, false), row.expected) << row.value;

    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(stringWithFloat(2.50, 2, true), u"2,5"_s);
    EXPECT_EQ(stringWithFloat(20.0, 1, true), u"20"_s);
    EXPECT_EQ(stringWithFloat(2.50, 2, false), u"2.5"_s);
    QLocale::setDefault(saved);
}

TEST(NumberFormattingPreferences, LocaleSeparators)
{
    REQUIRE_FORMATTER(useCustomFormatter());
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(stringWithDouble(1234567.25, 2, false), u"1.234.567,25"_s);
    EXPECT_EQ(ZRFileSize::fileSizeDescriptionWithBytesCount(3456789012), u"3,46 GB"_s);
    EXPECT_EQ(ZRFormattedDuration(216000, false), u"2,5 days"_s);
}

TEST(NumberFormattingPreferences, LeaveUnlocalized)
{
    REQUIRE_FORMATTER(useCustomFormatter());
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    ZRUserDefaults::standardUserDefaults().setBool(true, ZRTextDefaultsKeys::NumbersLeaveUnlocalized);
    EXPECT_EQ(stringWithDouble(1234567.25, 2, false), u"1,234,567.25"_s);
    EXPECT_EQ(ZRFileSize::fileSizeDescriptionWithBytesCount(1500), u"1.5 KB"_s);
    // Read once: later changes wait for the next start.
    ZRUserDefaults::standardUserDefaults().setBool(false, ZRTextDefaultsKeys::NumbersLeaveUnlocalized);
    EXPECT_EQ(stringWithDouble(0.5, 1, false), u"0.5"_s);
}

TEST(NumberFormattingPreferences, DisableGroupingSeparator)
{
    REQUIRE_FORMATTER(useCustomFormatter());
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    ZRUserDefaults::standardUserDefaults().setBool(true, ZRTextDefaultsKeys::NumbersDisableGroupingSeparator);
    EXPECT_EQ(stringWithDouble(1234567.25, 1, false), u"1234567.3"_s);
    EXPECT_EQ(stringWithUnsignedInteger(std::numeric_limits<quint64>::max()), u"18446744073709551615"_s);
    EXPECT_EQ(ZRFileSize::fileSizeDescriptionWithBytesCount(999999), u"1000 KB"_s);
}

TEST(NumberFormattingPreferences, FractionDigits)
{
    REQUIRE_FORMATTER(useCustomFormatter());
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    ZRUserDefaults::standardUserDefaults().setInteger(3, ZRTextDefaultsKeys::NumbersFractionDigits);
    EXPECT_EQ(stringWithDouble(2.5, -1, false), u"2.500"_s);
    EXPECT_EQ(stringWithDouble(25.0, -1, false), u"25.000"_s);
    EXPECT_EQ(stringWithDouble(2.5, -1, true), u"2.5"_s);
    // Explicit digits win over the preference.
    EXPECT_EQ(stringWithDouble(2.5, 1, false), u"2.5"_s);
    // Sizes name their digits and do not follow it.
    EXPECT_EQ(ZRFileSize::fileSizeDescriptionWithBytesCount(1550), u"1.6 KB"_s);
}

TEST(NumberFormattingPreferences, NegativeFractionDigitsFallBack)
{
    REQUIRE_FORMATTER(useCustomFormatter());
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    ZRUserDefaults::standardUserDefaults().setInteger(-1, ZRTextDefaultsKeys::NumbersFractionDigits);
    EXPECT_EQ(stringWithDouble(2.5, -1, false), u"2.50"_s);
    EXPECT_EQ(stringWithDouble(25.0, -1, false), u"25.0"_s);
}

} // namespace
