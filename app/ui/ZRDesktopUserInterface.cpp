#include "app/ui/ZRDesktopUserInterface.h"

#include "app/control/ZRMainController.h"
#include "app/control/ZRUserNotificationManager.h"
#include "app/platform/ZRDesktopNotifications.h"
#include "app/platform/ZRLauncherEntry.h"
#include "app/platform/ZRTerminationSignalWatcher.h"
#include "app/announce/HBZAnnouncer.h"
#include "app/ui/ZRApplicationImagePainter.h"
#include "app/ui/ZRAuthenticationDialog.h"
#include "app/ui/ZRDownloadListModel.h"
#include "app/ui/ZRDownloadListView.h"
#include "app/ui/ZRDownloadListWindow.h"
#include "app/ui/ZRFolderRuleEditor.h"
#include "app/ui/ZRHistoryMenuView.h"
#include "app/ui/ZRPreferencesWindow.h"
#include "app/ui/ZRMenuBuilder.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRPathExtensions.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDialog>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

namespace
{

ZRMainController *controller()
{
    return ZRMainController::mainController();
}

QString localized(const char *key)
{
    return QCoreApplication::translate("ZRDesktopUserInterface", key);
}

QMessageBox::Icon iconForStyle(ZRAlert::Style style)
{
    switch (style) {
    case ZRAlert::Style::Informational:
        return QMessageBox::Information;
    case ZRAlert::Style::Critical:
        return QMessageBox::Critical;
    case ZRAlert::Style::Warning:
        break;
    }
    return QMessageBox::Warning;
}

} // namespace

ZRDesktopUserInterface::ZRDesktopUserInterface(QObject *parent)
    : QObject(parent), _window(std::make_unique<ZRDownloadListWindow>()),
      _launcherEntry(std::make_unique<ZRLauncherEntry>(QStringLiteral("quorvel.desktop")))
{
    QApplication::setWindowIcon(ZRApplicationImagePainter::plainIcon());
    _window->setWindowIcon(ZRApplicationImagePainter::plainIcon());
    _window->listModel()->setRedrawObserver([this](ZRDownload &download) { logRowStatus(download); });
    // The History menu and the preferences, after the window's own menus.
    _historyMenu = new ZRHistoryMenuView(_window.get());
    _window->menuBar()->addMenu(_historyMenu);
    QMenu *settings = _window->menuBar()->addMenu(localized("&Settings"));
    QAction *preferences = settings->addAction(QIcon::fromTheme(QStringLiteral("preferences-system")),
                                               localized("Preferences..."));
    preferences->setShortcut(QKeySequence::Preferences);
    connect(preferences, &QAction::triggered, this, [this] { showPreferences(); });
    _notifications = new ZRDesktopNotifications(this);
    connect(_notifications, &ZRDesktopNotifications::activated, this, [this](const QString &identifier) {
        ZRUserNotificationManager::defaultManager().userNotificationCenterDidActivateNotification(identifier);
        // A notification of finished files shows the newest of them that is still there in the
        // file manager; any other brings the window forward.
        QStringList paths = _notifiedFilePaths.take(identifier);
        while (!paths.isEmpty() && !QFileInfo::exists(paths.last()))
            paths.removeLast();
        if (paths.isEmpty() || !ZRExtensions::showInFinder(paths.last()))
            activate();
    });
}

ZRDesktopUserInterface::~ZRDesktopUserInterface()
{
    if (controller()->userInterface() == this)
        controller()->setUserInterface(nullptr);
}

void ZRDesktopUserInterface::start()
{
    ZRMainController *main = controller();
    main->setUserInterface(this);
    _signalWatcher = new ZRTerminationSignalWatcher(this);
    connect(_signalWatcher, &ZRTerminationSignalWatcher::terminationRequested, this, [this](int signalNumber) {
        ZRLogDebug(QStringLiteral("termination signal %1").arg(signalNumber));
        if (_isQuitting)
            return;
        if (!controller()->applicationShouldTerminate()) {
            ZRLog(QStringLiteral("quit cancelled"));
            return;
        }
        terminate();
    });
    _signalWatcher->start();
    main->applicationWillFinishLaunching();
    main->applicationDidFinishLaunching();
    // Once the tray item had its turn: without one on screen, the window is the way in.
    QTimer::singleShot(50, this, [this] {
        if (!isDownloadWindowVisible() && !(_trayIcon && _trayIcon->isVisible()))
            showDownloadWindow();
    });
}

// --- Alerts and panels ---

int ZRDesktopUserInterface::runModalAlert(const ZRAlert &alert)
{
    if (_alertHandler)
        return _alertHandler(alert);
    QMessageBox box(iconForStyle(alert.style), alert.title, alert.message, QMessageBox::NoButton,
                    _window->isVisible() ? _window.get() : nullptr);
    box.setWindowTitle(alert.title);
    box.setText(alert.title);
    box.setInformativeText(alert.message);
    QList<QAbstractButton *> buttons;
    const QStringList titles = alert.buttons.isEmpty() ? QStringList{localized("OK")} : alert.buttons;
    for (qsizetype index = 0; index < titles.size(); ++index) {
        const QMessageBox::ButtonRole role = index == 0   ? QMessageBox::AcceptRole
                                             : index == 1 ? QMessageBox::RejectRole
                                                          : QMessageBox::ActionRole;
        buttons.append(box.addButton(titles.at(index), role));
    }
    box.setDefaultButton(qobject_cast<QPushButton *>(buttons.first()));
    box.setEscapeButton(buttons.size() > 1 ? buttons.at(1) : buttons.first());
    _modalAlert = &box;
    box.exec();
    _modalAlert = nullptr;
    const qsizetype chosen = buttons.indexOf(box.clickedButton());
    if (chosen >= 0)
        return int(chosen);
    return buttons.size() > 1 ? ZRAlertSecondButton : ZRAlertFirstButton;
}

void ZRDesktopUserInterface::abortModalAlert()
{
    if (_modalAlert)
        _modalAlert->reject();
}

std::optional<QStringList> ZRDesktopUserInterface::runOpenPanel(const ZROpenPanelOptions &options)
{
    QString filter;
    if (!options.allowedExtensions.isEmpty()) {
        QStringList patterns;
        for (const QString &extension : options.allowedExtensions)
            patterns.append(QStringLiteral("*.") + extension);
        filter = patterns.join(QLatin1Char(' '));
    }
    const QStringList chosen =
        options.allowsMultipleSelection
            ? QFileDialog::getOpenFileNames(_window.get(), options.title, options.directory, filter)
            : QStringList{QFileDialog::getOpenFileName(_window.get(), options.title, options.directory, filter)};
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return std::nullopt;
    return chosen;
}

std::optional<QString> ZRDesktopUserInterface::runSavePanel(const ZRSavePanelOptions &options)
{
    const QString chosen = QFileDialog::getSaveFileName(
        _window.get(), options.title,
        options.directory.isEmpty() ? options.suggestedName : options.directory + QLatin1Char('/') + options.suggestedName);
    if (chosen.isEmpty())
        return std::nullopt;
    return chosen;
}

std::optional<QString> ZRDesktopUserInterface::runFolderPanel(const ZRFolderPanelOptions &options)
{
    const QString chosen = QFileDialog::getExistingDirectory(_window.get(), options.title, options.directory);
    if (chosen.isEmpty())
        return std::nullopt;
    return chosen;
}

std::optional<QString> ZRDesktopUserInterface::runAddressPanel(const QString &text)
{
    if (_addressPanelHandler)
        return _addressPanelHandler(text);
    QDialog panel(_window->isVisible() ? _window.get() : nullptr);
    panel.setWindowTitle(localized("Add Addresses"));
    auto *layout = new QVBoxLayout(&panel);
    layout->addWidget(new QLabel(localized("Addresses to download, one a line:"), &panel));
    auto *field = new QPlainTextEdit(&panel);
    field->setPlainText(text);
    field->setMinimumSize(420, 140);
    layout->addWidget(field);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &panel);
    connect(buttons, &QDialogButtonBox::accepted, &panel, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &panel, &QDialog::reject);
    layout->addWidget(buttons);
    activate();
    if (panel.exec() != QDialog::Accepted)
        return std::nullopt;
    return field->toPlainText();
}

// --- Clipboard, keys, sound ---

QString ZRDesktopUserInterface::pasteboardString() const
{
    return QGuiApplication::clipboard()->text();
}

QList<QUrl> ZRDesktopUserInterface::pasteboardURLs() const
{
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    return data && data->hasUrls() ? data->urls() : QList<QUrl>();
}

void ZRDesktopUserInterface::setPasteboardContents(const QString &text, const QList<QUrl> &urls)
{
    auto *data = new QMimeData;
    data->setText(text);
    if (!urls.isEmpty())
        data->setUrls(urls);
    QGuiApplication::clipboard()->setMimeData(data);
}

bool ZRDesktopUserInterface::alternateModifiersHeld() const
{
    return QGuiApplication::queryKeyboardModifiers() & (Qt::ShiftModifier | Qt::AltModifier);
}

void ZRDesktopUserInterface::beep()
{
    QApplication::beep();
}

// --- The list ---

void ZRDesktopUserInterface::showDownloads(const ZRDownloadList &rows)
{
    _window->listModel()->setDownloads(rows);
    _window->refreshActions();
}

void ZRDesktopUserInterface::redrawDownload(ZRDownload *download)
{
    _window->listModel()->redrawDownload(download);
}

void ZRDesktopUserInterface::logRowStatus(ZRDownload &download)
{
    if (!ZRDebugLogEnabled())
        return;
    const QString status = download.statusDescriptionWithLiveDetails(false);
    QString &last = _loggedStatus[&download];
    if (last == status)
        return;
    last = status;
    ZRLogDebug(QStringLiteral("row <%1>: %2").arg(download.displayName(), status));
}

void ZRDesktopUserInterface::showStatusText(const QString &text)
{
    _window->setStatusText(text);
}

ZRDownloadList ZRDesktopUserInterface::selectedDownloads() const
{
    return _window->listView()->selectedDownloads();
}

void ZRDesktopUserInterface::selectDownloads(const ZRDownloadList &downloads)
{
    _window->listView()->selectDownloads(downloads);
}

ZRDownloadVanishView *ZRDesktopUserInterface::downloadVanishView()
{
    // Rows of a hidden list go at once.
    return _window->isVisible() ? _window->listView() : nullptr;
}

void ZRDesktopUserInterface::setClearButtonVisible(bool visible)
{
    _window->setClearButtonVisible(visible);
}

void ZRDesktopUserInterface::setDocumentEdited(bool edited)
{
    _window->setWindowModified(edited);
}

void ZRDesktopUserInterface::showScheduleState(int segment, bool on)
{
    _window->showScheduleState(segment, on);
}

void ZRDesktopUserInterface::showToolbarButtonExplanationForPreferencesSection(const QString &section)
{
    ZRUserDefaults &defaults = ZRUserDefaults::standardUserDefaults();
    const QString key = ZRMainController::toolbarButtonExplanationSuppressionKey(section);
    if (defaults.boolForKey(key) || _alertHandler)
        return;
    // Over the section it speaks of.
    showPreferences(section);
    QMessageBox box(QMessageBox::Information, section,
                    localized("The toolbar button you just clicked is a shortcut to the more detailed settings you "
                              "can access in this section of Quorvel's preferences."),
                    QMessageBox::Ok, _preferencesWindow.get());
    box.setWindowModality(Qt::WindowModal);
    auto *suppress = new QCheckBox(localized("Do not show this message again"), &box);
    suppress->setChecked(true);
    box.setCheckBox(suppress);
    box.exec();
    if (suppress->isChecked())
        defaults.setBool(true, key);
}

// --- Preferences and rules ---

ZRPreferencesWindow *ZRDesktopUserInterface::preferencesWindow()
{
    if (!_preferencesWindow)
        _preferencesWindow = std::make_unique<ZRPreferencesWindow>();
    return _preferencesWindow.get();
}

void ZRDesktopUserInterface::showPreferences(const QString &section)
{
    preferencesWindow()->showSection(section);
}

void ZRDesktopUserInterface::runSpecialCaseEditor(const std::optional<QVariantMap> &rule)
{
    ZRFolderRuleEditor::defineOrEditSpecialCase(rule, _window->isVisible() ? _window.get() : nullptr);
}

std::optional<ZRAuthenticationAnswer> ZRDesktopUserInterface::runAuthenticationPanel(
    const ZRAuthenticationQuestion &question)
{
    if (_authenticationHandler)
        return _authenticationHandler(question);
    return ZRAuthenticationDialog::ask(question, _window->isVisible() ? _window.get() : nullptr);
}

// --- Notifications and the launcher ---

void ZRDesktopUserInterface::postNotification(const ZRUserNotification &notification)
{
    if (!notification.identifier.isEmpty())
        _notifiedFilePaths.insert(notification.identifier, notification.filePaths);
    _notifications->post(notification.identifier, notification.title, notification.message);
}

void ZRDesktopUserInterface::setLauncherBadge(qint64 count, double progress, bool urgent)
{
    _launcherEntry->update(count, progress, urgent);
}

void ZRDesktopUserInterface::showApplicationImage(const ZRApplicationImage &image)
{
    const QIcon icon = ZRApplicationImagePainter::icon(image);
    _window->setWindowIcon(icon);
    if (_trayIcon)
        _trayIcon->setIcon(icon);
    // Companion programs show the same icon.
    const QImage announced = ZRApplicationImagePainter::image(image, 128);
    HBZAnnounceImage(&announced);
}

void ZRDesktopUserInterface::requestUserAttention()
{
    QApplication::alert(_window.get(), 1500);
}

// --- The program's presence ---

bool ZRDesktopUserInterface::setActivationPolicy(ZRActivationPolicy policy)
{
    _policy = policy;
    // Tray only: the window stays out of the task bar, unless there is no tray to come back from.
    const bool toolWindow = policy == ZRActivationPolicy::Accessory && QSystemTrayIcon::isSystemTrayAvailable();
    if (bool(_window->windowFlags() & Qt::Tool) != toolWindow) {
        const bool visible = _window->isVisible();
        _window->setWindowFlag(Qt::Tool, toolWindow);
        if (visible)
            _window->show();
    }
    return true;
}

void ZRDesktopUserInterface::setStatusItemVisible(bool visible)
{
    if (visible && QSystemTrayIcon::isSystemTrayAvailable()) {
        if (!_trayIcon) {
            _trayIcon = new QSystemTrayIcon(_window->windowIcon(), this);
            _trayIcon->setToolTip(QStringLiteral("Quorvel"));
            _trayMenu = new QMenu;
            const auto fillTrayMenu = [this] {
                ZRMenuBuilder::rebuildMenu(_trayMenu, controller()->statusItemMenu());
                // The history and the preferences before the program's last items.
                QAction *before = _trayMenu->actions().isEmpty() ? nullptr : _trayMenu->actions().constLast();
                auto *history = new ZRHistoryMenuView(_trayMenu);
                _trayMenu->insertMenu(before, history);
                QAction *preferences = new QAction(localized("Preferences..."), _trayMenu);
                connect(preferences, &QAction::triggered, this, [this] { showPreferences(); });
                _trayMenu->insertAction(before, preferences);
                _trayMenu->insertSeparator(before);
            };
            connect(_trayMenu, &QMenu::aboutToShow, this, fillTrayMenu);
            fillTrayMenu();
            _trayIcon->setContextMenu(_trayMenu);
            connect(_trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    showDownloadWindow();
                    activate();
                }
            });
        }
        _trayIcon->show();
    } else if (_trayIcon) {
        _trayIcon->hide();
    }
    updateWindowClosing();
}

void ZRDesktopUserInterface::updateWindowClosing()
{
    _window->setClosingQuits(!(_trayIcon && _trayIcon->isVisible()));
}

void ZRDesktopUserInterface::activate()
{
    if (!_window->isVisible())
        return;
    _window->raise();
    _window->activateWindow();
}

bool ZRDesktopUserInterface::isDownloadWindowVisible() const
{
    return _window->isVisible();
}

void ZRDesktopUserInterface::showDownloadWindow()
{
    _window->show();
    _window->raise();
}

void ZRDesktopUserInterface::collapseDownloadWindowAndRestoreFrame()
{
    if (!_window->isVisible())
        return;
    // A short fade; the frame stays as it was, so the saved one does not change.
    QElapsedTimer clock;
    clock.start();
    constexpr int fadeMilliseconds = 150;
    while (clock.elapsed() < fadeMilliseconds) {
        _window->setWindowOpacity(1.0 - double(clock.elapsed()) / fadeMilliseconds);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 5);
        QThread::msleep(10);
    }
    _window->hide();
    _window->setWindowOpacity(1.0);
}

void ZRDesktopUserInterface::terminate()
{
    _isQuitting = true;
    ZRUserDefaults::standardUserDefaults().synchronize();
    QCoreApplication::quit();
}
