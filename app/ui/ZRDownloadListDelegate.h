// Paints one row of the download list: the file-type icon, the display name, the live status
// text, the progress in the chosen style and the two action buttons (pause/resume/show and
// remove), fading and shrinking while the row vanishes.
#pragma once

#include "app/ui/ZRProgressBarPainter.h"

#include <QStyledItemDelegate>

// Main thread.
class ZRDownloadListDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit ZRDownloadListDelegate(QObject *parent = nullptr);

    // Overrides "Progress Bar Style" (tests and the style sheet draw every style at once).
    void setProgressBarStyleOverride(int style) { _styleOverride = style; }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    // The full height of a row for the font.
    static int rowHeight(const QFontMetrics &metrics);
    // Where action button 1 or 2 sits in a row; which button a point hits (0: none).
    static QRect actionButtonRect(const QStyleOptionViewItem &option, int button);
    static int actionButtonAtPoint(const QStyleOptionViewItem &option, const QPoint &point);

private:
    ZRProgressBarPainter::Style progressBarStyle() const;
    void paintActionButton(QPainter *painter, const QStyleOptionViewItem &option, const QRect &rect, int button,
                           quint64 status, bool enabled, bool highlighted) const;

    int _styleOverride = -1;
};
