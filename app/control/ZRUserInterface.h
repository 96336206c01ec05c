// The one way the controller reaches the user: alerts, panels, pasteboard, beep, list redraws,
// notifications, the launcher badge and activation. The window, the terminal front end and the tests
// each implement it; the controller never sees a widget.
#pragma once

#include "app/control/ZRApplicationImage.h"
#include "core/download/ZRDownloadManager.h"
#include "core/download/ZRHTTPAuthenticationManager.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>
#include <optional>

class ZRDownloadVanishView;

// An alert with a title, a message and buttons; the first button is the default one (Return), the
// second the cancel one (Escape).
struct ZRAlert {
    enum class Style { Informational, Warning, Critical };

    QString title;
    QString message;
    QStringList buttons;
    Style style = Style::Warning;
};

// Index of the button the user chose; the first button is 0.
inline constexpr int ZRAlertFirstButton = 0;
inline constexpr int ZRAlertSecondButton = 1;
inline constexpr int ZRAlertThirdButton = 2;

struct ZROpenPanelOptions {
    QString title;
    QString directory;
    // Lower-case extensions without the dot; empty allows every file.
    QStringList allowedExtensions;
    bool allowsMultipleSelection = false;
};

struct ZRSavePanelOptions {
    QString title;
    QString directory;
    QString suggestedName;
};

struct ZRFolderPanelOptions {
    QString title;
    QString message;
    QString directory;
    bool canCreateFolders = true;
};

// A user notification; the same identifier replaces the one shown before (coalescing).
struct ZRUserNotification {
    QString identifier;
    QString title;
    QString message;
    // The finished files it tells of (those merged into it too), newest last: clicking it shows them.
    QStringList filePaths;
};

enum class ZRActivationPolicy { Regular = 0, Accessory = 1 };

// Main thread, every member. The controller does not own the implementation.
class ZRUserInterface
{
public:
    virtual ~ZRUserInterface() = default;

    // Modal: returns once the user chose, with the chosen button's index.
    virtual int runModalAlert(const ZRAlert &alert) = 0;

    // Modal panels; none when the user cancelled.
    virtual std::optional<QStringList> runOpenPanel(const ZROpenPanelOptions &options) = 0;
    virtual std::optional<QString> runSavePanel(const ZRSavePanelOptions &options) = 0;
    virtual std::optional<QString> runFolderPanel(const ZRFolderPanelOptions &options) = 0;

    // The clipboard.
    virtual QString pasteboardString() const = 0;
    // Replaces the clipboard: the text, plus the addresses as text/uri-list when there are any.
    virtual void setPasteboardContents(const QString &text, const QList<QUrl> &urls) = 0;

    // The clipboard's addresses (text/uri-list); none when it holds only text.
    virtual QList<QUrl> pasteboardURLs() const { return {}; }
    // Whether Shift (or Alt) is held now: an intake then asks where the downloads go.
    virtual bool alternateModifiersHeld() const { return false; }
    // The address panel: the text the user confirmed, none when cancelled.
    virtual std::optional<QString> runAddressPanel(const QString &text)
    {
        (void)text;
        return std::nullopt;
    }

    virtual void beep() = 0;

    // The displayed rows changed (membership or order): show these, in this order.
    virtual void showDownloads(const ZRDownloadList &rows) = 0;
    // One row's values changed (status, progress, name).
    virtual void redrawDownload(ZRDownload *download) = 0;
    // The status line under the list.
    virtual void showStatusText(const QString &text) = 0;
    // The selected rows, in display order; empty when nothing is selected. The front end tells the
    // controller about every change (selectionDidChange).
    virtual ZRDownloadList selectedDownloads() const = 0;
    virtual void selectDownloads(const ZRDownloadList &downloads) = 0;

    virtual void postNotification(const ZRUserNotification &notification) = 0;

    // Launcher counters: count < 0 hides the count, progress < 0 hides the bar; urgent asks for attention.
    virtual void setLauncherBadge(qint64 count, double progress, bool urgent) = 0;

    // Whether the program shows in the taskbar with its window (regular) or only as a tray item
    // (accessory). Setting returns false when the front end cannot switch.
    virtual ZRActivationPolicy activationPolicy() const = 0;
    virtual bool setActivationPolicy(ZRActivationPolicy policy) = 0;
    // The tray item, with the controller's menu and drop target.
    virtual void setStatusItemVisible(bool visible) = 0;

    // Brings the program (and its download window, where it has one) to the front.
    virtual void activate() = 0;
    virtual bool isDownloadWindowVisible() const = 0;
    virtual void showDownloadWindow() = 0;
    // The closing animation at quit: the window fades out (first shrinking around its rows where it
    // is short and does not follow the row count), then its frame is put back so the saved one stays.
    virtual void collapseDownloadWindowAndRestoreFrame() = 0;

    // Ends the program without asking the controller again: the caller has already had a true shouldQuit.
    virtual void terminate() = 0;

    // --- Status summary and all-done procedures (each does nothing unless the front end has it) ---

    // The application icon's counters, progress level and sleep or shut-down mark, for the window and
    // tray icons; the launcher entry gets its counters through setLauncherBadge.
    virtual void showApplicationImage(const ZRApplicationImage &image) { (void)image; }
    // One informational attention request (the taskbar entry flashes once).
    virtual void requestUserAttention() {}
    // A short sound by name ("ZRHeartbeat").
    virtual void playSound(const QString &name) { (void)name; }
    // The toolbar's Clear button: hidden and disabled while nothing finished is left to clear.
    virtual void setClearButtonVisible(bool visible) { (void)visible; }
    // The window's edited mark: closing it now would quit with active downloads.
    virtual void setDocumentEdited(bool edited) { (void)edited; }
    // Ends the modal alert on screen as if cancelled; nothing without one.
    virtual void abortModalAlert() {}
    // The list that animates the removal of rows; none without a list on screen (rows go at once).
    virtual ZRDownloadVanishView *downloadVanishView() { return nullptr; }

    // --- The schedule (each does nothing unless the front end has it) ---

    // Scheduled queuing (segment 0) or pausing (segment 1) was switched: the toolbar's schedule
    // button, the preference switch and its time picker show the new state.
    virtual void showScheduleState(int segment, bool on) { (void)segment, (void)on; }
    // The one-time note that a toolbar button stands for a section of the preferences.
    virtual void showToolbarButtonExplanationForPreferencesSection(const QString &section) { (void)section; }

    // --- Folder rules ---
    // The folder pop-up of the preferences (or of the rule editor) must be filled again
    // (ZRMainController::populateFolderMenu).
    virtual void updateDownloadsFolderSelector(bool forSpecialCase) { (void)forSpecialCase; }

    // --- Credentials ---
    // Modal: the log-in question of a server or proxy that asks for credentials; none means cancel
    // (the download then fails with "Authentication needed"). Without a way to ask, cancel.
    virtual std::optional<ZRAuthenticationAnswer> runAuthenticationPanel(const ZRAuthenticationQuestion &question)
    {
        (void)question;
        return std::nullopt;
    }

    // Runs the rule editor for the rule (none: a new one); the editor applies what the user chose.
    virtual void runSpecialCaseEditor(const std::optional<QVariantMap> &rule) { (void)rule; }
};
