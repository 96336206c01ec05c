// squid and dante, configured for one test at a time.
#include "tests/support/ZRTestProxyDaemons.h"

#include "tests/support/ZRTestSupport.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

quint16 freePort()
{
    const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (::bind(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(descriptor, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(descriptor);
    return port;
}

bool accepts(quint16 port)
{
    const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool connected = ::connect(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(descriptor);
    return connected;
}

QString run(const QString &program, const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(10000) || process.exitCode() != 0)
        return {};
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

} // namespace

ZRTestProxyDaemon::ZRTestProxyDaemon(Kind kind) : _kind(kind) {}

ZRTestProxyDaemon::~ZRTestProxyDaemon()
{
    stop();
}

QString ZRTestProxyDaemon::programPath(Kind kind)
{
    const QString path = kind == Kind::squid ? QStringLiteral("/usr/sbin/squid") : QStringLiteral("/usr/sbin/danted");
    return QFile::exists(path) ? path : QString();
}

bool ZRTestProxyDaemon::canIsolateNames()
{
    QProcess probe;
    probe.start(QStringLiteral("unshare"), {QStringLiteral("--mount"), QStringLiteral("--propagation"),
                                               QStringLiteral("private"), QStringLiteral("true")});
    return probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
}

QString ZRTestProxyDaemon::log() const
{
    if (!_folder)
        return {};
    const QString name = _kind == Kind::squid ? QStringLiteral("/access.log") : QStringLiteral("/danted.log");
    return QString::fromUtf8(ZRTestSupport::readFile(_folder->path() + name));
}

bool ZRTestProxyDaemon::start(bool requireCredentials, const QString &extraHosts)
{
    // The daemons drop to an unprivileged user that must read their folder.
    _folder = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/quorvel-proxy-XXXXXX"));
    if (!_folder->isValid()) {
        _errorString = QStringLiteral("cannot make a temporary folder");
        return false;
    }
    const QString dir = _folder->path();
    ::chmod(dir.toLocal8Bit().constData(), 0777);
    _port = freePort();
    QString conf;
    QString program = programPath(_kind);
    QStringList arguments;
    if (_kind == Kind::squid) {
        const QString hash = run(QStringLiteral("openssl"), {QStringLiteral("passwd"), QStringLiteral("-apr1"),
                                                                QStringLiteral("-stdin")}, "secret\n");
        if (hash.isEmpty() || !ZRTestSupport::writeFile(dir + QStringLiteral("/passwd"), "user:" + hash.toUtf8() + '\n')) {
            _errorString = QStringLiteral("cannot write the password file (openssl passwd)");
            return false;
        }
        ::chmod((dir + QStringLiteral("/passwd")).toLocal8Bit().constData(), 0644);
        conf += QStringLiteral("http_port 127.0.0.1:%1\n").arg(_port);
        conf += QStringLiteral("pid_filename %1/squid.pid\ncache_log %1/cache.log\n").arg(dir);
        conf += QStringLiteral("access_log stdio:%1/access.log\ncoredump_dir %1\n").arg(dir);
        conf += QStringLiteral("cache deny all\ncache_mem 8 MB\nshutdown_lifetime 0 seconds\n");
        conf += QStringLiteral("dns_nameservers 127.0.0.1\nhosts_file /etc/hosts\n");
        if (requireCredentials) {
            conf += QStringLiteral("auth_param basic program /usr/lib/squid/basic_ncsa_auth %1/passwd\n").arg(dir);
            conf += QStringLiteral("auth_param basic realm quorvel-proxy\n");
            conf += QStringLiteral("acl authenticated proxy_auth REQUIRED\nhttp_access allow authenticated\n");
        } else {
            conf += QStringLiteral("http_access allow all\n");
        }
        conf += QStringLiteral("http_access deny all\n");
        if (!ZRTestSupport::writeFile(dir + QStringLiteral("/squid.conf"), conf.toUtf8())) {
            _errorString = QStringLiteral("cannot write squid.conf");
            return false;
        }
        arguments = {QStringLiteral("-N"), QStringLiteral("-f"), dir + QStringLiteral("/squid.conf")};
    } else {
        conf += QStringLiteral("logoutput: %1/danted.log\n").arg(dir);
        conf += QStringLiteral("internal: 127.0.0.1 port = %1\nexternal: 127.0.0.1\n").arg(_port);
        conf += QStringLiteral("socksmethod: none\nclientmethod: none\n");
        conf += QStringLiteral("user.privileged: root\nuser.unprivileged: nobody\n");
        conf += QStringLiteral("client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n");
        conf += QStringLiteral("socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 log: connect }\n");
        if (!ZRTestSupport::writeFile(dir + QStringLiteral("/danted.conf"), conf.toUtf8())) {
            _errorString = QStringLiteral("cannot write danted.conf");
            return false;
        }
        const QString command = QStringLiteral("exec ") + program + QStringLiteral(" -f ") + dir + QStringLiteral("/danted.conf -N 1");
        if (extraHosts.isEmpty()) {
            program = QStringLiteral("sh");
            arguments = {QStringLiteral("-c"), command};
        } else {
            const QByteArray hosts = ZRTestSupport::readFile(QStringLiteral("/etc/hosts")) + '\n' + extraHosts.toUtf8() + '\n';
            if (!ZRTestSupport::writeFile(dir + QStringLiteral("/hosts"), hosts)) {
                _errorString = QStringLiteral("cannot write the hosts file");
                return false;
            }
            // The names are the proxy's alone: its own /etc/hosts, in a mount namespace of its own.
            program = QStringLiteral("unshare");
            arguments = {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                QStringLiteral("sh"), QStringLiteral("-c"),
                QStringLiteral("mount --bind ") + dir + QStringLiteral("/hosts /etc/hosts && ") + command};
        }
    }
    _process = std::make_unique<QProcess>();
    _process->setProcessChannelMode(QProcess::MergedChannels);
    _process->setStandardOutputFile(dir + QStringLiteral("/output.log"));
    _process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    _process->start(program, arguments);
    if (!_process->waitForStarted(10000)) {
        _errorString = QStringLiteral("cannot start <%1>").arg(program);
        return false;
    }
    if (!waitUntilListening()) {
        _errorString = QStringLiteral("the proxy did not start listening: ")
            + QString::fromUtf8(ZRTestSupport::readFile(dir + QStringLiteral("/output.log")))
            + QString::fromUtf8(ZRTestSupport::readFile(dir + QStringLiteral("/cache.log")).right(2000));
        stop();
        return false;
    }
    return true;
}

bool ZRTestProxyDaemon::waitUntilListening()
{
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (_process->state() != QProcess::Running)
            return false;
        if (accepts(_port))
            return true;
        QThread::msleep(50);
    }
    return false;
}

void ZRTestProxyDaemon::stop()
{
    if (!_process)
        return;
    if (_process->state() != QProcess::NotRunning) {
        _process->terminate();
        if (!_process->waitForFinished(10000)) {
            _process->kill();
            _process->waitForFinished(5000);
        }
    }
    _process.reset();
}
