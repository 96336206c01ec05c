#include "app/headless/ZRHeadlessUserInterface.h"

#include "core/download/ZRDownload.h"
#include "core/foundation/ZRLog.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <termios.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

const QString spacedDash = QStringLiteral(" \u2014 ");

} // namespace

ZRHeadlessUserInterface::ZRHeadlessUserInterface(std::FILE *input, std::FILE *output, bool interactive,
                                                 bool liveRows)
    : _input(input), _output(output), _interactive(interactive), _liveRows(liveRows)
{
    _redrawTimer.setSingleShot(true);
    // Lines redrawn in place can follow the engine's quarter-second reports; printed lines would
    // flood a log at that rate.
    _redrawTimer.setInterval(liveRows ? 250 : 1000);
    QObject::connect(&_redrawTimer, &QTimer::timeout, &_redrawTimer, [this] { printChangedRows(); });
}

ZRHeadlessUserInterface::ZRHeadlessUserInterface()
    : ZRHeadlessUserInterface(stdin, stdout, ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO),
                              ::isatty(STDOUT_FILENO) && qgetenv("TERM") != "dumb")
{
}

ZRHeadlessUserInterface::~ZRHeadlessUserInterface()
{
    if (_isFlushPending)
        std::fflush(_output);
}

void ZRHeadlessUserInterface::print(const QString &text)
{
    eraseLiveRows();
    drawLiveRowsSoon();
    // Names, addresses and status texts come from servers: nothing of theirs may move the cursor,
    // colour the screen or turn the line around.
    const QByteArray bytes = ZRExtensions::stringByEscapingControlCharacters(text, true).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), _output);
    std::fputc('\n', _output);
    flushSoon();
}

void ZRHeadlessUserInterface::flushSoon()
{
    // A burst of small downloads prints several lines a turn: one write for all of them.
    if (_interactive || _liveRows) {
        std::fflush(_output);
        return;
    }
    if (_isFlushPending)
        return;
    _isFlushPending = true;
    QMetaObject::invokeMethod(
        &_redrawTimer,
        [this] {
            _isFlushPending = false;
            std::fflush(_output);
        },
        Qt::QueuedConnection);
}

std::optional<QString> ZRHeadlessUserInterface::readLine(const QString &prompt, bool secret)
{
    // The answer is typed below the prompt: the live rows come back below that.
    eraseLiveRows();
    const QByteArray promptBytes = ZRExtensions::stringByEscapingControlCharacters(prompt).toLocal8Bit();
    std::fwrite(promptBytes.constData(), 1, size_t(promptBytes.size()), _output);
    std::fflush(_output);
    // A password is typed without echo, where the input is a terminal.
    const int descriptor = ::fileno(_input);
    struct termios saved {};
    const bool hidesInput = secret && descriptor >= 0 && ::isatty(descriptor) && ::tcgetattr(descriptor, &saved) == 0;
    if (hidesInput) {
        struct termios silent = saved;
        silent.c_lflag &= ~tcflag_t(ECHO);
        silent.c_lflag |= ECHONL;
        ::tcsetattr(descriptor, TCSAFLUSH, &silent);
    }
    char *buffer = nullptr;
    size_t capacity = 0;
    ssize_t length = -1;
    // A signal (Ctrl-C) interrupts the read; it is handled once the answer is in, so keep asking.
    do {
        errno = 0;
        std::clearerr(_input);
        length = ::getline(&buffer, &capacity, _input);
    } while (length < 0 && errno == EINTR);
    if (hidesInput)
        ::tcsetattr(descriptor, TCSAFLUSH, &saved);
    if (length < 0) {
        std::free(buffer);
        std::fputc('\n', _output);
        return std::nullopt;
    }
    QString line = QString::fromLocal8Bit(buffer, length);
    // A password is taken as typed, blanks included.
    if (secret) {
        while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    } else {
        line = line.trimmed();
    }
    // Not left behind in freed memory.
    if (secret && buffer)
        std::memset(buffer, 0, capacity);
    std::free(buffer);
    return line;
}

int ZRHeadlessUserInterface::runModalAlert(const ZRAlert &alert)
{
    const QStringList buttons = alert.buttons.isEmpty() ? QStringList{QStringLiteral("OK")} : alert.buttons;
    print(QString());
    print(alert.title);
    if (!alert.message.isEmpty())
        print(alert.message);
    if (!_interactive) {
        print(QStringLiteral("(answered \"%1\": no terminal to ask)").arg(buttons.first()));
        return ZRAlertFirstButton;
    }
    QStringList choices;
    for (int i = 0; i < buttons.size(); ++i)
        choices.append(QStringLiteral("%1) %2").arg(i + 1).arg(buttons[i]));
    print(choices.join(QStringLiteral("   ")));
    for (;;) {
        const std::optional<QString> answer =
            readLine(QStringLiteral("choose 1-%1 (Return: %2): ").arg(buttons.size()).arg(buttons.first()));
        if (!answer || answer->isEmpty())
            return ZRAlertFirstButton;
        bool isNumber = false;
        const int number = answer->toInt(&isNumber);
        if (isNumber && number >= 1 && number <= buttons.size())
            return number - 1;
        for (int i = 0; i < buttons.size(); ++i) {
            if (buttons[i].compare(*answer, Qt::CaseInsensitive) == 0)
                return i;
        }
    }
}

std::optional<ZRAuthenticationAnswer> ZRHeadlessUserInterface::runAuthenticationPanel(
    const ZRAuthenticationQuestion &question)
{
    // Without a terminal nobody can answer: the download ends "Authentication needed".
    if (!_interactive)
        return std::nullopt;
    const QString where = question.proxy ? QStringLiteral("proxy %1:%2").arg(question.host).arg(question.port)
                                         : question.host;
    print(QStringLiteral("%1 (%2, %3)\n%4").arg(question.explanation, where, question.scheme, question.securityInfo));
    ZRAuthenticationAnswer answer;
    if (question.showsDomain) {
        const std::optional<QString> domain = readLine(QStringLiteral("domain: "));
        if (!domain)
            return std::nullopt;
        answer.domain = *domain;
    }
    const std::optional<QString> name = readLine(QStringLiteral("user name (empty to cancel): "));
    if (!name || name->isEmpty())
        return std::nullopt;
    const std::optional<QString> password = readLine(QStringLiteral("password: "), true);
    if (!password)
        return std::nullopt;
    answer.username = *name;
    answer.password = *password;
    const std::optional<QString> store = readLine(QStringLiteral("store in the keyring? [%1]: ")
                                                      .arg(question.storeInKeychain ? QStringLiteral("Y/n") : QStringLiteral("y/N")));
    if (!store)
        return std::nullopt;
    answer.storeInKeychain = store->isEmpty() ? question.storeInKeychain
                                              : store->startsWith(QLatin1Char('y'), Qt::CaseInsensitive);
    return answer;
}

std::optional<QStringList> ZRHeadlessUserInterface::runOpenPanel(const ZROpenPanelOptions &options)
{
    if (!_interactive)
        return std::nullopt;
    const QString what = options.allowsMultipleSelection ? QStringLiteral("files, separated by blanks")
                                                         : QStringLiteral("a file");
    const std::optional<QString> answer =
        readLine(QStringLiteral("%1: %2 (empty to cancel): ")
                     .arg(options.title.isEmpty() ? QStringLiteral("Open") : options.title, what));
    if (!answer || answer->isEmpty())
        return std::nullopt;
    QStringList paths = options.allowsMultipleSelection ? answer->split(QLatin1Char(' '), Qt::SkipEmptyParts)
                                                        : QStringList{*answer};
    return paths;
}

std::optional<QString> ZRHeadlessUserInterface::runSavePanel(const ZRSavePanelOptions &options)
{
    if (!_interactive)
        return std::nullopt;
    const std::optional<QString> answer = readLine(
        QStringLiteral("%1: save as (empty to cancel) [%2]: ")
            .arg(options.title.isEmpty() ? QStringLiteral("Save") : options.title, options.suggestedName));
    if (!answer || answer->isEmpty())
        return std::nullopt;
    return *answer;
}

std::optional<QString> ZRHeadlessUserInterface::runFolderPanel(const ZRFolderPanelOptions &options)
{
    if (!_interactive)
        return std::nullopt;
    if (!options.message.isEmpty())
        print(options.message);
    const std::optional<QString> answer =
        readLine(QStringLiteral("%1: folder (empty to cancel): ")
                     .arg(options.title.isEmpty() ? QStringLiteral("Choose") : options.title));
    if (!answer || answer->isEmpty())
        return std::nullopt;
    return *answer;
}

void ZRHeadlessUserInterface::setPasteboardContents(const QString &text, const QList<QUrl> &urls)
{
    (void)urls;
    _pasteboard = text;
}

void ZRHeadlessUserInterface::beep()
{
    if (_interactive) {
        std::fputc('\a', _output);
        std::fflush(_output);
    }
}

QString ZRHeadlessUserInterface::lineForDownload(ZRDownload &download)
{
    // One line, whatever the name and status hold: a live row must take exactly one screen line.
    return ZRExtensions::stringByEscapingControlCharacters(download.displayName() + spacedDash +
                                                           download.statusDescriptionWithFailureReason(true));
}

void ZRHeadlessUserInterface::showDownloads(const ZRDownloadList &rows)
{
    _rows = rows;
    _shownLines.clear();
    _redrawTimer.stop();
    if (rows.isEmpty()) {
        print(QStringLiteral("no downloads"));
        return;
    }
    print(rows.size() == 1 ? QStringLiteral("1 download:")
                           : QStringLiteral("%1 downloads:").arg(rows.size()));
    for (const ZRDownloadPtr &row : rows) {
        const QString line = lineForDownload(*row);
        _shownLines.insert(row.get(), line);
        print(QStringLiteral("  ") + line);
    }
}

void ZRHeadlessUserInterface::redrawDownload(ZRDownload *download)
{
    (void)download;
    if (!_redrawTimer.isActive())
        _redrawTimer.start();
    if (_changeHandler)
        _changeHandler();
}

void ZRHeadlessUserInterface::printChangedRows()
{
    for (const ZRDownloadPtr &row : std::as_const(_rows)) {
        // A transferring row lives in the bottom lines; its last state is printed once it stops.
        if (_liveRows && !_liveRowsCleared && row->status() == ZRDownloadStatusDownloading)
            continue;
        const QString line = lineForDownload(*row);
        QString &shown = _shownLines[row.get()];
        if (shown == line)
            continue;
        shown = line;
        print(QStringLiteral("  ") + line);
    }
    if (_liveRows)
        drawLiveRows();
}

namespace
{

struct TerminalSize {
    int columns = 80;
    int rows = 24;
};

TerminalSize terminalSizeOf(std::FILE *stream)
{
    TerminalSize size;
    winsize window{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &window) == 0 && window.ws_col > 0 && window.ws_row > 0) {
        size.columns = window.ws_col;
        size.rows = window.ws_row;
    }
    return size;
}

} // namespace

void ZRHeadlessUserInterface::drawLiveRows()
{
    _isLiveDrawPending = false;
    if (!_liveRows || _liveRowsCleared)
        return;
    QStringList lines;
    for (const ZRDownloadPtr &row : std::as_const(_rows)) {
        if (row->status() == ZRDownloadStatusDownloading)
            lines.append(QStringLiteral("  ") + lineForDownload(*row));
    }
    const TerminalSize size = terminalSizeOf(_output);
    // A line that wraps would take two lines of the screen and spoil the erasing; the last screen
    // line stays free for the cursor.
    const qsizetype maximumLines = std::max(1, size.rows - 2);
    if (lines.size() > maximumLines) {
        const qsizetype more = lines.size() - (maximumLines - 1);
        lines.resize(maximumLines - 1);
        lines.append(QStringLiteral("  \u2026 and %1 more downloading").arg(more));
    }
    QByteArray bytes;
    if (_liveLineCount > 0)
        bytes += "\x1b[" + QByteArray::number(_liveLineCount) + "F\x1b[J";
    for (QString &line : lines) {
        if (line.size() >= size.columns)
            line = line.left(std::max(1, size.columns - 2)) + QStringLiteral("\u2026");
        bytes += line.toLocal8Bit() + '\n';
    }
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), _output);
    std::fflush(_output);
    _liveLineCount = int(lines.size());
}

void ZRHeadlessUserInterface::eraseLiveRows()
{
    if (_liveLineCount <= 0)
        return;
    // Up to the first live line, then clear to the end of the screen.
    std::fprintf(_output, "\x1b[%dF\x1b[J", _liveLineCount);
    std::fflush(_output);
    _liveLineCount = 0;
}

void ZRHeadlessUserInterface::drawLiveRowsSoon()
{
    if (!_liveRows || _liveRowsCleared || _isLiveDrawPending)
        return;
    _isLiveDrawPending = true;
    QMetaObject::invokeMethod(
        &_redrawTimer,
        [this] {
            // A redraw in the meantime made this one unnecessary.
            if (_isLiveDrawPending)
                drawLiveRows();
        },
        Qt::QueuedConnection);
}

void ZRHeadlessUserInterface::clearLiveRows()
{
    eraseLiveRows();
    _liveRowsCleared = true;
}

void ZRHeadlessUserInterface::showStatusText(const QString &text)
{
    if (text == _statusText)
        return;
    _statusText = text;
    if (!text.isEmpty())
        print(text);
    if (_changeHandler)
        _changeHandler();
}

void ZRHeadlessUserInterface::postNotification(const ZRUserNotification &notification)
{
    print(notification.message.isEmpty() ? notification.title
                                         : notification.title + spacedDash + notification.message);
}

void ZRHeadlessUserInterface::setLauncherBadge(qint64 count, double progress, bool urgent)
{
    // A terminal has no launcher entry; the rows say it all.
    (void)count;
    (void)progress;
    (void)urgent;
}

bool ZRHeadlessUserInterface::setActivationPolicy(ZRActivationPolicy policy)
{
    _activationPolicy = policy;
    return true;
}

void ZRHeadlessUserInterface::terminate()
{
    clearLiveRows();
    // Queued, so that it also works when asked before the event loop runs.
    if (QCoreApplication *application = QCoreApplication::instance())
        QMetaObject::invokeMethod(application, &QCoreApplication::quit, Qt::QueuedConnection);
}
