// The queue commands as other processes ask for them (the command line now, the scripting interface
// later): which command, and what it says back. The controller carries them out with the same
// operations that the window's menus call.
#pragma once

#include "core/download/ZRDownload.h"

#include <QString>
#include <QStringList>

#include <optional>

enum class ZRQueueCommand {
    List,   // one line per download
    Resume, // paused downloads back to the queue
    Pause,  // waiting and running downloads paused
    Retry,  // aborted downloads replaced by fresh ones
    Remove, // downloads taken out of the list, their unfinished data deleted
    Clear,  // complete and aborted downloads taken out of the list
};

// The command named by its command-line word ("list", "resume", ...); none for any other word.
std::optional<ZRQueueCommand> ZRQueueCommandFromName(const QString &name);
QString ZRQueueCommandName(ZRQueueCommand command);

struct ZRQueueCommandResult {
    // What the command has to say (the listing; one line per download it acted on).
    QStringList output;
    // Why it could not act, one line each ("no download is "x""): nothing for a command that did
    // all it was asked to, or found nothing to do.
    QStringList errors;
    // 0 on success; 1 when something asked for is not in the queue.
    int exitStatus = 0;
    // Whether the list changed (then the queue archive has been written).
    bool changedQueue = false;
};
