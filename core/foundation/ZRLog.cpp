#include "core/foundation/ZRLog.h"

#include "core/foundation/ZRUserDefaults.h"

#include <QDateTime>
#include <mutex>
#include <syslog.h>
#include <cstdio>

namespace {

struct LogState {
    std::mutex mutex;
    bool opened = false;
    bool echo = false;
    ZRLogHandler handler;
};

LogState &state()
{
    static LogState s;
    return s;
}

bool isTerminalControl(char16_t u)
{
    return u < 0x20 || (u >= 0x7F && u <= 0x9F) || (u >= 0x202A && u <= 0x202E) ||
           (u >= 0x2066 && u <= 0x2069);
}

} // namespace

namespace ZRExtensions
{

QString stringByEscapingControlCharacters(const QString &string, bool keepLineBreaks)
{
    const qsizetype size = string.size();
    const auto needsEscape = [&](qsizetype i) {
        const QChar c = string.at(i);
        if (c.isHighSurrogate())
            return i + 1 >= size || !string.at(i + 1).isLowSurrogate();
        if (c.isLowSurrogate())
            return i == 0 || !string.at(i - 1).isHighSurrogate();
        return isTerminalControl(c.unicode()) && !(keepLineBreaks && c == u'\n');
    };
    // Printable ASCII, nearly all there is, needs no closer look.
    const char16_t *units = QStringView(string).utf16();
    qsizetype first = 0;
    while (first < size && ((units[first] >= 0x20 && units[first] < 0x7F) || !needsEscape(first)))
        ++first;
    if (first == size)
        return string;

    static const char hex[] = "0123456789ABCDEF";
    QString result = string.left(first);
    result.reserve(size + 16);
    for (qsizetype i = first; i < size; ++i) {
        const char16_t u = string.at(i).unicode();
        if (!needsEscape(i)) {
            result.append(QChar(u));
        } else if (u == u'\t') {
            result.append(u"\\t");
        } else if (u == u'\n') {
            result.append(u"\\n");
        } else if (u == u'\r') {
            result.append(u"\\r");
        } else if (u <= 0xFF) {
            result.append(u"\\x");
            result.append(QLatin1Char(hex[u >> 4]));
            result.append(QLatin1Char(hex[u & 0xF]));
        } else {
            result.append(u"\\u");
            for (int shift = 12; shift >= 0; shift -= 4)
                result.append(QLatin1Char(hex[(u >> shift) & 0xF]));
        }
    }
    return result;
}

} // namespace ZRExtensions

void ZRLog(const QString &message)
{
    LogState &s = state();
    // Names, addresses and reasons from servers are part of many lines: none may forge a line of
    // its own or reach a terminal that shows the echo.
    const QString escaped = ZRExtensions::stringByEscapingControlCharacters(message);
    const QByteArray line = escaped.toUtf8();
    std::lock_guard lock(s.mutex);
    if (s.handler) {
        s.handler(escaped);
        return;
    }
    if (!s.opened) {
        openlog("Quorvel", LOG_PID, LOG_USER);
        s.opened = true;
    }
    syslog(LOG_NOTICE, "%s", line.constData());
    if (s.echo)
        std::fprintf(stderr, "%s\n", line.constData());
}

bool ZRDebugLogEnabled()
{
    return ZRUserDefaults::standardUserDefaults().boolForKey(QLatin1String(ZRDebugLogKey));
}

void ZRLogDebugMessage(const QString &message)
{
    ZRLog(QStringLiteral("[Debug] ") + message);
}

void ZRLogSetEchoToStandardError(bool echo)
{
    std::lock_guard lock(state().mutex);
    state().echo = echo;
}

bool ZRLogEchoesToStandardError()
{
    std::lock_guard lock(state().mutex);
    return state().echo;
}

void ZRLogSetHandler(ZRLogHandler handler)
{
    std::lock_guard lock(state().mutex);
    state().handler = std::move(handler);
}
