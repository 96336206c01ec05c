// A tiny HTTP server on 127.0.0.1 (port picked by the kernel) whose answers the test writes: each
// request is recorded and answered by a handler with raw response bytes, then the connection closes.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ZRTestRangeServer {
public:
    struct Request {
        std::string requestLine;
        std::map<std::string, std::string> headers; // names in lower case
        std::string header(const std::string &lowerCaseName) const
        {
            const auto it = headers.find(lowerCaseName);
            return it == headers.end() ? std::string() : it->second;
        }
        bool has(const std::string &lowerCaseName) const { return headers.count(lowerCaseName) > 0; }
    };
    using Handler = std::function<std::string(const Request &)>;

    explicit ZRTestRangeServer(Handler handler);
    ~ZRTestRangeServer();
    ZRTestRangeServer(const ZRTestRangeServer &) = delete;
    ZRTestRangeServer &operator=(const ZRTestRangeServer &) = delete;

    bool isListening() const { return _listener >= 0; }
    std::string url(const std::string &path) const;
    std::vector<Request> requests() const;

    // "HTTP/1.1 <status>" with the fields and the body, Content-Length added.
    static std::string response(int status, const std::vector<std::pair<std::string, std::string>> &fields,
                                const std::string &body);

private:
    void serve();

    Handler _handler;
    int _listener = -1;
    int _port = 0;
    std::atomic<bool> _stopping{false};
    mutable std::mutex _mutex;
    std::vector<Request> _requests;
    std::thread _thread;
};
