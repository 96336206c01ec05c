// Names of the user defaults that the controller reads, registers or writes.
#pragma once

#include <QLatin1String>

namespace ZRPreferenceKey
{

// Start-up, window and quitting.
inline constexpr QLatin1String ApplicationMode("Application Mode");
inline constexpr QLatin1String
    MainWindowVisibleOnLaunch("Application Mode: Dock: Main Window Visible On Launch");
inline constexpr QLatin1String BackgroundLaunch("Application Mode: Dock: Background Launch");
inline constexpr QLatin1String PreferencesSection("Preferences Section");
inline constexpr QLatin1String PreserveTitleBar("Preserve Title Bar");
inline constexpr QLatin1String FullScreenModeBehavior("Full Screen Mode Behavior");
inline constexpr QLatin1String RememberSelection("Remember Selection");
inline constexpr QLatin1String SelectedURLs("Selected URLs");
inline constexpr QLatin1String QuitProcedure("Quit Procedure");
inline constexpr QLatin1String RemoveInactiveDuplicatesOnQuit("Remove Inactive Duplicates On Quit");
inline constexpr QLatin1String QuitOnClose("Quit On Close");
inline constexpr QLatin1String QuitOnCloseCleanSlateOnly("Quit On Close: Clean Slate Only");
inline constexpr QLatin1String StoreMetadataLocally("Store Metadata Locally");
inline constexpr QLatin1String AutoResumeAfterSleepDelay("Auto-Resume After Sleep: Delay");
inline constexpr QLatin1String RubberWindow("Rubber Window");
inline constexpr QLatin1String UselessAnimations("Useless Animations");

// Intake, display and history.
inline constexpr QLatin1String AutoStart("Auto-Start");
inline constexpr QLatin1String IntermediatesLocation("Intermediates Location");
inline constexpr QLatin1String InstantDuplicateCheck("Instant Duplicate Check");
inline constexpr QLatin1String SkipRedirectingServices("Skip Redirecting Services");
inline constexpr QLatin1String SwapDockCounters("Swap Dock Counters");
inline constexpr QLatin1String SuccessBounceMode("Success Bounce Mode");
inline constexpr QLatin1String SuccessHeartbeatMode("Success Heartbeat Mode");
inline constexpr QLatin1String NumberOfHistoryItems("Number Of History Items");
inline constexpr QLatin1String HistoryOfCompleteDownloads("History Of Complete Downloads");
inline constexpr QLatin1String NumberOfTopLevelHistoryItems("Number Of Top-Level History Items");
inline constexpr QLatin1String ToolbarFilterCriterion("Toolbar Filter Criterion");
inline constexpr QLatin1String HistorySearchCriterion("History Search Criterion");
inline constexpr QLatin1String ClearHistoryOnQuit("Clear History On Quit");
inline constexpr QLatin1String
    HistoryArchivesDownloadsByDateCompleted("History Archives Downloads By Date Completed");

// The list: sorting, filtering, display and the window's commands.
inline constexpr QLatin1String SortingCriterion("Sorting Criterion");
inline constexpr QLatin1String InvertSorting("Invert Sorting");
inline constexpr QLatin1String ProgressBarStyle("Progress Bar Style");
inline constexpr QLatin1String URLOpeningInterval("URL Opening Interval");
inline constexpr QLatin1String DisplayLocationsAsNames("Display Locations As Names");
inline constexpr QLatin1String DownloadFolderPromptAllowsFilenameEditing(
    "Download Folder Prompt Allows Filename Editing");
inline constexpr QLatin1String UseStatusItemMetaSubmenu("Use Status Item Meta Submenu");

// The schedule.
inline constexpr QLatin1String ScheduleQueue("Schedule: Queue");
inline constexpr QLatin1String ScheduleQueueTime("Schedule: Queue: Time");
inline constexpr QLatin1String SchedulePause("Schedule: Pause");
inline constexpr QLatin1String SchedulePauseTime("Schedule: Pause: Time");
inline constexpr QLatin1String SchedulePauseRadical("Schedule: Pause: Radical");

// Status summary and all-done procedures.
inline constexpr QLatin1String AutoQuit("Auto-Quit");
inline constexpr QLatin1String AutoClearSuccesses("Auto-Clear Successes");
inline constexpr QLatin1String AutoClearLemons("Auto-Clear Lemons");
inline constexpr QLatin1String CoalesceUserNotifications("Coalesce User Notifications");
inline constexpr QLatin1String InvertUserNotifications("Invert User Notifications");
inline constexpr QLatin1String PrivateDownloading("Private Downloading");
inline constexpr QLatin1String
    PrivateDownloadingSendsUserNotifications("Private Downloading Sends User Notifications");

// Set only in the preferences window (the queue and the engine read them through their own classes).
inline constexpr QLatin1String NumberOfConcurrentDownloads("Number Of Concurrent Downloads");
inline constexpr QLatin1String NumberOfConcurrentDownloadsPerHost("Number Of Concurrent Downloads Per Host");
inline constexpr QLatin1String AutoRetreat("Auto-Retreat");
inline constexpr QLatin1String StorePasswordsInKeychain("Store Passwords In Keychain");
inline constexpr QLatin1String ToolbarButtonExplanationSuppressionSuffix(": Suppress Toolbar Button Explanation");
// In the defaults shared with the browser extension.
inline constexpr QLatin1String SafariExtensionFilter("Safari Extension Filter");

} // namespace ZRPreferenceKey
