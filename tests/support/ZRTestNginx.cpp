#include "tests/support/ZRTestNginx.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>

#include <arpa/inet.h>
#include <csignal>
#include <sys/prctl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A port that was free a moment ago; nginx may still lose a race for it, which start() retries.
quint16 pickFreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    quint16 port = 0;
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

// One plain GET over a fresh loopback connection; returns the whole answer or nothing.
QByteArray fetchOnce(quint16 port, const QByteArray &path)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return {};
    timeval timeout {1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    QByteArray answer;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0) {
        const QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()) {
            char buffer[4096];
            ssize_t got = 0;
            while ((got = ::recv(fd, buffer, sizeof(buffer), 0)) > 0)
                answer.append(buffer, got);
        }
    }
    ::close(fd);
    return answer;
}

bool runTool(const QString &program, const QStringList &arguments, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForStarted(10000) && process.waitForFinished(60000);
    *output = QString::fromLocal8Bit(process.readAll());
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

ZRTestNginx::ZRTestNginx()
    : ZRTestNginx(Options {})
{
}

ZRTestNginx::ZRTestNginx(Options options)
    : _options(options)
    , _folder(std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/quorvel-nginx-XXXXXX")))
{
    QDir(_folder->path()).mkpath(QStringLiteral("www"));
    QDir(_folder->path()).mkpath(QStringLiteral("temp"));
}

ZRTestNginx::~ZRTestNginx()
{
    stop();
}

QString ZRTestNginx::nginxPath()
{
    return QStringLiteral("/usr/sbin/nginx");
}

bool ZRTestNginx::isAvailable()
{
    return QFileInfo(nginxPath()).isExecutable();
}

QString ZRTestNginx::documentRoot() const
{
    return _folder->path() + QStringLiteral("/www");
}

bool ZRTestNginx::addFile(const QString &relativePath, const QByteArray &bytes)
{
    const QString path = documentRoot() + QLatin1Char('/') + relativePath;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

bool ZRTestNginx::addPatternFile(const QString &relativePath, qint64 size)
{
    const QString path = documentRoot() + QLatin1Char('/') + relativePath;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    // 251 * 4096 bytes is a whole number of pattern periods, so every block is the same.
    QByteArray block(251 * 4096, Qt::Uninitialized);
    for (qsizetype i = 0; i < block.size(); ++i)
        block[i] = char(i % 251);
    for (qint64 written = 0; written < size;) {
        const qint64 length = std::min<qint64>(block.size(), size - written);
        if (file.write(block.constData(), length) != length)
            return false;
        written += length;
    }
    return true;
}

QString ZRTestNginx::certificatePath() const
{
    return _folder->path() + QStringLiteral("/cert.pem");
}

QString ZRTestNginx::errorLog() const
{
    QFile file(_folder->path() + QStringLiteral("/error.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

QString ZRTestNginx::accessLog() const
{
    QFile file(_folder->path() + QStringLiteral("/access.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

QString ZRTestNginx::rangeLog() const
{
    QFile file(_folder->path() + QStringLiteral("/ranges.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

bool ZRTestNginx::makeCertificate()
{
    if (QFileInfo::exists(certificatePath()))
        return true;
    QString output;
    const bool made = runTool(QStringLiteral("openssl"),
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
            QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
            QStringLiteral("-keyout"), _folder->path() + QStringLiteral("/key.pem"), QStringLiteral("-out"),
            certificatePath(), QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
            QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
            QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost")},
        &output);
    if (!made)
        _errorString = QStringLiteral("cannot make a test certificate with openssl: ") + output;
    return made;
}

bool ZRTestNginx::writeConfiguration(const QString &token)
{
    const QString dir = _folder->path();
    const QString root = documentRoot();
    QString conf;
    conf += QStringLiteral("daemon off;\nmaster_process off;\n");
    conf += QStringLiteral("pid %1/nginx.pid;\nlock_file %1/nginx.lock;\nerror_log %1/error.log warn;\n").arg(dir);
    conf += QStringLiteral("events { worker_connections 512; }\n");
    conf += QStringLiteral("http {\n");
    conf += QStringLiteral("  log_format quorvel '$remote_port $request $status $bytes_sent';\n");
    conf += QStringLiteral("  access_log %1/access.log quorvel;\n").arg(dir);
    conf += QStringLiteral("  log_format quorvel_ranges '$uri $http_range $status $bytes_sent';\n");
    conf += QStringLiteral("  access_log %1/ranges.log quorvel_ranges;\n").arg(dir);
    for (const char *kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf += QStringLiteral("  %1_temp_path %2/temp/%1;\n").arg(QLatin1String(kind), dir);
    conf += QStringLiteral("  default_type application/octet-stream;\n");
    conf += QStringLiteral("  types { text/plain txt; text/html html; application/octet-stream bin; }\n");
    conf += QStringLiteral("  sendfile on;\n  tcp_nopush on;\n");
    conf += QStringLiteral("  keepalive_timeout 60s;\n  keepalive_requests 10000;\n");
    const QString rate = QString::number(_options.limitRateBytesPerSecond);
    conf += QStringLiteral("  server {\n    listen 127.0.0.1:%1;\n    root %2;\n").arg(_httpPort).arg(root);
    conf += QStringLiteral("    location = /__fixture_token { return 200 \"%1\"; }\n").arg(token);
    conf += QStringLiteral("    location /limited/ { alias %1/; limit_rate %2; }\n").arg(root, rate);
    conf += QStringLiteral("    location /no-ranges/ { alias %1/; limit_rate %2; max_ranges 0; }\n").arg(root, rate);
    // Files under "/private/" ask for Basic credentials: user name "user", password "secret".
    conf += QStringLiteral("    location /private/ { auth_basic \"quorvel-private\"; auth_basic_user_file %1/htpasswd; }\n  }\n")
                .arg(dir);
    if (_options.https) {
        conf += QStringLiteral("  server {\n    listen 127.0.0.1:%1 ssl;\n    root %2;\n").arg(_httpsPort).arg(root);
        conf += QStringLiteral("    ssl_certificate %1;\n    ssl_certificate_key %2/key.pem;\n  }\n")
                    .arg(certificatePath(), dir);
    }
    conf += QStringLiteral("  server {\n    listen 127.0.0.1:%1;\n    root %2;\n    limit_rate %3;\n  }\n")
                .arg(_limitedPort)
                .arg(root, rate);
    conf += QStringLiteral("}\n");
    QFile passwords(dir + QStringLiteral("/htpasswd"));
    if (!passwords.open(QIODevice::WriteOnly | QIODevice::Truncate) || passwords.write("user:{PLAIN}secret\n") < 0)
        return false;
    passwords.close();
    QFile file(dir + QStringLiteral("/nginx.conf"));
    const QByteArray bytes = conf.toUtf8();
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

bool ZRTestNginx::waitUntilServing(const QString &token)
{
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (_process->state() != QProcess::Running)
            return false;
        // The token proves that the answer comes from our server, not from one that took the port.
        const QByteArray answer = fetchOnce(_httpPort, "/__fixture_token");
        if (answer.startsWith("HTTP/1.1 200") && answer.endsWith(token.toLatin1()))
            return _process->state() == QProcess::Running;
        QThread::msleep(20);
    }
    return false;
}

bool ZRTestNginx::restart()
{
    if (!_httpPort)
        return start();
    stop();
    const QString token = QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (!writeConfiguration(token)) {
        _errorString = QStringLiteral("cannot write <%1/nginx.conf>").arg(_folder->path());
        return false;
    }
    // The ports were just released; another program may take one meanwhile, which fails the test.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (launch() && waitUntilServing(token))
            return true;
        stop();
        QThread::msleep(100);
    }
    _errorString = QStringLiteral("cannot start nginx again on its ports: ") + errorLog();
    return false;
}

bool ZRTestNginx::launch()
{
    QFile::remove(_folder->path() + QStringLiteral("/error.log"));
    _process = std::make_unique<QProcess>();
    _process->setProcessChannelMode(QProcess::MergedChannels);
    _process->setStandardOutputFile(_folder->path() + QStringLiteral("/output.log"), QIODevice::Append);
    // A test process that dies without its destructors must not leave the server behind.
    _process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    _process->start(nginxPath(),
        {QStringLiteral("-p"), _folder->path(), QStringLiteral("-c"), _folder->path() + QStringLiteral("/nginx.conf"),
            QStringLiteral("-e"), _folder->path() + QStringLiteral("/error.log")});
    if (!_process->waitForStarted(10000)) {
        _errorString = QStringLiteral("cannot start <%1>: %2").arg(nginxPath(), _process->errorString());
        _process.reset();
        return false;
    }
    return true;
}

bool ZRTestNginx::start()
{
    stop();
    if (!isAvailable()) {
        _errorString = QStringLiteral("cannot find <%1>").arg(nginxPath());
        return false;
    }
    if (!_folder->isValid()) {
        _errorString = QStringLiteral("cannot create a temporary folder for nginx");
        return false;
    }
    if (_options.https && !makeCertificate())
        return false;
    const QString token = QUuid::createUuid().toString(QUuid::WithoutBraces);
    for (int attempt = 0; attempt < 8; ++attempt) {
        _httpPort = pickFreePort();
        _httpsPort = _options.https ? pickFreePort() : 0;
        _limitedPort = pickFreePort();
        if (!_httpPort || !_limitedPort || (_options.https && !_httpsPort)
            || _httpPort == _httpsPort || _httpPort == _limitedPort || _httpsPort == _limitedPort)
            continue;
        if (!writeConfiguration(token)) {
            _errorString = QStringLiteral("cannot write <%1/nginx.conf>").arg(_folder->path());
            return false;
        }
        if (!launch())
            return false;
        if (waitUntilServing(token))
            return true;
        const QString log = errorLog();
        stop();
        if (!log.contains(QLatin1String("Address already in use"))) {
            _errorString = QStringLiteral("cannot start nginx: ") + log;
            return false;
        }
    }
    _errorString = QStringLiteral("cannot find free ports for nginx");
    return false;
}

void ZRTestNginx::stop()
{
    if (!_process)
        return;
    if (_process->state() != QProcess::NotRunning) {
        _process->terminate(); // SIGTERM to the PID: fast shutdown
        if (!_process->waitForFinished(5000)) {
            _process->kill();
            _process->waitForFinished(5000);
        }
    }
    _process.reset();
}

bool ZRTestNginx::isRunning() const
{
    return _process && _process->state() == QProcess::Running;
}

qint64 ZRTestNginx::pid() const
{
    return _process ? _process->processId() : 0;
}

QString ZRTestNginx::httpURL(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(_httpPort).arg(path);
}

QString ZRTestNginx::httpsURL(const QString &path) const
{
    return QStringLiteral("https://127.0.0.1:%1%2").arg(_httpsPort).arg(path);
}

QString ZRTestNginx::limitedURL(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(_limitedPort).arg(path);
}

std::string ZRTestNginx::httpURLString(const std::string &path) const
{
    return httpURL(QString::fromStdString(path)).toStdString();
}

std::string ZRTestNginx::httpsURLString(const std::string &path) const
{
    return httpsURL(QString::fromStdString(path)).toStdString();
}

std::string ZRTestNginx::limitedURLString(const std::string &path) const
{
    return limitedURL(QString::fromStdString(path)).toStdString();
}
