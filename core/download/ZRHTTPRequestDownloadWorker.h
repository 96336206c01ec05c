// The normal worker: drives one request of our engine and appends the body to its file itself. It
// also owns the class-wide bandwidth settings (throttling) of all downloads.
#pragma once

#include "core/download/ZRDownloadWorkerPrototype.h"
#include "core/http/ZRHTTPRequestDelegate.h"

#include <QElapsedTimer>

#include <memory>
#include <vector>

class ZRHTTPRequest;

// Main thread. The engine runs the request on its own thread and delivers the callbacks below on
// the main thread (the application installs the engine's callback executor).
class ZRHTTPRequestDownloadWorker : public ZRDownloadWorkerPrototype, private ZRHTTPRequestDelegate {
public:
    // Use std::make_shared (or the factory functions of the prototype).
    ZRHTTPRequestDownloadWorker();
    ~ZRHTTPRequestDownloadWorker() override;

    // --- Class-wide settings; main thread ---

    // "Throttle: Supported", read once per process. The first call registers the defaults
    // "Throttle: Supported" true, "Throttle: Limit" 100000 and "Filename Extension Policy" 1.
    static bool isAvailable();
    // Stores "Throttle: Supported"; true when the value equals the one in force (no restart needed).
    static bool setAvailable(bool available);
    // "Throttle: Limit" in bytes per second; a value below 1 counts as 1000.
    static quint64 throttleLimit();
    static void setThrottleLimit(quint64 bytesPerSecond);
    // Available and "Throttle: Enabled".
    static bool isThrottled();
    static void setThrottled(bool throttled);
    // Tests: forget the kept availability and the engine set-up.
    static void resetClassStateForTesting();

    bool resumesInSeparateFile() const override { return false; }

    bool startWithURL(const QUrl &url, const QString &method, const QString &range,
                      const std::optional<QVariantMap> &headers,
                      const std::optional<QVariantMap> &additionalHeaders, const QByteArray &body,
                      const QString &referer, double timeOut) override;
    // Cancels the request and cuts the file at the offset; false without an open file.
    bool truncateAtOffset(qint64 offset) override;
    // Closes the file, then forgets target and counts.
    void reset() override;
    // Withdraws a pending authentication question and, with cancel, stops a running request; then
    // drops the request and closes the file.
    void cleanUpActiveRequest(bool cancel);

protected:
    const char *className() const override { return "ZRHTTPRequestDownloadWorker"; }

private:
    // Engine callbacks.
    void requestDidReceiveResponseHeaders(ZRHTTPRequest &request, const ZRHTTPHeaders &headers) override;
    void requestDidReceiveData(ZRHTTPRequest &request, const std::string &data) override;
    void requestDidReceiveSharedData(ZRHTTPRequest &request, const std::shared_ptr<const std::string> &data) override;
    bool respondsToDidReceiveData() const override { return true; }
    void requestWillRedirectToURL(ZRHTTPRequest &request, const std::string &url) override;
    bool respondsToWillRedirect() const override { return true; }
    void authenticationNeededForRequest(ZRHTTPRequest &request) override;
    void proxyAuthenticationNeededForRequest(ZRHTTPRequest &request) override;
    bool respondsToAuthenticationNeeded() const override { return true; }
    void requestFinished(ZRHTTPRequest &request) override;
    void requestFailed(ZRHTTPRequest &request) override;

    static void configureEngineOnce();
    bool isCurrentRequest(const ZRHTTPRequest &request) const { return _downloadRequest.get() == &request; }
    // Opens the target for this transfer's bytes; false after failing the worker.
    bool openDownloadFile(bool wholeBody = false);
    // Writes what was held back and reports it; false when the worker failed or was dropped.
    bool writeHeldBody(bool wholeBody);
    // Whether these body bytes belong to the file (not to a redirect, a challenge or an error page).
    bool takesBodyBytes(const ZRHTTPRequest &request, std::size_t length) const;
    // Holds a piece of a small body, or writes all held so far when it is too slow or too large.
    void holdBodyBytes(std::shared_ptr<const std::string> data);
    void writeBodyBytes(const char *data, qint64 length);
    bool writeToDownloadFile(const char *data, qint64 length);
    void closeDownloadFile();
    void failWithWorkerError(int code, const QString &message, int posixCode = 0);

    std::shared_ptr<ZRHTTPRequest> _downloadRequest;
    int _downloadFileHandle = -1;
    // The status of the response whose body is arriving.
    int _responseStatusCode = 0;
    bool _writesResponseBody = false;
    // A small body is held back until it is complete (then written once, beside its final place),
    // or until it is too slow or too large for that (then the file grows as usual).
    bool _holdsResponseBody = false;
    // The pieces as the engine delivered them, shared rather than copied.
    std::vector<std::shared_ptr<const std::string>> _heldChunks;
    qint64 _heldBytes = 0;
    QElapsedTimer _holdClock;
};
