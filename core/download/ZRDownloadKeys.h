// The names a download stores its values under: user-settings keys (which are also the keys of its
// archive dictionary), the request description, and the user defaults the record reads.
#pragma once

#include <QString>

// Keys of a download's user settings and of its archive dictionary.
namespace ZRDownloadKeys {

inline const QString OriginalURL = QStringLiteral("Original URL");
inline const QString ResponseURL = QStringLiteral("Response URL");
inline const QString StatusCode = QStringLiteral("Status Code");
inline const QString Name = QStringLiteral("Name");
inline const QString Date = QStringLiteral("Date");
inline const QString Done = QStringLiteral("Done");
inline const QString Alias = QStringLiteral("Alias");
inline const QString DownloadFile = QStringLiteral("Download File");
inline const QString DownloadFolder = QStringLiteral("Download Folder");
inline const QString Referer = QStringLiteral("Referer");
inline const QString Request = QStringLiteral("Request");
inline const QString RangesDisabled = QStringLiteral("Ranges Disabled");
inline const QString AccelerationFailed = QStringLiteral("Acceleration Failed");
inline const QString AccelerationWorkers = QStringLiteral("Acceleration Workers");
// What the first full response said of the file: its validator ("ETag", else "Last-Modified")
// and its length. A resume continues only that version of the file.
inline const QString ResumeValidator = QStringLiteral("Resume Validator");
inline const QString ResumeTotalLength = QStringLiteral("Resume Total Length");
// Why the last attempt failed, from the moment the download stops until it starts again: the error
// value as a dictionary of the entries below, with the error under it (a transport's or the
// system's) as "Underlying Error" of the same form.
inline const QString LastError = QStringLiteral("Last Error");
// Kept in memory only: never archived.
inline const QString DownloadPageTitle = QStringLiteral("Download Page Title");

// Only in the archive dictionary; the controller reads them.
inline const QString URL = QStringLiteral("URL");
inline const QString Paused = QStringLiteral("Paused");
inline const QString ResumePath = QStringLiteral("Resume Path");

// Entries of one element of "Acceleration Workers".
inline const QString AccelerationWorkerTarget = QStringLiteral("Target");
inline const QString AccelerationWorkerStart = QStringLiteral("Start");
inline const QString AccelerationWorkerEnd = QStringLiteral("End");

// Entries of "Last Error" and of its "Underlying Error".
inline const QString ErrorDomain = QStringLiteral("Domain");
inline const QString ErrorCode = QStringLiteral("Code");
inline const QString ErrorMessage = QStringLiteral("Message");
inline const QString UnderlyingError = QStringLiteral("Underlying Error");

// Entries of the "Request" dictionary (the spelling "Fieds" is what browsers' request files carry).
inline const QString RequestMethod = QStringLiteral("ZRQBPRequestMethod");
inline const QString RequestBody = QStringLiteral("ZRQBPRequestBody");
inline const QString RequestPartialHeaderFields = QStringLiteral("ZRQBPRequestPartialHeaderFieds");
inline const QString RequestAllHeaderFields = QStringLiteral("ZRQBPRequestAllHeaderFieds");

// The name of the metadata file inside a download bundle, and the bundle's folder extension.
inline const QString BundleMetadataFileName = QStringLiteral("Archive.quorvelinfo");
inline const QString BundleExtension = QStringLiteral(".quorvel");

} // namespace ZRDownloadKeys

// User defaults that the download record reads.
namespace ZRDownloadDefaultsKeys {

inline const QString PrivateDownloading = QStringLiteral("Private Downloading");
inline const QString PrivateDownloadingPreservesExtensions = QStringLiteral("Private Downloading Preserves Extensions");
inline const QString PrivateDownloadingAddsGenericPrefix = QStringLiteral("Private Downloading Adds Generic Prefix");
inline const QString DisplayLocationsAsNames = QStringLiteral("Display Locations As Names");
inline const QString RevealByLaunching = QStringLiteral("Reveal By Launching");

// The transfer lifecycle.
inline const QString AutoResume = QStringLiteral("Auto-Resume");
inline const QString AutoResumeIntervalThreshold = QStringLiteral("Auto-Resume: Interval Threshold");
inline const QString AutoResumeDelay = QStringLiteral("Auto-Resume: Delay");
inline const QString LastModifiedHeaderAdoption = QStringLiteral("Last-Modified Header Adoption");
inline const QString StoreMetadataLocally = QStringLiteral("Store Metadata Locally");
inline const QString DisplayAccelerationConnections = QStringLiteral("Display Acceleration Connections");
inline const QString UselessAnimations = QStringLiteral("Useless Animations");

// Several connections per download.
inline const QString AccelerationEnabled = QStringLiteral("Acceleration: Enabled");
inline const QString AccelerationHostWhitelist = QStringLiteral("Acceleration: Host Whitelist");
inline const QString AccelerationHostBlacklist = QStringLiteral("Acceleration: Host Blacklist");
inline const QString AccelerationChannels = QStringLiteral("Acceleration: Channels");
inline const QString AccelerationMinimumFractionSize = QStringLiteral("Acceleration: Minimum Fraction Size");

} // namespace ZRDownloadDefaultsKeys
