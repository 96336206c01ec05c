// The contract between a download and the workers that move its bytes: one worker fetches one byte
// range of the download into one file and tells its delegate (the download) what happens.
#pragma once

#include "core/http/ZRHTTPError.h"
#include "core/http/ZRHTTPHeaders.h"

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <memory>
#include <optional>

struct stat;
class ZRDownloadWorkerPrototype;

// Workers are shared: the download's worker list owns them, everything else holds them weakly.
using ZRDownloadWorkerPtr = std::shared_ptr<ZRDownloadWorkerPrototype>;

enum ZRWorkerStatus : quint64 {
    ZRWorkerStatusIdle = 0,      // created, not started
    ZRWorkerStatusRunning = 1,   // transport started
    ZRWorkerStatusTruncated = 2, // stopped by its download at a fraction boundary
    ZRWorkerStatusFinished = 3,  // finished, or its fraction was already complete on disk
    ZRWorkerStatusFailed = 4,    // could not start, or failed
};

// User defaults read by the workers.
namespace ZRDownloadWorkerDefaultsKeys {
inline const QString FilenameExtensionPolicy = QStringLiteral("Filename Extension Policy");
inline const QString RequestTimeoutInterval = QStringLiteral("Request Timeout Interval");
inline const QString CustomUserAgent = QStringLiteral("Custom User Agent");
inline const QString ThrottleSupported = QStringLiteral("Throttle: Supported");
inline const QString ThrottleEnabled = QStringLiteral("Throttle: Enabled");
inline const QString ThrottleLimit = QStringLiteral("Throttle: Limit");
inline const QString MaximumConcurrentOperations = QStringLiteral("Maximum Concurrent Operations");
} // namespace ZRDownloadWorkerDefaultsKeys

// Errors that a worker makes itself (transport errors keep the engine's or curl's domain).
inline constexpr const char *ZRDownloadWorkerErrorDomain = "com.tessaline.Quorvel.ZRDownloadWorker";
enum ZRDownloadWorkerErrorCode : int {
    ZRDownloadWorkerCannotWriteErrorCode = 1,     // "%@ cannot write to intermediate file"
    ZRDownloadWorkerMissingTargetErrorCode = 2,   // "%@ missing target path"
    ZRDownloadWorkerRangeNotHonouredErrorCode = 3, // a ranged request was answered with other bytes
    ZRDownloadWorkerIncompleteErrorCode = 4,      // an error answer, or fewer bytes than the range holds
};

// Main thread. The download implements this; every call comes from a worker it owns. A delegate may
// drop the worker (and so cancel its transfer) during any of these calls.
class ZRDownloadWorkerDelegate {
public:
    virtual ~ZRDownloadWorkerDelegate() = default;

    // The file to write when the worker has none; may be asked at any time before the first byte.
    virtual QString targetPathForDownloadWorker(ZRDownloadWorkerPrototype &worker) = 0;
    // The file for a whole body that arrived before its first byte was written, asked once, just
    // before that body is written in one go; the worker has no target of its own then.
    virtual QString targetPathForWholeBodyOfDownloadWorker(ZRDownloadWorkerPrototype &worker)
    {
        return targetPathForDownloadWorker(worker);
    }
    // The worker's transfer starts over (redirect, authentication): its earlier bytes are void.
    virtual void resetProgressForDownloadWorker(ZRDownloadWorkerPrototype &worker) = 0;
    // Once per response, before its body. The worker's responseHonoursRequestedRange(),
    // responseValidator() and responseTotalBytes() describe this response.
    virtual void downloadWorkerDidReceiveResponseHeaders(ZRDownloadWorkerPrototype &worker,
                                                         const ZRHTTPHeaders &headers, const QUrl &url,
                                                         qint64 statusCode, const QString &suggestedFilename) = 0;
    // After the bytes are on disk.
    virtual void downloadWorkerDidReceiveBytes(ZRDownloadWorkerPrototype &worker, qint64 count) = 0;
    virtual void downloadWorkerDidFailWithError(ZRDownloadWorkerPrototype &worker, const ZRHTTPErrorPtr &error) = 0;
    virtual void downloadWorkerDidFinish(ZRDownloadWorkerPrototype &worker) = 0;
};

// Main thread. The abstract worker: request description, byte-range bookkeeping, the Range header,
// the suggested name of a response, and the events forwarded to the delegate. The two concrete
// workers only drive a transport and call back into it.
class ZRDownloadWorkerPrototype : public std::enable_shared_from_this<ZRDownloadWorkerPrototype> {
public:
    ZRDownloadWorkerPrototype() = default;
    virtual ~ZRDownloadWorkerPrototype();
    ZRDownloadWorkerPrototype(const ZRDownloadWorkerPrototype &) = delete;
    ZRDownloadWorkerPrototype &operator=(const ZRDownloadWorkerPrototype &) = delete;

    // --- Class operations ---

    // "Filename Extension Policy": 0 never change a suggested name, 1 add an extension to names
    // without one, 2 also when the name's extension does not belong to the MIME type, 3 add the
    // MIME type's preferred extension whenever it differs.
    static qint64 extensionPolicy();
    static void setExtensionPolicy(qint64 policy);
    // "Mozilla/5.0 (X11; Linux <machine>) Version/<version> <name>/<version>", built once.
    static QString defaultUserAgent();
    // None when "Custom User Agent" is "-" (send none); that value when set; else the default one.
    static std::optional<QString> userAgentForURL(const QUrl &url);
    // The engine worker when it is available and the address is not a file URL, else the basic one.
    static ZRDownloadWorkerPtr downloadWorkerForURL(const QUrl &url);
    // A new worker of the same kind with the same delegate, request description, target path and
    // resume validators; byte range and status start afresh.
    static ZRDownloadWorkerPtr downloadWorkerWithDownloadWorker(const ZRDownloadWorkerPrototype *worker);

    // The suggested name after the extension policy, for a "Content-Type" value.
    static QString filenameByApplyingExtensionPolicy(const QString &suggestedFilename, const QString &contentType,
                                                     qint64 policy);
    // The "filename" parameter of a "Content-Disposition" value, without quotes; empty when none.
    static QString filenameFromContentDisposition(const QString &contentDisposition);
    // What a ranged request must carry in "If-Range" to be sure it continues the same file: a
    // strong "ETag", else "Last-Modified"; empty when the response has neither.
    static QString validatorFromResponseHeaders(const ZRHTTPHeaders &headers);
    // The "Range" header value for a fraction: empty when nothing needs to be skipped.
    static QString rangeHeaderValue(qint64 fromByte, qint64 endByte);
    // "Request Timeout Interval" when 1 or more, else 60 seconds.
    static double requestTimeoutInterval();

    // Whether a resumed transfer goes to a new fragment file rather than appending to the target.
    virtual bool resumesInSeparateFile() const { return true; }

    // --- Properties ---

    ZRDownloadWorkerDelegate *delegate() const { return _delegate; }
    void setDelegate(ZRDownloadWorkerDelegate *delegate) { _delegate = delegate; }
    QUrl URL() const { return _url; }
    void setURL(const QUrl &url) { _url = url; }
    // Null for GET.
    QString requestMethod() const { return _requestMethod; }
    void setRequestMethod(const QString &method) { _requestMethod = method; }
    // A complete header set that replaces the transport's own.
    std::optional<QVariantMap> requestHeaders() const { return _requestHeaders; }
    void setRequestHeaders(const std::optional<QVariantMap> &headers) { _requestHeaders = headers; }
    // Headers added to the transport's own; used only without a complete set.
    std::optional<QVariantMap> additionalRequestHeaders() const { return _additionalRequestHeaders; }
    void setAdditionalRequestHeaders(const std::optional<QVariantMap> &headers) { _additionalRequestHeaders = headers; }
    // Null for none.
    QByteArray requestBody() const { return _requestBody; }
    void setRequestBody(const QByteArray &body) { _requestBody = body; }
    QString referer() const { return _referer; }
    void setReferer(const QString &referer) { _referer = referer; }
    // Empty for none: then the delegate is asked.
    QString targetPath() const { return _targetPath; }
    void setTargetPath(const QString &path) { _targetPath = path; }
    qint64 fractionStartByte() const { return _fractionStartByte; }
    void setFractionStartByte(qint64 byte) { _fractionStartByte = byte; }
    qint64 resumeByteOffset() const { return _resumeByteOffset; }
    void setResumeByteOffset(qint64 offset) { _resumeByteOffset = offset; }
    // Inclusive; 0 or less means up to the end of the file.
    qint64 endByte() const { return _endByte; }
    void setEndByte(qint64 byte) { _endByte = byte; }
    qint64 expectedBytes() const { return _expectedBytes; }
    void setExpectedBytes(qint64 bytes) { _expectedBytes = bytes; }
    qint64 downloadedBytes() const { return _downloadedBytes; }
    void setDownloadedBytes(qint64 bytes) { _downloadedBytes = bytes; }
    ZRWorkerStatus status() const { return _status; }
    void setStatus(ZRWorkerStatus status) { _status = status; }

    // What the download recorded of the file when its first full response came: sent as "If-Range"
    // with every ranged request, and the whole file's length that a partial response must state.
    // Empty / 0 or less when unknown.
    QString rangeValidator() const { return _rangeValidator; }
    void setRangeValidator(const QString &validator) { _rangeValidator = validator; }
    qint64 expectedTotalBytes() const { return _expectedTotalBytes; }
    void setExpectedTotalBytes(qint64 bytes) { _expectedTotalBytes = bytes; }

    // --- The current response (valid from downloadWorkerDidReceiveResponseHeaders on) ---

    // The first byte that the running transfer asked for, -1 when it asked for the whole file.
    qint64 requestedFromByte() const { return _requestedFromByte; }
    // False when a ranged request got a success answer that does not continue at the requested
    // byte of the same file: a whole body (200), or a 206 whose "Content-Range" starts elsewhere or
    // states another total. Such a body is never written into this worker's file.
    bool responseHonoursRequestedRange() const { return _responseHonoursRequestedRange; }
    // The validator and the whole file's length that this response states (0 when unknown).
    QString responseValidator() const { return _responseValidator; }
    qint64 responseTotalBytes() const { return _responseTotalBytes; }
    // The status of the last response: 0 before one came, -1 for a file URL.
    qint64 responseStatusCode() const { return _responseStatusCode; }
    // An answer that is not the file: a redirect, challenge or error status as the last response.
    bool responseIsErrorAnswer() const
    {
        return _responseStatusCode > 0 && (_responseStatusCode < 200 || _responseStatusCode > 299);
    }
    // How many transfers before this one fetched the same fraction, each ending short of its end.
    int restFetches() const { return _restFetches; }
    void setRestFetches(int fetches) { _restFetches = fetches; }

    // "<ZRHTTPRequestDownloadWorker: 0x...>".
    QString description() const;

    // --- Operations ---

    // The target path; without one the delegate is asked and its answer kept.
    QString targetPathByFallingBackToDelegate(bool wholeBody = false);
    // Builds the range and time-out and starts the transport: status 1 and true, or 4 and false.
    bool start();
    // The transport hook: subclasses start their transfer asynchronously and return true.
    virtual bool startWithURL(const QUrl &url, const QString &method, const QString &range,
                              const std::optional<QVariantMap> &headers,
                              const std::optional<QVariantMap> &additionalHeaders, const QByteArray &body,
                              const QString &referer, double timeOut);
    // Stops at a fraction boundary: the worker's file is cut at the offset (a byte offset of its
    // target file), the status becomes 2 and the delegate hears downloadWorkerDidFinish.
    virtual bool truncateAtOffset(qint64 offset);
    // The transfer starts over: no target path, no bytes; the delegate hears resetProgressForDownloadWorker.
    virtual void reset();

protected:
    // Called by the transports. Each returns false when the owner let go of the worker during the
    // delegate call: the caller must then return at once without touching the worker.
    // With reportHeaders false the delegate hears an empty header map; the worker itself still
    // reads the fields (content type, range, validators).
    bool processResponseHeaders(const ZRHTTPHeaders &headers, const QUrl &url, qint64 statusCode,
                                qint64 expectedContentLength, const QString &suggestedFilename,
                                bool reportHeaders = true);
    bool processDownloadedBytes(qint64 count);
    void failWithError(const ZRHTTPErrorPtr &error);
    void finish();

    // After processResponseHeaders: whether the body of the current response goes into the file.
    // Only success answers are written, and of a ranged request only one that continues the range
    // (or a whole body after the delegate took the transfer back to byte 0).
    bool shouldWriteResponseBody() const;
    // A success answer that must not be written: the transfer has to stop and fail.
    bool responseRefusesRequestedRange() const;
    // The value for "If-Range" with the given range, empty when none is to be sent.
    QString ifRangeValueForRange(const QString &range) const;
    // The error for a response that does not continue the requested range.
    ZRHTTPErrorPtr rangeNotHonouredError() const;
    // With a system error (errno) as the error under it when one is given.
    static ZRHTTPErrorPtr workerError(int code, const QString &message, int posixCode = 0);
    // Opens a regular file for writing without following a symbolic link planted at its path; a
    // FIFO or device there is refused rather than waited on. -1 with errno on failure; the file's
    // status in `info` when given.
    static int openFileForWriting(const QString &path, int extraFlags, struct stat *info = nullptr);
    // Writes everything through the system-call seam; false with errno on failure.
    static bool writeAllToFile(int fd, const char *data, qint64 length);

    // Detects the owner letting go during a delegate call.
    class AliveCheck {
    public:
        explicit AliveCheck(ZRDownloadWorkerPrototype *worker) : _weak(worker->weak_from_this()), _tracked(!_weak.expired()) {}
        bool isAlive() const { return !_tracked || !_weak.expired(); }

    private:
        std::weak_ptr<ZRDownloadWorkerPrototype> _weak;
        bool _tracked;
    };

    virtual const char *className() const { return "ZRDownloadWorkerPrototype"; }

private:
    // Whether a partial response's "ETag" (else "Last-Modified") names the version that the range
    // validator does; a response that states none of the kind passes.
    bool responseValidatorMatchesRangeValidator(const ZRHTTPHeaders &headers) const;
    // Checks a success response against the range the transfer asked for.
    void evaluateResponseRange(const ZRHTTPHeaders &headers, qint64 statusCode, qint64 expectedContentLength);

    ZRDownloadWorkerDelegate *_delegate = nullptr; // not owned: the download owns the worker
    QUrl _url;
    QString _requestMethod;
    std::optional<QVariantMap> _requestHeaders;
    std::optional<QVariantMap> _additionalRequestHeaders;
    QByteArray _requestBody;
    QString _referer;
    QString _targetPath;
    qint64 _fractionStartByte = 0;
    qint64 _resumeByteOffset = 0;
    qint64 _endByte = 0;
    qint64 _expectedBytes = 0;
    qint64 _downloadedBytes = 0;
    ZRWorkerStatus _status = ZRWorkerStatusIdle;
    QString _rangeValidator;
    qint64 _expectedTotalBytes = 0;
    qint64 _requestedFromByte = -1;
    qint64 _requestedEndByte = 0;
    qint64 _responseStatusCode = 0;
    bool _responseHonoursRequestedRange = true;
    QString _responseValidator;
    qint64 _responseTotalBytes = 0;
    int _restFetches = 0;
};

// Main thread. Header lookups for transports and delegates.
namespace ZRDownloadWorkerHeaders {
// The value of a field (case-insensitive name), null when absent.
QString value(const ZRHTTPHeaders &headers, const char *name);
// "Name: value" lines for the debug log.
QString description(const ZRHTTPHeaders &headers);
} // namespace ZRDownloadWorkerHeaders
