// The download list's view: row buttons with their highlight, the keys of the list (Delete
// removes, Return opens, Space pauses or resumes), the context menu, dragging rows and dropping
// addresses, and the rows' removal animation.
#pragma once

#include "core/download/ZRDownloadVanishView.h"
#include "core/download/ZRDownload.h"

#include <QListView>

class ZRDownloadListModel;

// Main thread.
class ZRDownloadListView : public QListView, public ZRDownloadVanishView
{
    Q_OBJECT
public:
    explicit ZRDownloadListView(QWidget *parent = nullptr);

    ZRDownloadListModel *downloadModel() const;
    // The selected downloads, in display order.
    ZRDownloadList selectedDownloads() const;
    void selectDownloads(const ZRDownloadList &downloads);

    void performVanishStepForDownload(ZRDownload *download) override;

Q_SIGNALS:
    // The selection changed (also when the rows were shown again).
    void downloadSelectionChanged();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void startDrag(Qt::DropActions supportedActions) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void selectionChanged(const QItemSelection &selected, const QItemSelection &deselected) override;

private:
    // Which button of which row is under the point.
    std::pair<QModelIndex, int> actionButtonAt(const QPoint &point) const;
    void setHighlightedButton(const QModelIndex &index, int button);

    QPersistentModelIndex _highlightedIndex;
    QPersistentModelIndex _pressedIndex;
    int _pressedButton = 0;
};
