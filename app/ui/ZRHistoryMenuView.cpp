#include "app/ui/ZRHistoryMenuView.h"

#include "core/foundation/ZRUserDefaults.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QWidgetAction>

namespace
{

QString localized(const char *key)
{
    return QCoreApplication::translate("ZRHistoryMenuView", key);
}

QIcon iconOf(const ZRIcon &icon)
{
    if (icon.isNull())
        return QIcon();
    if (QFileInfo(icon.name).isAbsolute())
        return QIcon(icon.name);
    return QIcon::fromTheme(icon.name, QIcon::fromTheme(icon.fallbackName));
}

} // namespace

ZRHistoryMenuView::ZRHistoryMenuView(QWidget *parent) : QMenu(localized("History"), parent)
{
    setObjectName(QStringLiteral("HistoryMenu"));
    auto *row = new QWidget(this);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(6, 3, 6, 3);
    _searchField = new QLineEdit(row);
    _searchField->setPlaceholderText(localized("Search History"));
    _searchField->setClearButtonEnabled(true);
    _searchField->setMinimumWidth(180);
    _searchScope = new QComboBox(row);
    _searchScope->addItem(localized("Name"), QStringLiteral("Name"));
    _searchScope->addItem(localized("URL"), QStringLiteral("URL"));
    layout->addWidget(_searchField, 1);
    layout->addWidget(_searchScope);
    _searchAction = new QWidgetAction(this);
    static_cast<QWidgetAction *>(_searchAction)->setDefaultWidget(row);
    addAction(_searchAction);

    connect(this, &QMenu::aboutToShow, this, [this] {
        const QSignalBlocker blocker(_searchScope);
        const int index = _searchScope->findData(
            ZRUserDefaults::standardUserDefaults().stringForKey(ZRHistoryKeys::HistorySearchCriterion));
        _searchScope->setCurrentIndex(std::max(index, 0));
        rebuild();
    });
    connect(_searchField, &QLineEdit::textChanged, this, &ZRHistoryMenuView::rebuild);
    connect(_searchScope, &QComboBox::activated, this, [this](int index) {
        ZRUserDefaults::standardUserDefaults().setObject(_searchScope->itemData(index).toString(),
                                                         ZRHistoryKeys::HistorySearchCriterion);
        rebuild();
    });
    rebuild();
}

ZRHistoryMenuView::~ZRHistoryMenuView() = default;

QStringList ZRHistoryMenuView::searchStrings() const
{
    return _searchField->text().split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

void ZRHistoryMenuView::rebuild()
{
    // Everything but the search field, which keeps its text and its focus.
    const QList<QAction *> old = actions();
    for (QAction *action : old) {
        if (action == _searchAction)
            continue;
        removeAction(action);
        if (QMenu *submenu = action->menu()) {
            _dayMenus.remove(submenu);
            submenu->deleteLater();
        }
        if (action->parent() == this)
            action->deleteLater();
    }
    addSeparator();
    ZRHistoryMenu model;
    ZRHistorian::historian()->populateMenu(model, searchStrings());
    addItems(this, model.items);
}

void ZRHistoryMenuView::addItems(QMenu *menu, const QList<ZRHistoryMenuItem> &items)
{
    for (const ZRHistoryMenuItem &item : items) {
        if (item.isSeparator) {
            menu->addSeparator();
            continue;
        }
        if (item.submenu) {
            auto *submenu = new QMenu(item.title, menu);
            submenu->setIcon(iconOf(item.icon));
            const bool isDay =
                item.submenu->items.size() == 1 && item.submenu->items.first().dayItems.has_value();
            if (isDay) {
                // Filled when it opens; the placeholder keeps the arrow until then.
                _dayMenus.insert(submenu, item.submenu);
                submenu->addAction(QStringLiteral("-"))->setEnabled(false);
                connect(submenu, &QMenu::aboutToShow, this, [this, submenu] { fillDaySubmenu(submenu); });
            } else {
                addItems(submenu, item.submenu->items);
            }
            QAction *entry = submenu->menuAction();
            menu->addAction(entry);
            // Choosing the item itself opens its file, when it has one.
            if (item.action != ZRHistoryMenuItem::Action::None)
                connect(entry, &QAction::triggered, this,
                        [item] { ZRHistorian::historian()->perform(item); });
            continue;
        }
        QAction *action = menu->addAction(iconOf(item.icon), item.title);
        action->setEnabled(item.isEnabled);
        if (item.isSmall) {
            QFont font = action->font();
            font.setPointSizeF(font.pointSizeF() * 0.85);
            action->setFont(font);
        }
        if (item.action != ZRHistoryMenuItem::Action::None)
            connect(action, &QAction::triggered, this, [item] { ZRHistorian::historian()->perform(item); });
    }
}

void ZRHistoryMenuView::fillDaySubmenu(QMenu *submenu)
{
    const auto it = _dayMenus.find(submenu);
    if (it == _dayMenus.end())
        return;
    const std::shared_ptr<ZRHistoryMenu> model = it.value();
    // Once only: the historian leaves a filled day alone.
    if (!(model->items.size() == 1 && model->items.first().dayItems))
        return;
    ZRHistorian::historian()->menuNeedsUpdate(*model);
    submenu->clear();
    addItems(submenu, model->items);
}
