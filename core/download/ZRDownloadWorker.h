// The basic worker: one libcurl transfer that follows redirects by itself and writes the body
// straight into the target file; a resumed transfer writes a new fragment beside it. Also used for
// file URLs.
#pragma once

#include "core/download/ZRDownloadWorkerPrototype.h"

#include <QString>

#include <memory>

// Main thread. The transfers of all basic workers share one curl multi handle serviced by the main
// event loop; events reach the delegate through the loop, never from inside curl.
class ZRDownloadWorker : public ZRDownloadWorkerPrototype {
public:
    // Use std::make_shared (or the factory functions of the prototype).
    ZRDownloadWorker();
    ~ZRDownloadWorker() override;

    bool resumesInSeparateFile() const override { return true; }

    bool startWithURL(const QUrl &url, const QString &method, const QString &range,
                      const std::optional<QVariantMap> &headers,
                      const std::optional<QVariantMap> &additionalHeaders, const QByteArray &body,
                      const QString &referer, double timeOut) override;
    // Cancels the transfer and cuts the file it wrote; false without a running transfer or file.
    bool truncateAtOffset(qint64 offset) override;

    // The file that the running transfer writes: the target, or its resume fragment. Empty before
    // the response.
    QString destinationPath() const;

    struct Transfer;

protected:
    const char *className() const override { return "ZRDownloadWorker"; }

private:
    friend struct Transfer;
    // Runs the next queued transfer event on the main loop.
    void handleNextEvent();
    // The response is complete: tell the delegate, then let the body flow or stop.
    void decideOnResponse();
    // Opens the file for the body; false after failing the worker.
    bool openDestination();
    // A file URL: its name and length, known before the first byte.
    bool prepareFileResponse(Transfer &transfer, const QString &range);
    void cancelTransfer();
    // With the system's error (errno) under it when one is given.
    ZRHTTPErrorPtr cannotWriteError(int posixCode = 0) const;
    void failAndCancel(const ZRHTTPErrorPtr &error);

    std::unique_ptr<Transfer> _download;
};
