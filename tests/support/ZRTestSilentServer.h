// A loopback listener that never accepts: a download that the queue starts waits on it for ever
// instead of reaching anything outside.
#pragma once

#include <QString>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class ZRTestSilentServer {
public:
    ZRTestSilentServer()
    {
        _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(_fd, reinterpret_cast<sockaddr *>(&address), length) == 0 && ::listen(_fd, 16) == 0 &&
            ::getsockname(_fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            _port = ntohs(address.sin_port);
    }
    ~ZRTestSilentServer() { ::close(_fd); }
    ZRTestSilentServer(const ZRTestSilentServer &) = delete;
    ZRTestSilentServer &operator=(const ZRTestSilentServer &) = delete;

    QString url(const QString &name) const { return QStringLiteral("http://127.0.0.1:%1/%2").arg(_port).arg(name); }

private:
    int _fd = -1;
    quint16 _port = 0;
};
