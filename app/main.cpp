// The quorvel programs: the controller with the terminal front end (quorvel), or with the download
// window as well (quorvel-window, which quorvel starts when a display is there).
#include "app/control/ZRInstanceLock.h"
#include "app/control/ZRMainController.h"
#include "app/control/ZRScriptArgumentKeys.h"
#include "app/control/ZRScriptingClient.h"
#include "app/control/ZRScriptingService.h"
#include "app/headless/ZRCommandLine.h"
#include "app/headless/ZRHeadlessFrontEnd.h"
#include "app/headless/ZRHeadlessRun.h"
#include "app/platform/ZRSecretServiceKeyring.h"
#include "app/platform/ZRSystemProxyResolver.h"
#include "core/foundation/ZRMainLoopCallbacks.h"
#include "app/headless/ZRHistoryListing.h"
#include "app/platform/ZRBrowserHostInstaller.h"
#include "app/platform/ZRDesktopRegistration.h"
#ifdef QUORVEL_WINDOW
#include "app/ui/ZRDesktopUserInterface.h"
#endif
#include "core/http/ZRHTTPRequest.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRUserDefaults.h"

#ifdef QUORVEL_WINDOW
#include <QApplication>
#endif
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

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
                                                "--pause",    "--retry",   "--remove", "--clear",
                                                "--status", "--register-desktop", "--install-browser-hosts"};
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

// Scripts, browsers and a second quorvel reach this one on the session bus; a second quorvel's
// command line goes into the intake as if typed here.
void offerScripting(ZRScriptingService &scripting, const QDBusConnection &bus, const ZRCommandLine &commandLine)
{
    ZRMainController *controller = ZRMainController::mainController();
    scripting.setArgumentsHandler([&commandLine, controller](const QStringList &handed, const QString &folder,
                                                             const QVariantMap &scriptArguments) {
        const ZRCommandLine::Intake intake = commandLine.openArguments(*controller, handed, scriptArguments, folder);
        return ZRScripting::ArgumentsResult{intake.exitStatus(), intake.messages};
    });
    if (!bus.isConnected())
        return;
    QString busError;
    if (!scripting.registerOnBus(bus, &busError))
        ZRLog(QStringLiteral("cannot take calls on the session bus: %1").arg(busError));
}

#ifdef QUORVEL_WINDOW
// The window's run: the controller with the desktop front end, the arguments into its queue.
int runWindow(QCoreApplication &application, const QDBusConnection &bus, const ZRCommandLine &commandLine,
              const QStringList &positional, const QVariantMap &arguments, bool showPreferences)
{
    ZRDesktopUserInterface desktop;
    desktop.start();
    if (showPreferences)
        desktop.showPreferences();
    ZRScriptingService scripting(*ZRMainController::mainController());
    offerScripting(scripting, bus, commandLine);
    if (!positional.isEmpty())
        ZRCommandLine::printErrors(
            commandLine.openArguments(*ZRMainController::mainController(), positional, arguments).messages);
    const int status = application.exec();
    scripting.unregisterFromBus();
    ZRUserDefaults::standardUserDefaults().synchronize();
    return status;
}
#else
// The window lives in quorvel-window beside this program: the terminal's runs stay free of the
// widget libraries. Returns only when it cannot be started.
void startWindowProgram(char **argv)
{
    std::string self(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (length <= 0)
        return;
    self.resize(size_t(length));
    const std::string window = self.substr(0, self.rfind('/') + 1) + "quorvel-window";
    ::execv(window.c_str(), argv);
    std::fprintf(stderr, "quorvel: cannot start the download window <%s>: %s; running in the terminal\n",
                 window.c_str(), std::strerror(errno));
}
#endif

int runQuorvel(int argc, char **argv);
int handOverToRunningInstance(const QDBusConnection &bus, qint64 processID, const ZRCommandLine &commandLine,
                              const std::optional<ZRQueueCommand> &queueCommand, QStringList positional,
                              const QVariantMap &arguments);
int printRunningQueue(const QDBusConnection &bus);

} // namespace

int main(int argc, char **argv)
{
    // Bodies and receive buffers of a few hundred KiB come and go with every download. By
    // default the allocator hands such blocks back to the kernel as soon as they are freed (or
    // maps each one afresh), so every download faulted the same memory in again, page by page: a
    // quarter of the processor time of a run of small files. Keep freed memory for the next one.
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 16 * 1024 * 1024);
    // One heap for the two threads that allocate (the main loop and the engine's): a second arena
    // kept its own half-used pages, some 0.4 MB of a terminal run's peak; the per-thread caches
    // keep the two from waiting on each other.
    mallopt(M_ARENA_MAX, 1);
#ifndef QUORVEL_WINDOW
    if (wantsWindow(argc, argv))
        startWindowProgram(argv);
#endif
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
#ifdef QUORVEL_WINDOW
    const bool window = wantsWindow(argc, argv);
    std::unique_ptr<QCoreApplication> running =
        window ? std::make_unique<QApplication>(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
#else
    [[maybe_unused]] const bool window = false;
    auto running = std::make_unique<QCoreApplication>(argc, argv);
#endif
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
        "hands its addresses, files and queue commands to the one that runs, over the session bus\n"
        "(com.tessaline.Quorvel), and exits; without a session bus it says so and exits with status 1.\n"
        "quorvel: and securequorvel: addresses (from web pages and the browser extension) give web\n"
        "addresses only.\n\n"
        "Addresses join the queue unless they are in it already (\"Instant Duplicate Check\"); brace\n"
        "ranges stand for several addresses: \"http://host/part{1-3}.zip\". Files: a download bundle\n"
        "(.quorvel) is queued again, a browser request file (.qbp) is read and deleted, an address list\n"
        "(.txt) adds the addresses it holds, any other file is copied as a download; folders are walked.\n"
        "Only http, https and file addresses are downloaded; an argument that is none of them, or a file that\n"
        "cannot be read, is refused with its reason. Giving an address again continues its download when it\n"
        "was paused, interrupted or aborted.\n\n"
        "Queue commands (--list, --resume, --pause, --retry, --remove, --clear) act on the downloads that\n"
        "WHAT names, or on all of them, in the queue of the Quorvel that runs, or else in the queue kept\n"
        "on disk (without a session bus, while another Quorvel runs, only --list works: on the queue as it\n"
        "last saved it).\n\n"
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
    // Desktop and browser set-up for this user.
    const QCommandLineOption registerDesktopOption(
        QStringLiteral("register-desktop"),
        QStringLiteral("Make this quorvel the handler of quorvel:// and securequorvel:// links and of .qbp "
                       "and .quorvel files, with its icon and D-Bus service, below $XDG_DATA_HOME (no "
                       "system files)."));
    const QCommandLineOption installBrowserHostsOption(
        QStringLiteral("install-browser-hosts"),
        QStringLiteral("Let Chrome, Chromium, Brave, Vivaldi, Edge, Opera, Firefox and LibreWolf (also as "
                       "Flatpaks) start quorvel-extension-host for the Quorvel browser extension: writes "
                       "the per-user manifests."));
    parser.addOption(registerDesktopOption);
    parser.addOption(installBrowserHostsOption);
    const QCommandLineOption statusOption(
        QStringLiteral("status"),
        QStringLiteral("Print the queue of the Quorvel that runs (position, status, progress, name, address); "
                       "exit status 1 when none runs."));
    parser.addOption(statusOption);
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
    if (parser.isSet(preferencesOption) && !window) {
        std::fputs("quorvel: --preferences opens a window, and needs a display\n", stderr);
        return 2;
    }
    if (parser.isSet(historyOption))
        return ZRHistoryListing::printHistory(parser.positionalArguments(), stdout, stderr);
    if (parser.isSet(registerDesktopOption) || parser.isSet(installBrowserHostsOption)) {
        int status = 0;
        if (parser.isSet(registerDesktopOption))
            status = ZRDesktopRegistration::registerDesktop(stdout, stderr);
        if (status == 0 && parser.isSet(installBrowserHostsOption))
            status = ZRBrowserHostInstaller::installBrowserHosts(stdout, stderr);
        return status;
    }

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

    // One Quorvel per user: a second one hands its command line to the one that runs, over the
    // session bus; without a bus, the lock below keeps a second process off the same Queue.plist.
    const QDBusConnection bus = ZRScripting::sessionBus();
    qint64 runningProcessID = 0;
    if (parser.isSet(statusOption))
        return printRunningQueue(bus);
    if (ZRScriptingClient::isRunning(bus, &runningProcessID))
        return handOverToRunningInstance(bus, runningProcessID, commandLine, queueCommand, positional, arguments);

    ZRInstanceLock instanceLock;
    qint64 holderProcessID = 0;
    QString lockError;
    const ZRInstanceLock::Result lock =
        instanceLock.tryLock(ZRInstanceLock::defaultLockFilePath(), &holderProcessID, &lockError);
    // One that is starting right now takes the name a moment after the lock.
    if (lock == ZRInstanceLock::Result::HeldElsewhere && bus.isConnected() &&
        ZRScriptingClient::waitUntilRunning(bus, 3000, &runningProcessID))
        return handOverToRunningInstance(bus, runningProcessID, commandLine, queueCommand, positional, arguments);
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
            std::fprintf(stderr, "quorvel: Quorvel is already running (process %lld) and cannot be reached over the "
                                 "session bus; its queue is left as it is\n",
                         static_cast<long long>(holderProcessID));
        else
            std::fputs("quorvel: Quorvel is already running and cannot be reached over the session bus; its queue "
                       "is left as it is\n",
                       stderr);
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
    ZRHTTPRequest::setCallbackExecutor(ZRMainLoopCallbacks::post);
    ZRHTTPRequest::setDefaultUserAgentApplication("Quorvel", QUORVEL_VERSION, QUORVEL_VERSION);
    ZRHTTPRequest::setLogFunction([](const std::string &line) { ZRLog(QString::fromStdString(line)); });
    // Credentials in the desktop's keyring; proxies from the system settings.
    ZRHTTPRequest::setCredentialStorage(std::make_shared<ZRSecretServiceKeyring>());
    ZRHTTPRequest::setProxyResolver(std::make_shared<ZRSystemProxyResolver>());
    // The engine's own start-up (OpenSSL reads its configuration, the request thread starts) goes on
    // beside the queue's restoration and the intake instead of before the first request.
    const std::jthread engineStart(&ZRHTTPRequest::startEngine);

#ifdef QUORVEL_WINDOW
    if (window)
        return runWindow(application, bus, commandLine, positional, arguments, parser.isSet(preferencesOption));
#endif

    ZRHeadlessFrontEnd frontEnd;
    frontEnd.start();
    ZRMainController *controller = ZRMainController::mainController();
    ZRScriptingService scripting(*controller);
    offerScripting(scripting, bus, commandLine);
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
        if (queueCommand) {
            const ZRQueueCommandResult result = controller->performQueueCommand(*queueCommand, positional);
            ZRCommandLine::print(result);
            if (result.exitStatus != 0 && !result.changedQueue)
                return result.exitStatus;
            fellShort = result.exitStatus != 0;
            watched = controller->downloadsMatchingStatusMask(ZRDownloadStatusMaskActive);
        } else {
            const ZRCommandLine::Intake intake = commandLine.openArguments(*controller, positional, arguments);
            ZRCommandLine::printErrors(intake.messages);
            // Nothing is started, and nothing was written: the queue is as it was.
            if (intake.exitStatus() == 2)
                return 2;
            fellShort = intake.refusedAny;
            watched = intake.watched;
        }
        if (!followsSchedule) {
            run = std::make_unique<ZRHeadlessRun>(stdout, [&frontEnd] { frontEnd.requestQuit(); });
            run->watch(watched);
            run->followQueue([] { return ZRMainController::mainController()->downloads(); });
            // The last download to finish ends the run at once, not on the next tick.
            ZRHeadlessRun *watching = run.get();
            frontEnd.userInterface().setChangeHandler([watching] { watching->checkSoon(); });
            run->setWillPrintSummary([&frontEnd] { frontEnd.userInterface().clearLiveRows(); });
        }
    }
    int status = application.exec();
    // Nothing is taken once the queue is being put away.
    scripting.unregisterFromBus();
    frontEnd.userInterface().setChangeHandler(nullptr);
    // Success only when every download of the run completed (an interrupted run keeps the rest queued).
    if (run && status == 0)
        status = fellShort ? 1 : run->exitStatus();
    ZRUserDefaults::standardUserDefaults().synchronize();
    return status;
}

int handOverToRunningInstance(const QDBusConnection &bus, qint64 processID, const ZRCommandLine &commandLine,
                              const std::optional<ZRQueueCommand> &queueCommand, QStringList positional,
                              const QVariantMap &arguments)
{
    const QString running = processID > 0 ? QStringLiteral("the Quorvel that runs (process %1)").arg(processID)
                                          : QStringLiteral("the Quorvel that runs");
    QString error;
    const auto unreachable = [&] {
        std::fprintf(stderr, "quorvel: cannot reach %s: %s\n", qPrintable(running), qPrintable(error));
        return 1;
    };
    if (queueCommand) {
        const std::optional<ZRQueueCommandResult> result =
            ZRScriptingClient::performQueueCommand(bus, *queueCommand, positional, &error);
        if (!result)
            return unreachable();
        ZRCommandLine::print(*result);
        return result->exitStatus;
    }
    if (positional.isEmpty()) {
        if (!ZRScriptingClient::activate(bus, &error))
            return unreachable();
        std::fprintf(stderr, "quorvel: %s works the queue; asked it to come forward\n", qPrintable(running));
        return 0;
    }
    // Bytes that are not text stay here: the other side could not tell them from U+FFFD.
    const QStringList refused = commandLine.invalidTextRefusals(positional);
    ZRCommandLine::printErrors(refused);
    if (positional.isEmpty())
        return 2;
    const std::optional<ZRScripting::ArgumentsResult> result =
        ZRScriptingClient::openArguments(bus, positional, QDir::currentPath(), arguments, &error);
    if (!result)
        return unreachable();
    ZRCommandLine::printErrors(result->messages);
    if (result->exitStatus == 0 && !refused.isEmpty())
        return 1;
    if (result->exitStatus != 2)
        std::fprintf(stderr, "quorvel: handed over to %s\n", qPrintable(running));
    return result->exitStatus;
}

int printRunningQueue(const QDBusConnection &bus)
{
    qint64 processID = 0;
    if (!ZRScriptingClient::isRunning(bus, &processID)) {
        std::fputs(bus.isConnected() ? "quorvel: no Quorvel runs on this session bus\n"
                                     : "quorvel: no session bus, so no running Quorvel can be asked\n",
                   stderr);
        return 1;
    }
    QString error;
    const std::optional<QList<QVariantMap>> downloads = ZRScriptingClient::downloads(bus, &error);
    if (!downloads) {
        std::fprintf(stderr, "quorvel: cannot ask the Quorvel that runs: %s\n", qPrintable(error));
        return 1;
    }
    QString text = QStringLiteral("Quorvel runs (process %1): %2 downloads\n").arg(processID).arg(downloads->size());
    for (const QVariantMap &download : *downloads) {
        const QString line =
            QStringLiteral("%1  %2  %3%  %4 \u2014 %5  <%6>")
                .arg(download.value(QStringLiteral("Position")).toInt(), 3)
                .arg(download.value(QStringLiteral("Status")).toString(), -11)
                .arg(qRound(download.value(QStringLiteral("Progress")).toDouble() * 100), 3)
                .arg(download.value(QStringLiteral("Name")).toString(),
                     download.value(QStringLiteral("StatusText")).toString(),
                     download.value(QStringLiteral("Address")).toString());
        // Names and reasons come from servers: nothing that acts on a terminal.
        text += ZRExtensions::stringByEscapingControlCharacters(line) + QLatin1Char('\n');
    }
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    return 0;
}

} // namespace
