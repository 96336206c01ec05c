// Applications that open files and addresses, through GIO's desktop-file database.
//
// An application's "bundle identifier" is its desktop-file ID ("org.gnome.TextEditor.desktop"); its
// path or URL is the path of its desktop file.
#pragma once

#include <QList>
#include <QString>
#include <QUrl>

namespace ZRExtensions
{

// Thread-safe.

// The desktop file of the application with that ID; null when there is none.
QString applicationPathFromBundleID(const QString &bundleID);
// The desktop-file ID and the display name of the application whose desktop file is at the path;
// null when it is not one.
QString applicationBundleIDFromPath(const QString &applicationPath);
QString applicationDisplayNameFromPath(const QString &applicationPath);
// The theme icon name (or the image file) of the application; null when it has none.
QString applicationIconNameFromPath(const QString &applicationPath);

// Every application that can open files with the extension (case-insensitive, with or without the
// leading dot); asked once per extension and process, empty for an empty extension.
QList<QUrl> applicationURLsForExtension(const QString &extension);
// The default application for files with the extension; empty / null when there is none.
QUrl defaultApplicationURLForExtension(const QString &extension);
QString defaultApplicationBundleIDForExtension(const QString &extension);

// Main thread.

// Opens the address (or file URL) with its default application; whether it was launched.
bool openViaWorkspace(const QUrl &url);
// False without an ID or when no application has it; otherwise openWithApplicationFSRef.
bool openWithApplicationBundleID(const QUrl &url, const QString &bundleID);
bool openWithApplicationFSRef(const QUrl &url, const QString &applicationPath);
// Launches the application of the desktop file with the addresses; whether it was launched.
bool openURLsWithApplicationFSRef(const QList<QUrl> &urls, const QString &applicationPath);

} // namespace ZRExtensions
