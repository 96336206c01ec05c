// The download list's model: one row per displayed download (the controller's sorted and filtered
// list), with roles for what a row shows. Row redraws are gathered: any number of them in one turn
// of the event loop give one dataChanged. Drags and drops go to the controller.
#pragma once

#include "core/download/ZRDownload.h"

#include <QAbstractListModel>
#include <QHash>
#include <QIcon>
#include <QSet>
#include <QTimer>

// Main thread.
class ZRDownloadListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Role {
        StatusTextRole = Qt::UserRole + 1,
        ProgressRole,           // double 0...1
        StatusRole,             // the status bit (qulonglong)
        VanishFractionRole,     // double: -1, or 0...1 while the row fades
        VanishRowHeightRole,    // double: -1, or 1...0 while the row shrinks
        HighlightedButtonRole,  // 0 none, 1 pause/resume/show, 2 remove
        CanPerformActionRole,   // QList<bool> of buttons 1 and 2
    };

    // The type of rows dragged inside the list.
    static QString internalDownloadIndexPasteboardType();

    explicit ZRDownloadListModel(QObject *parent = nullptr);

    // The rows to show, in this order; the same rows again only redraw them.
    void setDownloads(const ZRDownloadList &rows);
    const ZRDownloadList &downloads() const { return _rows; }
    ZRDownloadPtr downloadAtRow(int row) const;
    QModelIndex indexOfDownload(const ZRDownload *download) const;
    // Marks the row for the next redraw; the redraw comes once this turn of the event loop ends.
    void redrawDownload(const ZRDownload *download);
    void redrawAll();
    // Runs the pending redraw now.
    void flushRedraws();
    // Called for every row redrawn, with its status text (the window's debug log).
    void setRedrawObserver(std::function<void(ZRDownload &)> observer) { _redrawObserver = std::move(observer); }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    Qt::DropActions supportedDropActions() const override;
    Qt::DropActions supportedDragActions() const override;
    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QModelIndexList &indexes) const override;
    bool canDropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                         const QModelIndex &parent) const override;
    bool dropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                      const QModelIndex &parent) override;

Q_SIGNALS:
    // dataChanged has gone out for these rows (the window refreshes its commands).
    void rowsRedrawn();

private:
    QIcon iconForDownload(ZRDownload &download) const;

    ZRDownloadList _rows;
    QHash<const ZRDownload *, int> _rowByDownload;
    QSet<int> _dirtyRows;
    bool _allDirty = false;
    QTimer _redrawTimer;
    mutable QHash<QString, QIcon> _iconsByName;
    std::function<void(ZRDownload &)> _redrawObserver;
};
