// The folder menus as plain data: what the window turns into a QMenu or a pop-up, and what tests
// read. Each item says what choosing it does (its role) and carries the path or rule it acts on.
#pragma once

#include "core/text/ZRIcons.h"

#include <QLatin1String>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <optional>

namespace ZRFolderRulesPreferenceKey
{
inline constexpr QLatin1String Rules("Rules");
inline constexpr QLatin1String DownloadsFolder("Downloads Folder");
inline constexpr QLatin1String RecentDownloadsFolders("Recent Downloads Folders");
inline constexpr QLatin1String SortDownloadsFoldersByName("Sort Downloads Folders By Name");
inline constexpr QLatin1String SubdivisionFormatDefault("Downloads Folder: Subdivision Format (Default)");
inline constexpr QLatin1String SubdivisionFormatRules("Downloads Folder: Subdivision Format (Rules)");
inline constexpr QLatin1String SubdivisionFormatDate("Downloads Folder: Subdivision Format: Date");
inline constexpr QLatin1String SubdivisionFormatAllowDashes(
    "Downloads Folder: Subdivision Format: Allow Dashes In Localized Suggestions");
inline constexpr QLatin1String DownloadPageRules("Download Page Rules");
} // namespace ZRFolderRulesPreferenceKey

struct ZRFolderMenuItem {
    enum class Kind {
        Item, // a choosable item
        Separator,
        ThinSeparator, // a narrower separator between groups of one section
        Header,        // a section title, not choosable
        PlainLine,     // a line of text, not choosable
    };
    enum class Role {
        None,
        Folder,             // sets the folder to `path`
        DefaultFolder,      // "Default Downloads Folder": the rule goes to the downloads folder
        OtherFolder,        // "Other...": the user chooses a folder
        ClearRecentFolders, // "Clear Menu"
        EditRule,           // opens the rule editor for `rule`
        RemoveRule,         // removes `rule`
        DefineRule,         // opens the rule editor for a new rule
        RemoveAllRules,
    };

    Kind kind = Kind::Item;
    Role role = Role::None;
    QString title;
    // Shown after the title in a smaller font of suffixSize points (" — " and the readable path).
    QString suffix;
    double suffixSize = 0;
    ZRIcon icon;
    // The "~"-abbreviated path of a folder item.
    QString path;
    // The rule of a rule item and of its submenu's items.
    QVariantMap rule;
    bool checked = false;
    // Shown instead of the item before it while the alternate modifier is held.
    bool alternate = false;
    // A small line of text (the explanation).
    bool small = false;
    // Folder items of menus that act on a choice at once (the menu bar's): choosing the item calls
    // changeDownloadsFolderFromMenuItem. Pop-ups leave this off and act on their own selection.
    bool hasAction = false;
    QString submenuTitle;
    QList<ZRFolderMenuItem> submenu;

    bool isSeparator() const { return kind == Kind::Separator || kind == Kind::ThinSeparator; }
};
using ZRFolderMenu = QList<ZRFolderMenuItem>;
