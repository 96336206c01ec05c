// Logging to the system log (syslog/journald, ident "Quorvel"), with an optional echo to stderr, and
// the escaping that keeps text from servers from acting on a terminal.
#pragma once

#include <QString>
#include <functional>

// Thread-safe, all of them.

namespace ZRExtensions
{

// The text with every character that a terminal would act on written as a visible escape: C0
// controls, DEL and C1 controls (U+009B is a CSI of its own), the bidirectional embeddings,
// overrides and isolates (U+202A-U+202E, U+2066-U+2069) and unpaired surrogates. Tab, line feed
// and carriage return become "\t", "\n" and "\r", the others "\xHH" or "\uHHHH". With
// keepLineBreaks a line feed stays a line break (for texts of several lines). Everything else,
// other scripts included, stays as it is; escaping twice changes nothing more.
QString stringByEscapingControlCharacters(const QString &string, bool keepLineBreaks = false);

} // namespace ZRExtensions

// One line: the message with its control characters escaped, line breaks included.
void ZRLog(const QString &message);

// Writes "[Debug] " and the message, only while the user default "ZRDebugLog" is true; the message
// is not even made otherwise (many describe whole header sets).
#define ZRLogDebug(...)                                                                                      \
    do {                                                                                                     \
        if (ZRDebugLogEnabled())                                                                             \
            ZRLogDebugMessage(__VA_ARGS__);                                                                  \
    } while (false)
void ZRLogDebugMessage(const QString &message);
bool ZRDebugLogEnabled();

// The terminal front end also prints every line to stderr.
void ZRLogSetEchoToStandardError(bool echo);
bool ZRLogEchoesToStandardError();

// Tests capture log lines with a handler; it sees every line that goes to the system log.
using ZRLogHandler = std::function<void(const QString &line)>;
void ZRLogSetHandler(ZRLogHandler handler);

inline constexpr const char *ZRDebugLogKey = "ZRDebugLog";
