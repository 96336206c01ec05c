// The quorvel executable: the controller with the terminal front end.
#include "app/headless/ZRHeadlessFrontEnd.h"
#include "core/http/ZRHTTPRequest.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRUserDefaults.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace
{

bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || !qEnvironmentVariableIsEmpty("DISPLAY");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
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
        "$XDG_CONFIG_HOME/Quorvel/Preferences.plist.\n\n"
        "Not there yet: the download window and adding addresses."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"), QStringLiteral("Run in the terminal (also the case without a display)."));
    parser.addOption(headlessOption);
    parser.process(application);

    // A reader that goes away (quorvel | head) must not kill the program before it saved the queue.
    std::signal(SIGPIPE, SIG_IGN);
    ZRLogSetEchoToStandardError(true);
    if (!parser.isSet(headlessOption) && hasDisplay())
        std::fputs("quorvel: the download window comes later; running in the terminal\n", stderr);

    // The engine reports on its own thread; every callback is queued onto the main loop, in order.
    ZRHTTPRequest::setCallbackExecutor([](std::function<void()> callback) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(callback), Qt::QueuedConnection);
    });
    ZRHTTPRequest::setDefaultUserAgentApplication("Quorvel", QUORVEL_VERSION, QUORVEL_VERSION);

    ZRHeadlessFrontEnd frontEnd;
    frontEnd.start();
    const int status = application.exec();
    ZRUserDefaults::standardUserDefaults().synchronize();
    return status;
}
