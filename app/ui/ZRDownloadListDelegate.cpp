#include "app/ui/ZRDownloadListDelegate.h"

#include "app/control/ZRPreferenceKeys.h"
#include "app/ui/ZRDownloadListModel.h"
#include "core/download/ZRDownload.h"
#include "core/foundation/ZRUserDefaults.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>

#include <algorithm>
#include <cmath>

namespace
{

constexpr int margin = 6;
constexpr int iconSize = 32;
constexpr int buttonSize = 20;
constexpr int buttonGap = 6;
constexpr int lineGap = 2;

QFont statusFont(const QFont &font)
{
    QFont small = font;
    if (small.pointSizeF() > 0)
        small.setPointSizeF(small.pointSizeF() * 0.85);
    else
        small.setPixelSize(std::max(8, int(small.pixelSize() * 0.85)));
    return small;
}

QColor mixed(const QColor &a, const QColor &b, double share)
{
    return QColor::fromRgbF(float(a.redF() * share + b.redF() * (1 - share)),
                            float(a.greenF() * share + b.greenF() * (1 - share)),
                            float(a.blueF() * share + b.blueF() * (1 - share)));
}

// A rectangle laid out left to right, placed for the row's direction.
QRect placed(const QStyleOptionViewItem &option, const QRect &logical)
{
    return QStyle::visualRect(option.direction, option.rect, logical);
}

} // namespace

ZRDownloadListDelegate::ZRDownloadListDelegate(QObject *parent) : QStyledItemDelegate(parent) {}

ZRProgressBarPainter::Style ZRDownloadListDelegate::progressBarStyle() const
{
    if (_styleOverride >= 0)
        return ZRProgressBarPainter::styleFromValue(_styleOverride);
    return ZRProgressBarPainter::styleFromValue(
        ZRUserDefaults::standardUserDefaults().integerForKey(ZRPreferenceKey::ProgressBarStyle));
}

int ZRDownloadListDelegate::rowHeight(const QFontMetrics &metrics)
{
    // Name line, the pill's room and the status line, or the icon, whichever is taller.
    const int text = metrics.height() + lineGap + ZRProgressBarPainter::pillHeight + lineGap +
                     int(std::ceil(metrics.height() * 0.9));
    return std::max(iconSize, text) + 2 * margin;
}

QSize ZRDownloadListDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    int height = rowHeight(option.fontMetrics);
    const double shrink = index.data(ZRDownloadListModel::VanishRowHeightRole).toDouble();
    if (shrink >= 0)
        height = int(double(height) * shrink);
    return QSize(iconSize + 2 * margin + 200, std::max(0, height));
}

QRect ZRDownloadListDelegate::actionButtonRect(const QStyleOptionViewItem &option, int button)
{
    const QRect row = option.rect;
    const int top = row.top() + (row.height() - buttonSize) / 2;
    // Remove at the far end, the other one before it.
    const int right = row.right() - margin - (button == 2 ? 0 : buttonSize + buttonGap);
    return placed(option, QRect(right - buttonSize + 1, top, buttonSize, buttonSize));
}

int ZRDownloadListDelegate::actionButtonAtPoint(const QStyleOptionViewItem &option, const QPoint &point)
{
    for (const int button : {1, 2}) {
        if (actionButtonRect(option, button).adjusted(-2, -2, 2, 2).contains(point))
            return button;
    }
    return 0;
}

void ZRDownloadListDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                   const QModelIndex &index) const
{
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    const bool selected = opt.state & QStyle::State_Selected;

    painter->save();
    // The row's own background (selection, hover) first, then progress, then the content.
    QStyleOptionViewItem background(opt);
    background.text.clear();
    background.icon = QIcon();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &background, painter, widget);

    const double vanish = index.data(ZRDownloadListModel::VanishFractionRole).toDouble();
    if (vanish > 0)
        painter->setOpacity(std::clamp(1.0 - vanish, 0.0, 1.0));
    if (index.data(ZRDownloadListModel::VanishRowHeightRole).toDouble() >= 0) {
        painter->restore();
        return;
    }

    const quint64 status = index.data(ZRDownloadListModel::StatusRole).toULongLong();
    const double fraction = index.data(ZRDownloadListModel::ProgressRole).toDouble();
    const bool showsProgress = status == ZRDownloadStatusDownloading;
    const ZRProgressBarPainter::Style barStyle = progressBarStyle();
    if (showsProgress)
        ZRProgressBarPainter::paintBackground(painter, opt, fraction, barStyle);

    const QRect row = opt.rect;
    const QRect iconRect = placed(opt, QRect(row.left() + margin, row.top() + (row.height() - iconSize) / 2, iconSize, iconSize));
    const QIcon icon = qvariant_cast<QIcon>(index.data(Qt::DecorationRole));
    if (!icon.isNull())
        icon.paint(painter, iconRect, Qt::AlignCenter, selected ? QIcon::Selected : QIcon::Normal);

    const int textLeft = row.left() + margin + iconSize + margin;
    const int textRight = row.right() - margin - 2 * buttonSize - buttonGap - margin;
    const int textWidth = std::max(0, textRight - textLeft);
    const QFontMetrics nameMetrics(opt.font);
    const QFont smallFont = statusFont(opt.font);
    const QFontMetrics statusMetrics(smallFont);
    const int blockHeight = nameMetrics.height() + lineGap + ZRProgressBarPainter::pillHeight + lineGap +
                            statusMetrics.height();
    const int top = row.top() + std::max(0, (row.height() - blockHeight) / 2);
    const QRect nameRect = placed(opt, QRect(textLeft, top, textWidth, nameMetrics.height()));
    const QRect pillRect = placed(opt, QRect(textLeft, top + nameMetrics.height() + lineGap, textWidth,
                                             ZRProgressBarPainter::pillHeight));
    const QRect statusRect = placed(opt, QRect(textLeft, pillRect.bottom() + 1 + lineGap, textWidth,
                                               statusMetrics.height()));

    const QPalette &palette = opt.palette;
    const QColor text = palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
    const QColor base = selected ? palette.color(QPalette::Highlight) : palette.color(QPalette::Base);
    const Qt::Alignment alignment = QStyle::visualAlignment(opt.direction, Qt::AlignLeft | Qt::AlignVCenter);
    painter->setPen(text);
    painter->setFont(opt.font);
    painter->drawText(nameRect, int(alignment),
                      nameMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideMiddle, textWidth));
    painter->setFont(smallFont);
    // Dimmer than the name, yet readable on light and dark rows alike.
    painter->setPen(mixed(text, base, 0.72));
    painter->drawText(statusRect, int(alignment),
                      statusMetrics.elidedText(index.data(ZRDownloadListModel::StatusTextRole).toString(),
                                               Qt::ElideRight, textWidth));

    if (showsProgress)
        ZRProgressBarPainter::paintForeground(painter, opt, pillRect, fraction, barStyle, widget);

    const QList<bool> can = index.data(ZRDownloadListModel::CanPerformActionRole).value<QList<bool>>();
    const quint64 highlighted = index.data(ZRDownloadListModel::HighlightedButtonRole).toULongLong();
    for (const int button : {1, 2})
        paintActionButton(painter, opt, actionButtonRect(opt, button), button, status,
                          can.size() == 2 && can.at(button - 1), highlighted == quint64(button));
    painter->restore();
}

void ZRDownloadListDelegate::paintActionButton(QPainter *painter, const QStyleOptionViewItem &option,
                                               const QRect &rect, int button, quint64 status, bool enabled,
                                               bool highlighted) const
{
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette &palette = option.palette;
    QColor ink = palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    if (!enabled)
        painter->setOpacity(painter->opacity() * 0.3);
    const QRectF circle = QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5);
    if (highlighted && enabled) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(selected ? palette.color(QPalette::HighlightedText) : palette.color(QPalette::Highlight));
        painter->drawEllipse(circle);
        ink = selected ? palette.color(QPalette::Highlight) : palette.color(QPalette::HighlightedText);
    } else {
        QColor ring = ink;
        ring.setAlphaF(0.45f);
        painter->setPen(QPen(ring, 1.2));
        painter->setBrush(Qt::NoBrush);
        painter->drawEllipse(circle);
    }
    painter->setPen(QPen(ink, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter->setBrush(ink);
    const QPointF c = circle.center();
    const double s = rect.width() / 20.0;
    if (button == 2) {
        painter->drawLine(c + QPointF(-4 * s, -4 * s), c + QPointF(4 * s, 4 * s));
        painter->drawLine(c + QPointF(4 * s, -4 * s), c + QPointF(-4 * s, 4 * s));
    } else if (status == ZRDownloadStatusPaused) {
        // Resume: a triangle pointing the way the row reads.
        const double d = option.direction == Qt::RightToLeft ? -1 : 1;
        QPainterPath triangle;
        triangle.moveTo(c + QPointF(-3 * s * d, -4.5 * s));
        triangle.lineTo(c + QPointF(4.5 * s * d, 0));
        triangle.lineTo(c + QPointF(-3 * s * d, 4.5 * s));
        triangle.closeSubpath();
        painter->setPen(Qt::NoPen);
        painter->drawPath(triangle);
    } else if (status == ZRDownloadStatusQueued || status == ZRDownloadStatusDownloading) {
        painter->setPen(Qt::NoPen);
        painter->drawRect(QRectF(c.x() - 3.5 * s, c.y() - 4.5 * s, 2.5 * s, 9 * s));
        painter->drawRect(QRectF(c.x() + 1 * s, c.y() - 4.5 * s, 2.5 * s, 9 * s));
    } else {
        // Show the file: a magnifying glass.
        painter->setBrush(Qt::NoBrush);
        painter->drawEllipse(c + QPointF(-1 * s, -1 * s), 3.5 * s, 3.5 * s);
        painter->drawLine(c + QPointF(1.6 * s, 1.6 * s), c + QPointF(4.5 * s, 4.5 * s));
    }
    painter->restore();
}
