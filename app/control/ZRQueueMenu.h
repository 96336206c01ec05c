// The menus of the download list as plain data: the context menu for a set of downloads, the sort,
// rearrange and progress-style menus, and the tray menu. The window turns them into QMenus; tests
// read them. Each item names the command that choosing it runs (ZRMainController::performMenuItem).
#pragma once

#include "app/control/ZRFolderMenu.h"
#include "core/download/ZRDownloadManager.h"

#include <QList>
#include <QString>

enum class ZRMenuCommand {
    None,
    // On the item's downloads.
    TogglePause,
    StartDownload,
    Remove,
    Reveal,
    ToggleAcceleration,
    Open,
    OpenWithApplication,
    RemoveAndMoveToTrash,
    CopyPath,
    Retry,
    OpenOriginalURLs,
    CopyOriginalURLs,
    // Settings and the list as a whole; the tag says which value.
    ChangeDownloadsFolder,
    ChangeSorting,
    Rearrange,
    ChangeProgressBarStyle,
    ToggleLocationKeyDisplayNames,
    ToggleAutoStart,
    ToggleAutoSleep,
    ToggleAutoShutDown,
    TogglePrivateDownloading,
    ToggleDebugLogging,
    // On the context downloads (the selected rows, else all shown).
    QueuePaused,
    PauseQueued,
    PauseAll,
    CancelAll,
    Clear,
    Copy,
    // Intake and the program.
    OpenURL,
    OpenFile,
    OpenURLFromPasteboard,
    ShowDownloadWindow,
    Quit,
};

struct ZRMenuItem {
    enum class Kind { Item, Separator, PlainLine, Submenu };

    Kind kind = Kind::Item;
    QString title;
    ZRMenuCommand command = ZRMenuCommand::None;
    qint64 tag = 0;
    ZRDownloadList downloads;
    // OpenWithApplication: the application's desktop file and icon.
    QString applicationPath;
    QString iconName;
    // ChangeDownloadsFolder: the folder menu's item.
    ZRFolderMenuItem folderItem;
    bool enabled = true;
    bool checked = false;
    // Whether the item shows a check mark at all.
    bool checkable = false;
    // A small line of text (an address, a path).
    bool small = false;
    QList<ZRMenuItem> submenu;

    static ZRMenuItem separator()
    {
        ZRMenuItem item;
        item.kind = Kind::Separator;
        return item;
    }
};
using ZRMenu = QList<ZRMenuItem>;
