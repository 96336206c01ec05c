#include "app/ui/ZRProgressBarPainter.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <QStyleOptionViewItem>
#include <QWidget>

#include <algorithm>

namespace
{

bool isSelected(const QStyleOptionViewItem &option)
{
    return option.state & QStyle::State_Selected;
}

QColor withAlpha(QColor color, double alpha)
{
    color.setAlphaF(float(alpha));
    return color;
}

// The part of rect that the fraction covers, from the leading edge (the right one in right-to-left).
QRect coveredPart(const QRect &rect, double fraction, Qt::LayoutDirection direction)
{
    const int width = int(double(rect.width()) * std::clamp(fraction, 0.0, 1.0) + 0.5);
    QRect covered(rect.left(), rect.top(), width, rect.height());
    if (direction == Qt::RightToLeft)
        covered.moveRight(rect.right());
    return covered;
}

} // namespace

ZRProgressBarPainter::Style ZRProgressBarPainter::styleFromValue(qint64 value)
{
    switch (value) {
    case SubtleBackground:
        return SubtleBackground;
    case Pill:
        return Pill;
    case DividerLine:
        return DividerLine;
    default:
        return LivelyBackground;
    }
}

void ZRProgressBarPainter::paintBackground(QPainter *painter, const QStyleOptionViewItem &option, double fraction,
                                           Style style)
{
    if (style != LivelyBackground && style != SubtleBackground)
        return;
    const QPalette &palette = option.palette;
    // On a selected row the highlight is the background: the fill is a lighter veil over it.
    QColor fill;
    if (isSelected(option))
        fill = withAlpha(palette.color(QPalette::HighlightedText), style == LivelyBackground ? 0.28 : 0.14);
    else if (style == LivelyBackground)
        fill = withAlpha(palette.color(QPalette::Highlight), 0.38);
    else
        fill = withAlpha(palette.color(QPalette::Text), 0.09);
    painter->fillRect(coveredPart(option.rect, fraction, option.direction), fill);
}

void ZRProgressBarPainter::paintForeground(QPainter *painter, const QStyleOptionViewItem &option,
                                           const QRect &pillRect, double fraction, Style style,
                                           const QWidget *widget)
{
    if (style == Pill) {
        QStyleOptionProgressBar bar;
        bar.initFrom(widget);
        bar.rect = pillRect;
        bar.direction = option.direction;
        bar.palette = option.palette;
        bar.minimum = 0;
        bar.maximum = 1000;
        bar.progress = int(std::clamp(fraction, 0.0, 1.0) * 1000);
        bar.textVisible = false;
        bar.state = QStyle::State_Enabled | QStyle::State_Horizontal;
        if (isSelected(option)) {
            // The style fills with the highlight colour, which is the selected row's own.
            bar.palette.setColor(QPalette::Highlight, option.palette.color(QPalette::HighlightedText));
            bar.palette.setColor(QPalette::HighlightedText, option.palette.color(QPalette::Highlight));
        }
        QStyle *style = widget ? widget->style() : nullptr;
        if (style) {
            style->drawControl(QStyle::CE_ProgressBarGroove, &bar, painter, widget);
            style->drawControl(QStyle::CE_ProgressBarContents, &bar, painter, widget);
        }
        return;
    }
    if (style != DividerLine)
        return;
    const QRect line(option.rect.left(), option.rect.bottom() - lineThickness + 1, option.rect.width(), lineThickness);
    const QPalette &palette = option.palette;
    const bool selected = isSelected(option);
    painter->fillRect(line, withAlpha(palette.color(selected ? QPalette::HighlightedText : QPalette::Text), 0.12));
    painter->fillRect(coveredPart(line, fraction, option.direction),
                      palette.color(selected ? QPalette::HighlightedText : QPalette::Highlight));
}
