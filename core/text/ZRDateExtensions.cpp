#include "core/text/ZRDateExtensions.h"

#include "core/text/ZRTextICU.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTimeZone>

#include <unicode/datefmt.h>
#include <unicode/timezone.h>

#include <algorithm>
#include <memory>

namespace
{

QString localized(const char *key)
{
    return QCoreApplication::translate("ZRDateExtensions", key);
}

std::function<QDateTime()> &clockOverride()
{
    static std::function<QDateTime()> now;
    return now;
}

int localOffsetAt(qint64 secondsSinceEpoch)
{
    return QDateTime::fromSecsSinceEpoch(secondsSinceEpoch, Qt::LocalTime).offsetFromUtc();
}

// Whether the moment reads as the wanted wall-clock time (seconds since the epoch as if it were UTC).
bool readsAs(qint64 moment, qint64 wallClock)
{
    return moment + localOffsetAt(moment) == wallClock;
}

icu::Locale formattingLocale()
{
    const QLocale locale;
    // ICU's root locale writes dates as "2026 M12 6, Sun"; the C locale reads better in English.
    if (locale.language() == QLocale::C)
        return icu::Locale("en_US_POSIX");
    return icu::Locale(locale.name().toLatin1().constData());
}

// One formatter per style, made again when the locale changes.
struct SharedDateFormatter {
    QString localeName;
    std::unique_ptr<icu::DateFormat> formatter;
};

} // namespace

namespace ZRExtensions
{

QDateTime currentDate()
{
    const std::function<QDateTime()> &now = clockOverride();
    return now ? now() : QDateTime::currentDateTime();
}

void setCurrentDateFunctionForTesting(std::function<QDateTime()> now)
{
    clockOverride() = std::move(now);
}

QDateTime dateWithHour(const QDate &day, int hour, int minute, int second)
{
    const QTime time(std::clamp(hour, 0, 23), std::clamp(minute, 0, 59), std::clamp(second, 0, 59));
    const qint64 wallClock = QDateTime(day, time, Qt::UTC).toSecsSinceEpoch();
    // The offsets on either side of the day's transition, if it has one.
    const int offsetBefore = localOffsetAt(wallClock - 86400);
    const int offsetAfter = localOffsetAt(wallClock + 86400);
    const qint64 early = wallClock - std::max(offsetBefore, offsetAfter);
    const qint64 late = wallClock - std::min(offsetBefore, offsetAfter);
    qint64 moment;
    if (readsAs(early, wallClock))
        moment = early;
    else if (readsAs(late, wallClock))
        moment = late;
    else
        // Skipped by the clock: as the clock before the jump would have read it.
        moment = wallClock - offsetBefore;
    return QDateTime::fromSecsSinceEpoch(moment, Qt::LocalTime);
}

QDateTime dateWithHour(const QDateTime &date, int hour, int minute, int second)
{
    return dateWithHour(date.toLocalTime().date(), hour, minute, second);
}

QDateTime nextDateMatchingTimeOfDay(const QDateTime &date, double *timeIntervalRemaining)
{
    return nextDateMatchingTimeOfDay(date.toLocalTime().time(), timeIntervalRemaining);
}

QDateTime nextDateMatchingTimeOfDay(const QTime &time, double *timeIntervalRemaining)
{
    const QDateTime now = currentDate().toLocalTime();
    QDateTime next = dateWithHour(now.date(), time.hour(), time.minute(), time.second());
    // The same second (or any earlier one) is tomorrow's.
    if (now.msecsTo(next) < 1000)
        next = dateWithHour(now.date().addDays(1), time.hour(), time.minute(), time.second());
    if (timeIntervalRemaining)
        *timeIntervalRemaining = double(now.msecsTo(next)) / 1000.0;
    return next;
}

double timeIntervalToNextDateMatchingTimeOfDay(const QDateTime &date)
{
    double interval = 0;
    nextDateMatchingTimeOfDay(date, &interval);
    return interval;
}

double timeIntervalToNextDateMatchingTimeOfDay(const QTime &timeOfDay)
{
    double interval = 0;
    nextDateMatchingTimeOfDay(timeOfDay, &interval);
    return interval;
}

QString fuzzyDescription(const QDateTime &date)
{
    const qint64 seconds = date.msecsTo(currentDate()) / 1000;
    if (seconds <= 59)
        return localized("just now");
    if (seconds <= 119)
        return localized("1 minute ago");
    if (seconds <= 659)
        return localized("%1 minutes ago").arg(seconds / 60);
    return relativeDateDescription(date, true);
}

QString relativeDateDescription(const QDateTime &date, bool includeTime)
{
    static SharedDateFormatter shared[2];
    SharedDateFormatter &entry = shared[includeTime ? 1 : 0];
    const icu::Locale locale = formattingLocale();
    const QString localeName = QString::fromLatin1(locale.getName());
    if (!entry.formatter || entry.localeName != localeName) {
        entry.localeName = localeName;
        entry.formatter.reset(
            includeTime ? icu::DateFormat::createDateTimeInstance(icu::DateFormat::kFullRelative,
                                                                  icu::DateFormat::kShort, locale)
                        : icu::DateFormat::createDateInstance(icu::DateFormat::kFullRelative, locale));
        // Menu titles and the end of a status text stand alone: "Today", not "today".
        UErrorCode status = U_ZERO_ERROR;
        if (entry.formatter)
            entry.formatter->setContext(UDISPCTX_CAPITALIZATION_FOR_STANDALONE, status);
    }
    if (!entry.formatter)
        return QLocale().toString(date.toLocalTime(),
                                  includeTime ? QLocale::LongFormat : QLocale::ShortFormat);
    // The zone the rest of the program reads its local times in, which may have changed meanwhile.
    const QByteArray zone = QTimeZone::systemTimeZoneId();
    if (!zone.isEmpty())
        entry.formatter->adoptTimeZone(
            icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zone.constData())));
    icu::UnicodeString text;
    entry.formatter->format(UDate(date.toMSecsSinceEpoch()), text);
    return ZRTextICU::toQString(text);
}

} // namespace ZRExtensions
