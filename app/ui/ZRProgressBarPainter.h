// Paints a row's progress in the four "Progress Bar Style" styles: the lively and the subtle
// background behind the row's content, the pill under the name and the divider line along the
// row's bottom edge.
#pragma once

#include <QRect>

class QPainter;
class QStyleOptionViewItem;
class QWidget;

// Main thread.
class ZRProgressBarPainter
{
public:
    enum Style { LivelyBackground = 0, SubtleBackground = 1, Pill = 2, DividerLine = 3 };

    // Styles beyond the known ones read as the lively background.
    static Style styleFromValue(qint64 value);

    // What goes behind the row's content (styles 0 and 1); nothing for the others.
    static void paintBackground(QPainter *painter, const QStyleOptionViewItem &option, double fraction, Style style);
    // What goes over it: the pill in pillRect (style 2) or the line along the row's bottom (style 3).
    static void paintForeground(QPainter *painter, const QStyleOptionViewItem &option, const QRect &pillRect,
                                double fraction, Style style, const QWidget *widget);
    // The pill's height and the line's thickness, in device-independent pixels.
    static constexpr int pillHeight = 6;
    static constexpr int lineThickness = 2;
};
