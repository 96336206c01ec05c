// The quorvel executable: the controller with the download window, or with the terminal front end.
#include "app/control/ZRInstanceLock.h"
#include "app/control/ZRMainController.h"
#include "app/control/ZRScriptArgumentKeys.h"
#include "app/headless/ZRCommandLine.h"
#include "app/headless/ZRHeadlessFrontEnd.h"
#include "app/headless/ZRHeadlessRun.h"
#include "app/headless/ZRHistoryListing.h"
#include "app/ui/ZRDesktopUserInterface.h"
#include "core/http/ZRHTTPRequest.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRUserDefaults.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace
{

bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

// The window, with a display, for runs that keep Quorvel open with its queue; queries, queue
// commands and --headless stay in the terminal.
bool wantsWindow(int argc, char **argv)
{
    if (!hasDisplay())
        return false;
    static const QByteArrayList terminalOnly = {"--headless", "--history", "--help", "-h",      "--help-all",
                                                "-?",         "--version", "-v",     "--list",  "--resume",
                                                "--pause",    "--retry",   "--remove", "--clear"};
    for (int index = 1; index < argc; ++index) {
        QByteArray argument(argv[index]);
        if (argument == "--")
            break;
        if (const qsizetype equals = argument.indexOf('='); equals > 0)
            argument.truncate(equals);
        if (terminalOnly.contains(argument))
            return false;
    }
    return true;
}

// The window's run: the controller with the desktop front end, the arguments into its queue.
int runWindow(QCoreApplication &application, const ZRCommandLine &commandLine, const QStringList &positional,
              const QVariantMap &arguments, bool showPreferences)
{
    ZRDesktopUserInterface desktop;
    desktop.start();
    if (showPreferences)
        desktop.showPreferences();
    if (!positional.isEmpty())
        commandLine.openArguments(*ZRMainController::mainController(), positional, arguments);
    const int status = application.exec();
    ZRUserDefaults::standardUserDefaults().synchronize();
    return status;
}

int runQuorvel(int argc, char **argv);

} // namespace

int main(int argc, char **argv)
{
    const int status = runQuorvel(argc, argv);
    // Everything of ours is saved and closed by now. What is left is every library's own
    // teardown, which only spends time and touches memory on the way out.
    std::fflush(nullptr);
#ifndef __SANITIZE_ADDRESS__
    std::_Exit(status);
#endif
    return status;
}

namespace
{

int runQuorvel(int argc, char **argv)
{
    const bool window = wantsWindow(argc, argv);
    std::unique_ptr<QCoreApplication> running =
        window ? std::make_unique<QApplication>(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication &application = *running;
    QCoreApplication::setApplicationName(QStringLiteral("Quorvel"));
    QCoreApplication::setApplicationVersion(QLatin1String(QUORVEL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Quorvel, a download manager.\n\n"
        "Restores the download queue that was open when Quorvel last quit, shows one line per download\n"
        "(name and status) and keeps the queue until it quits. Ctrl-C, SIGTERM or SIGHUP quit: waiting\n"
        "and running downloads are paused and remembered for the next start (on a terminal, Quorvel asks\n"
        "first while downloads are active).\n\n"
        "Files: the queue in $XDG_DATA_HOME/Quorvel/Queue.plist, preferences in\n"
        "$XDG_CONFIG_HOME/Quorvel/Preferences.plist. One Quorvel at a time works a queue: a second one\n"
        "says so and exits with status 1.\n\n"
        "Addresses join the queue unless they are in it already (\"Instant Duplicate Check\"); brace\n"
        "ranges stand for several addresses: \"http://host/part{1-3}.zip\". Files: a download bundle\n"
        "(.quorvel) is queued again, a browser request file (.qbp) is read and deleted, an address list\n"
        "(.txt) adds the addresses it holds, any other file is copied as a download; folders are walked.\n"
        "Only http, https and file addresses are downloaded; an argument that is none of them, or a file that\n"
        "cannot be read, is refused with its reason. Giving an address again continues its download when it\n"
        "was paused, interrupted or aborted.\n\n"
        "Queue commands (--list, --resume, --pause, --retry, --remove, --clear) act on the downloads that\n"
        "WHAT names, or on all of them, in the queue that Quorvel keeps; while another Quorvel runs, only\n"
        "--list works (on the queue as it last saved it).\n\n"
        "Exit status: 0 when everything asked for was done, 1 when a download failed or stays unfinished,\n"
        "something given was refused or is not in the queue, or another Quorvel holds the queue; 2 when the\n"
        "command line cannot be used or nothing given can be downloaded.\n\n"
        "Given addresses or files, Quorvel quits once they are done, unless \"Schedule: Queue\" or\n"
        "\"Schedule: Pause\" is on: then, as without them, it stays and starts or pauses the whole queue at\n"
        "the times of day in \"Schedule: Queue: Time\" and \"Schedule: Pause: Time\" (dictionaries of\n"
        "\"Hour\", \"Minute\", \"Second\"; 22:00 and 06:00 when unset), every day.\n\n"
        "Finished downloads are remembered in $XDG_DATA_HOME/Quorvel/History.plist; --history lists\n"
        "them.\n\n"
        "With a display (DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM set), Quorvel opens its download window\n"
        "instead; queries, queue commands and --headless stay in the terminal."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"), QStringLiteral("Run in the terminal (also the case without a display)."));
    parser.addOption(headlessOption);
    const QCommandLineOption historyOption(
        QStringLiteral("history"),
        QStringLiteral("List the finished downloads, newest first: name, date, file (or \"missing\"), address. "
                       "Arguments are search words that the name or the address must hold. Leaves a running "
                       "Quorvel alone (it saves its history within 5 seconds of a change)."));
    parser.addOption(historyOption);
    const QCommandLineOption preferencesOption(QStringLiteral("preferences"),
                                               QStringLiteral("Open the preferences window (needs a display)."));
    parser.addOption(preferencesOption);
    // The script command's arguments, under the same keys.
    const QList<std::pair<QCommandLineOption, QString>> requestOptions = {
        {QCommandLineOption(QStringLiteral("to"),
                            QStringLiteral("Download into the folder PATH, or to the file PATH (further addresses go "
                                           "into its folder)."),
                            QStringLiteral("PATH")),
         ZRScriptArgumentKey::ToPosixPath},
        {QCommandLineOption(QStringLiteral("post"),
                            QStringLiteral("Send DATA (ASCII, form-encoded) as the body of a POST request."),
                            QStringLiteral("DATA")),
         ZRScriptArgumentKey::ByPostingData},
        {QCommandLineOption(QStringLiteral("referrer"), QStringLiteral("Send R as the Referer header."),
                            QStringLiteral("R")),
         ZRScriptArgumentKey::WithReferrer},
        {QCommandLineOption(QStringLiteral("user-agent"), QStringLiteral("Send UA as the User-Agent header."),
                            QStringLiteral("UA")),
         ZRScriptArgumentKey::PosingAsUserAgent},
        {QCommandLineOption(QStringLiteral("cookies"), QStringLiteral("Send C as the Cookie header."),
                            QStringLiteral("C")),
         ZRScriptArgumentKey::UsingCookies},
    };
    for (const auto &option : requestOptions)
        parser.addOption(option.first);
    ZRCommandLine commandLine(argc, argv);
    commandLine.addOptions(parser);
    parser.addPositionalArgument(QStringLiteral("ADDRESS|FILE"),
                                 QStringLiteral("Web addresses to download, or files and folders to open."),
                                 QStringLiteral("[ADDRESS|FILE...]"));
    parser.process(application);
    if (parser.isSet(historyOption))
        return ZRHistoryListing::printHistory(parser.positionalArguments(), stdout, stderr);

    QStringList requestOptionNames;
    for (const auto &option : requestOptions)
        requestOptionNames.append(option.first.names().first());
    QString commandError;
    const std::optional<ZRQueueCommand> queueCommand =
        commandLine.queueCommand(parser, requestOptionNames, &commandError);
    if (!commandError.isEmpty()) {
        std::fprintf(stderr, "quorvel: %s\n", qPrintable(commandError));
        return 2;
    }

    QVariantMap arguments;
    for (const auto &option : requestOptions) {
        if (!parser.isSet(option.first))
            continue;
        QString value = parser.value(option.first);
        if (!commandLine.isValidText(value)) {
            std::fprintf(stderr, "quorvel: the value of --%s is not valid UTF-8 text\n",
                         qPrintable(option.first.names().first()));
            return 2;
        }
        if (option.second == ZRScriptArgumentKey::ToPosixPath && !value.isEmpty() &&
            !value.startsWith(QLatin1Char('~')))
            value = QDir::current().absoluteFilePath(value);
        arguments.insert(option.second, value);
    }
    QString refusedKey;
    if (!ZRMainController::requestDictionaryFromAppleScriptArguments(arguments, nullptr, &refusedKey)) {
        for (const auto &option : requestOptions) {
            if (option.second == refusedKey)
                std::fprintf(stderr, "quorvel: %s\n",
                             qPrintable(ZRMainController::lineBreakRefusalForArgument(
                                 QStringLiteral("--") + option.first.names().first())));
        }
        return 2;
    }
    const QStringList positional = parser.positionalArguments();

    // One queue per user: a second process would write the same Queue.plist.
    ZRInstanceLock instanceLock;
    qint64 holderProcessID = 0;
    QString lockError;
    const ZRInstanceLock::Result lock =
        instanceLock.tryLock(ZRInstanceLock::defaultLockFilePath(), &holderProcessID, &lockError);
    // The archive is read as it stands, whoever works the queue.
    if (queueCommand == ZRQueueCommand::List && lock != ZRInstanceLock::Result::Failed)
        return ZRCommandLine::listArchivedQueue(positional,
                                                lock == ZRInstanceLock::Result::HeldElsewhere ? holderProcessID : 0);
    switch (lock) {
    case ZRInstanceLock::Result::Locked:
        break;
    case ZRInstanceLock::Result::HeldElsewhere:
        if (queueCommand)
            return ZRCommandLine::refuseOnRunningInstance(*queueCommand, holderProcessID);
        if (holderProcessID > 0)
            std::fprintf(stderr, "quorvel: Quorvel is already running (process %lld); its queue is left as it is\n",
                         static_cast<long long>(holderProcessID));
        else
            std::fputs("quorvel: Quorvel is already running; its queue is left as it is\n", stderr);
        return 1;
    case ZRInstanceLock::Result::Failed:
        std::fprintf(stderr, "quorvel: cannot lock <%s>: %s\n", qPrintable(ZRInstanceLock::defaultLockFilePath()),
                     qPrintable(lockError));
        return 1;
    }

    // A reader that goes away (quorvel | head) must not kill the program before it saved the queue.
    std::signal(SIGPIPE, SIG_IGN);
    if (queueCommand && !ZRCommandLine::startsDownloads(*queueCommand))
        return ZRCommandLine::performOnArchivedQueue(*queueCommand, positional);
    ZRLogSetEchoToStandardError(true);

    // The engine reports on its own thread; every callback is queued onto the main loop, in order.
    ZRHTTPRequest::setCallbackExecutor([](std::function<void()> callback) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(callback), Qt::QueuedConnection);
    });
    ZRHTTPRequest::setDefaultUserAgentApplication("Quorvel", QUORVEL_VERSION, QUORVEL_VERSION);
    ZRHTTPRequest::setLogFunction([](const std::string &line) { ZRLog(QString::fromStdString(line)); });

    if (window)
        return runWindow(application, commandLine, positional, arguments, parser.isSet(preferencesOption));

    ZRHeadlessFrontEnd frontEnd;
    frontEnd.start();
    // Given addresses or files, the run ends once they, and whatever the restored queue was working
    // on, are done.
    std::unique_ptr<ZRHeadlessRun> run;
    // Something given was not done: the run cannot succeed whatever else happens.
    bool fellShort = false;
    ZRDownloadList watched;
    // A schedule keeps Quorvel running to follow it, as a run without addresses does; a queue
    // command is done once its downloads are.
    const bool followsSchedule = !queueCommand && ZRMainController::isScheduleOn();
    if (followsSchedule)
        std::fputs("quorvel: a schedule is on: staying to follow it\n", stderr);
    if (queueCommand || !positional.isEmpty()) {
        ZRMainController *controller = ZRMainController::mainController();
        if (queueCommand) {
            const ZRQueueCommandResult result = controller->performQueueCommand(*queueCommand, positional);
            ZRCommandLine::print(result);
            if (result.exitStatus != 0 && !result.changedQueue)
                return result.exitStatus;
            fellShort = result.exitStatus != 0;
            watched = controller->downloadsMatchingStatusMask(ZRDownloadStatusMaskActive);
        } else {
            const ZRCommandLine::Intake intake = commandLine.openArguments(*controller, positional, arguments);
            // Nothing is started, and nothing was written: the queue is as it was.
            if (intake.tookNothing && intake.refusedAny)
                return 2;
            fellShort = intake.refusedAny;
            watched = intake.watched;
        }
        if (!followsSchedule) {
            run = std::make_unique<ZRHeadlessRun>(stdout, [&frontEnd] { frontEnd.requestQuit(); });
            run->watch(watched);
            // The last download to finish ends the run at once, not on the next tick.
            ZRHeadlessRun *watching = run.get();
            frontEnd.userInterface().setChangeHandler([watching] { watching->checkSoon(); });
            run->setWillPrintSummary([&frontEnd] { frontEnd.userInterface().clearLiveRows(); });
        }
    }
    int status = application.exec();
    frontEnd.userInterface().setChangeHandler(nullptr);
    // Success only when every download of the run completed (an interrupted run keeps the rest queued).
    if (run && status == 0)
        status = fellShort ? 1 : run->exitStatus();
    ZRUserDefaults::standardUserDefaults().synchronize();
    return status;
}

} // namespace
