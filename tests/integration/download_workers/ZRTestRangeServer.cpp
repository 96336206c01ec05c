// The scripted loopback server of the worker tests.
#include "ZRTestRangeServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

ZRTestRangeServer::ZRTestRangeServer(Handler handler) : _handler(std::move(handler))
{
    _listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (_listener < 0 || ::bind(_listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0
        || ::listen(_listener, 16) != 0
        || ::getsockname(_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (_listener >= 0)
            ::close(_listener);
        _listener = -1;
        return;
    }
    _port = ntohs(address.sin_port);
    _thread = std::thread([this] { serve(); });
}

ZRTestRangeServer::~ZRTestRangeServer()
{
    _stopping = true;
    if (_thread.joinable())
        _thread.join();
    if (_listener >= 0)
        ::close(_listener);
}

std::string ZRTestRangeServer::url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(_port) + path;
}

std::vector<ZRTestRangeServer::Request> ZRTestRangeServer::requests() const
{
    std::lock_guard lock(_mutex);
    return _requests;
}

std::string ZRTestRangeServer::response(int status, const std::vector<std::pair<std::string, std::string>> &fields,
                                        const std::string &body)
{
    std::string text = "HTTP/1.1 " + std::to_string(status) + (status == 206 ? " Partial Content" : " OK") + "\r\n";
    for (const auto &[name, value] : fields)
        text += name + ": " + value + "\r\n";
    text += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    return text;
}

void ZRTestRangeServer::serve()
{
    while (!_stopping) {
        pollfd waiting{_listener, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0)
            continue;
        const int connection = ::accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        std::string received;
        char buffer[4096];
        while (received.find("\r\n\r\n") == std::string::npos) {
            pollfd readable{connection, POLLIN, 0};
            if (::poll(&readable, 1, 2000) <= 0)
                break;
            const ssize_t count = ::recv(connection, buffer, sizeof(buffer), 0);
            if (count <= 0)
                break;
            received.append(buffer, size_t(count));
        }
        Request request;
        const std::string head = received.substr(0, received.find("\r\n\r\n"));
        size_t start = 0;
        for (bool first = true; start < head.size(); first = false) {
            size_t end = head.find("\r\n", start);
            if (end == std::string::npos)
                end = head.size();
            const std::string line = head.substr(start, end - start);
            start = end + 2;
            if (first) {
                request.requestLine = line;
                continue;
            }
            const size_t colon = line.find(':');
            if (colon == std::string::npos)
                continue;
            std::string name = line.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
            size_t valueStart = colon + 1;
            while (valueStart < line.size() && line[valueStart] == ' ')
                ++valueStart;
            request.headers[name] = line.substr(valueStart);
        }
        {
            std::lock_guard lock(_mutex);
            _requests.push_back(request);
        }
        const std::string answer = _handler(request);
        size_t sent = 0;
        while (sent < answer.size()) {
            const ssize_t count = ::send(connection, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
            if (count <= 0)
                break;
            sent += size_t(count);
        }
        ::shutdown(connection, SHUT_WR);
        // Let the client read everything before the socket goes away.
        pollfd closing{connection, POLLIN, 0};
        while (::poll(&closing, 1, 500) > 0 && ::recv(connection, buffer, sizeof(buffer), 0) > 0) {
        }
        ::close(connection);
    }
}
