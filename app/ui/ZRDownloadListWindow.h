// The download window: the list of downloads, the toolbar (start/pause, speed, schedule, clipboard,
// clear, more actions, filter), the menus and the status line. It holds no logic of its own: every
// control runs a controller command, and the controller tells it what to show.
#pragma once

#include "app/control/ZRQueueMenu.h"

#include <QHash>
#include <QMainWindow>

#include <optional>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QToolButton;
class QVariantAnimation;
class ZRDownloadListModel;
class ZRDownloadListView;

// Main thread.
class ZRDownloadListWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit ZRDownloadListWindow(QWidget *parent = nullptr);
    ~ZRDownloadListWindow() override;

    ZRDownloadListView *listView() const { return _listView; }
    ZRDownloadListModel *listModel() const { return _model; }
    QLineEdit *filterField() const { return _filterField; }
    QLabel *statusLabel() const { return _statusLabel; }
    // The window's command of that kind (menus, toolbar and shortcuts share it); none when it has none.
    QAction *actionForCommand(ZRMenuCommand command) const { return _actions.value(command); }

    void setStatusText(const QString &text);
    void setClearButtonVisible(bool visible);
    void showScheduleState(int segment, bool on);
    // Enables and checks the commands as the controller validates them now.
    void refreshActions();
    // Closing hides the window unless it quits the program; without a tray item it always quits,
    // so that no invisible program is left.
    void setClosingQuits(bool quits) { _closingQuits = quits; }
    // The View menu's full-screen command, as "Full Screen Mode Behavior" has it: not offered,
    // full screen, or maximised instead.
    QAction *fullScreenAction() const { return _fullScreenAction; }
    // With "Rubber Window" on, the height that shows every row (within the screen); none when off.
    std::optional<int> rubberHeight() const;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QAction *addCommand(ZRMenuCommand command, const QString &title, const QString &iconName,
                        const QKeySequence &shortcut = QKeySequence(), qint64 tag = 0);
    void buildMenus();
    void buildToolbar();
    void updateFilterScope();
    void restoreFrame();
    void saveFrame();
    void applyFullScreenBehavior();
    void toggleFullScreen();
    void followRowCount();

    ZRDownloadListModel *_model = nullptr;
    ZRDownloadListView *_listView = nullptr;
    QLineEdit *_filterField = nullptr;
    QWidget *_filterScope = nullptr;
    QComboBox *_filterScopeBox = nullptr;
    QLabel *_statusLabel = nullptr;
    QMenu *_fileDownloadToMenu = nullptr;
    QMenu *_moreActionsMenu = nullptr;
    QAction *_accelerateAction = nullptr;
    QAction *_throttleAction = nullptr;
    QAction *_scheduleQueueAction = nullptr;
    QAction *_schedulePauseAction = nullptr;
    QHash<ZRMenuCommand, QAction *> _actions;
    QHash<QAction *, ZRMenuItem> _itemsByAction;
    QAction *_fullScreenAction = nullptr;
    QVariantAnimation *_heightAnimation = nullptr;
    bool _closingQuits = true;
    bool _isClosing = false;
};
