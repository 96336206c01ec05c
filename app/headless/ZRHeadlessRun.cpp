#include "app/headless/ZRHeadlessRun.h"

#include "core/foundation/ZRLog.h"

namespace
{

const QString spacedDash = QStringLiteral(" \u2014 ");

} // namespace

ZRHeadlessRun::ZRHeadlessRun(std::FILE *output, std::function<void()> quit, QObject *parent)
    : QObject(parent), _output(output), _quit(std::move(quit))
{
    // Changes reported through checkSoon() are seen at once; the tick catches whatever is not
    // reported, such as an automatic resume that was called off.
    _timer.setInterval(250);
    connect(&_timer, &QTimer::timeout, this, [this] {
        _queueMayHaveChanged = true;
        check();
    });
}

void ZRHeadlessRun::watch(const ZRDownloadList &downloads)
{
    QSet<ZRDownload *> known;
    for (const ZRDownloadPtr &download : std::as_const(_watched))
        known.insert(download.get());
    for (const ZRDownloadPtr &download : downloads) {
        if (download && !known.contains(download.get())) {
            known.insert(download.get());
            _watched.append(download);
        }
    }
    _timer.start();
    // Nothing to wait for: done on the next turn, once the caller has finished starting up.
    QTimer::singleShot(0, this, &ZRHeadlessRun::check);
}

void ZRHeadlessRun::followQueue(std::function<ZRDownloadList()> queue)
{
    _queue = std::move(queue);
    _seenInQueue.clear();
    for (const ZRDownloadPtr &download : _queue())
        _seenInQueue.insert(download.get(), download);
}

void ZRHeadlessRun::followQueueChanges()
{
    if (!_queue)
        return;
    // Downloads join and leave the queue rarely, and most checks come from progress: unless the
    // queue grew or shrank, the look at its members waits for the tick.
    const qsizetype count = _queue().size();
    if (!_queueMayHaveChanged && count == _seenInQueue.size())
        return;
    _queueMayHaveChanged = false;
    QHash<const ZRDownload *, ZRDownloadPtr> present;
    for (const ZRDownloadPtr &download : _queue()) {
        present.insert(download.get(), download);
        if (!_seenInQueue.contains(download.get()) && !_watched.contains(download))
            _watched.append(download);
    }
    _watched.removeIf([&present](const ZRDownloadPtr &download) { return !present.contains(download.get()); });
    _seenInQueue = std::move(present);
}

bool ZRHeadlessRun::isSettled(ZRDownload &download)
{
    switch (download.status()) {
    case ZRDownloadStatusComplete:
    case ZRDownloadStatusAborted:
        return true;
    case ZRDownloadStatusPaused:
        return !download.isAutoResumeScheduled();
    default:
        return false;
    }
}

int ZRHeadlessRun::exitStatus() const
{
    for (const ZRDownloadPtr &download : _watched) {
        if (download->status() != ZRDownloadStatusComplete)
            return 1;
    }
    return 0;
}

void ZRHeadlessRun::checkSoon()
{
    if (_isFinished || _isCheckPending)
        return;
    _isCheckPending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            _isCheckPending = false;
            check();
        },
        Qt::QueuedConnection);
}

void ZRHeadlessRun::check()
{
    if (_isFinished)
        return;
    followQueueChanges();
    for (const ZRDownloadPtr &download : std::as_const(_watched)) {
        if (!isSettled(*download))
            return;
    }
    _isFinished = true;
    _timer.stop();
    if (_willPrintSummary)
        _willPrintSummary();
    printSummary();
    if (_quit)
        _quit();
}

void ZRHeadlessRun::printSummary()
{
    QStringList lines;
    qsizetype complete = 0;
    for (const ZRDownloadPtr &download : std::as_const(_watched)) {
        QString line = QStringLiteral("  ") + download->displayName() + spacedDash;
        if (download->status() == ZRDownloadStatusComplete) {
            ++complete;
            const QString path = download->path();
            line += path.isEmpty() ? QStringLiteral("complete") : QStringLiteral("complete: ") + path;
        } else if (download->status() == ZRDownloadStatusAborted) {
            line += QStringLiteral("failed: ") + download->statusDescriptionWithFailureReason(false);
        } else {
            line += QStringLiteral("not finished, kept in the queue: ") +
                    download->statusDescriptionWithFailureReason(false);
        }
        // Names, paths and reasons come from servers: one line each, nothing that acts on a terminal.
        lines.append(ZRExtensions::stringByEscapingControlCharacters(line));
    }
    QString text = _watched.isEmpty() ? QStringLiteral("nothing to download")
                                      : QStringLiteral("%1 of %2 downloads complete:").arg(complete).arg(_watched.size());
    for (const QString &line : std::as_const(lines))
        text += QLatin1Char('\n') + line;
    const QByteArray bytes = text.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), _output);
    std::fflush(_output);
}
