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

} // namespace

void ZRLog(const QString &message)
{
    LogState &s = state();
    const QByteArray line = message.toUtf8();
    std::lock_guard lock(s.mutex);
    if (s.handler) {
        s.handler(message);
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

void ZRLogDebug(const QString &message)
{
    if (ZRDebugLogEnabled())
        ZRLog(QStringLiteral("[Debug] ") + message);
}

void ZRLogSetEchoToStandardError(bool echo)
{
    std::lock_guard lock(state().mutex);
    state().echo = echo;
}

void ZRLogSetHandler(ZRLogHandler handler)
{
    std::lock_guard lock(state().mutex);
    state().handler = std::move(handler);
}
