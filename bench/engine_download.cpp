// Downloads URLs through the request engine, N at a time, with a delegate that appends each
// body to its own file, the way the download worker does. Used by bench/engine.sh.
//
//   engine_download [--concurrency N] [--throttle BYTES_PER_SECOND] --output-dir DIR URL...
//
// Prints one line "bytes=B chunks=C seconds=S failures=F" (C: calls with body bytes) and exits non-zero when a request failed.
#include "core/http/ZRHTTPRequest.h"
#include "core/http/ZRHTTPRequestDelegate.h"
#include "core/http/ZRHTTPRequestQueue.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

class FileAppendingDelegate final : public ZRHTTPRequestDelegate
{
public:
    FileAppendingDelegate(std::string path, int *remaining)
        : _path(std::move(path))
        , _remaining(remaining)
    {
    }
    ~FileAppendingDelegate() override { closeFile(); }

    bool respondsToDidReceiveData() const override { return true; }

    void requestStarted(ZRHTTPRequest &) override
    {
        // A retry sends the body again from its start.
        closeFile();
        _fd = ::open(_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (_fd < 0)
            std::fprintf(stderr, "cannot open <%s>: %s\n", _path.c_str(), std::strerror(errno));
        _bytes = 0;
    }

    void requestDidReceiveData(ZRHTTPRequest &, const std::string &bytes) override
    {
        std::size_t written = 0;
        while (_fd >= 0 && written < bytes.size()) {
            const ssize_t result = ::write(_fd, bytes.data() + written, bytes.size() - written);
            if (result < 0 && errno == EINTR)
                continue;
            if (result < 0) {
                std::fprintf(stderr, "cannot write <%s>: %s\n", _path.c_str(), std::strerror(errno));
                _failed = true;
                closeFile();
                break;
            }
            written += std::size_t(result);
        }
        _bytes += bytes.size();
        ++_chunks;
    }

    void requestFinished(ZRHTTPRequest &request) override
    {
        if (request.responseStatusCode() != 200 && request.responseStatusCode() != 206) {
            std::fprintf(stderr, "cannot download <%s>: status %d\n", request.url().c_str(), request.responseStatusCode());
            _failed = true;
        }
        done();
    }

    void requestFailed(ZRHTTPRequest &request) override
    {
        const ZRHTTPErrorPtr error = request.error();
        std::fprintf(stderr, "cannot download <%s>: %s\n", request.url().c_str(),
            error ? error->localizedDescription.c_str() : "unknown error");
        _failed = true;
        done();
    }

    bool failed() const { return _failed; }
    std::uint64_t bytes() const { return _bytes; }
    std::uint64_t chunks() const { return _chunks; }

private:
    void closeFile()
    {
        if (_fd >= 0)
            ::close(_fd);
        _fd = -1;
    }

    void done()
    {
        closeFile();
        if (--*_remaining == 0)
            QCoreApplication::quit();
    }

    std::string _path;
    int *_remaining;
    int _fd = -1;
    std::uint64_t _bytes = 0;
    std::uint64_t _chunks = 0;
    bool _failed = false;
};

int usage()
{
    std::fprintf(stderr,
        "usage: engine_download [--concurrency N] [--throttle BYTES_PER_SECOND] --output-dir DIR URL...\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    int concurrency = 1;
    std::uint64_t throttle = 0;
    std::string outputFolder;
    std::vector<std::string> urls;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--concurrency" && i + 1 < argc)
            concurrency = std::atoi(argv[++i]);
        else if (argument == "--throttle" && i + 1 < argc)
            throttle = std::strtoull(argv[++i], nullptr, 10);
        else if (argument == "--output-dir" && i + 1 < argc)
            outputFolder = argv[++i];
        else if (!argument.empty() && argument[0] != '-')
            urls.push_back(argument);
        else
            return usage();
    }
    if (urls.empty() || outputFolder.empty() || concurrency < 1)
        return usage();

    // Callbacks come back through the main loop, as in the application.
    ZRHTTPRequest::setCallbackExecutor([](std::function<void()> callback) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(callback), Qt::QueuedConnection);
    });
    ZRHTTPRequest::sharedQueue().setMaxConcurrentOperationCount(concurrency);
    ZRHTTPRequest::setMaxBandwidthPerSecond(throttle);

    int remaining = int(urls.size());
    std::vector<std::unique_ptr<FileAppendingDelegate>> delegates;
    std::vector<std::shared_ptr<ZRHTTPRequest>> requests;
    for (std::size_t i = 0; i < urls.size(); ++i) {
        const std::string path = outputFolder + "/" + std::to_string(i) + ".download";
        delegates.push_back(std::make_unique<FileAppendingDelegate>(path, &remaining));
        auto request = ZRHTTPRequest::requestWithURL(urls[i]);
        request->setDelegate(delegates.back().get());
        // The download worker takes the bytes as sent, without asking for compression.
        request->setAllowCompressedResponse(false);
        requests.push_back(request);
    }
    const auto started = std::chrono::steady_clock::now();
    for (const auto &request : requests)
        request->startAsynchronous();
    QCoreApplication::exec();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::uint64_t bytes = 0;
    std::uint64_t chunks = 0;
    int failures = 0;
    for (const auto &delegate : delegates) {
        bytes += delegate->bytes();
        chunks += delegate->chunks();
        failures += delegate->failed() ? 1 : 0;
    }
    for (const auto &request : requests)
        request->clearDelegatesAndCancel();
    std::printf("bytes=%llu chunks=%llu seconds=%.3f failures=%d\n", static_cast<unsigned long long>(bytes),
        static_cast<unsigned long long>(chunks), seconds, failures);
    return failures == 0 ? 0 : 1;
}
