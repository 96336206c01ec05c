// Logging to the system log (syslog/journald, ident "Quorvel"), with an optional echo to stderr.
#pragma once

#include <QString>
#include <functional>

// Thread-safe.
void ZRLog(const QString &message);

// Writes "[Debug] " and the message, only while the user default "ZRDebugLog" is true.
void ZRLogDebug(const QString &message);
bool ZRDebugLogEnabled();

// The terminal front end also prints every line to stderr.
void ZRLogSetEchoToStandardError(bool echo);

// Tests capture log lines with a handler; it sees every line that goes to the system log.
using ZRLogHandler = std::function<void(const QString &line)>;
void ZRLogSetHandler(ZRLogHandler handler);

inline constexpr const char *ZRDebugLogKey = "ZRDebugLog";
