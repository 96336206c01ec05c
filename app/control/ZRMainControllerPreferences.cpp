// What the preferences window's controls do beyond storing their keys: switches, pop-ups, the
// throttle, user-agent and browser-filter fields, and the application mode.
#include "app/control/ZRMainController.h"

#include "app/control/ZRPreferenceKeys.h"
#include "core/download/ZRDownloadKeys.h"
#include "core/download/ZRDownloadWorkerPrototype.h"
#include "core/download/ZRHTTPRequestDownloadWorker.h"
#include "core/download/ZRPopUpMenu.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRAddressExtensions.h"

#include <QCoreApplication>
#include <QLocale>

#include <unicode/regex.h>

#include <cmath>
#include <memory>

using namespace ZRPreferenceKey;

namespace
{

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

QString localized(const char *key)
{
    return QCoreApplication::translate("ZRMainController", key);
}

// Far above any line, far below where thousands of bytes would overflow.
constexpr double maximumThrottleThousands = 1e12;

} // namespace

void ZRMainController::toggleBooleanPreference(const QString &key, bool on)
{
    // Switches that flip through their own operation, so that caches and the list follow.
    if (key == PrivateDownloading) {
        if (defaults().boolForKey(key) != on)
            togglePrivateDownloading();
        return;
    }
    if (key == DisplayLocationsAsNames) {
        if (defaults().boolForKey(key) != on)
            toggleLocationKeyDisplayNames();
        return;
    }
    if (key == ZRDownloadDefaultsKeys::AccelerationEnabled) {
        ZRDownload::setAccelerates(on);
        updateDownloadListDisplay();
        return;
    }
    if (key == ZRDownloadWorkerDefaultsKeys::ThrottleEnabled) {
        ZRHTTPRequestDownloadWorker::setThrottled(on);
        return;
    }

    defaults().setBool(on, key);
    if (key == AutoClearSuccesses || key == AutoClearLemons) {
        if (on)
            vanishDownloads(downloadsMatchingStatusMask(key == AutoClearSuccesses ? ZRDownloadStatusComplete
                                                                                  : ZRDownloadStatusAborted));
    } else if (key == AutoQuit) {
        // Turning it on must not quit at once because everything happens to be done.
        _mayTriggerQuitOnAllDone = false;
    } else if (key == HistoryOfCompleteDownloads) {
        if (on)
            ZRHistorian::historian()->checkNumberOfItems(false, true);
    } else if (key == ZRFolderRulesPreferenceKey::SortDownloadsFoldersByName) {
        updateDownloadsFolderSelector();
    } else if (key == ZRFolderRulesPreferenceKey::SubdivisionFormatAllowDashes) {
        rulesPreferencesDidChange({key});
    } else if (key == ZRDownloadDefaultsKeys::DisplayAccelerationConnections ||
               key == ZRDownloadDefaultsKeys::PrivateDownloadingAddsGenericPrefix ||
               key == ZRDownloadDefaultsKeys::PrivateDownloadingPreservesExtensions) {
        for (const ZRDownloadPtr &download : std::as_const(_downloads))
            download->invalidateIconAndNameCache();
        updateDownloadListDisplay();
    }
}

bool ZRMainController::setBasicDownloadMode(bool basic)
{
    return !ZRHTTPRequestDownloadWorker::setAvailable(!basic);
}

void ZRMainController::setQuitOnCloseState(int state)
{
    defaults().setBool(state != 0, QuitOnClose);
    defaults().setBool(state == 1, QuitOnCloseCleanSlateOnly);
    // The window's edited mark says whether closing it now would quit with active downloads.
    updateStatusAndForceUpdateApplicationImage(false);
}

int ZRMainController::quitOnCloseState()
{
    if (!defaults().boolForKey(QuitOnClose))
        return 0;
    return defaults().boolForKey(QuitOnCloseCleanSlateOnly) ? 1 : 2;
}

bool ZRMainController::changeListPreference(const QString &key, qint64 tag, ZRPopUpMenu *perHostSelector)
{
    if (key == ApplicationMode) {
        const qint64 previous = defaults().integerForKey(ApplicationMode);
        if (previous == tag)
            return true;
        defaults().setInteger(tag, ApplicationMode);
        updateActivationPolicy(true);
        const ZRActivationPolicy wanted =
            tag == 1 ? ZRActivationPolicy::Accessory : ZRActivationPolicy::Regular;
        if (_userInterface && _userInterface->activationPolicy() != wanted) {
            // The front end could not switch: the old mode stays.
            defaults().setInteger(previous, ApplicationMode);
            updateActivationPolicy(true);
            runAlert({localized("Not now..."),
                      localized("Please try that again when there are no active downloads."),
                      {localized("Understood")},
                      ZRAlert::Style::Warning});
            return false;
        }
        updateStatusItem();
        return true;
    }
    if (key == ZRDownloadWorkerDefaultsKeys::FilenameExtensionPolicy) {
        ZRDownloadWorkerPrototype::setExtensionPolicy(tag);
    } else if (key == NumberOfConcurrentDownloads) {
        ZRDownload::setNumberOfConcurrentDownloads(tag, perHostSelector);
    } else if (key == NumberOfConcurrentDownloadsPerHost) {
        ZRDownload::setNumberOfConcurrentDownloadsPerHost(tag);
        updateDownloadListDisplay();
    } else if (key == ZRDownloadDefaultsKeys::AccelerationChannels) {
        ZRDownload::setAccelerationFactor(tag);
    } else if (key == NumberOfHistoryItems) {
        defaults().setInteger(tag, key);
        ZRHistorian::historian()->checkNumberOfItems(true, false);
    } else {
        defaults().setInteger(tag, key);
    }
    return true;
}

QString ZRMainController::updateThrottleLimit(const QString &text)
{
    bool ok = false;
    double value = QLocale().toDouble(ZRExtensions::trimmedString(text), &ok);
    if (!ok || !std::isfinite(value) || value < 1)
        value = 1;
    const qint64 thousands = qint64(std::llround(std::min(value, maximumThrottleThousands)));
    ZRHTTPRequestDownloadWorker::setThrottleLimit(quint64(thousands) * 1000);
    return QLocale().toString(thousands);
}

QString ZRMainController::throttleFieldText()
{
    const quint64 limit = ZRHTTPRequestDownloadWorker::throttleLimit();
    return QLocale().toString(qint64(limit <= 1000 ? 1 : limit / 1000));
}

QStringList ZRMainController::throttleFieldSuggestions()
{
    QStringList suggestions;
    for (const qint64 value : {100, 200, 300, 400, 500, 1000, 2000, 3000, 4000, 5000})
        suggestions.append(QLocale().toString(value));
    return suggestions;
}

void ZRMainController::setCustomUserAgent(const QString &text)
{
    const QString trimmed = ZRExtensions::trimmedString(text);
    if (trimmed.isEmpty())
        defaults().removeObjectForKey(ZRDownloadWorkerDefaultsKeys::CustomUserAgent);
    else
        defaults().setObject(trimmed, ZRDownloadWorkerDefaultsKeys::CustomUserAgent);
}

void ZRMainController::setSafariExtensionFilter(const QString &text)
{
    ZRUserDefaults::sharedGroupDefaults().setObject(text, SafariExtensionFilter);
}

QString ZRMainController::safariExtensionFilter()
{
    return ZRUserDefaults::sharedGroupDefaults().stringForKey(SafariExtensionFilter);
}

bool ZRMainController::isUsableSafariExtensionFilter(const QString &text)
{
    const QString trimmed = ZRExtensions::trimmedString(text);
    if (trimmed.isEmpty())
        return false;
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    const icu::UnicodeString pattern(reinterpret_cast<const char16_t *>(trimmed.constData()),
                                     int32_t(trimmed.size()));
    const std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(pattern, UREGEX_CASE_INSENSITIVE, parseError, status));
    return U_SUCCESS(status) && compiled;
}

QString ZRMainController::toolbarButtonExplanationSuppressionKey(const QString &section)
{
    return section + ToolbarButtonExplanationSuppressionSuffix;
}
