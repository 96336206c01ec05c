// The worker on our engine, and the class-wide bandwidth settings.
#include "core/download/ZRHTTPRequestDownloadWorker.h"

#include "core/download/ZRHTTPAuthenticationManager.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRSystemCalls.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/http/ZRHTTPRequest.h"
#include "core/http/ZRHTTPRequestQueue.h"
#include "core/text/ZRAddressExtensions.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A body this small that is all here within this time never shows progress: it is written once
// instead of growing in a bundle that is made and removed again a moment later.
constexpr qsizetype HeldBodyMaximumBytes = 256 * 1024;
constexpr qint64 HeldBodyMaximumMilliseconds = 250;

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

struct ClassState {
    std::optional<bool> available;
    bool engineConfigured = false;
};

ClassState &classState()
{
    static ClassState state;
    return state;
}

} // namespace

// --- Class-wide settings ---

bool ZRHTTPRequestDownloadWorker::isAvailable()
{
    ClassState &state = classState();
    if (!state.available) {
        defaults().registerDefaults({
            {ZRDownloadWorkerDefaultsKeys::ThrottleSupported, true},
            {ZRDownloadWorkerDefaultsKeys::ThrottleLimit, 100000},
            {ZRDownloadWorkerDefaultsKeys::FilenameExtensionPolicy, 1},
        });
        state.available = defaults().boolForKey(ZRDownloadWorkerDefaultsKeys::ThrottleSupported);
    }
    return *state.available;
}

bool ZRHTTPRequestDownloadWorker::setAvailable(bool available)
{
    defaults().setBool(available, ZRDownloadWorkerDefaultsKeys::ThrottleSupported);
    return available == isAvailable();
}

quint64 ZRHTTPRequestDownloadWorker::throttleLimit()
{
    const qint64 limit = defaults().integerForKey(ZRDownloadWorkerDefaultsKeys::ThrottleLimit);
    return limit < 1 ? 1000 : quint64(limit);
}

void ZRHTTPRequestDownloadWorker::setThrottleLimit(quint64 bytesPerSecond)
{
    defaults().setInteger(qint64(bytesPerSecond), ZRDownloadWorkerDefaultsKeys::ThrottleLimit);
    if (isThrottled())
        ZRHTTPRequest::setMaxBandwidthPerSecond(throttleLimit());
}

bool ZRHTTPRequestDownloadWorker::isThrottled()
{
    return isAvailable() && defaults().boolForKey(ZRDownloadWorkerDefaultsKeys::ThrottleEnabled);
}

void ZRHTTPRequestDownloadWorker::setThrottled(bool throttled)
{
    if (!isAvailable())
        return;
    defaults().setBool(throttled, ZRDownloadWorkerDefaultsKeys::ThrottleEnabled);
    ZRHTTPRequest::setMaxBandwidthPerSecond(throttled ? throttleLimit() : 0);
}

void ZRHTTPRequestDownloadWorker::resetClassStateForTesting()
{
    classState() = ClassState();
}

void ZRHTTPRequestDownloadWorker::configureEngineOnce()
{
    ClassState &state = classState();
    if (state.engineConfigured)
        return;
    state.engineConfigured = true;
    ZRHTTPRequest::setMaxBandwidthPerSecond(isThrottled() ? throttleLimit() : 0);
    const qint64 maximum = defaults().integerForKey(ZRDownloadWorkerDefaultsKeys::MaximumConcurrentOperations);
    ZRHTTPRequest::sharedQueue().setMaxConcurrentOperationCount(maximum >= 1 ? int(maximum) : 64);
}

// --- Worker ---

ZRHTTPRequestDownloadWorker::ZRHTTPRequestDownloadWorker() = default;

ZRHTTPRequestDownloadWorker::~ZRHTTPRequestDownloadWorker()
{
    cleanUpActiveRequest(true);
}

bool ZRHTTPRequestDownloadWorker::startWithURL(const QUrl &url, const QString &method, const QString &range,
                                               const std::optional<QVariantMap> &headers,
                                               const std::optional<QVariantMap> &additionalHeaders,
                                               const QByteArray &body, const QString &referer, double timeOut)
{
    if (_downloadRequest)
        return false;
    configureEngineOnce();
    std::shared_ptr<ZRHTTPRequest> request = ZRHTTPRequest::requestWithURL(url.toEncoded().toStdString());
    if (!request)
        return false;
    _downloadRequest = request;
    _responseStatusCode = 0;
    _writesResponseBody = false;

    request->setDelegate(this);
    request->setUseKeychainPersistence(true);
    request->setUseSessionPersistence(true);
    request->setShouldRedirect(true);
    request->setAllowCompressedResponse(false);
    request->setTimeOutSeconds(timeOut);
    // Neither read from nor write to a response cache.
    request->setCachePolicy(3);
    if (!method.isEmpty())
        request->setRequestMethod(method.toStdString());

    if (headers) {
        ZRHTTPHeaders complete;
        for (auto it = headers->constBegin(); it != headers->constEnd(); ++it)
            complete.insert_or_assign(it.key().toStdString(), it.value().toString().toStdString());
        request->setRequestHeaders(complete);
    } else if (additionalHeaders) {
        for (auto it = additionalHeaders->constBegin(); it != additionalHeaders->constEnd(); ++it)
            request->addRequestHeader(it.key().toStdString(), it.value().toString().toStdString());
    }
    if (request->requestHeaders().count("User-Agent") == 0) {
        const std::optional<QString> userAgent = userAgentForURL(url);
        ZRLogDebug(QStringLiteral("user agent: %1").arg(userAgent.value_or(QStringLiteral("(none)"))));
        // An empty field keeps the engine from adding its own: the transport then sends none.
        request->addRequestHeader("User-Agent", userAgent ? userAgent->toStdString() : std::string());
    }
    // The engine sends it with its length, and again on a redirect that keeps the method.
    if (!body.isNull())
        request->appendPostData(std::string(body.constData(), std::size_t(body.size())));
    if (!referer.isEmpty())
        request->addRequestHeader("Referer", referer.toStdString());
    if (!range.isEmpty()) {
        request->addRequestHeader("Range", range.toStdString());
        const QString ifRange = ifRangeValueForRange(range);
        if (!ifRange.isEmpty())
            request->addRequestHeader("If-Range", ifRange.toStdString());
    }
    request->startAsynchronous();
    return true;
}

void ZRHTTPRequestDownloadWorker::requestDidReceiveResponseHeaders(ZRHTTPRequest &request, const ZRHTTPHeaders &headers)
{
    if (!isCurrentRequest(request))
        return;
    const QUrl url = QUrl::fromEncoded(QByteArray::fromStdString(request.url()));
    QString name = filenameFromContentDisposition(ZRDownloadWorkerHeaders::value(headers, "Content-Disposition"));
    if (name.isEmpty())
        name = ZRExtensions::filename(url);
    _responseStatusCode = request.responseStatusCode();
    _writesResponseBody = false;
    const auto length = headers.find(std::string_view("Content-Length"));
    const qint64 contentLength =
        length == headers.end() ? 0 : qint64(ZRHTTPHeaderFields::contentLengthFromString(length->second));

    if (!processResponseHeaders(headers, url, _responseStatusCode, contentLength, name))
        return;
    if (!isCurrentRequest(request))
        return;
    if (responseRefusesRequestedRange()) {
        ZRLogDebug(QStringLiteral("%1 got a %2 for bytes from %3: nothing written")
                       .arg(description())
                       .arg(_responseStatusCode)
                       .arg(requestedFromByte()));
        cleanUpActiveRequest(true);
        failWithError(rangeNotHonouredError());
        return;
    }
    _writesResponseBody = shouldWriteResponseBody();
    // Only a fresh whole file that nobody else writes to: a range, a split or a file already on
    // disk grows where it is.
    _holdsResponseBody = _writesResponseBody && _responseStatusCode == 200 && requestedFromByte() < 0
        && fractionStartByte() == 0 && endByte() <= 0 && targetPath().isEmpty() && contentLength > 0
        && contentLength <= HeldBodyMaximumBytes;
    _heldChunks.clear();
    _heldBytes = 0;
}

bool ZRHTTPRequestDownloadWorker::takesBodyBytes(const ZRHTTPRequest &request, std::size_t length) const
{
    // Bodies of redirects, challenges and error pages are not the file.
    return isCurrentRequest(request) && length > 0 && _writesResponseBody && _responseStatusCode >= 200
        && _responseStatusCode <= 299;
}

void ZRHTTPRequestDownloadWorker::requestDidReceiveData(ZRHTTPRequest &request, const std::string &data)
{
    if (!takesBodyBytes(request, data.size()))
        return;
    if (_holdsResponseBody)
        holdBodyBytes(std::make_shared<const std::string>(data));
    else
        writeBodyBytes(data.data(), qint64(data.size()));
}

void ZRHTTPRequestDownloadWorker::requestDidReceiveSharedData(ZRHTTPRequest &request,
                                                              const std::shared_ptr<const std::string> &data)
{
    if (!takesBodyBytes(request, data->size()))
        return;
    if (_holdsResponseBody)
        holdBodyBytes(data);
    else
        writeBodyBytes(data->data(), qint64(data->size()));
}

void ZRHTTPRequestDownloadWorker::holdBodyBytes(std::shared_ptr<const std::string> data)
{
    if (_heldChunks.empty())
        _holdClock.start();
    _heldBytes += qint64(data->size());
    _heldChunks.push_back(std::move(data));
    if (_heldBytes <= HeldBodyMaximumBytes && !_holdClock.hasExpired(HeldBodyMaximumMilliseconds))
        return;
    // Slow (or larger than it said once decoded): show it growing in its bundle after all.
    writeHeldBody(false);
}

void ZRHTTPRequestDownloadWorker::writeBodyBytes(const char *data, qint64 length)
{
    if (_downloadFileHandle < 0 && !openDownloadFile())
        return;
    if (writeToDownloadFile(data, length))
        processDownloadedBytes(length);
}

bool ZRHTTPRequestDownloadWorker::writeToDownloadFile(const char *data, qint64 length)
{
    if (writeAllToFile(_downloadFileHandle, data, length))
        return true;
    const int error = errno;
    ZRLog(QStringLiteral("cannot write to <%1>: %2").arg(targetPath(), QString::fromLocal8Bit(strerror(error))));
    failWithWorkerError(ZRDownloadWorkerCannotWriteErrorCode,
                        QStringLiteral("%1 cannot write to intermediate file").arg(description()), error);
    return false;
}

bool ZRHTTPRequestDownloadWorker::writeHeldBody(bool wholeBody)
{
    _holdsResponseBody = false;
    const std::vector<std::shared_ptr<const std::string>> chunks = std::exchange(_heldChunks, {});
    const qint64 length = std::exchange(_heldBytes, 0);
    if (length == 0)
        return true;
    const std::shared_ptr<ZRHTTPRequest> request = _downloadRequest;
    const AliveCheck alive(this);
    if (_downloadFileHandle < 0 && !openDownloadFile(wholeBody))
        return false;
    for (const std::shared_ptr<const std::string> &chunk : chunks) {
        if (!writeToDownloadFile(chunk->data(), qint64(chunk->size())))
            return false;
    }
    processDownloadedBytes(length);
    return alive.isAlive() && _downloadRequest == request;
}

bool ZRHTTPRequestDownloadWorker::openDownloadFile(bool wholeBody)
{
    const std::shared_ptr<ZRHTTPRequest> request = _downloadRequest;
    const AliveCheck alive(this);
    const QString target = targetPathByFallingBackToDelegate(wholeBody);
    if (!alive.isAlive() || _downloadRequest != request)
        return false;
    if (target.isEmpty()) {
        failWithWorkerError(ZRDownloadWorkerMissingTargetErrorCode,
                            QStringLiteral("%1 missing target path").arg(description()));
        return false;
    }
    struct stat info {};
    const int fd = openFileForWriting(target, O_CREAT, &info);
    if (fd < 0) {
        const int error = errno;
        ZRLog(QStringLiteral("cannot open <%1> for writing: %2").arg(target, QString::fromLocal8Bit(strerror(error))));
        failWithWorkerError(ZRDownloadWorkerCannotWriteErrorCode,
                            QStringLiteral("%1 cannot write to intermediate file").arg(description()), error);
        return false;
    }
    // The body continues the file at the resume offset: bytes missing before it cannot be made up,
    // and bytes beyond it are left over from an earlier transfer.
    const qint64 offset = resumeByteOffset();
    if (qint64(info.st_size) < offset) {
        ZRLog(QStringLiteral("cannot resume <%1>: it holds %2 bytes, %3 expected")
                  .arg(target)
                  .arg(qint64(info.st_size))
                  .arg(offset));
        ZRSystem().close(fd);
        failWithWorkerError(ZRDownloadWorkerCannotWriteErrorCode,
                            QStringLiteral("%1 cannot write to intermediate file").arg(description()));
        return false;
    }
    // A fresh descriptor stands at the start already.
    if ((qint64(info.st_size) > offset && ftruncate(fd, offset) != 0) ||
        (offset > 0 && lseek(fd, offset, SEEK_SET) != offset)) {
        ZRLog(QStringLiteral("cannot write to <%1>: %2").arg(target, QString::fromLocal8Bit(strerror(errno))));
        ZRSystem().close(fd);
        failWithWorkerError(ZRDownloadWorkerCannotWriteErrorCode,
                            QStringLiteral("%1 cannot write to intermediate file").arg(description()));
        return false;
    }
    _downloadFileHandle = fd;
    return true;
}

void ZRHTTPRequestDownloadWorker::closeDownloadFile()
{
    if (_downloadFileHandle >= 0) {
        ZRSystem().close(_downloadFileHandle);
        _downloadFileHandle = -1;
    }
}

void ZRHTTPRequestDownloadWorker::failWithWorkerError(int code, const QString &message, int posixCode)
{
    cleanUpActiveRequest(true);
    failWithError(workerError(code, message, posixCode));
}

void ZRHTTPRequestDownloadWorker::requestWillRedirectToURL(ZRHTTPRequest &request, const std::string &url)
{
    if (!isCurrentRequest(request))
        return;
    const std::shared_ptr<ZRHTTPRequest> keep = _downloadRequest;
    const AliveCheck alive(this);
    reset();
    if (!alive.isAlive() || _downloadRequest != keep)
        return;
    keep->redirectToURL(url);
}

void ZRHTTPRequestDownloadWorker::authenticationNeededForRequest(ZRHTTPRequest &request)
{
    if (!isCurrentRequest(request))
        return;
    const std::shared_ptr<ZRHTTPRequest> keep = _downloadRequest;
    const AliveCheck alive(this);
    reset();
    if (!alive.isAlive() || _downloadRequest != keep)
        return;
    // The manager asks the user and then resumes the request, or cancels it.
    ZRHTTPAuthenticationManager::defaultManager().acquireAuthenticationForRequest(keep);
}

void ZRHTTPRequestDownloadWorker::proxyAuthenticationNeededForRequest(ZRHTTPRequest &request)
{
    authenticationNeededForRequest(request);
}

void ZRHTTPRequestDownloadWorker::requestFinished(ZRHTTPRequest &request)
{
    if (!isCurrentRequest(request))
        return;
    if (_holdsResponseBody && !writeHeldBody(true))
        return;
    cleanUpActiveRequest(false);
    finish();
}

void ZRHTTPRequestDownloadWorker::requestFailed(ZRHTTPRequest &request)
{
    if (!isCurrentRequest(request))
        return;
    ZRHTTPErrorPtr error = request.error();
    // What came before the failure is kept for a resume, as if it had been written at once.
    if (_holdsResponseBody && !writeHeldBody(false))
        return;
    if (!error)
        error = ZRHTTPError::make(ZRHTTPConnectionFailureErrorCode, ZRHTTPErrorMessage::connectionFailure);
    cleanUpActiveRequest(false);
    failWithError(error);
}

void ZRHTTPRequestDownloadWorker::cleanUpActiveRequest(bool cancel)
{
    // A request that ended in any way no longer waits for an answer.
    if (_downloadRequest)
        ZRHTTPAuthenticationManager::defaultManager().cancelAuthenticationForRequest(_downloadRequest.get());
    if (_downloadRequest && cancel) {
        // Also for a request that is no longer running: no callback may reach this worker again.
        _downloadRequest->clearDelegatesAndCancel();
    }
    _downloadRequest.reset();
    closeDownloadFile();
}

bool ZRHTTPRequestDownloadWorker::truncateAtOffset(qint64 offset)
{
    if (_downloadFileHandle < 0)
        return false;
    // Cut first: when the file cannot be cut, the transfer goes on by itself.
    if (ftruncate(_downloadFileHandle, offset) != 0) {
        ZRLog(QStringLiteral("cannot truncate <%1>: %2").arg(targetPath(), QString::fromLocal8Bit(strerror(errno))));
        return false;
    }
    cleanUpActiveRequest(true);
    return ZRDownloadWorkerPrototype::truncateAtOffset(offset);
}

void ZRHTTPRequestDownloadWorker::reset()
{
    closeDownloadFile();
    _writesResponseBody = false;
    _holdsResponseBody = false;
    _heldChunks.clear();
    _heldBytes = 0;
    ZRDownloadWorkerPrototype::reset();
}
