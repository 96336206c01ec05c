#include "app/platform/ZRTerminationSignalWatcher.h"

#include "core/foundation/ZRLog.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

constexpr std::array watchedSignals{SIGINT, SIGTERM, SIGHUP};

int pipeFds[2] = {-1, -1};
struct sigaction previousActions[watchedSignals.size()];

extern "C" void handleTerminationSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // Nothing to do when the pipe is full: a request is already waiting.
    [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], &byte, 1);
    errno = savedErrno;
}

QString errorText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

ZRTerminationSignalWatcher::ZRTerminationSignalWatcher(QObject *parent) : QObject(parent) {}

ZRTerminationSignalWatcher::~ZRTerminationSignalWatcher()
{
    if (!_installed)
        return;
    for (std::size_t i = 0; i < watchedSignals.size(); ++i)
        ::sigaction(watchedSignals[i], &previousActions[i], nullptr);
    delete _notifier;
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    pipeFds[0] = pipeFds[1] = -1;
}

bool ZRTerminationSignalWatcher::start()
{
    if (_installed)
        return true;
    if (pipeFds[0] >= 0) {
        ZRLog(QStringLiteral("cannot watch termination signals: another watcher is installed"));
        return false;
    }
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        ZRLog(QStringLiteral("cannot watch termination signals: %1").arg(errorText()));
        pipeFds[0] = pipeFds[1] = -1;
        return false;
    }
    struct sigaction action {
    };
    action.sa_handler = handleTerminationSignal;
    sigemptyset(&action.sa_mask);
    // Interrupt blocking reads (a terminal prompt) so a second Ctrl-C is not swallowed.
    action.sa_flags = 0;
    for (std::size_t i = 0; i < watchedSignals.size(); ++i)
        ::sigaction(watchedSignals[i], &action, &previousActions[i]);
    _installed = true;
    _notifier = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(_notifier, &QSocketNotifier::activated, this, &ZRTerminationSignalWatcher::readPipe);
    return true;
}

void ZRTerminationSignalWatcher::readPipe()
{
    unsigned char byte = 0;
    while (::read(pipeFds[0], &byte, 1) == 1)
        Q_EMIT terminationRequested(byte);
}
