#include "app/ui/ZRDownloadListWindow.h"

#include "app/control/ZRMainController.h"
#include "app/control/ZRPreferenceKeys.h"
#include "app/ui/ZRDownloadListModel.h"
#include "app/ui/ZRDownloadListView.h"
#include "app/ui/ZRMenuBuilder.h"
#include "core/download/ZRHTTPRequestDownloadWorker.h"
#include "core/foundation/ZRUserDefaults.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QVariantAnimation>

namespace
{

ZRMainController *controller()
{
    return ZRMainController::mainController();
}

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

QString localized(const char *key)
{
    return QCoreApplication::translate("ZRDownloadListWindow", key);
}

// The frame is kept under the window's name.
const QString frameKey = QStringLiteral("MainWindow Frame");

QIcon themeIcon(const QString &name, QStyle::StandardPixmap fallback)
{
    QIcon icon = QIcon::fromTheme(name);
    return icon.isNull() ? QApplication::style()->standardIcon(fallback) : icon;
}

} // namespace

ZRDownloadListWindow::ZRDownloadListWindow(QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Quorvel[*]"));
    setObjectName(QStringLiteral("MainWindow"));
    _model = new ZRDownloadListModel(this);
    _listView = new ZRDownloadListView(this);
    _listView->setModel(_model);
    setCentralWidget(_listView);

    _statusLabel = new QLabel(this);
    _statusLabel->setContentsMargins(6, 0, 6, 0);
    statusBar()->addWidget(_statusLabel, 1);
    statusBar()->setSizeGripEnabled(true);

    buildMenus();
    buildToolbar();

    connect(_model, &ZRDownloadListModel::rowsRedrawn, this, &ZRDownloadListWindow::refreshActions);
    connect(_model, &QAbstractItemModel::modelReset, this, &ZRDownloadListWindow::refreshActions);
    connect(_listView, &ZRDownloadListView::downloadSelectionChanged, this, [this] {
        controller()->selectionDidChange();
        refreshActions();
    });
    restoreFrame();
    refreshActions();

    connect(&defaults(), &ZRUserDefaults::valueChanged, this, [this](const QString &key) {
        if (key == ZRPreferenceKey::FullScreenModeBehavior)
            applyFullScreenBehavior();
        else if (key == ZRPreferenceKey::RubberWindow)
            followRowCount();
    });
    for (const auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(_model, signal, this, &ZRDownloadListWindow::followRowCount);
    connect(_model, &QAbstractItemModel::modelReset, this, &ZRDownloadListWindow::followRowCount);
    applyFullScreenBehavior();
}

ZRDownloadListWindow::~ZRDownloadListWindow() = default;

QAction *ZRDownloadListWindow::addCommand(ZRMenuCommand command, const QString &title, const QString &iconName,
                                          const QKeySequence &shortcut, qint64 tag)
{
    auto *action = new QAction(title, this);
    if (!iconName.isEmpty())
        action->setIcon(QIcon::fromTheme(iconName));
    if (!shortcut.isEmpty()) {
        action->setShortcut(shortcut);
        action->setShortcutContext(Qt::WindowShortcut);
    }
    ZRMenuItem item;
    item.title = title;
    item.command = command;
    item.tag = tag;
    _itemsByAction.insert(action, item);
    _actions.insert(command, action);
    addAction(action);
    connect(action, &QAction::triggered, this, [this, action] {
        // Checkable actions flip themselves; the controller's state decides what they show.
        controller()->performMenuItem(_itemsByAction.value(action));
        refreshActions();
    });
    return action;
}

void ZRDownloadListWindow::buildMenus()
{
    QMenu *file = menuBar()->addMenu(localized("&File"));
    file->addAction(addCommand(ZRMenuCommand::OpenURL, localized("Add Addresses..."), QStringLiteral("list-add"),
                               QKeySequence::New));
    file->addAction(addCommand(ZRMenuCommand::OpenFile, localized("Open..."), QStringLiteral("document-open"),
                               QKeySequence::Open));
    file->addSeparator();
    _fileDownloadToMenu = file->addMenu(localized("Download to"));
    connect(_fileDownloadToMenu, &QMenu::aboutToShow, this,
            [this] { ZRMenuBuilder::rebuildMenu(_fileDownloadToMenu, controller()->downloadToMenu(14)); });
    file->addSeparator();
    QAction *close = file->addAction(localized("Close Window"));
    close->setShortcut(QKeySequence::Close);
    connect(close, &QAction::triggered, this, &QWidget::close);
    file->addAction(addCommand(ZRMenuCommand::Quit, localized("Quit"), QStringLiteral("application-exit"),
                               QKeySequence::Quit));

    QMenu *edit = menuBar()->addMenu(localized("&Edit"));
    edit->addAction(addCommand(ZRMenuCommand::Copy, localized("Copy URLs"), QStringLiteral("edit-copy"),
                               QKeySequence::Copy));
    edit->addAction(addCommand(ZRMenuCommand::OpenURLFromPasteboard, localized("Add from Pasteboard"),
                               QStringLiteral("edit-paste"), QKeySequence::Paste));
    edit->addSeparator();
    QAction *find = edit->addAction(localized("Find"));
    find->setShortcut(QKeySequence::Find);
    addAction(find);
    connect(find, &QAction::triggered, this, [this] {
        _filterField->setFocus(Qt::ShortcutFocusReason);
        _filterField->selectAll();
    });
    QAction *selectAll = edit->addAction(localized("Select All"));
    selectAll->setShortcut(QKeySequence::SelectAll);
    selectAll->setShortcutContext(Qt::WidgetShortcut);
    _listView->addAction(selectAll);
    connect(selectAll, &QAction::triggered, _listView, &QAbstractItemView::selectAll);

    QMenu *downloads = menuBar()->addMenu(localized("&Downloads"));
    downloads->addAction(addCommand(ZRMenuCommand::QueuePaused, localized("Start"),
                                    QStringLiteral("media-playback-start")));
    downloads->addAction(addCommand(ZRMenuCommand::PauseQueued, localized("Pause"),
                                    QStringLiteral("media-playback-pause")));
    downloads->addAction(addCommand(ZRMenuCommand::PauseAll, localized("Pause All"), QString()));
    // Asks first (a tag above 0).
    downloads->addAction(addCommand(ZRMenuCommand::CancelAll, localized("Cancel..."), QStringLiteral("process-stop"),
                                    QKeySequence(), 1));
    downloads->addAction(addCommand(ZRMenuCommand::Clear, localized("Clear"), QStringLiteral("edit-clear-all"),
                                    QKeySequence(Qt::CTRL | Qt::Key_K)));
    downloads->addSeparator();
    const auto addRebuiltSubmenu = [this, downloads](const QString &title, std::function<ZRMenu()> items) {
        QMenu *submenu = downloads->addMenu(title);
        connect(submenu, &QMenu::aboutToShow, this, [submenu, items] { ZRMenuBuilder::rebuildMenu(submenu, items()); });
        // Filled once now so that the menu shows its arrow and its keyboard navigation works.
        ZRMenuBuilder::rebuildMenu(submenu, items());
    };
    addRebuiltSubmenu(localized("Sort by"), [] { return controller()->sortMenu(); });
    addRebuiltSubmenu(localized("Rearrange Queue by"), [] { return controller()->rearrangeMenu(); });
    addRebuiltSubmenu(localized("Progress Indicator"), [] { return controller()->progressBarStyleMenu(); });
    downloads->addAction(addCommand(ZRMenuCommand::ToggleLocationKeyDisplayNames, localized("Show Addresses"), QString()));
    downloads->addSeparator();
    downloads->addAction(
        addCommand(ZRMenuCommand::ToggleAutoStart, localized("Start Downloads Automatically"), QString()));
    downloads->addAction(addCommand(ZRMenuCommand::ToggleAutoSleep, localized("Sleep When Done"), QString()));
    downloads->addAction(addCommand(ZRMenuCommand::ToggleAutoShutDown, localized("Shut Down When Done..."), QString()));
    downloads->addAction(
        addCommand(ZRMenuCommand::TogglePrivateDownloading, localized("Private Downloading"), QString()));
    downloads->addAction(addCommand(ZRMenuCommand::ToggleDebugLogging, localized("Enable Debug Logging"), QString()));

    QMenu *view = menuBar()->addMenu(localized("&View"));
    _fullScreenAction = view->addAction(localized("Full Screen"));
    _fullScreenAction->setShortcut(QKeySequence::FullScreen);
    _fullScreenAction->setCheckable(true);
    addAction(_fullScreenAction);
    connect(_fullScreenAction, &QAction::triggered, this, &ZRDownloadListWindow::toggleFullScreen);
    for (QMenu *menu : {file, edit, downloads})
        connect(menu, &QMenu::aboutToShow, this, &ZRDownloadListWindow::refreshActions);
}

void ZRDownloadListWindow::buildToolbar()
{
    QToolBar *toolbar = addToolBar(localized("Main Toolbar"));
    toolbar->setObjectName(QStringLiteral("Main Toolbar 3003"));
    toolbar->setMovable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolbar->setIconSize(QSize(22, 22));

    QAction *start = _actions.value(ZRMenuCommand::QueuePaused);
    start->setIcon(themeIcon(QStringLiteral("media-playback-start"), QStyle::SP_MediaPlay));
    QAction *pause = _actions.value(ZRMenuCommand::PauseQueued);
    pause->setIcon(themeIcon(QStringLiteral("media-playback-pause"), QStyle::SP_MediaPause));
    toolbar->addAction(start);
    toolbar->addAction(pause);
    toolbar->addSeparator();

    _accelerateAction = toolbar->addAction(themeIcon(QStringLiteral("go-jump"), QStyle::SP_MediaSeekForward),
                                           localized("Accelerate Downloads"));
    _accelerateAction->setCheckable(true);
    connect(_accelerateAction, &QAction::triggered, this, [this] {
        controller()->accelerateOrThrottle(0);
        refreshActions();
    });
    _throttleAction = toolbar->addAction(themeIcon(QStringLiteral("network-idle"), QStyle::SP_BrowserStop),
                                         localized("Throttle Bandwidth"));
    _throttleAction->setCheckable(true);
    connect(_throttleAction, &QAction::triggered, this, [this] {
        controller()->accelerateOrThrottle(1);
        refreshActions();
    });
    toolbar->addSeparator();
    _scheduleQueueAction = toolbar->addAction(themeIcon(QStringLiteral("appointment-new"), QStyle::SP_ArrowUp),
                                              localized("Start According to Schedule"));
    _scheduleQueueAction->setCheckable(true);
    connect(_scheduleQueueAction, &QAction::triggered, this, [this] {
        controller()->schedule(0);
        refreshActions();
    });
    _schedulePauseAction = toolbar->addAction(themeIcon(QStringLiteral("appointment-missed"), QStyle::SP_ArrowDown),
                                              localized("Pause According to Schedule"));
    _schedulePauseAction->setCheckable(true);
    connect(_schedulePauseAction, &QAction::triggered, this, [this] {
        controller()->schedule(1);
        refreshActions();
    });
    toolbar->addSeparator();
    QAction *paste = _actions.value(ZRMenuCommand::OpenURLFromPasteboard);
    paste->setIcon(themeIcon(QStringLiteral("edit-paste"), QStyle::SP_FileDialogNewFolder));
    toolbar->addAction(paste);
    QAction *clear = _actions.value(ZRMenuCommand::Clear);
    clear->setIcon(themeIcon(QStringLiteral("edit-clear-all"), QStyle::SP_DialogResetButton));
    toolbar->addAction(clear);

    auto *more = new QToolButton(toolbar);
    more->setText(localized("More Actions"));
    more->setToolTip(localized("More Actions"));
    more->setIcon(themeIcon(QStringLiteral("open-menu"), QStyle::SP_ToolBarHorizontalExtensionButton));
    more->setPopupMode(QToolButton::InstantPopup);
    _moreActionsMenu = new QMenu(more);
    more->setMenu(_moreActionsMenu);
    connect(_moreActionsMenu, &QMenu::aboutToShow, this, [this] {
        ZRMenuBuilder::rebuildMenu(_moreActionsMenu,
                                   controller()->contextMenuForDownloads(_listView->selectedDownloads(), 13));
    });
    toolbar->addWidget(more);

    auto *spacer = new QWidget(toolbar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar->addWidget(spacer);

    // The filter and, while it holds words, its scope.
    auto *filterBox = new QWidget(toolbar);
    auto *layout = new QHBoxLayout(filterBox);
    layout->setContentsMargins(0, 0, 4, 0);
    _filterScope = new QWidget(filterBox);
    auto *scopeLayout = new QHBoxLayout(_filterScope);
    scopeLayout->setContentsMargins(0, 0, 0, 0);
    scopeLayout->addWidget(new QLabel(localized("Search:"), _filterScope));
    _filterScopeBox = new QComboBox(_filterScope);
    _filterScopeBox->addItem(localized("Name"), QStringLiteral("Name"));
    _filterScopeBox->addItem(localized("URL"), QStringLiteral("URL"));
    scopeLayout->addWidget(_filterScopeBox);
    layout->addWidget(_filterScope);
    _filterField = new QLineEdit(filterBox);
    _filterField->setPlaceholderText(localized("Filter"));
    _filterField->setClearButtonEnabled(true);
    _filterField->setMinimumWidth(160);
    layout->addWidget(_filterField);
    toolbar->addWidget(filterBox);

    const int criterion = _filterScopeBox->findData(defaults().stringForKey(ZRPreferenceKey::ToolbarFilterCriterion));
    _filterScopeBox->setCurrentIndex(criterion < 0 ? 0 : criterion);
    connect(_filterScopeBox, &QComboBox::currentIndexChanged, this, [this] {
        controller()->setToolbarFilterCriterion(_filterScopeBox->currentData().toString());
    });
    connect(_filterField, &QLineEdit::textChanged, this, [this](const QString &text) {
        controller()->setFilterString(text);
        updateFilterScope();
    });
    updateFilterScope();
}

void ZRDownloadListWindow::updateFilterScope()
{
    _filterScope->setVisible(!controller()->filterWords().isEmpty());
}

void ZRDownloadListWindow::setStatusText(const QString &text)
{
    _statusLabel->setText(text);
}

void ZRDownloadListWindow::setClearButtonVisible(bool visible)
{
    QAction *clear = _actions.value(ZRMenuCommand::Clear);
    clear->setVisible(visible);
    clear->setEnabled(visible);
}

void ZRDownloadListWindow::showScheduleState(int segment, bool on)
{
    (segment == 1 ? _schedulePauseAction : _scheduleQueueAction)->setChecked(on);
}

void ZRDownloadListWindow::refreshActions()
{
    ZRMainController *main = controller();
    for (auto it = _itemsByAction.begin(); it != _itemsByAction.end(); ++it) {
        ZRMenuItem item = it.value();
        main->validateMenuItem(item);
        QAction *action = it.key();
        if (item.command != ZRMenuCommand::Clear || action->isVisible())
            action->setEnabled(item.enabled);
        action->setCheckable(item.checkable);
        if (item.checkable)
            action->setChecked(item.checked);
    }
    if (_accelerateAction)
        _accelerateAction->setChecked(ZRDownload::accelerationEnabled());
    if (_throttleAction)
        _throttleAction->setChecked(ZRHTTPRequestDownloadWorker::isThrottled());
    if (_scheduleQueueAction)
        _scheduleQueueAction->setChecked(defaults().boolForKey(ZRPreferenceKey::ScheduleQueue));
    if (_schedulePauseAction)
        _schedulePauseAction->setChecked(defaults().boolForKey(ZRPreferenceKey::SchedulePause));
}

void ZRDownloadListWindow::closeEvent(QCloseEvent *event)
{
    if (_isClosing) {
        event->accept();
        return;
    }
    ZRMainController *main = controller();
    const bool quitOnClose = defaults().boolForKey(ZRPreferenceKey::QuitOnClose) &&
                             !(defaults().boolForKey(ZRPreferenceKey::QuitOnCloseCleanSlateOnly) &&
                               main->anyDownloadMatchesStatusMask(ZRDownloadStatusMaskActive));
    saveFrame();
    if (!main->windowShouldClose()) {
        event->ignore();
        return;
    }
    if (!quitOnClose && _closingQuits) {
        // Without a tray item nothing would be left to bring the window back.
        if (!main->shouldQuit()) {
            event->ignore();
            return;
        }
        _isClosing = true;
        if (ZRUserInterface *userInterface = main->userInterface())
            userInterface->terminate();
    }
    event->accept();
}

void ZRDownloadListWindow::restoreFrame()
{
    const QByteArray frame = defaults().objectForKey(frameKey).toByteArray();
    if (!frame.isEmpty() && restoreGeometry(frame))
        return;
    // Centred once, on the first launch.
    resize(640, 420);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void ZRDownloadListWindow::saveFrame()
{
    defaults().setObject(saveGeometry(), frameKey);
}

// MARK: - Full screen and the rubber window

namespace
{

qint64 fullScreenBehavior()
{
    return defaults().integerForKey(ZRPreferenceKey::FullScreenModeBehavior);
}

} // namespace

void ZRDownloadListWindow::applyFullScreenBehavior()
{
    const qint64 behavior = fullScreenBehavior();
    // A window already in full screen leaves it when full screen is no longer what the setting gives.
    if (isFullScreen() && behavior != 1)
        behavior == 2 ? showMaximized() : showNormal();
    _fullScreenAction->setText(behavior == 2 ? localized("Maximise") : localized("Full Screen"));
    _fullScreenAction->setEnabled(behavior == 1 || behavior == 2);
    _fullScreenAction->setChecked(behavior == 2 ? isMaximized() : isFullScreen());
}

void ZRDownloadListWindow::toggleFullScreen()
{
    switch (fullScreenBehavior()) {
    case 1:
        isFullScreen() ? showNormal() : showFullScreen();
        break;
    case 2:
        isMaximized() ? showNormal() : showMaximized();
        break;
    default:
        break;
    }
    applyFullScreenBehavior();
}

std::optional<int> ZRDownloadListWindow::rubberHeight() const
{
    if (!defaults().boolForKey(ZRPreferenceKey::RubberWindow))
        return std::nullopt;
    // The rows all have the height of the first; at least two rows' room so the window never folds away.
    const int rows = std::max(_model->rowCount(), 2);
    const int rowHeight = std::max(_listView->sizeHintForRow(0), _listView->fontMetrics().height() * 3);
    const int chrome = height() - _listView->viewport()->height();
    int wanted = chrome + rows * rowHeight + 2 * _listView->frameWidth();
    if (const QScreen *shown = screen())
        wanted = std::min(wanted, shown->availableGeometry().height() - (frameGeometry().height() - height()));
    return std::max(wanted, minimumSizeHint().height());
}

void ZRDownloadListWindow::followRowCount()
{
    const std::optional<int> wanted = rubberHeight();
    if (!wanted || isFullScreen() || isMaximized() || *wanted == height())
        return;
    if (!isVisible() || !defaults().boolForKey(ZRPreferenceKey::UselessAnimations)) {
        resize(width(), *wanted);
        return;
    }
    if (!_heightAnimation) {
        _heightAnimation = new QVariantAnimation(this);
        _heightAnimation->setDuration(150);
        _heightAnimation->setEasingCurve(QEasingCurve::OutCubic);
        connect(_heightAnimation, &QVariantAnimation::valueChanged, this,
                [this](const QVariant &value) { resize(width(), value.toInt()); });
    }
    _heightAnimation->stop();
    _heightAnimation->setStartValue(height());
    _heightAnimation->setEndValue(*wanted);
    _heightAnimation->start();
}
