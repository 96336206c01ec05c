// Paths and folders: which folders may be touched, volumes, free file names, how paths are shown,
// sizes on disk, revealing and trashing.
//
// Paths are absolute file-system paths. A null QString stands for "none".
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

namespace ZRExtensions
{

// Thread-safe.

// "/dev", "/etc", "/tmp", "/usr", ... compared as whole paths, case-sensitively.
bool isTabooSystemPath(const QString &path);
// "Network", "Network/", "/Network" or "/Network/".
bool isNetworkPath(const QString &path);
// The name appended to the base folder (or the name alone without a base); null for an empty or
// negligible name and when the result is a network or taboo system path.
QString itemPathWithBasePath(const QString &name, const QString &basePath);
bool isFolderPath(const QString &path);
// Expands "~"; true when the folder exists or could be created with its missing parents. Never
// creates anything on a volume that is not mounted.
bool checkFolderPathAndCreateIfNecessary(const QString &path);
// Removes a folder that holds only negligible entries (".DS_Store", dot files, "Icon\r", ...);
// a folder whose entries cannot be listed is kept.
bool removeFolderIfVirtuallyEmpty(const QString &path);
// Case-insensitive; false when the other path is null.
bool isEqualToPath(const QString &path, const QString &otherPath);
// Case-insensitive plain text prefix; false for an empty prefix.
bool hasPathPrefix(const QString &path, const QString &prefix);

// A path at which nothing exists yet: the path itself, else the first free one of
// "BASE" + counterPrefix + 1, 2, 3, ... (+ "." + extension when preserving it). A candidate equal to
// the current path (compared case-insensitively) is returned as it is, with *isMatch true.
// A dangling symbolic link occupies its name.
QString availablePathWithCurrentPath(const QString &path, const QString &currentPath,
                                     const QString &counterPrefix, bool preserveExtension,
                                     bool *isMatch = nullptr);
// No current path, the counter prefix " ", extension preserved: "f.zip" -> "f 1.zip" -> "f 2.zip".
QString availablePath(const QString &path);

// The longest name of one path component, in bytes of its file-system (UTF-8) form.
constexpr int FileNameMaximumBytes = 255;
// Room that the names made from a download's clean name need beyond it: a free-name counter
// (" 999999"), the bundle extension, and an acceleration fragment's infix and counter followed by a
// resume fragment's ("NAME 2.quorvel-xf-16.quorvel-rf-3"), with some to spare. A clean name cut to
// FileNameMaximumBytes - DownloadNameReserveBytes keeps all of them within the limit.
constexpr int DownloadNameReserveBytes = 48;
// The name cut to at most maximumBytes in its file-system form, at a character boundary and keeping
// its extension (unless the extension alone would take more than half of the room); the name itself
// when it fits.
QString fileNameByTruncatingToByteLength(const QString &name, int maximumBytes);

// Volumes are the mount points below the volume roots /media/USER, /run/media/USER and /mnt, as the
// mount table has them: "/media/ann/Disk/x" belongs to "/media/ann/Disk" while a disk is mounted
// there. A mount point that the system knows (fstab) but that is not mounted, and a name directly
// below a root with nothing at all there (a removable disk takes its mount folder along), are
// volumes that are away. A plain folder below a root, and every other path, belongs to "/".
QString volumePath(const QString &path);
// "/" always exists; another volume exists while something is mounted on it (an empty mount-point
// folder left behind by a disconnected disk does not count).
bool volumeExists(const QString &volumePath);
QStringList volumeRoots();
// Tests: other volume roots (an empty list restores the real ones), and optionally another test
// of whether something is mounted on a volume.
void setVolumeRootsForTesting(const QStringList &roots,
                              std::function<bool(const QString &volumePath)> isMounted = {});
// Tests: other mount tables in the format of /proc/self/mounts and /etc/fstab (empty paths restore
// the real ones).
void setMountTablesForTesting(const QString &mountsPath, const QString &fstabPath);

// Expands "~"; the path when something exists there, else the path that the file bookmark data
// (ZRFileBookmark) resolves to, else null.
QString existingPathWithFallBackAliasData(const QString &path, const QByteArray &aliasData);

// The file's name as a file browser shows it, without its extension.
QString displayFilename(const QString &path);
// The display names of the path's components from its volume down ("Computer" for "/"); empty when
// nothing exists at the path. With a base folder of k components (0 < k < count) only the components
// below it; the file name itself only when asked for.
QStringList pathComponentsToDisplayRelativeToPath(const QString &path, const QString &basePath,
                                                  bool includeFileName);
// Those components joined by " ▸ ", or "PATH — Not found" / "PATH — Currently not available"
// (volume not mounted) when nothing exists at the path.
QString readablePathRepresentationRelativeToPath(const QString &path, const QString &basePath,
                                                 bool includeFileName);
QString readablePathRepresentation(const QString &path);

// The size of a file, or of everything below a folder (symbolic links count as themselves);
// 0 for an empty path or a missing item.
quint64 totalFileSizeAtPath(const QString &path);

// Comparators for menus and lists, in natural order, empty values last: negative, 0 or positive.
int compareByDisplayFilename(const QString &path, const QString &otherPath);
int compareByReadablePathRepresentation(const QString &path, const QString &otherPath);

// Main thread.

// Reveals the item in the file manager (org.freedesktop.FileManager1), else opens its folder.
bool showInFinder(const QString &path);
// Moves the item to the user's trash.
bool moveFileToTrash(const QString &path);

} // namespace ZRExtensions
