// Dates as the program schedules and shows them: the clock it reads (replaceable in tests), times of
// day in the local time zone, and relative texts ("2 minutes ago", "today at 10:15").
#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>

#include <functional>

namespace ZRExtensions
{

// Main thread.

// Now, as every schedule and relative text sees it; tests put another clock in (none restores the
// system's).
QDateTime currentDate();
void setCurrentDateFunctionForTesting(std::function<QDateTime()> now);

// The receiver's local day with the given time of day. A time that the day skips (the clock jumps
// forward) is read on the clock as it was before the jump, which lands just after the gap; a time
// the day has twice (the clock goes back) is its first occurrence. So each day has exactly one.
QDateTime dateWithHour(const QDateTime &date, int hour, int minute, int second);
QDateTime dateWithHour(const QDate &day, int hour, int minute, int second);

// The next moment, at least one second from now, with the receiver's local time of day; the
// seconds to it in *timeIntervalRemaining when asked.
QDateTime nextDateMatchingTimeOfDay(const QDateTime &date, double *timeIntervalRemaining = nullptr);
double timeIntervalToNextDateMatchingTimeOfDay(const QDateTime &date);
// The same for a time of day itself. A date made for a day whose clock skipped that time reads as
// the time after the gap, so the schedule goes from the stored time.
QDateTime nextDateMatchingTimeOfDay(const QTime &timeOfDay, double *timeIntervalRemaining = nullptr);
double timeIntervalToNextDateMatchingTimeOfDay(const QTime &timeOfDay);

// How long ago: "just now" up to 59 seconds (and for future moments), "1 minute ago", "%d minutes
// ago" up to 659 seconds, then the full relative date with a short time.
QString fuzzyDescription(const QDateTime &date);
// The date in the user's locale, full style with relative words ("today", "yesterday"), and a
// short time when asked.
QString relativeDateDescription(const QDateTime &date, bool includeTime);

} // namespace ZRExtensions
