// The desktop front end: the download window, the tray item, alerts and panels, the clipboard,
// desktop notifications and the launcher entry, behind the interface the controller talks to.
#pragma once

#include "app/control/ZRUserInterface.h"

#include <QHash>

#include <functional>
#include <QObject>
#include <QPointer>

#include <memory>

class QMenu;
class QMessageBox;
class QSystemTrayIcon;
class ZRDesktopNotifications;
class ZRDownloadListWindow;
class ZRHistoryMenuView;
class ZRPreferencesWindow;
class ZRLauncherEntry;
class ZRTerminationSignalWatcher;

// Main thread. Needs a QApplication.
class ZRDesktopUserInterface : public QObject, public ZRUserInterface
{
    Q_OBJECT
public:
    explicit ZRDesktopUserInterface(QObject *parent = nullptr);
    // Takes itself away from the controller.
    ~ZRDesktopUserInterface() override;

    // Launches the controller with this front end, and quits through it on SIGINT, SIGTERM, SIGHUP.
    void start();
    ZRDownloadListWindow *window() const { return _window.get(); }
    QSystemTrayIcon *trayIcon() const { return _trayIcon; }
    // The preferences window, made on first use, opened at the section (the last one when empty).
    ZRPreferencesWindow *preferencesWindow();
    void showPreferences(const QString &section = QString());
    ZRHistoryMenuView *historyMenu() const { return _historyMenu; }

    // Tests: alerts and panels are answered by the handler instead of a modal dialog.
    void setAlertHandlerForTesting(std::function<int(const ZRAlert &)> handler) { _alertHandler = std::move(handler); }
    void setAddressPanelHandlerForTesting(std::function<std::optional<QString>(const QString &)> handler)
    {
        _addressPanelHandler = std::move(handler);
    }

    int runModalAlert(const ZRAlert &alert) override;
    std::optional<QStringList> runOpenPanel(const ZROpenPanelOptions &options) override;
    std::optional<QString> runSavePanel(const ZRSavePanelOptions &options) override;
    std::optional<QString> runFolderPanel(const ZRFolderPanelOptions &options) override;
    QString pasteboardString() const override;
    QList<QUrl> pasteboardURLs() const override;
    void setPasteboardContents(const QString &text, const QList<QUrl> &urls) override;
    bool alternateModifiersHeld() const override;
    std::optional<QString> runAddressPanel(const QString &text) override;
    void beep() override;
    void showDownloads(const ZRDownloadList &rows) override;
    void redrawDownload(ZRDownload *download) override;
    void showStatusText(const QString &text) override;
    ZRDownloadList selectedDownloads() const override;
    void selectDownloads(const ZRDownloadList &downloads) override;
    void postNotification(const ZRUserNotification &notification) override;
    void setLauncherBadge(qint64 count, double progress, bool urgent) override;
    ZRActivationPolicy activationPolicy() const override { return _policy; }
    bool setActivationPolicy(ZRActivationPolicy policy) override;
    void setStatusItemVisible(bool visible) override;
    void activate() override;
    bool isDownloadWindowVisible() const override;
    void showDownloadWindow() override;
    void collapseDownloadWindowAndRestoreFrame() override;
    void terminate() override;
    void showApplicationImage(const ZRApplicationImage &image) override;
    void requestUserAttention() override;
    void setClearButtonVisible(bool visible) override;
    void setDocumentEdited(bool edited) override;
    void abortModalAlert() override;
    ZRDownloadVanishView *downloadVanishView() override;
    void showScheduleState(int segment, bool on) override;
    void showToolbarButtonExplanationForPreferencesSection(const QString &section) override;
    void runSpecialCaseEditor(const std::optional<QVariantMap> &rule) override;
    std::optional<ZRAuthenticationAnswer> runAuthenticationPanel(const ZRAuthenticationQuestion &question) override;
    // Tests: answers the log-in question instead of the window.
    void setAuthenticationHandlerForTesting(
        std::function<std::optional<ZRAuthenticationAnswer>(const ZRAuthenticationQuestion &)> handler)
    {
        _authenticationHandler = std::move(handler);
    }

private:
    void updateWindowClosing();
    void logRowStatus(ZRDownload &download);

    std::unique_ptr<ZRDownloadListWindow> _window;
    std::unique_ptr<ZRPreferencesWindow> _preferencesWindow;
    ZRHistoryMenuView *_historyMenu = nullptr;
    QSystemTrayIcon *_trayIcon = nullptr;
    QMenu *_trayMenu = nullptr;
    ZRDesktopNotifications *_notifications = nullptr;
    // The files each notification on screen tells of, by identifier.
    QHash<QString, QStringList> _notifiedFilePaths;
    std::function<std::optional<ZRAuthenticationAnswer>(const ZRAuthenticationQuestion &)> _authenticationHandler;
    std::unique_ptr<ZRLauncherEntry> _launcherEntry;
    ZRTerminationSignalWatcher *_signalWatcher = nullptr;
    ZRActivationPolicy _policy = ZRActivationPolicy::Regular;
    QPointer<QMessageBox> _modalAlert;
    std::function<int(const ZRAlert &)> _alertHandler;
    std::function<std::optional<QString>(const QString &)> _addressPanelHandler;
    // The status text each row showed last (debug log of row changes).
    QHash<const ZRDownload *, QString> _loggedStatus;
    bool _isQuitting = false;
};
