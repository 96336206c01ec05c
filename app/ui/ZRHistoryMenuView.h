// The History menu (menu bar and tray): a search field, then the historian's menu, rebuilt each
// time it opens or the search changes; day submenus are filled when they open.
#pragma once

#include "core/text/ZRHistorian.h"

#include <QHash>
#include <QMenu>

#include <memory>

class QComboBox;
class QLineEdit;

// Main thread.
class ZRHistoryMenuView : public QMenu
{
    Q_OBJECT
public:
    explicit ZRHistoryMenuView(QWidget *parent = nullptr);
    ~ZRHistoryMenuView() override;

    QLineEdit *searchField() const { return _searchField; }
    // The search field's words, matched against names or, with "History Search Criterion" "URL",
    // addresses.
    QStringList searchStrings() const;
    // Fills the menu again from the history and the search field's words.
    void rebuild();
    // A day submenu opens: its placeholder gives way to the day's items.
    void fillDaySubmenu(QMenu *submenu);

private:
    void addItems(QMenu *menu, const QList<ZRHistoryMenuItem> &items);

    QLineEdit *_searchField = nullptr;
    QComboBox *_searchScope = nullptr;
    QAction *_searchAction = nullptr;
    // The historian's model of each day submenu on screen.
    QHash<QMenu *, std::shared_ptr<ZRHistoryMenu>> _dayMenus;
};
