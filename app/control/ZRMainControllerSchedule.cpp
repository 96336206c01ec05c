// The controller's daily schedule: the whole queue starts at one time of day and pauses at another,
// each armed as a one-shot call that re-arms itself.
#include "app/control/ZRMainController.h"

#include "app/control/ZRPreferenceKeys.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRDateExtensions.h"
#include "core/text/ZRNumberFormatting.h"

#include <QTime>

#include <algorithm>

namespace
{

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

const QString hourKey = QStringLiteral("Hour");
const QString minuteKey = QStringLiteral("Minute");
const QString secondKey = QStringLiteral("Second");

constexpr int scheduledQueueDefaultHour = 22;
constexpr int scheduledPauseDefaultHour = 6;

// The stored time of day; the default hour only when none is stored, and 0 for missing entries.
QTime scheduleTimeWithIdentifier(const QString &identifier, int defaultHour)
{
    const QVariant stored = defaults().objectForKey(identifier);
    if (stored.typeId() != QMetaType::QVariantMap)
        return QTime(defaultHour, 0);
    const QVariantMap time = stored.toMap();
    const auto entry = [&time](const QString &key, int limit) {
        return int(std::clamp<qint64>(time.value(key).toLongLong(), 0, limit));
    };
    return QTime(entry(hourKey, 23), entry(minuteKey, 59), entry(secondKey, 59));
}

} // namespace

void ZRMainController::setScheduleDate(const QDateTime &date, const QString &identifier)
{
    const QTime time = date.toLocalTime().time();
    defaults().setObject(QVariantMap{{hourKey, qint64(time.hour())},
                                     {minuteKey, qint64(time.minute())},
                                     {secondKey, qint64(time.second())}},
                         identifier);
}

QDateTime ZRMainController::scheduleDateWithIdentifier(const QString &identifier, int defaultHour,
                                                       const QDateTime &referenceDate)
{
    const QDateTime reference = referenceDate.isValid() ? referenceDate : ZRExtensions::currentDate();
    const QTime time = scheduleTimeWithIdentifier(identifier, defaultHour);
    return ZRExtensions::dateWithHour(reference, time.hour(), time.minute(), time.second());
}

void ZRMainController::resetSchedule()
{
    disableSchedule();
    const auto arm = [this](const QString &enabledKey, const QString &timeKey, int defaultHour,
                            const char *logFormat, ZRDelayedCall &call, void (ZRMainController::*action)()) {
        if (!defaults().boolForKey(enabledKey))
            return;
        // From the stored time itself: today's date for it may have moved it past a gap in the clock.
        const double interval = ZRExtensions::timeIntervalToNextDateMatchingTimeOfDay(
            scheduleTimeWithIdentifier(timeKey, defaultHour));
        ZRLogDebug(QString::fromLatin1(logFormat).arg(ZRFormattedDuration(interval, true)));
        // A millisecond late rather than early: a call just before its second would find the same
        // second still ahead.
        call.schedule(interval + 0.001, [this, action] { (this->*action)(); });
    };
    arm(ZRPreferenceKey::ScheduleQueue, ZRPreferenceKey::ScheduleQueueTime, scheduledQueueDefaultHour,
        "next scheduled queue cycle in %1", _scheduledQueueCall, &ZRMainController::scheduledQueueAll);
    arm(ZRPreferenceKey::SchedulePause, ZRPreferenceKey::SchedulePauseTime, scheduledPauseDefaultHour,
        "next scheduled pause in %1", _scheduledPauseCall, &ZRMainController::scheduledPauseAll);
}

void ZRMainController::disableSchedule()
{
    _scheduledQueueCall.cancel();
    _scheduledPauseCall.cancel();
}

void ZRMainController::scheduledQueueAll()
{
    ZRLogDebug(QStringLiteral("schedule: queue"));
    if (!_downloads.isEmpty()) {
        const ZRDownloadList snapshot = _downloads;
        for (const ZRDownloadPtr &download : snapshot)
            download->addToQueue();
        updateDownloadListDisplay();
    }
    resetSchedule();
}

void ZRMainController::scheduledPauseAll()
{
    ZRLogDebug(QStringLiteral("schedule: pause"));
    // Without the radical setting running downloads go on; only the queue stops feeding new ones.
    const quint64 mask = defaults().boolForKey(ZRPreferenceKey::SchedulePauseRadical)
                             ? ZRDownloadStatusMaskActive
                             : ZRDownloadStatusQueued;
    const ZRDownloadList matching = downloadsMatchingStatusMask(mask);
    for (const ZRDownloadPtr &download : matching)
        download->pause();
    if (!matching.isEmpty())
        updateDownloadListDisplay();
    resetSchedule();
}

void ZRMainController::toggleScheduleUserDefault(const QString &key, int segment)
{
    const bool on = !defaults().boolForKey(key);
    defaults().setBool(on, key);
    if (_userInterface)
        _userInterface->showScheduleState(segment, on);
}

void ZRMainController::toggleScheduledQueuing()
{
    toggleScheduleUserDefault(ZRPreferenceKey::ScheduleQueue, 0);
    resetSchedule();
}

void ZRMainController::toggleScheduledPausing()
{
    toggleScheduleUserDefault(ZRPreferenceKey::SchedulePause, 1);
    resetSchedule();
}

void ZRMainController::setScheduledPausingRadical(bool radical)
{
    // Read when the pause comes: nothing to re-arm.
    defaults().setBool(radical, ZRPreferenceKey::SchedulePauseRadical);
}

void ZRMainController::changeScheduledTime(const QDateTime &date, bool queuingPicker)
{
    setScheduleDate(date,
                    queuingPicker ? ZRPreferenceKey::ScheduleQueueTime : ZRPreferenceKey::SchedulePauseTime);
    resetSchedule();
}

void ZRMainController::schedule(int segment)
{
    if (segment == 1)
        toggleScheduledPausing();
    else
        toggleScheduledQueuing();
    if (_userInterface)
        _userInterface->showToolbarButtonExplanationForPreferencesSection(QStringLiteral("Schedule"));
}

bool ZRMainController::isScheduleOn()
{
    return defaults().boolForKey(ZRPreferenceKey::ScheduleQueue) ||
           defaults().boolForKey(ZRPreferenceKey::SchedulePause);
}
