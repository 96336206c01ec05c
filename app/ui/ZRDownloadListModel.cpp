#include "app/ui/ZRDownloadListModel.h"

#include "app/control/ZRMainController.h"

#include <QApplication>
#include <QMimeData>
#include <QStyle>
#include <QUrl>

#include <algorithm>

QString ZRDownloadListModel::internalDownloadIndexPasteboardType()
{
    return QStringLiteral("application/x-com.tessaline.quorvel.internalpasteboardtype");
}

ZRDownloadListModel::ZRDownloadListModel(QObject *parent) : QAbstractListModel(parent)
{
    _redrawTimer.setSingleShot(true);
    _redrawTimer.setInterval(0);
    connect(&_redrawTimer, &QTimer::timeout, this, &ZRDownloadListModel::flushRedraws);
}

void ZRDownloadListModel::setDownloads(const ZRDownloadList &rows)
{
    if (rows == _rows) {
        redrawAll();
        return;
    }
    beginResetModel();
    _rows = rows;
    _rowByDownload.clear();
    _rowByDownload.reserve(_rows.size());
    for (int row = 0; row < int(_rows.size()); ++row)
        _rowByDownload.insert(_rows.at(row).get(), row);
    _dirtyRows.clear();
    _allDirty = false;
    endResetModel();
}

ZRDownloadPtr ZRDownloadListModel::downloadAtRow(int row) const
{
    return row >= 0 && row < int(_rows.size()) ? _rows.at(row) : nullptr;
}

QModelIndex ZRDownloadListModel::indexOfDownload(const ZRDownload *download) const
{
    const auto found = _rowByDownload.constFind(download);
    return found == _rowByDownload.constEnd() ? QModelIndex() : index(*found);
}

void ZRDownloadListModel::redrawDownload(const ZRDownload *download)
{
    const auto found = _rowByDownload.constFind(download);
    if (found == _rowByDownload.constEnd())
        return;
    _dirtyRows.insert(*found);
    if (!_redrawTimer.isActive())
        _redrawTimer.start();
}

void ZRDownloadListModel::redrawAll()
{
    _allDirty = true;
    if (!_redrawTimer.isActive())
        _redrawTimer.start();
}

void ZRDownloadListModel::flushRedraws()
{
    _redrawTimer.stop();
    if (_rows.isEmpty() || (!_allDirty && _dirtyRows.isEmpty())) {
        _dirtyRows.clear();
        _allDirty = false;
        return;
    }
    int first = 0;
    int last = int(_rows.size()) - 1;
    if (!_allDirty) {
        first = *std::min_element(_dirtyRows.begin(), _dirtyRows.end());
        last = *std::max_element(_dirtyRows.begin(), _dirtyRows.end());
    }
    if (_redrawObserver) {
        if (_allDirty) {
            for (const ZRDownloadPtr &download : std::as_const(_rows))
                _redrawObserver(*download);
        } else {
            for (const int row : std::as_const(_dirtyRows))
                _redrawObserver(*_rows.at(row));
        }
    }
    _dirtyRows.clear();
    _allDirty = false;
    Q_EMIT dataChanged(index(first), index(last));
    Q_EMIT rowsRedrawn();
}

int ZRDownloadListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(_rows.size());
}

QIcon ZRDownloadListModel::iconForDownload(ZRDownload &download) const
{
    const ZRIcon icon = download.icon();
    if (icon.isNull())
        return QIcon();
    const QString key = icon.name + QLatin1Char('|') + icon.fallbackName;
    const auto found = _iconsByName.constFind(key);
    if (found != _iconsByName.constEnd())
        return *found;
    QIcon made;
    if (icon.name.startsWith(QLatin1Char('/')))
        made = QIcon(icon.name);
    else
        made = QIcon::fromTheme(icon.name, QIcon::fromTheme(icon.fallbackName));
    if (made.isNull())
        made = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
    _iconsByName.insert(key, made);
    return made;
}

QVariant ZRDownloadListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    ZRDownload &download = *_rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return download.displayName();
    case Qt::DecorationRole:
        return iconForDownload(download);
    case Qt::ToolTipRole: {
        const QString reason = download.failureReasonDescription();
        return reason.isEmpty() ? download.originalURLString() : reason;
    }
    case StatusTextRole:
        return download.statusDescriptionWithLiveDetails(true);
    case ProgressRole:
        return download.downloadCompletionFraction();
    case StatusRole:
        return qulonglong(download.status());
    case VanishFractionRole:
        return download.vanishFraction();
    case VanishRowHeightRole:
        return download.vanishRowHeightFraction();
    case HighlightedButtonRole:
        return qulonglong(download.highlightedActionButtonIndex());
    case CanPerformActionRole:
        return QVariant::fromValue(QList<bool>{download.canPerformActionWithIndex(1), download.canPerformActionWithIndex(2)});
    default:
        return QVariant();
    }
}

Qt::ItemFlags ZRDownloadListModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::ItemIsDropEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemNeverHasChildren;
}

Qt::DropActions ZRDownloadListModel::supportedDropActions() const
{
    return Qt::CopyAction | Qt::MoveAction;
}

Qt::DropActions ZRDownloadListModel::supportedDragActions() const
{
    return Qt::CopyAction | Qt::MoveAction;
}

QStringList ZRDownloadListModel::mimeTypes() const
{
    return {internalDownloadIndexPasteboardType(), QStringLiteral("text/uri-list"), QStringLiteral("text/plain")};
}

QMimeData *ZRDownloadListModel::mimeData(const QModelIndexList &indexes) const
{
    ZRDownloadList dragged;
    for (const QModelIndex &index : indexes) {
        if (const ZRDownloadPtr download = downloadAtRow(index.row()); download && !dragged.contains(download))
            dragged.append(download);
    }
    ZRMainController *controller = ZRMainController::mainController();
    if (!controller->beginDraggingDownloads(dragged))
        return nullptr;
    auto *data = new QMimeData;
    data->setData(internalDownloadIndexPasteboardType(), QByteArray());
    // Finished files can be dropped elsewhere too.
    const QStringList paths = controller->draggedFilePaths();
    if (!paths.isEmpty()) {
        QList<QUrl> urls;
        for (const QString &path : paths)
            urls.append(QUrl::fromLocalFile(path));
        data->setUrls(urls);
    }
    return data;
}

bool ZRDownloadListModel::canDropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                                          const QModelIndex &parent) const
{
    (void)column;
    if (!data)
        return false;
    ZRMainController *controller = ZRMainController::mainController();
    if (data->hasFormat(internalDownloadIndexPasteboardType())) {
        // Only between rows, while a drag from this list goes on.
        if (parent.isValid() || action != Qt::MoveAction)
            return false;
        return controller->validateDropAtRow(row < 0 ? rowCount() : row);
    }
    return data->hasUrls() || data->hasText();
}

bool ZRDownloadListModel::dropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                                       const QModelIndex &parent)
{
    if (!canDropMimeData(data, action, row, column, parent)) {
        if (data && data->hasFormat(internalDownloadIndexPasteboardType()))
            ZRMainController::mainController()->endDraggingDownloads();
        return false;
    }
    ZRMainController *controller = ZRMainController::mainController();
    if (data->hasFormat(internalDownloadIndexPasteboardType()))
        return controller->acceptDropAtRow(row < 0 ? rowCount() : row);
    // Addresses and files from elsewhere go to the whole list.
    return controller->dropURLs(data->hasUrls() ? data->urls() : QList<QUrl>(), data->hasText() ? data->text() : QString());
}
