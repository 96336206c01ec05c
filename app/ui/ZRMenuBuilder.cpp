#include "app/ui/ZRMenuBuilder.h"

#include "app/control/ZRMainController.h"

#include <QAction>
#include <QIcon>
#include <QMenu>

namespace ZRMenuBuilder
{

void fillMenu(QMenu *menu, const ZRMenu &items)
{
    for (const ZRMenuItem &item : items) {
        switch (item.kind) {
        case ZRMenuItem::Kind::Separator:
            menu->addSeparator();
            break;
        case ZRMenuItem::Kind::PlainLine: {
            QAction *line = menu->addAction(item.title);
            line->setEnabled(false);
            if (item.small) {
                QFont font = line->font();
                if (font.pointSizeF() > 0)
                    font.setPointSizeF(font.pointSizeF() * 0.85);
                line->setFont(font);
            }
            break;
        }
        case ZRMenuItem::Kind::Submenu: {
            QMenu *submenu = menu->addMenu(item.title);
            submenu->setEnabled(item.enabled);
            fillMenu(submenu, item.submenu);
            break;
        }
        case ZRMenuItem::Kind::Item: {
            QAction *action = menu->addAction(item.title);
            if (!item.iconName.isEmpty())
                action->setIcon(item.iconName.startsWith(QLatin1Char('/')) ? QIcon(item.iconName)
                                                                          : QIcon::fromTheme(item.iconName));
            action->setEnabled(item.enabled);
            action->setCheckable(item.checkable);
            action->setChecked(item.checked);
            // Menu items carry "&" literally: no mnemonics in names and addresses.
            action->setText(QString(item.title).replace(QLatin1Char('&'), QStringLiteral("&&")));
            QObject::connect(action, &QAction::triggered, menu, [item] {
                ZRMainController::mainController()->performMenuItem(item);
            });
            break;
        }
        }
    }
}

void rebuildMenu(QMenu *menu, const ZRMenu &items)
{
    menu->clear();
    fillMenu(menu, items);
}

} // namespace ZRMenuBuilder
