// Well-known folders and "~" handling.
#pragma once

#include <QString>

namespace ZRExtensions {

// "/home/ann/x" -> "~/x"; other paths unchanged.
QString stringByAbbreviatingWithTildeInPath(const QString &path);
// "~/x" and "~" -> below the home folder; other paths unchanged.
QString stringByExpandingTildeInPath(const QString &path);

} // namespace ZRExtensions

// $XDG_DATA_HOME/Quorvel, created (0700) when missing: Queue.plist, History.plist, Replacements.plist, Downloads/.
QString ZRApplicationSupportFolderPath();
// $XDG_CONFIG_HOME/Quorvel: Preferences.plist and Shared.plist.
QString ZRConfigurationFolderPath();
// The XDG download folder (normally ~/Downloads).
QString ZRDownloadsFolderPath();
QString ZRTemporaryFolderPath();

// True when the environment holds "APP_SANDBOX_CONTAINER_ID" or HOME contains "/Library/Containers/";
// computed once per process. Never true for an ordinary Linux session.
bool ZRIsSandboxed();
// Whether a session bus can be there at all: an address of its own in DBUS_SESSION_BUS_ADDRESS, or
// the user's runtime socket ($XDG_RUNTIME_DIR/bus). Without either, asking the bus library would
// only start its machinery (a thread, an attempt to launch a bus) to find out the same.
bool ZRSessionBusMayExist();
