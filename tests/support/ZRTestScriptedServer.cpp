#include "tests/support/ZRTestScriptedServer.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

const char kScriptName[] = "/scripted_server.py";

} // namespace

ZRTestScriptedServer::ZRTestScriptedServer() = default;

ZRTestScriptedServer::~ZRTestScriptedServer()
{
    stop();
}

QString ZRTestScriptedServer::pythonPath()
{
    // The system interpreter first: shims of version managers may be missing in CI.
    if (QFileInfo(QStringLiteral("/usr/bin/python3")).isExecutable())
        return QStringLiteral("/usr/bin/python3");
    return QStandardPaths::findExecutable(QStringLiteral("python3"));
}

bool ZRTestScriptedServer::start()
{
    stop();
    const QString python = pythonPath();
    if (python.isEmpty()) {
        _errorString = QStringLiteral("cannot find python3");
        return false;
    }
    const QString script = QStringLiteral(QUORVEL_TEST_SUPPORT_DIR) + QLatin1String(kScriptName);
    _process = std::make_unique<QProcess>();
    _process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    _process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    _process->start(python, {QStringLiteral("-u"), script});
    if (!_process->waitForStarted(10000)) {
        _errorString = QStringLiteral("cannot start <%1>: %2").arg(script, _process->errorString());
        _process.reset();
        return false;
    }
    QByteArray line;
    QDeadlineTimer deadline(15000);
    while (!line.contains('\n') && !deadline.hasExpired()) {
        if (!_process->waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
            break;
        line += _process->readAll();
    }
    if (!line.startsWith("PORT ") || !line.contains('\n')) {
        _errorString = QStringLiteral("cannot read the port of the scripted server: <%1>")
                           .arg(QString::fromLatin1(line));
        stop();
        return false;
    }
    bool ok = false;
    _port = quint16(line.mid(5, line.indexOf('\n') - 5).trimmed().toUInt(&ok));
    if (!ok || _port == 0) {
        _errorString = QStringLiteral("cannot parse the scripted server's port");
        stop();
        return false;
    }
    return true;
}

void ZRTestScriptedServer::stop()
{
    if (!_process)
        return;
    if (_process->state() != QProcess::NotRunning) {
        _process->closeWriteChannel(); // the script ends at end of input
        if (!_process->waitForFinished(2000)) {
            _process->kill();
            _process->waitForFinished(5000);
        }
    }
    _process.reset();
    _port = 0;
}

bool ZRTestScriptedServer::isRunning() const
{
    return _process && _process->state() == QProcess::Running;
}

QString ZRTestScriptedServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(_port).arg(path);
}

std::string ZRTestScriptedServer::urlString(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(_port) + path;
}

QByteArray ZRTestScriptedServer::get(const QString &path) const
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    timeval timeout = {};
    timeout.tv_sec = 5;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QByteArray response;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
        const QByteArray request = "GET " + path.toUtf8() + " HTTP/1.0\r\n\r\n";
        if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()) {
            char buffer[4096];
            for (ssize_t count; (count = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
                response.append(buffer, count);
        }
    }
    ::close(fd);
    const qsizetype body = response.indexOf("\r\n\r\n");
    return body < 0 ? QByteArray() : response.mid(body + 4);
}

QByteArray ZRTestScriptedServer::patternBytes(qint64 offset, qint64 length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    for (qint64 i = 0; i < length; ++i)
        bytes[i] = char((offset + i) % 251);
    return bytes;
}

QByteArray ZRTestScriptedServer::gzipPlainText(qint64 size)
{
    const QByteArray line("The quick brown fox jumps over the lazy dog. 0123456789\n");
    QByteArray text;
    text.reserve(size + line.size());
    while (text.size() < size)
        text += line;
    text.truncate(size);
    return text;
}
