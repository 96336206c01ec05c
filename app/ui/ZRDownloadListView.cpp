#include "app/ui/ZRDownloadListView.h"

#include "app/control/ZRMainController.h"
#include "app/ui/ZRDownloadListDelegate.h"
#include "app/ui/ZRDownloadListModel.h"
#include "app/ui/ZRMenuBuilder.h"

#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>

namespace
{

constexpr int vanishStepMilliseconds = 15;

void perform(ZRMenuCommand command, const ZRDownloadList &downloads)
{
    ZRMenuItem item;
    item.command = command;
    item.downloads = downloads;
    ZRMainController::mainController()->performMenuItem(item);
}

} // namespace

ZRDownloadListView::ZRDownloadListView(QWidget *parent) : QListView(parent)
{
    setItemDelegate(new ZRDownloadListDelegate(this));
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);
    setDragDropOverwriteMode(false);
    setMouseTracking(true);
    setUniformItemSizes(false);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSpacing(0);
    setFrameShape(QFrame::NoFrame);
    setAlternatingRowColors(false);
}

ZRDownloadListModel *ZRDownloadListView::downloadModel() const
{
    return qobject_cast<ZRDownloadListModel *>(model());
}

ZRDownloadList ZRDownloadListView::selectedDownloads() const
{
    ZRDownloadList selected;
    ZRDownloadListModel *listModel = downloadModel();
    if (!listModel || !selectionModel())
        return selected;
    QModelIndexList rows = selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    for (const QModelIndex &index : rows) {
        if (ZRDownloadPtr download = listModel->downloadAtRow(index.row()))
            selected.append(download);
    }
    return selected;
}

void ZRDownloadListView::selectDownloads(const ZRDownloadList &downloads)
{
    ZRDownloadListModel *listModel = downloadModel();
    if (!listModel || !selectionModel())
        return;
    QItemSelection selection;
    for (const ZRDownloadPtr &download : downloads) {
        const QModelIndex index = listModel->indexOfDownload(download.get());
        if (index.isValid())
            selection.select(index, index);
    }
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    if (!selection.isEmpty())
        selectionModel()->setCurrentIndex(selection.indexes().first(), QItemSelectionModel::NoUpdate);
}

void ZRDownloadListView::performVanishStepForDownload(ZRDownload *download)
{
    if (ZRDownloadListModel *listModel = downloadModel()) {
        listModel->redrawDownload(download);
        // The row's height changed.
        scheduleDelayedItemsLayout();
    }
    const std::weak_ptr<ZRDownload> weak = download->weak_from_this();
    QTimer::singleShot(vanishStepMilliseconds, this, [weak] {
        if (const ZRDownloadPtr vanishing = weak.lock())
            vanishing->performVanishStep();
    });
}

void ZRDownloadListView::keyPressEvent(QKeyEvent *event)
{
    const ZRDownloadList selected = selectedDownloads();
    switch (event->key()) {
    case Qt::Key_Delete:
    case Qt::Key_Backspace:
        if (selected.isEmpty())
            ZRMainController::mainController()->beep();
        else
            perform(ZRMenuCommand::Remove, selected);
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (selected.isEmpty())
            ZRMainController::mainController()->beep();
        else
            perform(ZRMenuCommand::Open, selected);
        return;
    case Qt::Key_Space: {
        ZRDownloadList unfinished;
        for (const ZRDownloadPtr &download : selected) {
            if (!download->matchesStatusMask(ZRDownloadStatusMaskFinished))
                unfinished.append(download);
        }
        if (unfinished.isEmpty())
            ZRMainController::mainController()->beep();
        else
            perform(ZRMenuCommand::TogglePause, unfinished);
        return;
    }
    default:
        QListView::keyPressEvent(event);
    }
}

std::pair<QModelIndex, int> ZRDownloadListView::actionButtonAt(const QPoint &point) const
{
    const QModelIndex index = indexAt(point);
    if (!index.isValid())
        return {index, 0};
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.rect = visualRect(index);
    return {index, ZRDownloadListDelegate::actionButtonAtPoint(option, point)};
}

void ZRDownloadListView::setHighlightedButton(const QModelIndex &index, int button)
{
    ZRDownloadListModel *listModel = downloadModel();
    if (!listModel)
        return;
    if (_highlightedIndex.isValid() && _highlightedIndex != index) {
        if (ZRDownloadPtr previous = listModel->downloadAtRow(_highlightedIndex.row())) {
            previous->setHighlightedActionButtonIndex(0);
            listModel->redrawDownload(previous.get());
        }
    }
    _highlightedIndex = index;
    if (ZRDownloadPtr download = listModel->downloadAtRow(index.row())) {
        if (download->highlightedActionButtonIndex() != quint64(button)) {
            download->setHighlightedActionButtonIndex(quint64(button));
            listModel->redrawDownload(download.get());
        }
    }
}

void ZRDownloadListView::mousePressEvent(QMouseEvent *event)
{
    const auto [index, button] = actionButtonAt(event->position().toPoint());
    if (button != 0 && event->button() == Qt::LeftButton) {
        // A button press leaves the selection alone.
        _pressedIndex = index;
        _pressedButton = button;
        setHighlightedButton(index, button);
        event->accept();
        return;
    }
    QListView::mousePressEvent(event);
}

void ZRDownloadListView::mouseMoveEvent(QMouseEvent *event)
{
    const auto [index, button] = actionButtonAt(event->position().toPoint());
    if (_pressedButton != 0) {
        // Highlighted only while the pointer stays on the pressed button.
        const bool onIt = index == _pressedIndex && button == _pressedButton;
        setHighlightedButton(_pressedIndex, onIt ? _pressedButton : 0);
        return;
    }
    setHighlightedButton(index, button);
    QListView::mouseMoveEvent(event);
}

void ZRDownloadListView::mouseReleaseEvent(QMouseEvent *event)
{
    if (_pressedButton == 0) {
        QListView::mouseReleaseEvent(event);
        return;
    }
    const auto [index, button] = actionButtonAt(event->position().toPoint());
    const int pressed = std::exchange(_pressedButton, 0);
    const QPersistentModelIndex pressedIndex = std::exchange(_pressedIndex, QPersistentModelIndex());
    event->accept();
    if (index != pressedIndex || button != pressed)
        return;
    ZRDownloadListModel *listModel = downloadModel();
    const ZRDownloadPtr download = listModel ? listModel->downloadAtRow(index.row()) : nullptr;
    if (!download)
        return;
    if (!download->canPerformActionWithIndex(quint64(button))) {
        ZRMainController::mainController()->beep();
        return;
    }
    const bool alternate = event->modifiers() & (Qt::ShiftModifier | Qt::AltModifier);
    download->performActionWithIndex(quint64(button), alternate);
    listModel->redrawDownload(download.get());
}

void ZRDownloadListView::leaveEvent(QEvent *event)
{
    if (_pressedButton == 0)
        setHighlightedButton(QModelIndex(), 0);
    QListView::leaveEvent(event);
}

void ZRDownloadListView::contextMenuEvent(QContextMenuEvent *event)
{
    const QModelIndex index = indexAt(event->pos());
    ZRDownloadList downloads;
    if (index.isValid()) {
        // The selection when the clicked row is in it, else just that row.
        if (selectionModel()->isSelected(index))
            downloads = selectedDownloads();
        else if (ZRDownloadPtr clicked = downloadModel()->downloadAtRow(index.row()))
            downloads = {clicked};
    }
    QMenu menu(this);
    ZRMenuBuilder::fillMenu(&menu, ZRMainController::mainController()->contextMenuForDownloads(downloads, 13));
    menu.exec(event->globalPos());
}

void ZRDownloadListView::startDrag(Qt::DropActions supportedActions)
{
    QListView::startDrag(supportedActions);
    // Dropped elsewhere, or nowhere.
    ZRMainController::mainController()->endDraggingDownloads();
}

void ZRDownloadListView::dragEnterEvent(QDragEnterEvent *event)
{
    // Addresses and files from elsewhere are copies for the whole list.
    if (event->source() != this && (event->mimeData()->hasUrls() || event->mimeData()->hasText())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    }
    QListView::dragEnterEvent(event);
}

void ZRDownloadListView::dragMoveEvent(QDragMoveEvent *event)
{
    if (event->source() != this && (event->mimeData()->hasUrls() || event->mimeData()->hasText())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    }
    QListView::dragMoveEvent(event);
}

void ZRDownloadListView::selectionChanged(const QItemSelection &selected, const QItemSelection &deselected)
{
    QListView::selectionChanged(selected, deselected);
    Q_EMIT downloadSelectionChanged();
}
