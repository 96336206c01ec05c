// The command line's own part of the terminal front end: the queue commands (--list, --resume,
// --pause, --retry, --remove, --clear) and the arguments to download, each refused with its reason
// when nothing can be downloaded of it.
#pragma once

#include "app/control/ZRMainController.h"
#include "app/control/ZRQueueCommand.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QHash>
#include <QStringList>
#include <QVariantMap>

#include <optional>

// Main thread.
class ZRCommandLine
{
public:
    // Notes which of the raw arguments are not UTF-8: decoded, they hold U+FFFD instead.
    ZRCommandLine(int argc, char **argv);

    // The queue command options, and WHAT in the positional arguments' syntax.
    void addOptions(QCommandLineParser &parser);
    // The queue command asked for, or none; *error (and none) when two are asked for, or when
    // request options come with one.
    std::optional<ZRQueueCommand> queueCommand(const QCommandLineParser &parser, const QStringList &requestOptionNames,
                                               QString *error) const;
    // Whether the command lets downloads run afterwards (the run then lasts until they settle).
    static bool startsDownloads(ZRQueueCommand command)
    {
        return command == ZRQueueCommand::Resume || command == ZRQueueCommand::Retry;
    }

    // False for an argument (or an option's value) in which a byte that is not UTF-8 was replaced.
    bool isValidText(const QString &argument) const;

    // --list: the queue archive as it was last written, whether or not a Quorvel works it
    // (holderProcessID > 0: that one does, and is named). Never writes. The exit status.
    static int listArchivedQueue(const QStringList &specifiers, qint64 holderProcessID);
    // Another Quorvel works the queue: a command that would change it is refused. The exit status.
    static int refuseOnRunningInstance(ZRQueueCommand command, qint64 holderProcessID);
    // A command that changes the queue without running anything, on the archived queue (the
    // caller holds the lock): restored quietly, changed, written. The exit status.
    static int performOnArchivedQueue(ZRQueueCommand command, const QStringList &specifiers);
    // Prints what a command said: its output to stdout, its errors to stderr.
    static void print(const ZRQueueCommandResult &result);

    // Each line to stderr, as "quorvel: LINE".
    static void printErrors(const QStringList &lines);
    // Takes the arguments that are not UTF-8 out of the list: one refusal line each.
    QStringList invalidTextRefusals(QStringList &arguments) const;

    struct Intake {
        // The downloads that the run waits for: those added or continued, and every active one.
        ZRDownloadList watched;
        // Something was refused that is not simply in the queue already.
        bool refusedAny = false;
        // Nothing at all could be taken: nothing added, continued or in the queue already.
        bool tookNothing = false;
        // One line each for stderr: every refusal, naming the argument and the reason.
        QStringList messages;
        // 2 when nothing could be taken and something was refused, 1 when something was refused.
        int exitStatus() const;
    };
    // The positional arguments (existing files and folders, relative ones in workingFolder or the
    // current folder, else address text) into the intake. The program's own URLs ("quorvel:",
    // "securequorvel:") go through the get-URL handler and give web addresses only.
    Intake openArguments(ZRMainController &controller, const QStringList &arguments,
                         const QVariantMap &scriptArguments, const QString &workingFolder = QString()) const;

private:
    // The escaped form of an argument that is not UTF-8 ("caf\xE9"), by its decoded form.
    QHash<QString, QString> _invalidArguments;
    QList<std::pair<QCommandLineOption, ZRQueueCommand>> _commandOptions;
};
